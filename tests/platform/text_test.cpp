// UTF conversion, case folding and the two orderings the layout relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/bvkText.h"

namespace torvik {
namespace {

class TextTest : public ::testing::Test {};

TEST_F(TextTest, WellFormedTextSurvivesBothWays) {
  const std::vector<std::string> samples = {
      "", "plain ascii", "Ärger über Öl", "€ 100", "日本語", "😀 emoji + 𝄞 clef", "\x7F\x01 ctl"};
  for (const std::string& s : samples) {
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s) << s;
    EXPECT_EQ(NativePathFromUtf16(Utf16FromNativePath(s)), s) << s;
    EXPECT_EQ(Utf16FromNativePath(s), Utf8ToUtf16(s)) << s;
  }
  EXPECT_EQ(Utf8ToUtf16("😀"), std::u16string(u"\xD83D\xDE00"));
}

TEST_F(TextTest, MalformedUtf8BecomesOneReplacementPerBadByte) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const std::vector<Case> cases = {
      {"\x80", u"\xFFFD"},                                   // stray continuation byte
      {"a\xFF" "b", u"a\xFFFD" "b"},                         // never valid
      {"\xC0\xAF", u"\xFFFD\xFFFD"},                         // overlong '/'
      {"\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},               // overlong, three bytes
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},               // encoded surrogate
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},     // above U+10FFFF
      {"\xE2\x82", u"\xFFFD\xFFFD"},                         // truncated at the end
      {"\xE2\x82" "A", u"\xFFFD\xFFFD" "A"},                 // truncated in the middle
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in.size();
}

TEST_F(TextTest, UnpairedSurrogatesBecomeReplacementInUtf8) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"a\xDC00" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf16ToUtf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // pair in wrong order
}

TEST_F(TextTest, NativePathsKeepBytesThatAreNotUtf8) {
  const std::string path = "/tmp/d\xFF\xFE/na\xC3me\x80.txt";
  const std::u16string wide = Utf16FromNativePath(path);
  EXPECT_EQ(NativePathFromUtf16(wide), path);
  // As a name (not a path) the same bytes are replaced, never carried into disc text.
  EXPECT_EQ(Utf16ToUtf8(wide).find('\xFF'), std::string::npos);
}

TEST_F(TextTest, FileNamesKeepEveryByteDistinct) {
  // Bytes that are not UTF-8 read as Latin-1: names that differ on disk differ on the disc.
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"caf\xE9.txt", u"caf\u00E9.txt"},
      {"caf\xE8.txt", u"caf\u00E8.txt"},
      {"caf\xEF\xBF\xBD.txt", u"caf\uFFFD.txt"},  // a real U+FFFD stays one
      {"caf\xC3\xA9.txt", u"caf\u00E9.txt"},        // well-formed UTF-8 is its character
      {"\xC3\x28\x80", u"\u00C3(\u0080"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(NameFromNativeBytes(bytes), text) << bytes;
}

TEST_F(TextTest, SimpleCaseFolding) {
  const std::vector<std::pair<char16_t, char16_t>> cases = {
      {u'A', u'a'},       {u'z', u'z'},       {u'@', u'@'},       {0x00C4, 0x00E4},  // Ä
      {0x00DE, 0x00FE},   {0x00D7, 0x00D7},   {0x00DF, 0x00DF},   {0x00B5, 0x03BC},  // µ
      {0x0178, 0x00FF},   {0x0100, 0x0101},   {0x0101, 0x0101},   {0x0139, 0x013A},  // Ĺ
      {0x017D, 0x017E},   {0x017F, u's'},     {0x0130, 0x0130},   {0x0131, 0x0131},  // İ ı
      {0x01C4, 0x01C6},   {0x0186, 0x0254},   {0x01DE, 0x01DF},   {0x0391, 0x03B1},  // Α
      {0x03A3, 0x03C3},   {0x03C2, 0x03C3},   {0x0386, 0x03AC},   {0x038F, 0x03CE},  // Ώ
      {0x0401, 0x0451},   {0x0416, 0x0436},   {0x0462, 0x0463},   {0x04C1, 0x04C2},  // Ӂ
      {0x04D0, 0x04D1},   {0x0531, 0x0561},   {0x10A0, 0x2D00},   {0x1E9E, 0x00DF},  // ẞ
      {0x1EA0, 0x1EA1},   {0x212A, u'k'},     {0x212B, 0x00E5},   {0xFF21, 0xFF41},  // Ａ
      {0x4E00, 0x4E00},   {0xD83D, 0xD83D},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(int(FoldCase(in)), int(out)) << std::hex << int(in);
}

TEST_F(TextTest, CaseInsensitiveComparison) {
  EXPECT_EQ(CompareTextI(u"readme.txt", u"README.TXT"), 0);
  EXPECT_EQ(CompareTextI(u"ΣΊΣΥΦΟΣ", u"σίσυφος"), 0);  // final sigma folds to sigma
  EXPECT_EQ(CompareTextI(u"Ёлка", u"ёЛКА"), 0);
  EXPECT_EQ(CompareTextI(u"Ärger", u"äRGER"), 0);
  EXPECT_LT(CompareTextI(u"a", u"B"), 0);
  EXPECT_GT(CompareTextI(u"b", u"A"), 0);
  EXPECT_LT(CompareTextI(u"abc", u"ABCD"), 0);
  EXPECT_LT(CompareTextI(u"\xFFFD", u"😀"), 0);  // code-point order, not UTF-16 unit order
  EXPECT_FALSE(SameTextI(u"straße", u"STRASSE"));  // simple folding only
}

TEST_F(TextTest, CollationIsTotalAndPutsLowerCaseFirst) {
  std::vector<std::u16string> names = {u"b", u"Ab", u"aB", u"A", u"ab", u"a", u"Ä", u"ä"};
  std::sort(names.begin(), names.end(),
            [](const auto& x, const auto& y) { return CollateText(x, y) < 0; });
  const std::vector<std::u16string> expected = {u"a", u"A", u"ab", u"aB", u"Ab", u"b", u"ä", u"Ä"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(CollateText(u"same", u"same"), 0);
  EXPECT_NE(CollateText(u"same", u"Same"), 0);
}

TEST_F(TextTest, AsciiHelpers) {
  EXPECT_EQ(UpperAscii("abc.txt_é"), "ABC.TXT_é");
  EXPECT_EQ(CompareAsciiI("readme.", "README."), 0);
  EXPECT_LT(CompareAsciiI("A", "ab"), 0);
  EXPECT_LT(CompareAsciiI("NAME.", "NAME~1."), 0);
  EXPECT_GT(CompareAsciiI("\xC3", "Z"), 0);  // bytes compare unsigned
}

TEST_F(TextTest, CutsNeverSplitACharacter) {
  EXPECT_EQ(CutUtf8("a\xC3\xA9", 2), "a");
  EXPECT_EQ(CutUtf8("a\xC3\xA9", 3), "a\xC3\xA9");
  EXPECT_EQ(CutUtf8("€€", 5), "€");
  EXPECT_EQ(CutUtf8("😀x", 3), "");
  EXPECT_EQ(CutUtf8("abc", 0), "");
  EXPECT_EQ(CutUtf16(u"ab😀", 3), u"ab");
  EXPECT_EQ(CutUtf16(u"ab😀", 4), u"ab😀");
  EXPECT_EQ(CutUtf16(u"abc", 2), u"ab");
}

}  // namespace
}  // namespace torvik
