// Images read back by independent tools (isoinfo, xorriso, bsdtar): a complete image is the
// header, the file data at the sectors Prepare assigned and zero padding up to TotalImageSize.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "iso_test_support.h"
#include "layout/bvkUDFBridge.h"
#include "platform/bvkText.h"
#include "common/run_command.h"

namespace torvik::test {
namespace {

namespace fs = std::filesystem;

std::string RunTool(const std::string& cmd, int* status = nullptr) {
  torvik::testing::CommandResult r = torvik::testing::RunCommand(cmd);
  if (status) *status = r.status;
  return r.out;
}

bool HaveTool(const char* name) { return torvik::testing::HaveTool(name); }

uint8_t DataByte(const TFileEntry& e, uint64_t i) { return uint8_t(e.FileIndex * 31 + i * 7); }

// name -> size for files, size -1 for folders; keys are full paths without a trailing slash.
using TListing = std::map<std::string, int64_t>;

// `isoinfo -l` prints "Directory listing of /A/B/" and then one line per record:
// "d---------   0    0    0            2048 Jun 15 2021 [     23 02]  NAME ".
TListing ParseIsoinfoListing(const std::string& text) {
  TListing out;
  std::istringstream in(text);
  std::string line, dir;
  static const std::regex entry(R"(^([d-])\S*\s+\d+\s+\d+\s+\d+\s+(\d+)\s.*\[\s*\d+\s+[0-9A-Fa-f]+\]\s\s(.*?)\s*$)");
  while (std::getline(in, line)) {
    if (line.rfind("Directory listing of ", 0) == 0) {
      dir = line.substr(21);
      continue;
    }
    std::smatch m;
    if (!std::regex_match(line, m, entry)) continue;
    const std::string name = m[3];
    if (name == "." || name == "..") continue;
    out[dir + name] = m[1] == "d" ? -1 : std::stoll(m[2]);
  }
  return out;
}

class IsoInteropTest : public IsoLayoutTestBase {
 protected:
  void SetUp() override {
    IsoLayoutTestBase::SetUp();
    if (!HaveTool("isoinfo") || !HaveTool("xorriso") || !HaveTool("bsdtar"))
      GTEST_SKIP() << "isoinfo, xorriso or bsdtar missing";
    const char* tmp = std::getenv("TORVIK_TEST_TMP");
    dir_ = fs::path(tmp ? tmp : fs::temp_directory_path().string()) / "layout_iso_interop" /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetVolumeIDW(cd, u"Torvik Test");
  }

  // Folders, empty files and a few files with data in several levels.
  void BuildSampleTree() {
    AddDir(u"\\", u"Documents");
    AddDir(u"\\Documents", u"Sub Folder");
    AddDir(u"\\", u"Empty Folder");
    AddFile(u"\\", u"readme.txt", 0);
    AddFile(u"\\", u"Hello World.bin", 5000);
    AddFile(u"\\Documents", u"Report 2024.pdf", 1);
    AddFile(u"\\Documents", u"empty.dat", 0);
    AddFile(u"\\Documents\\Sub Folder", u"Deep File.txt", 2049);
  }

  // The complete image: header, file data where Prepare put it, zeros to TotalImageSize.
  std::string WriteImage() {
    Prepare(cd);
    EXPECT_TRUE(cd.Prepared);
    EXPECT_TRUE(BuildISOHeader(cd));
    std::vector<uint8_t> img(size_t(cd.TotalImageSize) * 2048, 0);
    std::copy(cd.isom.begin(), cd.isom.end(), img.begin());
    if (cd.UDFBridge) {
      // The UDF file structures follow the header; the closing anchor ends the image.
      uint32_t at = cd.HeaderSectors;
      while (at < cd.FirstDataSector) {
        const uint32_t k = std::min<uint32_t>(32, cd.FirstDataSector - at);
        if (!WriteUDFFileStructureBlocks(cd, img.data() + size_t(at) * 2048, k)) break;
        at += k;
      }
      WriteAnchorVolumeDescriptorPointer(cd, img.data() + (size_t(cd.TotalImageSize) - 1) * 2048,
                                         cd.TotalImageSize - 1);
    }
    for (auto& f : cd.Files) {
      if (f->DirRecord || f->FileSize == 0) continue;
      const size_t at = size_t(cd.FirstDataSector + f->Address) * 2048;
      for (int64_t i = 0; i < f->FileSize; ++i) img[at + size_t(i)] = DataByte(*f, uint64_t(i));
    }
    const fs::path path = dir_ / "image.iso";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.data()),
                                                std::streamsize(img.size()));
    return path.string();
  }

  // Expected listing from the tree, with names as one hierarchy writes them.
  template <typename NameFn>
  TListing Expected(NameFn name) {
    TListing out;
    std::function<void(const TDirEntry&, const std::string&)> walk =
        [&](const TDirEntry& d, const std::string& prefix) {
          for (pFileEntry e = d.Files; e; e = e->NextFile) {
            const std::string p = prefix + name(*e);
            out[p] = e->DirRecord ? -1 : e->FileSize;
            if (e->DirRecord) walk(*e->DirRecord, p + "/");
          }
        };
    walk(*cd.RootDir, "/");
    return out;
  }

  TListing ExpectedJoliet() {
    return Expected([](const TFileEntry& e) { return Utf16ToUtf8(e.LongName); });
  }
  TListing ExpectedIso() {
    return Expected([&](const TFileEntry& e) {
      return cd.ISO9660v1999FS ? e.ISO1999Name : UpperAscii(e.ShortName);
    });
  }

  // xorriso -find prints one quoted path per line: '/Documents/Report 2024.pdf'.
  std::set<std::string> XorrisoPaths(const std::string& img, const std::string& options) {
    std::set<std::string> out;
    std::istringstream in(RunTool("xorriso -abort_on NEVER " + options + " -indev '" + img +
                              "' -find / 2>/dev/null"));
    std::string line;
    while (std::getline(in, line))
      if (line.size() > 2 && line.front() == '\'' && line.back() == '\'')
        out.insert(line.substr(1, line.size() - 2));
    return out;
  }

  static std::set<std::string> Keys(const TListing& l) {
    std::set<std::string> out;
    for (auto& [k, v] : l) out.insert(k);
    return out;
  }

  fs::path dir_;
};

TEST_F(IsoInteropTest, JolietImageReadsBackInBothHierarchies) {
  BuildSampleTree();
  const std::string img = WriteImage();

  const std::string info = RunTool("isoinfo -d -i '" + img + "'");
  EXPECT_NE(info.find("Volume id: TORVIK TEST"), std::string::npos) << info;
  EXPECT_NE(info.find("Volume size is: " + std::to_string(cd.TotalImageSize)), std::string::npos)
      << info;
  EXPECT_NE(info.find("Joliet with UCS level 1 found"), std::string::npos) << info;

  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -J -i '" + img + "'")), ExpectedJoliet());
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -i '" + img + "'")), ExpectedIso());

  std::set<std::string> want = Keys(ExpectedJoliet());
  want.insert("/");
  EXPECT_EQ(XorrisoPaths(img, "-joliet on"), want);
}

TEST_F(IsoInteropTest, BsdtarExtractsTheData) {
  BuildSampleTree();
  const std::string img = WriteImage();
  const fs::path out = dir_ / "extracted";
  fs::create_directories(out);
  int status = -1;
  const std::string log = RunTool("bsdtar -xf '" + img + "' -C '" + out.string() + "'", &status);
  ASSERT_EQ(status, 0) << log;
  for (auto& [path, size] : ExpectedJoliet()) {
    const fs::path p = out / path.substr(1);
    if (size < 0) {
      EXPECT_TRUE(fs::is_directory(p)) << path;
      continue;
    }
    ASSERT_TRUE(fs::is_regular_file(p)) << path;
    EXPECT_EQ(int64_t(fs::file_size(p)), size) << path;
  }
  // Contents land where the records say: check one multi-sector file byte by byte.
  pFileEntry deep = cd.Files[size_t(FindFileW(cd, u"\\Documents\\Sub Folder", u"Deep File.txt"))].get();
  std::ifstream f(out / "Documents/Sub Folder/Deep File.txt", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 2049u);
  for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(uint8_t(bytes[i]), DataByte(*deep, i)) << i;
}

TEST_F(IsoInteropTest, WithoutJolietOnlyThePrimaryHierarchyExists) {
  cd.JolietFS = false;
  BuildSampleTree();
  const std::string img = WriteImage();
  const std::string info = RunTool("isoinfo -d -i '" + img + "'");
  EXPECT_NE(info.find("NO Joliet present"), std::string::npos) << info;
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -i '" + img + "'")), ExpectedIso());
  std::set<std::string> want = Keys(ExpectedIso());
  want.insert("/");
  EXPECT_EQ(XorrisoPaths(img, "-ecma119_map unmapped"), want);
}

TEST_F(IsoInteropTest, ISO9660v1999LongNamesInThePrimaryHierarchy) {
  cd.ISO9660v1999FS = true;
  BuildSampleTree();
  AddFile(u"\\Documents", u"A rather long file name that no 8.3 name could hold.txt", 10);
  const std::string img = WriteImage();
  const std::string info = RunTool("isoinfo -d -i '" + img + "'");
  EXPECT_NE(info.find("Joliet with UCS level 1 found"), std::string::npos) << info;
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -J -i '" + img + "'")), ExpectedJoliet());
  // Without -J isoinfo reads the primary hierarchy, which now carries the long names as is.
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -i '" + img + "'")), ExpectedIso());
  EXPECT_EQ(ExpectedIso().count("/Documents/A rather long file name that no 8.3 name could hold.txt"),
            1u);
}

TEST_F(IsoInteropTest, OverlongNamesStayReadable) {
  std::u16string longName;
  for (int i = 0; i < 20; ++i) longName += u"LongPart";
  AddFile(u"\\", longName + u"1.txt", 3);
  AddFile(u"\\", longName + u"2.txt", 4);
  AddFile(u"\\", u"what?.txt", 5);
  const std::string img = WriteImage();
  TListing want = Expected([](const TFileEntry& e) { return Utf16ToUtf8(e.JolietName); });
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -J -i '" + img + "'")), want);
  std::set<std::string> paths = Keys(want);
  paths.insert("/");
  EXPECT_EQ(XorrisoPaths(img, "-joliet on"), paths);
  EXPECT_EQ(want.size(), 3u);
  // libarchive cuts Joliet names at 103 units; the shortened names must survive that intact.
  std::set<std::string> listed;
  std::istringstream in(RunTool("bsdtar -tf '" + img + "'"));
  for (std::string line; std::getline(in, line);)
    if (line != "." && line != "./") listed.insert("/" + line);
  EXPECT_EQ(listed, Keys(want));
}

TEST_F(IsoInteropTest, UDFBridgeLeavesTheISOHierarchiesIntact) {
  if (!HaveTool("udfinfo")) GTEST_SKIP() << "udfinfo missing";
  cd.UDFBridge = true;
  BuildSampleTree();
  const std::string img = WriteImage();
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -J -i '" + img + "'")), ExpectedJoliet());
  EXPECT_EQ(ParseIsoinfoListing(RunTool("isoinfo -l -i '" + img + "'")), ExpectedIso());
  int status = -1;
  const std::string udf = RunTool("udfinfo '" + img + "'", &status);
  EXPECT_EQ(status, 0) << udf;
  EXPECT_NE(udf.find("label=Torvik Test"), std::string::npos) << udf;
  EXPECT_NE(udf.find("numfiles=5"), std::string::npos) << udf;
  EXPECT_NE(udf.find("numdirs=4"), std::string::npos) << udf;
}

// One folder may hold entries whose long names are the same text or differ only in case. The
// UDF view keeps each exact name, a later identical one with a "~N" tail, each with its bytes.
TEST_F(IsoInteropTest, UDFKeepsEveryEntryWhoseNamesClash) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z missing";
  cd.UDFBridge = true;
  const std::pair<std::u16string, std::string> cases[] = {  // long name, name in the UDF view
      {u"a.txt", "a.txt"}, {u"a~1.txt", "a~1.txt"}, {u"a.txt", "a~2.txt"}, {u"A.TXT", "A.TXT"}};
  std::vector<pFileEntry> entries;
  for (const auto& [name, udf] : cases) {
    const std::u16string inserted(1, char16_t(u'a' + entries.size()));
    entries.push_back(AddFile(u"\\", inserted + u".bin", 90));
    entries.back()->LongName = name;  // Prepare does not consult the folder's name index
  }
  const std::string img = WriteImage();
  const fs::path out = dir_ / "udf";
  int status = -1;
  const std::string log = RunTool("7z x -y -tUDF '-o" + out.string() + "' '" + img + "'", &status);
  ASSERT_EQ(status, 0) << log;
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::ifstream f(out / cases[i].second, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
    ASSERT_EQ(bytes.size(), 90u) << cases[i].second << "\n" << log;
    for (size_t k = 0; k < bytes.size(); ++k)
      ASSERT_EQ(uint8_t(bytes[k]), DataByte(*entries[i], k)) << cases[i].second << " byte " << k;
  }
}

}  // namespace
}  // namespace torvik::test
