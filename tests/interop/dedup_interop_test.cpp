// Images whose duplicate files share one copy of their data, read back by independent tools:
// every reader must extract every file, duplicates included, with its own bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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

std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Relative path -> bytes of every file below root.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) m[fs::relative(e.path(), root).string()] = Slurp(e.path());
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

class DedupTree : public ::testing::Test {
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
  uint32_t Build(const fs::path& img, bool dedup, bool udf) {
    TBrenvik b;
    TCompletionQueue q(b);
    b.SetCompletionSink(&q);
    b.SetUDFBridge(udf);
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

  void ExpectTree(const fs::path& out, const std::string& reader) {
    EXPECT_EQ(Snapshot(out), Snapshot(dir_ / "tree")) << reader;
  }

  fs::path dir_;
};

class DedupInterop : public DedupTree, public ::testing::WithParamInterface<bool> {};

TEST_P(DedupInterop, DuplicatesTakeNoSectorsAndEveryReaderExtractsEveryFile) {
  const fs::path plain = dir_ / "plain.iso", img = dir_ / "dedup.iso";
  const uint32_t full = Build(plain, false, GetParam());
  EXPECT_EQ(full - Build(img, true, GetParam()), kSavedSectors);

  const auto x = torvik::testing::RunCommand("xorriso -osirrox on -indev " + Quote(img.string()) +
                                             " -extract / " + Quote((dir_ / "x").string()));
  ASSERT_EQ(x.status, 0) << x.out;
  ExpectTree(dir_ / "x", "xorriso");

  fs::create_directories(dir_ / "t");
  const auto t = torvik::testing::RunCommand("bsdtar -xf " + Quote(img.string()) + " -C " +
                                             Quote((dir_ / "t").string()));
  ASSERT_EQ(t.status, 0) << t.out;
  ExpectTree(dir_ / "t", "bsdtar");

  for (const TTreeFile& f : kTree) {
    const auto i = torvik::testing::RunCommand("isoinfo -J -i " + Quote(img.string()) + " -x " +
                                               Quote(std::string("/") + f.path));
    EXPECT_EQ(i.out, Bytes(f.size, f.seed)) << "isoinfo, " << f.path;
  }

  if (!GetParam()) return;
  if (HaveTool("7z")) {
    const auto z = torvik::testing::RunCommand("7z x -tudf -o" + Quote((dir_ / "z").string()) +
                                               " " + Quote(img.string()));
    ASSERT_EQ(z.status, 0) << z.out;
    ExpectTree(dir_ / "z", "7z (UDF)");
  }
  if (HaveTool("udfinfo")) {
    const auto u = torvik::testing::RunCommand("udfinfo " + Quote(img.string()));
    EXPECT_EQ(u.status, 0) << u.out;
    EXPECT_NE(u.out.find("numfiles=" + std::to_string(std::size(kTree))), std::string::npos) << u.out;
  }
}

INSTANTIATE_TEST_SUITE_P(IsoAndUdf, DedupInterop, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "WithUDF" : "IsoOnly"; });

TEST_F(DedupTree, TheCliPrintsTheBytesSaved) {
  const char* cli = std::getenv("TORVIK_CLI");
  const auto r = torvik::testing::RunCommand(std::string(cli ? cli : "torvik-cli") +
                                             " build-iso --dedup " + Quote((dir_ / "c.iso").string()) +
                                             " " + Quote((dir_ / "tree").string()));
  ASSERT_EQ(r.status, 0) << r.out;
  // Every copy readable this time: b3 shares b1's data as well.
  EXPECT_NE(r.out.find("Duplicates: 5 files share another file's data, " +
                       std::to_string((kSavedSectors + 147) * 2048) + " bytes saved"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace torvik
