// Images built by torvik-cli, read back by independent tools: xorriso (osirrox), isoinfo and
// bsdtar must see the same tree, names, sizes and bytes; the El Torito catalog must point at the
// boot image; and the CLI must turn each failure into a message and a non-zero exit.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "common/run_command.h"
#include "common/scratch_dir.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = uint8_t(x >> 16);
  }
  return v;
}

void WriteFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const fs::path& p, uint64_t offset = 0, size_t n = SIZE_MAX) {
  std::ifstream f(p, std::ios::binary);
  f.seekg(std::streamoff(offset));
  std::vector<uint8_t> v;
  if (n == SIZE_MAX) {
    v.assign(std::istreambuf_iterator<char>(f), {});
  } else {
    v.resize(n);
    f.read(reinterpret_cast<char*>(v.data()), std::streamsize(n));
    v.resize(size_t(f.gcount()));
  }
  return v;
}

using torvik::testing::Quote;

using torvik::testing::CommandResult;
using torvik::testing::HaveTool;
CommandResult Shell(const std::string& command) { return torvik::testing::RunCommand(command); }

std::string Cli() {
  const char* c = std::getenv("TORVIK_CLI");
  return c ? c : "torvik-cli";
}

// Every regular file below root: relative path -> bytes. Folders are listed with an empty
// marker so that empty folders count too.
std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& root) {
  std::map<std::string, std::vector<uint8_t>> m;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_directory()) {
      m[rel + "/"] = {};
    } else {
      m[rel] = ReadBytes(it->path());
    }
  }
  return m;
}

// Extracted trees are read-only; make them removable again.
void MakeWritable(const fs::path& root) {
  std::error_code ec;
  if (!fs::exists(root, ec)) return;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
}

// isoinfo has no UTF-8 output: it prints a Joliet character below U+0100 as that Latin-1 byte
// and any other as "_". The expected names go through the same mapping.
std::string AsIsoinfoPrints(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = uint8_t(utf8[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0) {
      cp = c & 0x07, len = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F, len = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F, len = 2;
    }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) cp = cp << 6 | (uint8_t(utf8[i + k]) & 0x3F);
    out += cp < 0x100 ? char(cp) : '_';
    i += len;
  }
  return out;
}

class Interop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* base = std::getenv("TORVIK_TEST_TMP");
    root_ = (base && *base ? fs::path(base) : fs::temp_directory_path()) /
            ("interop-" + std::to_string(::getpid()));
    MakeWritable(root_);
    fs::remove_all(root_);
    MakeTree(root_ / "tree");
    WriteFile(root_ / "boot2048.bin", Pattern(2048, 901));
    WriteFile(root_ / "floppy.img", Pattern(1474560, 902));
  }
  static void TearDownTestSuite() {
    MakeWritable(root_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void SetUp() override {
    for (const char* tool : {"xorriso", "isoinfo", "bsdtar"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }

  static void MakeTree(const fs::path& t) {
    const std::vector<size_t> sizes = {0, 1, 2047, 2048, 2049, 65536, 100000};
    uint32_t seed = 1;
    for (size_t s : sizes) WriteFile(t / "sizes" / ("f" + std::to_string(s) + ".bin"), Pattern(s, seed++));
    WriteFile(t / "big" / "several MiB.dat", Pattern(3 * 1048576 + 777, seed++));
    WriteFile(t / "MiXeD CaSe" / "Upper And lower.TXT", Pattern(300, seed++));
    WriteFile(t / "MiXeD CaSe" / "with  two  spaces .txt", Pattern(301, seed++));
    WriteFile(t / "Ünïcödé Ordner" / "Æble grød.txt", Pattern(302, seed++));
    WriteFile(t / "Ünïcödé Ordner" / "日本語のファイル.txt", Pattern(303, seed++));
    WriteFile(t / "Ünïcödé Ordner" / "Ελληνικά.md", Pattern(304, seed++));
    WriteFile(t / "long" / (std::string(96, 'n') + ".txt"), Pattern(305, seed++));
    WriteFile(t / "long" / (std::string(60, 'L') + "_" + std::string(39, 'x')), Pattern(306, seed++));
    for (int i = 0; i < 3000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "file%04d.txt", i);
      WriteFile(t / "many" / name, Pattern(size_t(i % 50), seed + uint32_t(i)));
    }
    seed += 3000;
    fs::path deep = t / "deep";
    for (int level = 1; level <= 9; ++level) deep /= "level" + std::to_string(level);
    WriteFile(deep / "bottom.txt", Pattern(1000, seed++));
    WriteFile(t / ".hidden", Pattern(10, seed++));
    WriteFile(t / ".config" / "settings.ini", Pattern(20, seed++));
    fs::create_directories(t / "empty folder");
  }

  // Builds an image of the tree with extra options; returns the image and its sector count
  // from the summary line.
  fs::path Build(const std::string& name, const std::string& options, uint64_t* sectors) {
    const fs::path img = root_ / (name + ".iso");
    const auto r = Shell(Cli() + " build-iso --force " + options + " " + Quote(img.string()) + " " +
                       Quote((root_ / "tree").string()));
    EXPECT_EQ(r.status, 0) << r.out;
    std::smatch m;
    const std::regex summary(R"(\((\d+) sectors\))");
    EXPECT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    if (sectors && !m.empty()) *sectors = std::stoull(m[1]);
    return img;
  }

  void ExpectSameTreeFromXorriso(const fs::path& img, const std::string& tag) {
    const fs::path out = root_ / ("x-" + tag);
    const auto r = Shell("xorriso -osirrox on -indev " + Quote(img.string()) + " -extract / " +
                       Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Snapshot(out), Snapshot(root_ / "tree")) << "xorriso, " << tag;
    MakeWritable(out);
    fs::remove_all(out);
  }

  void ExpectSameTreeFromBsdtar(const fs::path& img, const std::string& tag) {
    const fs::path out = root_ / ("b-" + tag);
    fs::create_directories(out);
    const auto r = Shell("bsdtar -xf " + Quote(img.string()) + " -C " + Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Snapshot(out), Snapshot(root_ / "tree")) << "bsdtar, " << tag;
    MakeWritable(out);
    fs::remove_all(out);
  }

  // isoinfo -l -J: every file and folder of the tree with its size.
  void ExpectIsoinfoListsEveryName(const fs::path& img) {
    const auto r = Shell("isoinfo -l -J -i " + Quote(img.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    std::set<std::pair<std::string, int64_t>> listed;
    std::string dir;
    const std::regex header(R"(^Directory listing of (.*)$)");
    const std::regex entry(R"(^([d-])\S*\s+\d+\s+\d+\s+\d+\s+(\d+)\s.*\[\s*\d+\s+\d+\]  (.*) $)");
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
      std::smatch m;
      if (std::regex_match(line, m, header)) {
        dir = m[1].str().substr(1);
      } else if (std::regex_match(line, m, entry)) {
        const std::string name = m[3];
        if (name == "." || name == "..") continue;
        const bool isDir = m[1] == "d";
        listed.insert({dir + name + (isDir ? "/" : ""), isDir ? -1 : std::stoll(m[2])});
      }
    }
    std::set<std::pair<std::string, int64_t>> expected;
    for (const auto& [rel, bytes] : Snapshot(root_ / "tree"))
      expected.insert({AsIsoinfoPrints(rel), rel.back() == '/' ? -1 : int64_t(bytes.size())});
    std::vector<std::pair<std::string, int64_t>> missing, extra;
    std::set_difference(expected.begin(), expected.end(), listed.begin(), listed.end(),
                        std::back_inserter(missing));
    std::set_difference(listed.begin(), listed.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << "missing " << missing.size() << " (first " << (missing.empty() ? "" : missing[0].first)
        << "), extra " << extra.size() << " (first " << (extra.empty() ? "" : extra[0].first)
        << ")";
  }

  static fs::path root_;
};

fs::path Interop::root_;

TEST_F(Interop, JolietImageReadsBackTheSameEverywhere) {
  uint64_t sectors = 0;
  const fs::path img = Build("joliet", "--volume-id 'Interop Test'", &sectors);
  EXPECT_EQ(fs::file_size(img), sectors * 2048);
  EXPECT_EQ(fs::file_size(img) % 65536, 0u);

  const auto d = Shell("isoinfo -d -i " + Quote(img.string()));
  EXPECT_EQ(d.status, 0);
  // The primary descriptor holds d-characters only; the label keeps its case in Joliet.
  EXPECT_NE(d.out.find("Volume id: INTEROP TEST"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("Logical block size is: 2048"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("Volume size is: " + std::to_string(sectors)), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("Joliet with UCS level"), std::string::npos) << d.out;

  ExpectSameTreeFromXorriso(img, "joliet");
  ExpectIsoinfoListsEveryName(img);
  ExpectSameTreeFromBsdtar(img, "joliet");
}

TEST_F(Interop, Iso9660v1999AlongsideJolietReadsBackTheSame) {
  uint64_t sectors = 0;
  const fs::path img = Build("both", "--iso9660-1999", &sectors);
  EXPECT_EQ(fs::file_size(img), sectors * 2048);
  ExpectSameTreeFromXorriso(img, "both");
  ExpectSameTreeFromBsdtar(img, "both");
}

// Without Joliet the readers fall back to ISO 9660:1999 names (xorriso) or the primary
// hierarchy; whatever names they pick, every file's bytes must be there.
TEST_F(Interop, WithoutJolietEveryFileStillComesBack) {
  for (const std::string& opts : {std::string("--no-joliet --iso9660-1999"),
                                  std::string("--no-joliet")}) {
    uint64_t sectors = 0;
    const fs::path img = Build("nojoliet", opts, &sectors);
    EXPECT_EQ(fs::file_size(img), sectors * 2048) << opts;
    const auto d = Shell("isoinfo -d -i " + Quote(img.string()));
    EXPECT_NE(d.out.find("NO Joliet present"), std::string::npos) << opts << "\n" << d.out;

    const fs::path out = root_ / "x-nojoliet";
    const auto r = Shell("xorriso -osirrox on -indev " + Quote(img.string()) + " -extract / " +
                       Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    std::multiset<std::vector<uint8_t>> got, want;
    for (auto& [rel, bytes] : Snapshot(out))
      if (rel.back() != '/') got.insert(bytes);
    for (auto& [rel, bytes] : Snapshot(root_ / "tree"))
      if (rel.back() != '/') want.insert(bytes);
    EXPECT_EQ(got.size(), want.size()) << opts;
    EXPECT_TRUE(got == want) << opts;
    MakeWritable(out);
    fs::remove_all(out);
  }
}

// El Torito: the boot record at sector 17 names the catalog; the catalog's initial entry
// names the load sector, which must hold the boot image's bytes.
TEST_F(Interop, TheBootCatalogPointsAtTheBootImage) {
  for (const std::string& boot : {std::string("boot2048.bin"), std::string("floppy.img")}) {
    const fs::path bootFile = root_ / boot;
    uint64_t sectors = 0;
    const fs::path img = Build("boot", "--boot " + Quote(bootFile.string()), &sectors);
    EXPECT_EQ(fs::file_size(img), sectors * 2048);
    const auto brvd = ReadBytes(img, 17 * 2048, 2048);
    ASSERT_EQ(brvd.size(), 2048u);
    ASSERT_EQ(brvd[0], 0);
    ASSERT_EQ(std::string(brvd.begin() + 1, brvd.begin() + 6), "CD001");
    const uint32_t catalog = brvd[71] | brvd[72] << 8 | brvd[73] << 16 | uint32_t(brvd[74]) << 24;
    const auto cat = ReadBytes(img, uint64_t(catalog) * 2048, 2048);
    ASSERT_EQ(cat[32], 0x88) << "initial entry bootable";
    const uint32_t load = cat[40] | cat[41] << 8 | cat[42] << 16 | uint32_t(cat[43]) << 24;
    const auto bootBytes = ReadBytes(bootFile);
    EXPECT_EQ(ReadBytes(img, uint64_t(load) * 2048, bootBytes.size()), bootBytes) << boot;

    const auto d = Shell("isoinfo -d -i " + Quote(img.string()));
    EXPECT_NE(d.out.find("El Torito"), std::string::npos) << d.out;
    ExpectSameTreeFromXorriso(img, "boot");
  }
}

// With the UDF bridge the stream also carries the UDF file structures and, in the image's last
// sector, the closing anchor; udfinfo must accept the result and see every file.
TEST_F(Interop, TheUDFBridgeEndsWithItsClosingAnchor) {
  if (!HaveTool("udfinfo")) GTEST_SKIP() << "udfinfo is not installed";
  TBrenvik b;
  TCompletionQueue q(b);
  b.SetCompletionSink(&q);
  bool failed = true;
  b.SetOnWriteDone([&](void*, uint8_t, bool f) { failed = f; });
  b.SetUDFBridge(true);
  b.SetVolumeID("UDFBRIDGE");
  ASSERT_NE(b.InsertDir("\\", (root_ / "tree" / "sizes").string(), "*.*", true, false), nullptr);
  ASSERT_NE(b.InsertDir("\\", (root_ / "tree" / "big").string(), "*.*", true, false), nullptr);
  b.Prepare();
  const fs::path img = root_ / "udf.iso";
  ASSERT_TRUE(b.BuildISOImage(img.string())) << b.ErrorString();
  q.WaitAndDispatch();
  b.WaitForJob();
  ASSERT_FALSE(failed) << b.ErrorString();

  const uint64_t sectors = b.ImageSize();
  ASSERT_EQ(fs::file_size(img), sectors * 2048);
  const auto last = ReadBytes(img, (sectors - 1) * 2048, 2048);
  EXPECT_EQ(last[0] | last[1] << 8, 2) << "anchor volume descriptor pointer";
  EXPECT_EQ(uint64_t(last[12] | last[13] << 8 | last[14] << 16 | uint32_t(last[15]) << 24),
            sectors - 1)
      << "tag location";
  const auto info = Shell("udfinfo " + Quote(img.string()));
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("numfiles=8"), std::string::npos) << info.out;
}

// ---- the CLI's failures ------------------------------------------------------------------

class CliFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = torvik::testing::FreshScratchDir("cli");
    WriteFile(dir_ / "src" / "a.txt", Pattern(5000, 1));
  }
  void TearDown() override { fs::remove_all(dir_); }

  CommandResult Build(const std::string& args) { return Shell(Cli() + " build-iso " + args); }
  std::string Src() const { return Quote((dir_ / "src").string()); }

  fs::path dir_;
};

TEST_F(CliFailures, HelpAndVersionWork) {
  const auto help = Shell(Cli() + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("build-iso"), std::string::npos);
  const auto sub = Shell(Cli() + " build-iso --help");
  EXPECT_EQ(sub.status, 0);
  for (const char* opt : {"--volume-id", "--no-joliet", "--iso9660-1999", "--boot", "--cache-mb",
                          "--save-path", "--force", "--quiet"})
    EXPECT_NE(sub.out.find(opt), std::string::npos) << opt;
  const auto version = Shell(Cli() + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("torvik-cli"), std::string::npos);
}

TEST_F(CliFailures, AnExistingOutputNeedsForce) {
  const fs::path out = dir_ / "out.iso";
  WriteFile(out, Pattern(10, 2));
  const auto refused = Build(Quote(out.string()) + " " + Src());
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.out.find("--force"), std::string::npos) << refused.out;
  EXPECT_EQ(fs::file_size(out), 10u) << "the existing file is left alone";
  const auto forced = Build("--force --quiet " + Quote(out.string()) + " " + Src());
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_EQ(forced.out, "") << "--quiet prints nothing on success";
  EXPECT_EQ(fs::file_size(out) % 65536, 0u);
}

TEST_F(CliFailures, EachFailureIsAMessageAndANonZeroExit) {
  struct Case {
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Quote((dir_ / "x.iso").string()) + " " + Quote((dir_ / "missing").string()),
       "no such file or folder"},
      {Quote((dir_ / "no/such/dir/x.iso").string()) + " " + Src(), "Error creating file \\"},
      {"--force /dev/full " + Src(), "Error creating file \\/dev/full\\."},
      {"--boot " + Quote((dir_ / "src/a.txt").string()) + " " + Quote((dir_ / "y.iso").string()) +
           " " + Src(),
       "boot image"},
      {Quote(dir_.string()) + " " + Src(), "is a folder"},
  };
  for (const Case& c : cases) {
    if (c.args.find("/dev/full") != std::string::npos && ::access("/dev/full", W_OK) != 0)
      continue;
    const auto r = Build(c.args);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
  }
  EXPECT_FALSE(fs::exists(dir_ / "y.iso"));
}

TEST_F(CliFailures, SeveralFoldersMergeAtTheRoot) {
  WriteFile(dir_ / "src2" / "b.txt", Pattern(7, 3));
  WriteFile(dir_ / "single.txt", Pattern(9, 4));
  const fs::path img = dir_ / "merged.iso";
  const auto r = Build("--quiet " + Quote(img.string()) + " " + Src() + " " +
                       Quote((dir_ / "src2").string()) + " " +
                       Quote((dir_ / "single.txt").string()));
  ASSERT_EQ(r.status, 0) << r.out;
  const auto list = Shell("isoinfo -l -J -i " + Quote(img.string()));
  for (const char* name : {"a.txt", "b.txt", "single.txt"})
    EXPECT_NE(list.out.find(std::string("]  ") + name + " "), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("src"), std::string::npos) << "folder contents land at the root";
}

}  // namespace
}  // namespace torvik
