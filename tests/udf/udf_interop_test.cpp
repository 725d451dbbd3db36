// The UDF view checked by independent readers: udfinfo for the volume, the test's own reader
// for files and bytes, isoinfo and xorriso for the ISO 9660 and Joliet views of the same
// images built by torvik-cli.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>

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
  t.cd().VolumeLabelW = u"Holiday Photos 2026";
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
  // One byte per character: the whole label fits the 32-byte fields too.
  for (const char* field : {"label", "lvid", "vid", "fsid"})
    EXPECT_EQ(Field(info, field), "Holiday Photos 2026") << field;
  if (Have("blkid")) {
    EXPECT_EQ(Shell("blkid -p -o value -s LABEL '" + path.string() + "'"),
              "Holiday Photos 2026\n");
  }
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
  // Builds IMG from SRC with the UDF bridge; returns the command's output on failure. `env`
  // goes before the command (e.g. "TZ=Europe/Berlin").
  void Build(const fs::path& img, const fs::path& src, const std::string& label,
             const std::string& env = "") {
    int rc = 0;
    const std::string out = Shell(env + " " + cli_ + " build-iso -q --udf --volume-id '" +
                                      label + "' '" + img.string() + "' '" + src.string() + "'",
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

// ---- what other readers show: small images, times -------------------------------------------

// udfdump and udfclient take an image for a medium of 512-byte sectors unless told otherwise.
// Each exits with 1 when it cannot open the image ("Disc size too small" under 300 sectors).
bool UdfdumpOpens(const fs::path& img) {
  int rc = -1;
  const std::string out = Shell("udfdump -b 2048 '" + img.string() + "' </dev/null", &rc);
  return rc == 0 && out.find("Volume set") != std::string::npos;
}

// udfclient mounts each volume as a folder of its root, named after the volume; this lists
// that folder, or gives nothing when the image does not open.
std::string UdfclientListing(const fs::path& img) {
  int rc = -1;
  const std::string udfclient = " | udfclient -b 2048 '" + img.string() + "'";
  const std::string top = Shell("printf 'ls\\nquit\\n'" + udfclient, &rc);
  static const std::regex folder(R"(\nd\S*\s+-?\d+\s+-?\d+\s+\d+\s+(\S[^\n]*))");
  std::smatch m;
  if (rc != 0 || !std::regex_search(top, m, folder)) return {};
  const std::string out = Shell("printf 'ls \"" + m[1].str() + "\"\\nquit\\n'" + udfclient, &rc);
  return rc == 0 ? out : std::string();
}

// Images under 300 sectors are padded to 320 (whole packets). The boundary itself: cut to 299
// sectors an image is refused, at 300 it opens (the anchor at 256 is enough there).
TEST_F(UdfCliInterop, SmallImagesOpenInUdfclientAndUdfdump) {
  if (!Have("udfclient") || !Have("udfdump")) GTEST_SKIP() << "udfclient or udfdump missing";
  fs::create_directories(dir_ / "empty");
  fs::create_directories(dir_ / "one");
  std::ofstream(dir_ / "one" / "small.txt") << "six b\n";
  for (const char* tree : {"empty", "one"}) {
    const fs::path img = dir_ / (std::string(tree) + ".iso");
    Build(img, dir_ / tree, "Small");
    EXPECT_EQ(fs::file_size(img), 320u * 2048) << tree;
    EXPECT_TRUE(UdfdumpOpens(img)) << tree;
    const std::string listing = UdfclientListing(img);
    EXPECT_NE(listing, "") << tree;
    EXPECT_EQ(listing.find(" small.txt\n") != std::string::npos, tree[0] == 'o') << listing;
  }
  const fs::path cut = dir_ / "empty.iso";
  fs::resize_file(cut, 299 * 2048);
  EXPECT_FALSE(UdfdumpOpens(cut));
  EXPECT_EQ(UdfclientListing(cut), "");
  fs::resize_file(cut, 300 * 2048);
  EXPECT_TRUE(UdfdumpOpens(cut));
}

// Known modification times, the image built in a zone with daylight saving: 7-Zip's UDF reader
// gives the sources' instants; isoinfo dates "." and ".." like their folders (it prints local
// dates, which the midday times keep on the same day); expiry and effective dates are unset.
TEST_F(UdfCliInterop, FileAndFolderTimesReadBackEverywhere) {
  if (!Have("7z")) GTEST_SKIP() << "7z missing";
  const fs::path src = dir_ / "src", img = dir_ / "times.iso";
  fs::create_directories(src / "Album");
  std::ofstream(src / "Album" / "a.txt") << "a";
  std::ofstream(src / "b.bin") << "b";
  const std::tuple<std::string, time_t, std::string> cases[] = {
      {"Album/a.txt", 1278591011, "2010-07-08 12:10:11"},  // +02:00 in Berlin
      {"b.bin", 1577797198, "2019-12-31 12:59:58"},        // +01:00
      {"Album", 981201906, "2001-02-03 12:05:06"},         // the folder last
  };
  for (const auto& [path, seconds, shown] : cases) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / path).c_str(), times, 0), 0) << path;
  }
  Build(img, src, "Times", "TZ=Europe/Berlin");
  const std::string udf = Shell("TZ=UTC 7z l -slt -tUDF '" + img.string() + "'");
  for (const auto& [path, seconds, shown] : cases) {
    const size_t at = udf.find("Path = " + path + "\n");
    ASSERT_NE(at, std::string::npos) << udf;
    EXPECT_EQ(udf.substr(udf.find("Modified = ", at) + 11, 19), shown) << path;
  }
  // "Directory listing of /ALBUM/", then "." and ".." dated "Feb  3 2001" style.
  const std::string iso = Shell("isoinfo -l -i '" + img.string() + "'");
  std::smatch root, album;
  const std::string date = R"(\s(\w{3} [ \d]\d \d{4}) \[.*)";
  const std::string dots = R"(\n.*)" + date + R"(  \. \n.*)" + date + R"(  \.\. \n)";
  ASSERT_TRUE(std::regex_search(iso, root, std::regex("of /" + dots))) << iso;
  ASSERT_TRUE(std::regex_search(iso, album, std::regex("of /ALBUM/" + dots))) << iso;
  EXPECT_EQ(album[1].str(), "Feb  3 2001");  // the folder's own time
  EXPECT_EQ(album[2].str(), root[1].str());  // its parent's: the root's, made with the image
  EXPECT_EQ(root[1].str().find("1900"), std::string::npos);
  const std::string pvd = Shell("xorriso -indev '" + img.string() + "' -pvd_info");
  EXPECT_NE(pvd.find("Expir. Time  : 0000000000000000"), std::string::npos) << pvd;
  EXPECT_NE(pvd.find("Eff. Time    : 0000000000000000"), std::string::npos) << pvd;
}
