#include "sources.h"

#include <sys/stat.h>

#include <cstdio>
#include <map>

#include "layout/bvkTree.h"
#include "platform/bvkText.h"

namespace torvik::cli {
namespace {

std::string Native(std::u16string_view path) { return NativePathFromUtf16(path); }

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Slashed(std::string text) {
  for (char& c : text)
    if (c == '\\') c = '/';
  return text;
}

// The layout's texts that end in a disc path get it with '/', like every other disc path the
// CLI shows. The part before the path may be a source path, whose backslashes are its own.
std::string WithSlashedDiscPath(const std::string& text) {
  static constexpr std::string_view kBeforeDiscPath[] = {
      "A file of that name exists: ", "Folder skipped: ", "A memory file cannot be a folder: ",
      "Destination folder not found: ", "\" in ", "): "};
  for (std::string_view marker : kBeforeDiscPath) {
    const size_t at = text.rfind(marker);
    if (at != std::string::npos) {
      const size_t from = at + marker.size();
      return text.substr(0, from) + Slashed(text.substr(from));
    }
  }
  return text;
}

constexpr size_t kClashesShown = 10;

// Adds the sources one by one and remembers enough about each to name the two sides of a
// name clash in the user's own paths.
class TSourceAdder {
 public:
  TSourceAdder(TBrenvik& burner, TWarnings& warnings) : b_(burner), warnings_(warnings) {}

  std::string Add(const std::string& path, bool savePath) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path + ": no such file or folder";
    b_.CDFiles.LastInsertError.clear();
    std::string why;
    if (S_ISDIR(st.st_mode)) {
      why = AddFolder(path, savePath);
    } else if (S_ISREG(st.st_mode)) {
      if (!b_.InsertFile("\\", path)) why = Refused("file " + path);
    } else {
      return path + " is neither a file nor a folder";
    }
    ReportLeftOut();
    if (!why.empty()) {
      // A clash from an earlier source is the first thing that went wrong.
      const std::string clashes = Clashes();
      return clashes.empty() ? why : clashes;
    }
    // Entries left out on the way (names the disc cannot hold) are worth a word.
    if (!b_.CDFiles.LastInsertError.empty())
      warnings_.Warn(WithSlashedDiscPath(b_.CDFiles.LastInsertError));
    return {};
  }

  // Every clash the layout recorded, one line each (the first few, on a large overlap), or
  // empty. The same file reached twice (a folder given twice) loses nothing and is no clash.
  std::string Clashes() const {
    std::vector<std::string> lines;
    for (const TCDFiles::TNameClash& c : b_.CDFiles.NameClashes) {
      if (!c.ExistingIsFolder && !c.ExistingSource.empty() &&
          SameFile(Native(c.ExistingSource), Native(c.NewSource)))
        continue;
      lines.push_back(ClashText(c));
    }
    std::string text;
    for (size_t i = 0; i < lines.size() && i < kClashesShown; ++i)
      text += (i == 0 ? "" : "\ntorvik-cli: ") + lines[i];
    if (lines.size() > kClashesShown)
      text += "\ntorvik-cli: ... and " + std::to_string(lines.size() - kClashesShown) +
              " more sources that share a disc path";
    return text;
  }

 private:
  struct TFolderInput {
    std::string path;
    std::u16string dest;  // "\" or "\a\b\", as the layout writes disc paths
  };

  std::string AddFolder(const std::string& path, bool savePath) {
    std::u16string dest = u"\\";
    if (savePath) {
      std::string source = path.starts_with('/') ? "/" : "";
      for (const std::string& native : SavePathFolders(path)) {
        source += (source.empty() || source == "/" ? "" : "/") + native;
        // Named as a scan names the folder.
        const std::u16string name = LayoutName(NameFromNativeBytes(native));
        if (!b_.CreateDirW(dest, name)) {
          // A file an earlier source put there holds the name.
          const int64_t id = b_.FindFileW(dest, name);
          if (id >= 0 && !b_.IsDirectory(id))
            return Native(b_.SourcePath(id)) + " and the folder " + source + " would both be " +
                   DiscPathForMessage(dest + name) + " on the disc";
          return Refused("folder " + path);
        }
        dest += name + u"\\";
        // The first source to create a disc folder is the one a clash message names.
        saveFolders_.try_emplace(FoldCase(dest), source);
      }
    }
    folders_.push_back({path, dest});
    if (!b_.InsertDirW(dest, Utf16FromNativePath(path), u"*.*", true, false))
      return Refused("folder " + path);
    return {};
  }

  // Why an insertion of `what` failed. A folder that meets a file of an earlier source is a
  // name clash the layout records; Add tells it as one.
  std::string Refused(const std::string& what) const {
    const std::string& why = b_.CDFiles.LastInsertError;
    return "cannot add " + what + " to the disc layout" +
           (why.empty() ? "" : ": " + WithSlashedDiscPath(why));
  }

  // The source path of the folder at `discPath` inside a folder source scanned into `dest`.
  static std::string SourceBelow(const std::string& source, const std::u16string& base,
                                 const std::u16string& discPath) {
    if (discPath.size() <= base.size() || !SameTextI(discPath.substr(0, base.size()), base))
      return source;
    return source + "/" + Slashed(Native(discPath.substr(base.size())));
  }

  // The source folder behind a disc folder: one that --save-path created, or the folder of
  // that relative path inside one of the folder sources.
  std::string FolderSource(const std::u16string& discPath) const {
    if (auto it = saveFolders_.find(FoldCase(discPath + u"\\")); it != saveFolders_.end())
      return it->second;
    for (const TFolderInput& f : folders_) {
      const std::string candidate = SourceBelow(f.path, f.dest, discPath);
      if (candidate != f.path && IsFolder(candidate)) return candidate;
    }
    return {};
  }

  std::string ClashText(const TCDFiles::TNameClash& c) const {
    const std::string where = " would both be " + DiscPathForMessage(c.DiscPath) + " on the disc";
    const std::string added = Native(c.NewSource);
    if (c.ExistingIsFolder) {
      const std::string folder = FolderSource(c.DiscPath);
      return (folder.empty() ? "a folder" : "the folder " + folder) + " and the file " + added +
             where;
    }
    if (c.ExistingSource.empty()) return "an entry of the layout and " + added + where;
    if (c.NewIsFolder) return Native(c.ExistingSource) + " and the folder " + added + where;
    return Native(c.ExistingSource) + " and " + added + where;
  }

  void ReportLeftOut() {
    const auto& leftOut = b_.CDFiles.LeftOut;
    for (; leftOutShown_ < leftOut.size(); ++leftOutShown_)
      warnings_.Warn("left out " + leftOut[leftOutShown_].Path + ": " +
                     leftOut[leftOutShown_].Reason);
  }

  TBrenvik& b_;
  TWarnings& warnings_;
  std::vector<TFolderInput> folders_;
  std::map<std::u16string, std::string> saveFolders_;  // folded "\a\b\" -> its source
  size_t leftOutShown_ = 0;
};

}  // namespace

void TWarnings::Warn(const std::string& text) {
  ++count_;
  std::fprintf(stderr, "torvik-cli: warning: %s\n", text.c_str());
}

std::string AddSources(TBrenvik& burner, const std::vector<std::string>& paths, bool savePath,
                       TWarnings& warnings) {
  TSourceAdder adder(burner, warnings);
  for (const std::string& path : paths)
    if (std::string why = adder.Add(path, savePath); !why.empty()) return why;
  return adder.Clashes();
}

std::vector<std::string> SavePathFolders(std::string_view path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (!out.empty()) out.pop_back();
    } else if (!part.empty() && part != ".") {
      out.emplace_back(part);
    }
    start = end + 1;
  }
  return out;
}

std::string DiscPathForMessage(std::u16string_view discPath) {
  return Slashed(Utf16ToUtf8(discPath));
}

std::string CheckVolumeLabel(std::string_view label) {
  size_t character = 0;
  for (size_t i = 0; i < label.size(); ++i) {
    const auto c = uint8_t(label[i]);
    if ((c & 0xC0) != 0x80) ++character;  // not a continuation byte: a new character
    // C1 controls are the two-byte sequences C2 80 .. C2 9F.
    const bool c1 = c == 0xC2 && i + 1 < label.size() && uint8_t(label[i + 1]) >= 0x80 &&
                    uint8_t(label[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", c1 ? unsigned(uint8_t(label[i + 1])) : c);
      return "the volume label may not hold control characters (" + std::string(code) +
             " is character " + std::to_string(character) + ")";
    }
  }
  return {};
}

}  // namespace torvik::cli
