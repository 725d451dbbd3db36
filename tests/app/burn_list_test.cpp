// The burn list's names, limits, sizes and summary texts.
#include <gtest/gtest.h>

#include <fstream>

#include "BurnList.h"
#include "DriveReport.h"
#include "common/scratch_dir.h"

namespace torvik::app {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(BurnList, GroupedFormats) {
  const struct {
    double value;
    int decimals;
    const char* text;
  } cases[] = {{0, 2, "0.00"},          {999.994, 2, "999.99"},     {999.996, 2, "1,000.00"},
               {4482.5, 2, "4,482.50"}, {1234567.891, 2, "1,234,567.89"},
               {5125, 0, "5,125"},      {65535, 0, "65,535"},       {12, 0, "12"}};
  for (const auto& c : cases) EXPECT_EQ(FormatGrouped(c.value, c.decimals), c.text) << c.value;
  // Free blocks of a blank DVD+R: 2295104 * 2048 bytes.
  EXPECT_EQ(BlocksAsMiB(2295104), "4,482.62");
}

TEST(BurnList, DisplayNames) {
  EXPECT_EQ(DisplayName("/home/a/song.mp3", false), "song.mp3");
  EXPECT_EQ(DisplayName("/home/a/music", true), "music ( Folder )");
  // The root has no last component.
  EXPECT_EQ(DisplayName("/", true), " ( Folder )");
  EXPECT_EQ(WithoutTrailingSlash("/home/a/"), "/home/a");
  EXPECT_EQ(WithoutTrailingSlash("/"), "/");
}

TEST(BurnList, LengthLimitIs128Characters) {
  const std::string ok = "/" + std::string(127, 'a');
  EXPECT_FALSE(LengthCheck(ok, false));
  const std::string tooLong = ok + "b";
  EXPECT_EQ(LengthCheck(tooLong, false),
            "File name " + tooLong + " to long (129 characters)! (128 characters maximum.)");
  EXPECT_EQ(LengthCheck(tooLong, true),
            "Folder name " + tooLong + " to long (129 characters)! (128 characters maximum.)");
  // Characters, not bytes: 128 two-byte letters are accepted.
  std::string wide = "/";
  for (int i = 0; i < 127; ++i) wide += "\xC3\xA9";
  EXPECT_FALSE(LengthCheck(wide, false));
}

TEST(BurnList, SummaryLines) {
  TDiscSpace blank{true, 0, 2295104};
  EXPECT_EQ(SummaryLines(0, 3, blank), Lines{});
  EXPECT_EQ(SummaryLines(100, 2, blank),
            (Lines{"Writable free disc space: 4,482.62MB",
                   "Required writable free disc space about: 100.19MB",
                   "Sum of added items: 2"}));
  // A disc holding sessions, or one that cannot be written, offers nothing.
  for (const TDiscSpace disc : {TDiscSpace{true, 1, 500000}, TDiscSpace{false, 0, 500000}})
    EXPECT_EQ(SummaryLines(1.5, 1, disc)[0], "Writable free disc space: 0MB");
  EXPECT_EQ(SummaryLines(1.5, 1, blank)[1], "Required writable free disc space about: 1.50MB");
  EXPECT_EQ(SummaryLines(1000, 1, blank)[1], "Required writable free disc space about: 1001.90MB");
}

TEST(BurnList, ListedBytesCountFilesAndFolderContents) {
  const fs::path dir = torvik::testing::FreshScratchDir("burnlist");
  auto file = [](const fs::path& p, size_t n) { std::ofstream(p) << std::string(n, 'x'); };
  fs::create_directories(dir / "music" / "deep");
  file(dir / "music" / "a", 1000);
  file(dir / "music" / "deep" / "b", 24);
  file(dir / "single", 7);
  fs::create_directories(dir / "other");
  file(dir / "other" / "c", 5000);
  // A link to a folder is not followed; a link to a file counts.
  fs::create_directory_symlink(dir / "other", dir / "music" / "linked");
  fs::create_symlink(dir / "single", dir / "music" / "same");
  EXPECT_EQ(ListedBytes({(dir / "music").string()}), 1000u + 24u + 7u);
  EXPECT_EQ(ListedBytes({(dir / "music").string(), (dir / "single").string(),
                         (dir / "missing").string()}),
            1031u + 7u);
  std::atomic<bool> cancel{true};
  EXPECT_EQ(ListedBytes({(dir / "single").string()}, &cancel), 0u);
}

TEST(SupportMail, BlanksAreEncodedAndTheRequestFollows) {
  EXPECT_EQ(SupportMailLink("help@example.org", {"two words"}),
            "mailto:help@example.org?subject=TorvikBurner&Body=two%20words%0D%0A"
            "Please type your question and e-mail address here:");
  EXPECT_EQ(SupportMailLink("m@example.org", {}),
            "mailto:m@example.org?subject=TorvikBurner&Body="
            "Please type your question and e-mail address here:");
}

}  // namespace
}  // namespace torvik::app
