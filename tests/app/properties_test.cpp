// The properties file: its six lines, the defaults for what it does not say, and its removal
// when it is malformed.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Properties.h"
#include "common/scratch_dir.h"

namespace torvik::app {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TProperties Props(int drive, int cache, const char* label, int filter) {
  return TProperties{drive, cache, label, filter};
}

TEST(Properties, ParsedLines) {
  const struct {
    const char* name;
    Lines lines;
    TProperties expected;
  } cases[] = {
      {"plain", {"1", "256", "Backup", "3", "0", "0"}, Props(1, 2, "Backup", 3)},
      {"no drive", {"-1", "64", "X", "2", "0", "0"}, Props(-1, 0, "X", 2)},
      {"cache 100", {"0", "100", "X", "1", "0", "0"}, Props(0, 1, "X", 1)},
      {"empty label", {"0", "512", "", "1", "0", "0"}, Props(0, 3, "TorvikDisc", 1)},
      {"drive not a number", {"x1", "128", "L", "2", "0", "0"}, Props(0, 1, "L", 2)},
      {"drive with a tail", {"1 ", "128", "L", "2", "0", "0"}, Props(0, 1, "L", 2)},
      {"filter not a number", {"2", "128", "L", "two", "0", "0"}, Props(2, 1, "L", 1)},
      {"filter out of range", {"2", "128", "L", "7", "0", "0"}, Props(2, 1, "L", 1)},
      {"lines 5 and 6 unread", {"0", "64", "L", "3", "9", "x"}, Props(0, 0, "L", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = ParseProperties(c.lines);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, c.expected);
  }
  EXPECT_FALSE(ParseProperties({"0", "64", "L", "3", "0"}));
  EXPECT_FALSE(ParseProperties({"0", "64", "L", "3", "0", "0", "0"}));
}

TEST(Properties, SplitLinesAsATextReaderDoes) {
  EXPECT_EQ(SplitLines("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(SplitLines(""), Lines{});
}

std::string Content(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Properties, FileRoundTripCreatesItsFolders) {
  const fs::path dir = torvik::testing::FreshScratchDir("props");
  const fs::path file = dir / "config" / "QXRegistration" / "TorvikProperties";
  const TProperties p = Props(2, 3, "Ferien 2026", 2);
  ASSERT_TRUE(WritePropertiesFile(file.string(), p));
  EXPECT_EQ(Content(file), "2\r\n512\r\nFerien 2026\r\n2\r\n0\r\n0\r\n");
  const TPropertiesRead read = ReadPropertiesFile(file.string());
  EXPECT_EQ(read.State, TPropertiesFileState::Valid);
  EXPECT_EQ(read.Properties, p);
}

TEST(Properties, MalformedFileIsDeletedAndMissingOneGivesDefaults) {
  const fs::path dir = torvik::testing::FreshScratchDir("props-bad");
  const fs::path file = dir / "TorvikProperties";
  for (const char* content : {"", "0\r\n128\r\n", "0\r\n128\r\nL\r\n1\r\n0\r\n0\r\nextra\r\n"}) {
    std::ofstream(file, std::ios::binary) << content;
    const TPropertiesRead read = ReadPropertiesFile(file.string());
    EXPECT_EQ(read.State, TPropertiesFileState::Malformed) << content;
    EXPECT_EQ(read.Properties, TProperties{});
    EXPECT_FALSE(fs::exists(file));
  }
  const TPropertiesRead missing = ReadPropertiesFile(file.string());
  EXPECT_EQ(missing.State, TPropertiesFileState::Missing);
  EXPECT_EQ(missing.Properties, Props(0, 1, "TorvikDisc", 1));
}

TEST(Properties, CacheSizes) {
  const int megabytes[] = {64, 128, 256, 512};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(CacheMegabytes(i), megabytes[i]);
    EXPECT_EQ(CacheIndexFromText(std::to_string(megabytes[i])), i);
  }
  EXPECT_EQ(CacheMegabytes(4), 0);
  EXPECT_EQ(CacheIndexFromText("0128"), 1);
}

}  // namespace
}  // namespace torvik::app
