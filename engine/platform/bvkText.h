// Text helpers standing in for the Windows code-page and comparison calls: UTF-8 is the 8-bit
// encoding, UTF-16 the wide one. Comparisons are by Unicode simple case folding, so results are
// the same on every machine whatever its locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torvik {

// UTF-8 to UTF-16. Every byte sequence that is not well-formed UTF-8 (stray continuation bytes,
// overlong forms, encoded surrogates, values above U+10FFFF, truncated sequences) becomes one
// U+FFFD per offending byte, so the result is always valid UTF-16.
std::u16string Utf8ToUtf16(std::string_view s);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);

// Lossless forms for file-system paths, which on Linux are bytes rather than text: a byte that
// is not part of well-formed UTF-8 is carried as the lone surrogate U+DC80 + byte and turned
// back into that byte by NativePathFromUtf16, so a path read from a directory can be opened
// again. Use only for source paths, never for names written to a disc.
std::u16string Utf16FromNativePath(std::string_view path);
std::string NativePathFromUtf16(std::u16string_view path);

// The text a file name shows on a disc. Names on Linux are bytes: a well-formed UTF-8 sequence
// is its character, and every other byte is taken as the Latin-1 character of that value (most
// such names come from Latin-1 systems), so names that differ in their bytes still differ as
// text; replacing bad bytes with U+FFFD would make "caf\xe9" and "caf\xe8" one name. Two
// names can still meet ("caf\xe9" and the UTF-8 "caf\xc3\xa9"); the layout keeps both.
std::u16string NameFromNativeBytes(std::string_view name);

// Appends one code point in UTF-16 / UTF-8 (a lone surrogate becomes U+FFFD in UTF-8).
void AppendUtf16(std::u16string& out, char32_t cp);
void AppendUtf8(std::string& out, char32_t cp);

// Simple case folding (Unicode CaseFolding.txt, status C and S) of one UTF-16 unit. Covers
// ASCII, Latin-1, Latin Extended-A and -B (the paired parts), Latin Extended Additional, Greek,
// Cyrillic, Armenian, Georgian, Roman numerals, circled letters and full-width Latin.
char16_t FoldCase(char16_t c);
std::u16string FoldCase(std::u16string_view s);
// Appends the folded form of s to out (lets callers reuse a buffer).
void FoldCaseInto(std::u16string_view s, std::u16string& out);

// Case-insensitive comparison (the role of lstrcmpiW): <0, 0, >0 by folded code points.
int CompareTextI(std::u16string_view a, std::u16string_view b);
inline bool SameTextI(std::u16string_view a, std::u16string_view b) {
  return CompareTextI(a, b) == 0;
}

// The collation used where a locale-dependent, case-sensitive ordering was asked for (the role
// of CompareStringW): first by folded code points; when the folded forms are equal, at the first
// position where the two texts differ the lower-case (already folded) character sorts first, and
// otherwise the smaller code point. Total and deterministic: 0 only for identical texts.
int CollateText(std::u16string_view a, std::u16string_view b);

// ASCII-only upper-casing of 8-bit text (ISO 9660 names).
std::string UpperAscii(std::string_view s);
// Byte-wise comparison ignoring the case of ASCII letters; a prefix sorts first.
int CompareAsciiI(std::string_view a, std::string_view b);

// The longest prefix of s of at most maxBytes bytes that does not end inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view s, size_t maxBytes);
// The longest prefix of s of at most maxUnits units that does not split a surrogate pair.
std::u16string_view CutUtf16(std::u16string_view s, size_t maxUnits);

// "#,##0" (decimals 0) and "#,##0.00" (decimals 2): thousands grouped by commas.
std::string FormatGrouped(double value, int decimals);

}  // namespace torvik
