// The building blocks of the UDF bridge: CRC, compressed Unicode, the layout time, names
// shortened for the UDF view.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "layout/bvkUDFTime.h"
#include "layout/bvkUDFUnicode.h"
#include "layout/bvkUDF_CRC.h"
#include "udf_reader.h"

using namespace torvik;

TEST(UDFCrc, TableAndRunAgreeWithBitwiseCrc) {
  for (int b = 0; b < 256; ++b) {
    const uint8_t byte = uint8_t(b);
    ASSERT_EQ(UDFCRC16[size_t(b)], udftest::BitwiseCrc16(&byte, 1)) << b;
  }
  // The standard check value of CRC-16 with polynomial 1021h and initial value 0.
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(UDFCrc16(check, sizeof check), 0x31C3);
  // Runs ending in zeros of every length (file entries are mostly zero tail), and none.
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(2032);
  for (int round = 0; round < 200; ++round) {
    for (auto& x : buf) x = uint8_t(rng());
    const size_t n = rng() % (buf.size() + 1);
    const size_t zeros = round % 4 == 0 ? 0 : rng() % (n + 1);
    std::fill(buf.begin() + long(n - zeros), buf.begin() + long(n), 0);
    if (round == 1) std::fill(buf.begin(), buf.end(), 0);
    ASSERT_EQ(UDFCrc16(buf.data(), n), udftest::BitwiseCrc16(buf.data(), n)) << n << " " << zeros;
  }
}

TEST(UDFUnicode, CompressesWithEitherIdentifier) {
  struct Case {
    uint8_t id;
    std::u16string text;
    int result;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {8, u"AB", 3, {8, 'A', 'B'}},
      {16, u"A\u00e9", 5, {16, 0, 'A', 0, 0xE9}},
      {16, u"\u4e2d", 3, {16, 0x4E, 0x2D}},
      {16, u"", 1, {16}},
      {9, u"A", -1, {}},
  };
  for (const Case& c : cases) {
    uint8_t out[16] = {};
    EXPECT_EQ(CompressOSTAUnicode(int(c.text.size()), c.id, c.text.data(), out), c.result);
    for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(out[i], c.bytes[i]) << int(c.id);
  }
}

TEST(UDFTime, BreaksSecondsSince1970IntoUTC) {
  struct Case {
    int64_t seconds;
    int y, mo, d, h, mi, s;
  };
  const Case cases[] = {
      {0, 1970, 1, 1, 0, 0, 0},
      {951782400, 2000, 2, 29, 0, 0, 0},
      {1709251199, 2024, 2, 29, 23, 59, 59},
      {4102444799, 2099, 12, 31, 23, 59, 59},
      {-1, 1969, 12, 31, 23, 59, 59},
  };
  for (const Case& c : cases) {
    const timestamp t = UDFTimeStampFromUnixSeconds(c.seconds);
    EXPECT_EQ(t.typeAndTimezone, 0x1000);
    EXPECT_EQ(t.year, c.y) << c.seconds;
    EXPECT_EQ(t.month, c.mo) << c.seconds;
    EXPECT_EQ(t.day, c.d) << c.seconds;
    EXPECT_EQ(t.hour * 3600 + t.minute * 60 + t.second, c.h * 3600 + c.mi * 60 + c.s);
  }
  uint8_t b[12];
  WriteUDFTimeStamp(b, UDFTimeStampFromUnixSeconds(951782400 + 3723));
  const uint8_t expected[12] = {0x00, 0x10, 0xD0, 0x07, 2, 29, 1, 2, 3, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(b, expected, 12));
}

TEST(UDFNames, ShortenKeepsExtensionTailAndSurrogatePairs) {
  const std::u16string stem(200, u'n');
  struct Case {
    std::u16string name;
    uint32_t tail;
    size_t length;
    std::u16string ending;
  };
  const Case cases[] = {
      {u"short.txt", 0, 9, u"short.txt"},
      {stem + u".txt", 0, 127, u"nnn.txt"},
      {stem + u".txt", 3, 127, u"n~3.txt"},
      {u"a.txt", 12, 8, u"a~12.txt"},
      {u".hidden" + stem, 0, 127, u"nnn"},                 // a leading dot is no extension
      // An "extension" of 40 characters is none: the name is cut plainly.
      {std::u16string(100, u'n') + u"." + std::u16string(40, u'e'), 0, 127,
       u"nnn." + std::u16string(26, u'e')},
      {std::u16string(126, u'x') + u"\U0001F600yz", 0, 126, u"xxx"},  // pair not split
  };
  for (const Case& c : cases) {
    const std::u16string out = ShortenUDFName(c.name, 127, c.tail);
    EXPECT_EQ(out.size(), c.length);
    EXPECT_EQ(out.substr(out.size() - c.ending.size()), c.ending);
  }
}
