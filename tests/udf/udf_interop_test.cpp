// The UDF view checked by independent readers: udfinfo for the volume, the test's own reader
// for files and bytes, isoinfo and xorriso for the ISO 9660 and Joliet views of the same
// images built by torvik-cli.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "layout/bvkUDFTime.h"
#include "udf_reader.h"
#include "common/run_command.h"

namespace {

namespace fs = std::filesystem;
using namespace torvik;

std::string Shell(const std::string& cmd, int* status = nullptr) {
  torvik::testing::CommandResult r = torvik::testing::RunCommand(cmd);
  if (status) *status = r.status;
  return r.out;
}

bool Have(const std::string& tool) { return torvik::testing::HaveTool(tool); }

std::string Field(const std::string& text, const std::string& key) {
  std::smatch m;
  const std::regex re("(^|\n)" + key + "=([^\n]*)");
  return std::regex_search(text, m, re) ? m[2].str() : std::string("<missing>");
}

udftest::UdfReader FileReader(int fd) {
  return udftest::UdfReader(
      [fd](uint64_t s, uint8_t* out) { return pread(fd, out, 2048, off_t(s * 2048)) == 2048; });
}

class UdfInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("udfinfo")) GTEST_SKIP() << "udfinfo (udftools) missing";
    const char* tmp = std::getenv("TORVIK_TEST_TMP");
    dir_ = fs::path(tmp ? tmp : fs::temp_directory_path().string()) / "udf_interop" /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

uint8_t SourceByte(const std::string& rel, uint64_t i) { return uint8_t(rel.size() * 13 + i * 7); }

// A tree of folders (one empty, one deep) and files (one empty) on disk.
std::map<std::string, int64_t> MakeSourceTree(const fs::path& src) {
  const std::map<std::string, int64_t> files = {
      {"readme.txt", 100},
      {"Docs/report.pdf", 5000},
      {"Docs/notes/a.txt", 1},
      {"Docs/notes/deep/b.bin", 70000},
      {"Music/track01.flac", 4096},
      {"empty.dat", 0},
      {std::string(140, 'L') + ".txt", 30},
  };
  fs::create_directories(src / "Empty");
  for (auto& [rel, size] : files) {
    fs::create_directories((src / rel).parent_path());
    std::ofstream out(src / rel, std::ios::binary);
    for (int64_t i = 0; i < size; ++i) out.put(char(SourceByte(rel, uint64_t(i))));
  }
  return files;
}

}  // namespace

// An image made of the bridge's structures alone opens in udfinfo with the tree's counts.
TEST_F(UdfInterop, BridgeStructuresOpenInUdfinfo) {
  udftest::TreeBuilder t;
  t.cd().VolumeLabelW = u"Holiday Photos 2024";
  pDirEntry a = t.Dir(t.root(), u"Album");
  t.Dir(a, u"Raw");
  t.Dir(t.root(), u"Empty");
  for (int i = 0; i < 300; ++i)
    t.File(a,
           u"IMG_" + std::u16string(1, char16_t(u'A' + i % 26)) +
               std::u16string(size_t(i / 26 + 1), u'x') + u".jpg",
           i * 100);
  udftest::LayoutBridgeOnly(t.cd());
  auto img =
      udftest::AssembleBridgeOnly(t.cd(), [](const TFileEntry&, uint64_t i) { return uint8_t(i); });
  const fs::path path = dir_ / "bridge.img";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
  int rc = 0;
  const std::string info = Shell("udfinfo '" + path.string() + "'", &rc);
  ASSERT_EQ(rc, 0) << info;
  EXPECT_EQ(Field(info, "label"), "Holiday Photos 2024");
  EXPECT_EQ(Field(info, "numfiles"), "300");
  EXPECT_EQ(Field(info, "numdirs"), "4");
  EXPECT_EQ(Field(info, "udfrev"), "1.50");
  EXPECT_EQ(Field(info, "integrity"), "closed");
  EXPECT_EQ(Field(info, "blocksize"), "2048");
}

// ---- images built by torvik-cli -----------------------------------------------------------

class UdfCliInterop : public UdfInterop {
 protected:
  void SetUp() override {
    UdfInterop::SetUp();
    if (IsSkipped()) return;
    const char* cli = std::getenv("TORVIK_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "TORVIK_CLI not set";
    cli_ = cli;
    if (Shell(cli_ + " build-iso --help").find("--udf") == std::string::npos)
      GTEST_SKIP() << "torvik-cli build-iso has no --udf";
    if (!Have("xorriso") || !Have("isoinfo")) GTEST_SKIP() << "xorriso or isoinfo missing";
  }
  // Builds IMG from SRC with the UDF bridge; returns the command's output on failure.
  void Build(const fs::path& img, const fs::path& src, const std::string& label) {
    int rc = 0;
    const std::string out = Shell(cli_ + " build-iso -q --udf --volume-id '" + label + "' '" +
                                      img.string() + "' '" + src.string() + "'",
                                  &rc);
    ASSERT_EQ(rc, 0) << out;
  }
  std::string cli_;
};

TEST_F(UdfCliInterop, TreeReadsTheSameThroughUdfIsoAndJoliet) {
  const fs::path src = dir_ / "src", img = dir_ / "tree.iso";
  const auto files = MakeSourceTree(src);
  Build(img, src, "UDF Interop");

  int rc = 0;
  const std::string info = Shell("udfinfo '" + img.string() + "'", &rc);
  ASSERT_EQ(rc, 0) << info;
  EXPECT_EQ(Field(info, "label"), "UDF Interop");
  EXPECT_EQ(Field(info, "numfiles"), std::to_string(files.size()));
  EXPECT_EQ(Field(info, "numdirs"), "6");  // root, Docs, notes, deep, Music, Empty

  const int fd = ::open(img.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto r = FileReader(fd);
  ASSERT_TRUE(r.Read()) << r.errors.front();
  std::multiset<std::pair<uint64_t, uint64_t>> udfExtents;
  for (auto& [rel, size] : files) {
    std::u16string path = u"/" + std::u16string(rel.begin(), rel.end());
    if (path.size() > 128) path = path.substr(0, 124) + u".txt";  // the shortened long name
    ASSERT_TRUE(r.nodes.count(path)) << rel;
    const udftest::Node& n = r.nodes.at(path);
    EXPECT_EQ(n.length, uint64_t(size)) << rel;
    const auto bytes = r.ReadFile(n, 0, size_t(size));
    ASSERT_EQ(bytes.size(), size_t(size)) << rel;
    for (size_t i = 0; i < bytes.size(); ++i)
      ASSERT_EQ(bytes[i], SourceByte(rel, i)) << rel << " byte " << i;
    if (size > 0) udfExtents.emplace(n.extents.front().first, uint64_t(size));
  }
  EXPECT_EQ(r.nodes.count(u"/Empty"), 1u);
  // The closing anchor in the image's last sector, just past the partition.
  const uint32_t last = uint32_t(fs::file_size(img) / 2048 - 1);
  uint8_t anchor[2048];
  ASSERT_EQ(pread(fd, anchor, 2048, off_t(last) * 2048), 2048);
  EXPECT_EQ(udftest::CheckTag(anchor, 2, last), "");
  EXPECT_EQ(r.partitionStart + r.partitionLength, last);
  ::close(fd);

  // The ISO 9660 records point at the very sectors the UDF file entries give.
  std::multiset<std::pair<uint64_t, uint64_t>> isoExtents;
  const std::string lbas =
      Shell("xorriso -indev '" + img.string() + "' -find / -type f -exec report_lba --");
  static const std::regex re(R"(File data lba:\s*\d+\s*,\s*(\d+)\s*,\s*\d+\s*,\s*(\d+)\s*,)");
  for (std::sregex_iterator it(lbas.begin(), lbas.end(), re), end; it != end; ++it)
    if (std::stoull((*it)[2].str()) > 0)
      isoExtents.emplace(std::stoull((*it)[1].str()), std::stoull((*it)[2].str()));
  EXPECT_EQ(isoExtents, udfExtents) << lbas;

  // Both ISO 9660 hierarchies still list every file and folder.
  for (const char* joliet : {"", "-J "}) {
    const std::string listing =
        Shell(std::string("isoinfo ") + joliet + "-f -i '" + img.string() + "'", &rc);
    ASSERT_EQ(rc, 0) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), long(files.size() + 5)) << listing;
  }
  EXPECT_NE(Shell("isoinfo -J -f -i '" + img.string() + "'").find("/Docs/notes/deep/b.bin"),
            std::string::npos);
}

// A sparse source file of 1.5 GiB: the UDF view gives its full length and the bytes the ISO
// view gives, through two contiguous extents.
TEST_F(UdfCliInterop, SparseFileOfOneAndAHalfGiB) {
  const fs::path src = dir_ / "src", img = dir_ / "big.iso";
  fs::create_directories(src);
  const uint64_t size = (uint64_t(3) << 29) + 777;
  const uint64_t marks[] = {0, 5000, (uint64_t(1) << 30) - 2049, (uint64_t(1) << 30) - 2048,
                            size - 1};
  {
    const int fd = ::open((src / "big.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(size)), 0);
    for (uint64_t m : marks) {
      const uint8_t b = uint8_t(0xA5 ^ (m >> 12));
      ASSERT_EQ(pwrite(fd, &b, 1, off_t(m)), 1);
    }
    ::close(fd);
  }
  Build(img, src, "Big");
  fs::remove(src / "big.bin");

  const int fd = ::open(img.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto r = FileReader(fd);
  ASSERT_TRUE(r.Read()) << r.errors.front();
  const udftest::Node& n = r.nodes.at(u"/big.bin");
  EXPECT_EQ(n.length, size);
  EXPECT_EQ(n.extents.size(), 2u);

  const std::string lbas =
      Shell("xorriso -indev '" + img.string() + "' -find /big.bin -exec report_lba --");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      lbas, m, std::regex(R"(File data lba:\s*\d+\s*,\s*(\d+)\s*,\s*\d+\s*,\s*(\d+)\s*,)")))
      << lbas;
  const uint64_t isoLba = std::stoull(m[1].str());
  EXPECT_EQ(std::stoull(m[2].str()), size);
  EXPECT_EQ(n.extents.front().first, isoLba);
  for (uint64_t mark : marks) {
    const auto udf = r.ReadFile(n, mark, 1);
    uint8_t iso = 0;
    ASSERT_EQ(pread(fd, &iso, 1, off_t(isoLba * 2048 + mark)), 1);
    ASSERT_EQ(udf.size(), 1u);
    EXPECT_EQ(udf[0], uint8_t(0xA5 ^ (mark >> 12))) << mark;
    EXPECT_EQ(udf[0], iso) << mark;
  }
  EXPECT_EQ(r.ReadFile(n, 1u << 20, 1)[0], 0);
  ::close(fd);
  EXPECT_EQ(Field(Shell("udfinfo '" + img.string() + "'"), "numfiles"), "1");
}
