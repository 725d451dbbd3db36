#include "platform/bvkText.h"

#include <cstdio>
#include <algorithm>
#include <iterator>
#include <utility>

namespace torvik {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one well-formed UTF-8 sequence at s[i]. Returns its length (1..4) and the code point,
// or 0 when the bytes there are not well-formed (then exactly one byte is bad).
int DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  int len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, min = 0x80, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, min = 0x800, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + size_t(len) > s.size()) return 0;
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + size_t(k)]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

enum class TBadByte { Replace, Escape, Latin1 };

std::u16string FromUtf8(std::string_view s, TBadByte bad) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    const int len = DecodeUtf8(s, i, cp);
    if (len == 0) {
      const auto b = static_cast<unsigned char>(s[i]);
      out.push_back(bad == TBadByte::Escape   ? char16_t(0xDC00 + b)
                    : bad == TBadByte::Latin1 ? char16_t(b)
                                              : kReplacement);
      ++i;
    } else {
      AppendUtf16(out, cp);
      i += size_t(len);
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view s, bool unescapeBadBytes) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if (unescapeBadBytes && u >= 0xDC80 && u <= 0xDCFF)
        out.push_back(char(u - 0xDC00));
      else
        AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// Irregular simple foldings in Latin Extended-B and Greek that no range rule covers.
constexpr std::pair<char16_t, char16_t> kIrregularFolds[] = {
    {0x0181, 0x0253}, {0x0182, 0x0183}, {0x0184, 0x0185}, {0x0186, 0x0254}, {0x0187, 0x0188},
    {0x0189, 0x0256}, {0x018A, 0x0257}, {0x018B, 0x018C}, {0x018E, 0x01DD}, {0x018F, 0x0259},
    {0x0190, 0x025B}, {0x0191, 0x0192}, {0x0193, 0x0260}, {0x0194, 0x0263}, {0x0196, 0x0269},
    {0x0197, 0x0268}, {0x0198, 0x0199}, {0x019C, 0x026F}, {0x019D, 0x0272}, {0x019F, 0x0275},
    {0x01A0, 0x01A1}, {0x01A2, 0x01A3}, {0x01A4, 0x01A5}, {0x01A6, 0x0280}, {0x01A7, 0x01A8},
    {0x01A9, 0x0283}, {0x01AC, 0x01AD}, {0x01AE, 0x0288}, {0x01AF, 0x01B0}, {0x01B1, 0x028A},
    {0x01B2, 0x028B}, {0x01B3, 0x01B4}, {0x01B5, 0x01B6}, {0x01B7, 0x0292}, {0x01B8, 0x01B9},
    {0x01BC, 0x01BD}, {0x01C4, 0x01C6}, {0x01C5, 0x01C6}, {0x01C7, 0x01C9}, {0x01C8, 0x01C9},
    {0x01CA, 0x01CC}, {0x01CB, 0x01CC}, {0x01F1, 0x01F3}, {0x01F2, 0x01F3}, {0x01F4, 0x01F5},
    {0x01F6, 0x0195}, {0x01F7, 0x01BF}, {0x0345, 0x03B9}, {0x037F, 0x03F3}, {0x0386, 0x03AC},
    {0x038C, 0x03CC}, {0x038E, 0x03CD}, {0x038F, 0x03CE}, {0x03C2, 0x03C3}, {0x03CF, 0x03D7},
    {0x03D0, 0x03B2}, {0x03D1, 0x03B8},
    {0x03D5, 0x03C6}, {0x03D6, 0x03C0}, {0x03F0, 0x03BA}, {0x03F1, 0x03C1}, {0x03F4, 0x03B8},
    {0x03F5, 0x03B5}, {0x03F7, 0x03F8}, {0x03F9, 0x03F2}, {0x03FA, 0x03FB}, {0x03FD, 0x037B},
    {0x03FE, 0x037C}, {0x03FF, 0x037D}, {0x04C0, 0x04CF}, {0x10C7, 0x2D27}, {0x10CD, 0x2D2D},
    {0x1E9B, 0x1E61}, {0x1E9E, 0x00DF}, {0x2126, 0x03C9}, {0x212A, 0x006B}, {0x212B, 0x00E5},
};

bool LookUpIrregular(char16_t c, char16_t& r) {
  auto it = std::lower_bound(std::begin(kIrregularFolds), std::end(kIrregularFolds), c,
                             [](const auto& p, char16_t v) { return p.first < v; });
  if (it != std::end(kIrregularFolds) && it->first == c) {
    r = it->second;
    return true;
  }
  return false;
}

constexpr bool In(char16_t c, char16_t lo, char16_t hi) { return c >= lo && c <= hi; }

// Code-point order for UTF-16 units: surrogates (supplementary planes) sort above U+FFFF.
constexpr uint32_t CodePointKey(char16_t u) {
  if (u >= 0xD800 && u <= 0xDFFF) return uint32_t(u) + 0x2000;
  if (u >= 0xE000) return uint32_t(u) - 0x800;
  return u;
}

}  // namespace

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(char16_t(cp));
  } else {
    cp -= 0x10000;
    out.push_back(char16_t(0xD800 + (cp >> 10)));
    out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(std::string_view s) { return FromUtf8(s, TBadByte::Replace); }
std::string Utf16ToUtf8(std::u16string_view s) { return ToUtf8(s, false); }
std::u16string Utf16FromNativePath(std::string_view path) {
  return FromUtf8(path, TBadByte::Escape);
}
std::u16string NameFromNativeBytes(std::string_view name) {
  return FromUtf8(name, TBadByte::Latin1);
}
std::string NativePathFromUtf16(std::u16string_view path) { return ToUtf8(path, true); }

char16_t FoldCase(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c;
  if (c < 0x100) {
    if (In(c, 0xC0, 0xDE) && c != 0xD7) return char16_t(c + 32);
    if (c == 0xB5) return 0x03BC;
    return c;
  }
  if (c < 0x180) {  // Latin Extended-A
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149) return c;  // no simple folding
    if (c == 0x178) return 0xFF;
    if (c == 0x17F) return 's';
    if (In(c, 0x139, 0x148) || In(c, 0x179, 0x17E)) return (c & 1) ? char16_t(c + 1) : c;
    return (c & 1) ? c : char16_t(c + 1);
  }
  char16_t r;
  if (LookUpIrregular(c, r)) return r;
  if (c < 0x250) {  // Latin Extended-B, paired parts
    if (In(c, 0x1CD, 0x1DC)) return (c & 1) ? char16_t(c + 1) : c;
    if (In(c, 0x1DE, 0x1EF) || In(c, 0x1F8, 0x21F) || In(c, 0x222, 0x233) ||
        In(c, 0x246, 0x24F))
      return (c & 1) ? c : char16_t(c + 1);
    return c;
  }
  if (c < 0x400) {  // Greek
    if (c == 0x370 || c == 0x372 || c == 0x376) return char16_t(c + 1);
    if (In(c, 0x388, 0x38A)) return char16_t(c + 37);
    if (In(c, 0x391, 0x3A1) || In(c, 0x3A3, 0x3AB)) return char16_t(c + 32);
    if (In(c, 0x3D8, 0x3EF)) return (c & 1) ? c : char16_t(c + 1);
    return c;
  }
  if (c < 0x530) {  // Cyrillic and its supplement
    if (In(c, 0x400, 0x40F)) return char16_t(c + 80);
    if (In(c, 0x410, 0x42F)) return char16_t(c + 32);
    if (In(c, 0x460, 0x481) || In(c, 0x48A, 0x4BF) || In(c, 0x4D0, 0x52F))
      return (c & 1) ? c : char16_t(c + 1);
    if (In(c, 0x4C1, 0x4CE)) return (c & 1) ? char16_t(c + 1) : c;
    return c;
  }
  if (In(c, 0x531, 0x556)) return char16_t(c + 48);           // Armenian
  if (In(c, 0x10A0, 0x10C5)) return char16_t(c + 0x1C60);     // Georgian
  if (In(c, 0x1E00, 0x1E95) || In(c, 0x1EA0, 0x1EFF))        // Latin Extended Additional
    return (c & 1) ? c : char16_t(c + 1);
  if (In(c, 0x2160, 0x216F)) return char16_t(c + 16);         // Roman numerals
  if (In(c, 0x24B6, 0x24CF)) return char16_t(c + 26);         // circled letters
  if (In(c, 0xFF21, 0xFF3A)) return char16_t(c + 32);         // full-width Latin
  return c;
}

void FoldCaseInto(std::u16string_view s, std::u16string& out) {
  out.reserve(out.size() + s.size());
  for (char16_t c : s) out.push_back(FoldCase(c));
}

std::u16string FoldCase(std::u16string_view s) {
  std::u16string out;
  FoldCaseInto(s, out);
  return out;
}

int CompareTextI(std::u16string_view a, std::u16string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const uint32_t x = CodePointKey(FoldCase(a[i])), y = CodePointKey(FoldCase(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CollateText(std::u16string_view a, std::u16string_view b) {
  if (int r = CompareTextI(a, b); r != 0) return r;
  // Folding maps unit to unit, so equal folded forms have equal lengths.
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    const bool aLower = FoldCase(a[i]) == a[i], bLower = FoldCase(b[i]) == b[i];
    if (aLower != bLower) return aLower ? -1 : 1;
    return CodePointKey(a[i]) < CodePointKey(b[i]) ? -1 : 1;
  }
  return 0;
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return out;
}

int CompareAsciiI(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string_view CutUtf8(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t n = maxBytes;
  // Back off over continuation bytes to the start of the sequence that would be split.
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

std::u16string_view CutUtf16(std::u16string_view s, size_t maxUnits) {
  if (s.size() <= maxUnits) return s;
  size_t n = maxUnits;
  if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return s.substr(0, n);
}

std::string FormatGrouped(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  const std::string s(text);
  const size_t dot = s.find('.');
  const size_t intEnd = dot == std::string::npos ? s.size() : dot;
  const size_t intStart = s[0] == '-' ? 1 : 0;
  std::string out = s.substr(0, intStart);
  for (size_t i = intStart; i < intEnd; ++i) {
    out.push_back(s[i]);
    const size_t left = intEnd - i - 1;
    if (left > 0 && left % 3 == 0) out.push_back(',');
  }
  return out + s.substr(intEnd);
}

}  // namespace torvik
