// Images whose duplicate files share one copy of their data, read back by independent tools:
// every reader must extract every file, duplicates included, with its own bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "common/run_command.h"
#include "common/scratch_dir.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using torvik::testing::HaveTool;
using torvik::testing::Quote;

std::string Bytes(size_t n, uint32_t seed) {
  std::string v(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : v) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return v;
}

// Relative path -> bytes of every file below root.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::ifstream f(e.path(), std::ios::binary);
    m[fs::relative(e.path(), root).string()].assign(std::istreambuf_iterator<char>(f), {});
  }
  return m;
}

struct TTreeFile {
  const char* path;
  size_t size;
  uint32_t seed;
};

// Three copies of one file, a file of their size with other bytes, two 1-byte copies, and two
// copies of a larger file, the second of which cannot be read while duplicates are searched.
const TTreeFile kTree[] = {
    {"one/a.bin", 9000, 1},          {"two/a copy.bin", 9000, 1},  {"three/a again.bin", 9000, 1},
    {"one/other.bin", 9000, 2},      {"tiny1", 1, 3},              {"two/tiny2", 1, 3},
    {"big/b1.dat", 300000, 4},       {"big/b2.dat", 300000, 4},    {"big/b3 hidden.dat", 300000, 4},
    {"unique.txt", 12345, 5},        {"empty", 0, 6},
};
constexpr const char* kUnreadable = "big/b3 hidden.dat";
// a: 2 copies of 5 sectors, tiny: 1 of 1, b2: 1 of 147 (b3 was not readable).
constexpr uint64_t kSavedSectors = 2 * 5 + 1 + 147;

class DedupInterop : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    for (const char* tool : {"xorriso", "isoinfo", "bsdtar"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    dir_ = torvik::testing::FreshScratchDir("dedup");
    for (const TTreeFile& f : kTree) {
      fs::create_directories((dir_ / "tree" / f.path).parent_path());
      std::ofstream(dir_ / "tree" / f.path, std::ios::binary) << Bytes(f.size, f.seed);
    }
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Builds the tree into `img`; returns the sectors the layout needs (before packet padding).
  uint32_t Build(const fs::path& img, bool dedup) {
    TBrenvik b;
    TCompletionQueue q(b);
    b.SetCompletionSink(&q);
    b.SetUDFBridge(GetParam());
    b.SetOnGenerateSmartReferencesDone([](void*, bool failed, int32_t) { EXPECT_FALSE(failed); });
    bool failed = true;
    b.SetOnWriteDone([&](void*, uint8_t, bool f) { failed = f; });
    EXPECT_NE(b.InsertDir("\\", (dir_ / "tree").string(), "*.*", true, false), nullptr);
    if (dedup) {
      // Unreadable while the search runs (a folder where the file was), back before the build.
      const fs::path hidden = dir_ / "tree" / kUnreadable, away = dir_ / "away";
      fs::rename(hidden, away);
      fs::create_directory(hidden);
      EXPECT_TRUE(b.GenerateSmartReferences());
      q.WaitAndDispatch();
      b.WaitForJob();
      fs::remove(hidden);
      fs::rename(away, hidden);
      EXPECT_EQ(b.SmartReferencesSaved(), kSavedSectors * 2048);
      EXPECT_EQ(b.SmartReferencesSkipped().size(), 1u);
    }
    const uint32_t sectors = b.Prepare();
    EXPECT_TRUE(b.BuildISOImage(img.string()));
    q.WaitAndDispatch();
    b.WaitForJob();
    EXPECT_FALSE(failed) << b.ErrorString();
    return sectors;
  }

  fs::path dir_;
};

TEST_P(DedupInterop, DuplicatesTakeNoSectorsAndEveryReaderExtractsEveryFile) {
  const fs::path img = dir_ / "dedup.iso";
  const uint32_t full = Build(dir_ / "plain.iso", false);
  EXPECT_EQ(full - Build(img, true), kSavedSectors);

  const std::string in = Quote(img.string());
  const struct {
    const char* reader;
    std::string command;  // extracts into OUT
    bool udf;             // reads the UDF bridge
  } readers[] = {
      {"xorriso", "xorriso -osirrox on -indev " + in + " -extract / OUT", false},
      {"bsdtar", "mkdir OUT && bsdtar -xf " + in + " -C OUT", false},
      {"7z", "7z x -tudf -oOUT " + in, true},
  };
  for (const auto& r : readers) {
    if (r.udf && (!GetParam() || !HaveTool("7z"))) continue;
    const std::string out = (dir_ / r.reader).string();
    const auto x = torvik::testing::RunCommand(
        std::regex_replace(r.command, std::regex("OUT"), Quote(out)));
    ASSERT_EQ(x.status, 0) << r.reader << ": " << x.out;
    EXPECT_EQ(Snapshot(out), Snapshot(dir_ / "tree")) << r.reader;
  }
  for (const TTreeFile& f : kTree) {
    const auto i = torvik::testing::RunCommand("isoinfo -J -i " + in + " -x " +
                                               Quote(std::string("/") + f.path));
    EXPECT_EQ(i.out, Bytes(f.size, f.seed)) << "isoinfo, " << f.path;
  }
  if (GetParam() && HaveTool("udfinfo")) {
    const auto u = torvik::testing::RunCommand("udfinfo " + in);
    EXPECT_NE(u.out.find("numfiles=" + std::to_string(std::size(kTree))), std::string::npos) << u.out;
  }
}

INSTANTIATE_TEST_SUITE_P(IsoAndUdf, DedupInterop, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "WithUDF" : "IsoOnly"; });

}  // namespace
}  // namespace torvik
