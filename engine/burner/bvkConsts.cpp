#include "burner/bvkConsts.h"

namespace torvik {
namespace {

std::u16string Ascii16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

// The backslashes belong to the texts: they set the file name apart the way the original
// messages do, and callers match on them.
std::string ErrorText(uint32_t errorNumber, std::string_view fileName) {
  switch (errorNumber) {
    case 0:
      return "Unknown/No Error!";
    case 1:
      return "Data not prepared ";
    case 2:
      if (fileName.empty()) return "Error opening file.";
      return "Error opening file \\" + std::string(fileName) + "\\.";
    case 3:
      if (fileName.empty()) return "Error creating file.";
      return "Error creating file \\" + std::string(fileName) + "\\.";
    case 4:
      return "Aborted by the user.";
    case 0x10000:
      return "The disc does not hold the files of this layout: verify right after burning them.";
    case 0x10001:
      return "Files of an earlier session lie below the UDF partition of the new session: burn "
             "it without the UDF bridge.";
    case 0x10002:
      return "The layout holds files of an earlier session or a mounted image: an image file "
             "cannot hold their data; burn the layout to the disc they came from.";
    default:
      return "Hardware Error " + std::to_string(errorNumber) + ".";
  }
}

std::u16string ErrorTextW(uint32_t errorNumber, std::u16string_view fileName) {
  switch (errorNumber) {
    case 0:
      return u"Unknown/No Error!";
    case 1:
      return u"Data not prepared.";
    case 2:
      if (fileName.empty()) return u"Error opening file.";
      return u"Error opening file \\'" + std::u16string(fileName) + u"\\'";
    case 3:
      if (fileName.empty()) return u"Error creating file.";
      return u"Error creating file \\'" + std::u16string(fileName) + u"\\'";
    case 4:
      return u"Aborted by the user.";
    case 0x10000:
      return u"The disc does not hold the files of this layout: verify right after burning them.";
    case 0x10001:
      return u"Files of an earlier session lie below the UDF partition of the new session: burn "
             u"it without the UDF bridge.";
    case 0x10002:
      return u"The layout holds files of an earlier session or a mounted image: an image file "
             u"cannot hold their data; burn the layout to the disc they came from.";
    default:
      return u"Hardware Error \\'" + Ascii16(std::to_string(errorNumber));
  }
}

}  // namespace torvik
