// The texts of a running job: elapsed time for both timers, the progress and speed lines, the
// space lines and their comparison, image file names, and the check that every source opens.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "JobText.h"
#include "common/scratch_dir.h"

namespace torvik::app {
namespace {

namespace fs = std::filesystem;

TEST(JobText, ElapsedTime) {
  struct Case {
    uint64_t ticks;
    unsigned perSecond;
    const char* text;
  } cases[] = {
      {0, 10, "0min 0s"},      {9, 10, "0min 0s"},     {10, 10, "0min 1s"},
      {599, 10, "0min 59s"},   {600, 10, "1min 0s"},   {1250, 10, "2min 5s"},
      {36000, 10, "60min 0s"}, {1800, 20, "1min 30s"}, {19, 20, "0min 0s"},
      {1199, 20, "0min 59s"},  {1200, 20, "1min 0s"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ElapsedText(c.ticks, c.perSecond), c.text) << c.ticks << " at " << c.perSecond;
}

TEST(JobText, ProgressAndSpeed) {
  struct Case {
    const char* prefix;
    uint64_t position, range;
    const char* text;
  } cases[] = {
      {"Executed: ", 0, 2048, "Executed: 0.00MB of 4.00 MB"},
      {"Executed: ", 512, 2048, "Executed: 1.00MB of 4.00 MB (25.00%)"},
      {"Executed: ", 2048, 2048, "Executed: 4.00MB of 4.00 MB (100.00%)"},
      {"Done: ", 1, 3, "Done: 0.00MB of 0.01 MB (33.33%)"},
      {"Executed: ", 2295104, 2295104, "Executed: 4,482.62MB of 4,482.62 MB (100.00%)"},
      {"Done: ", 0, 0, "Done: 0.00MB of 0.00 MB"},
  };
  for (const Case& c : cases) EXPECT_EQ(ProgressText(c.prefix, c.position, c.range), c.text);
  EXPECT_EQ(SpeedText("0min 3s", 1385), "ElapsedTime: 0min 3s, Speed: 1385.00 KB/s");
  EXPECT_EQ(SpeedText("1min 0s", 0), "ElapsedTime: 1min 0s, Speed: 0.00 KB/s");
}

TEST(JobText, SpaceLinesAndComparison) {
  struct Case {
    TSpaceCheck check;
    std::vector<std::string> lines;
    bool enough;
  } cases[] = {
      {{true, 0, 2295104, 100.5},
       {"Writable free disc space: 4,482.62MB", "Requied writable free disc space: 100.50MB"},
       true},
      // Equal is not enough.
      {{true, 0, 512, 1.0},
       {"Writable free disc space: 1.00MB", "Requied writable free disc space: 1.00MB"},
       false},
      {{true, 0, 513, 1.0},
       {"Writable free disc space: 1.00MB", "Requied writable free disc space: 1.00MB"},
       true},
      {{false, 0, 0, 2.25},
       {"Writable free disc space: 0MB", "Requied writable free disc space: 2.25MB"},
       false},
      {{true, 1, 1000, 0.5},
       {"Writable free disc space: 0MB", "Requied writable free disc space: 0.50MB"},
       true},
      {{true, 0, 1000, 0}, {}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpaceLines(c.check), c.lines);
    EXPECT_EQ(EnoughSpace(c.check), c.enough) << c.check.FreeBlocks << " " << c.check.SizeMiB;
  }
}

TEST(JobText, ImageFileNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"/tmp/backup", "/tmp/backup.iso"}, {"/tmp/backup.iso", "/tmp/backup.iso"},
      {"/tmp/backup.ISO", "/tmp/backup.ISO"}, {"/tmp/backup.IsO", "/tmp/backup.IsO"},
      {"/tmp/backup.img", "/tmp/backup.img.iso"}, {"iso", "iso.iso"}, {".iso", ".iso"},
  };
  for (const auto& [chosen, name] : cases) EXPECT_EQ(WithIsoExtension(chosen), name);
}

TEST(JobText, EverySourceOpensOrTheFirstThatDoesNotIsNamed) {
  const fs::path dir = torvik::testing::FreshScratchDir("jobtext");
  fs::create_directories(dir / "tree" / "deep");
  std::ofstream(dir / "tree" / "deep" / "a.txt") << "a";
  std::ofstream(dir / "single.txt") << "s";
  const std::vector<std::string> paths = {(dir / "tree").string(), (dir / "single.txt").string(),
                                          (dir / "gone").string()};
  EXPECT_EQ(FirstUnreadableSource(paths), "");
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser";
  ::chmod((dir / "tree" / "deep" / "a.txt").c_str(), 0);
  EXPECT_EQ(FirstUnreadableSource(paths), (dir / "tree" / "deep" / "a.txt").string() +
                                              ": Permission denied");
}

}  // namespace
}  // namespace torvik::app
