#include "layout/bvkUDFUnicode.h"

namespace torvik {

int CompressOSTAUnicode(int count, uint8_t compressionID, const char16_t* source,
                        uint8_t* destination) {
  if (compressionID != 8 && compressionID != 16) return -1;
  int n = 0;
  destination[n++] = compressionID;
  for (int i = 0; i < count; ++i) {
    if (compressionID == 16) destination[n++] = uint8_t(source[i] >> 8);
    destination[n++] = uint8_t(source[i]);
  }
  return n;
}

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Cuts s to at most n units without leaving half a surrogate pair at the end.
std::u16string_view CutUnits(std::u16string_view s, size_t n) {
  if (s.size() <= n) return s;
  if (n > 0 && IsHighSurrogate(s[n - 1])) --n;
  return s.substr(0, n);
}

}  // namespace

std::u16string ShortenUDFName(std::u16string_view name, uint32_t maxUnits, uint32_t tail) {
  std::u16string suffix;
  if (tail > 0) {
    suffix = u"~";
    for (char c : std::to_string(tail)) suffix += char16_t(c);
  }
  // An extension is what follows the last dot, as long as it is short enough to leave room for
  // a meaningful stem; a leading dot (hidden files) starts no extension.
  std::u16string_view stem = name;
  std::u16string_view ext;
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos && dot > 0 && name.size() - dot <= maxUnits / 4) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  if (name.size() <= maxUnits && tail == 0) return std::u16string(name);
  const size_t room =
      maxUnits > ext.size() + suffix.size() ? maxUnits - ext.size() - suffix.size() : 0;
  std::u16string out(CutUnits(stem, room));
  out += suffix;
  out += ext;
  return std::u16string(CutUnits(out, maxUnits));
}

}  // namespace torvik
