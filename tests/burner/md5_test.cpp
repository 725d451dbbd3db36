// MD5 as RFC 1321 defines it: its test suite, and md5sum over sizes around the block and piece
// boundaries, fed in pieces of every awkward size.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "burner/bvkMD5.h"
#include "burner_test_support.h"

namespace torvik {
namespace {

TEST(MD5, RfcTestSuite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  TMD5Stream s;
  for (const auto& [text, digest] : suite) {
    EXPECT_EQ(s.Write(text, std::char_traits<char>::length(text)),
              std::char_traits<char>::length(text));
    EXPECT_EQ(s.DigestString(), digest) << '"' << text << '"';  // and the stream starts over
  }
  EXPECT_EQ(s.Read(nullptr, 10), 0u);
}

TEST(MD5, AgreesWithMd5sumAcrossBoundaries) {
  test::ScratchDir scratch;
  const size_t sizes[] = {55, 56, 57, 63, 64, 65, 119, 120, 128, 65535, 65536, 65537, 100000,
                          3 * 65536 + 63};
  const size_t pieces[] = {1, 7, 64, 1000, 65536};
  uint32_t seed = 1;
  for (size_t size : sizes) {
    const auto data = test::Pattern(size, seed++);
    const auto path = scratch.path() / ("f" + std::to_string(size));
    test::WriteFile(path, data);
    std::string expected;
    FILE* p = ::popen(("md5sum '" + path.string() + "'").c_str(), "r");
    ASSERT_TRUE(p);
    char line[128] = {};
    ASSERT_TRUE(std::fgets(line, sizeof line, p));
    ::pclose(p);
    for (char c : std::string(line, 32)) expected += char(std::toupper(static_cast<unsigned char>(c)));
    for (size_t piece : pieces) {
      TMD5Stream s;
      for (size_t at = 0; at < size; at += piece) s.Write(data.data() + at, std::min(piece, size - at));
      EXPECT_EQ(s.DigestString(), expected) << size << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace torvik
