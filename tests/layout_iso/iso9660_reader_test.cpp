// Reading images back: images made by genisoimage, xorriso and us mounted into the layout, and
// crafted bytes that must end a mount with an error and the layout as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "burner/bvkCDBurner.h"
#include "common/scratch_dir.h"
#include "layout/bvkISO9660Reader.h"
#include "layout/bvkTree.h"
#include "platform/bvkText.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using Image = std::vector<uint8_t>;

void Put32(Image& img, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) img[at + i] = uint8_t(v >> (8 * i));
}

// A directory record at byte `at`: identifier bytes `id`, returns its length.
size_t Record(Image& img, size_t at, uint32_t extent, uint32_t length, bool dir,
              const std::string& id) {
  const size_t len = (33 + id.size() + 1) & ~size_t(1);
  img[at] = uint8_t(len);
  Put32(img, at + 2, extent);
  Put32(img, at + 10, length);
  const uint8_t date[7] = {121, 6, 15, 12, 30, 45, 8};
  std::memcpy(&img[at + 18], date, 7);
  img[at + 25] = dir ? 2 : 0;
  img[at + 32] = uint8_t(id.size());
  std::memcpy(&img[at + 33], id.data(), id.size());
  return len;
}

std::string Ucs2(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += char(c >> 8), out += char(c & 0xFF);
  return out;
}

// A directory sector: "." and "..", then the given records.
struct Rec {
  uint32_t extent, length;
  bool dir;
  std::string id;
};
void Directory(Image& img, uint32_t sector, uint32_t parent, const std::vector<Rec>& recs) {
  size_t at = size_t(sector) * 2048;
  at += Record(img, at, sector, 2048, true, std::string(1, '\0'));
  at += Record(img, at, parent, 2048, true, std::string(1, '\1'));
  for (const Rec& r : recs) at += Record(img, at, r.extent, r.length, r.dir, r.id);
}

void Descriptor(Image& img, uint32_t sector, uint8_t type, uint32_t root, bool joliet) {
  const size_t at = size_t(sector) * 2048;
  img[at] = type;
  std::memcpy(&img[at + 1], "CD001", 5);
  img[at + 6] = 1;
  Put32(img, at + 80, uint32_t(img.size() / 2048));
  if (joliet) std::memcpy(&img[at + 88], "%/E", 3);
  Record(img, at + 156, root, 2048, true, std::string(1, '\0'));
}

// 24 sectors: primary (root 20) and Joliet (root 21) descriptors, a folder "Sub" at 22 shared
// by both trees, and five bytes of data at 23.
Image SoundImage() {
  Image img(24 * 2048, 0);
  Descriptor(img, 16, 1, 20, false);
  Descriptor(img, 17, 2, 21, true);
  img[18 * 2048] = 255;
  std::memcpy(&img[18 * 2048 + 1], "CD001", 5);
  Directory(img, 20, 20, {{23, 5, false, "A.TXT;1"}, {22, 2048, true, "SUB"}});
  Directory(img, 21, 21, {{23, 5, false, Ucs2(u"a.txt")}, {22, 2048, true, Ucs2(u"Sub")}});
  Directory(img, 22, 21, {{23, 5, false, Ucs2(u"inner.bin;1")}});
  std::memcpy(&img[23 * 2048], "hello", 5);
  return img;
}

class ImageReading : public ::testing::Test {
 protected:
  fs::path dir_ = torvik::testing::FreshScratchDir("iso-reader");
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const Image& img, const std::string& name = "crafted.iso") {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(img.data()),
                                             std::streamsize(img.size()));
    return p;
  }

  // Every entry of the layout: "\\path" -> size, folders with a trailing backslash.
  static std::map<std::u16string, int64_t> Entries(TBrenvik& b) {
    std::map<std::u16string, int64_t> out;
    std::function<void(pDirEntry, const std::u16string&)> walk = [&](pDirEntry d,
                                                                    const std::u16string& at) {
      for (pFileEntry e = d->Files; e != nullptr; e = e->NextFile) {
        if (e->DirRecord != nullptr) {
          out[at + e->LongName + u"\\"] = 0;
          walk(e->DirRecord, at + e->LongName + u"\\");
        } else {
          out[at + e->LongName] = e->FileSize;
        }
      }
    };
    if (b.CDFiles.RootDir != nullptr) walk(b.CDFiles.RootDir, u"\\");
    return out;
  }
};

TEST_F(ImageReading, SoundCraftedImageMountsJolietNames) {
  TBrenvik b;
  ASSERT_TRUE(b.MountISOImage(Write(SoundImage()).string())) << b.ImportError();
  EXPECT_EQ(Entries(b), (std::map<std::u16string, int64_t>{
                            {u"\\a.txt", 5}, {u"\\Sub\\", 0}, {u"\\Sub\\inner.bin", 5}}));
  const pFileEntry e = b.CDFiles.Files[size_t(b.FindFile("\\", "a.txt"))].get();
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->Address, 23u);
  EXPECT_EQ(e->Time.wYear, 2021);
  EXPECT_EQ(e->Time.wHour, 12);
  EXPECT_EQ(e->TimeZone, 8) << "recorded bytes kept, zone included";
}

// Each case breaks the sound image in one way; the mount fails and the layout, which already
// holds an entry of the same name as an imported one, stays as it was (ReplaceFile on).
TEST_F(ImageReading, CraftedBytesEndTheMountAndLeaveTheLayout) {
  struct Case {
    const char* what;
    std::function<void(Image&)> breakIt;
  };
  const Case cases[] = {
      {"folder lists itself",
       [](Image& i) { Directory(i, 22, 21, {{22, 2048, true, Ucs2(u"loop")}}); }},
      {"folder lists an ancestor",
       [](Image& i) { Directory(i, 22, 21, {{21, 2048, true, Ucs2(u"up")}}); }},
      {"folder length past the end",
       [](Image& i) { Directory(i, 21, 21, {{22, 20 * 2048, true, Ucs2(u"Sub")}}); }},
      {"file length past the end",
       [](Image& i) { Directory(i, 22, 21, {{23, 3 * 2048, false, Ucs2(u"big")}}); }},
      {"file extent past the end",
       [](Image& i) { Directory(i, 22, 21, {{4000, 1, false, Ucs2(u"far")}}); }},
      {"root outside the image", [](Image& i) { Put32(i, 17 * 2048 + 156 + 2, 90000); }},
      {"record length below 33", [](Image& i) { i[21 * 2048 + 34 * 2] = 20; }},
      {"record past the sector",
       [](Image& i) {
         // Records of 254 bytes, then one of 184, reach byte 2030; the next one would end past
         // the sector.
         std::vector<Rec> recs;
         for (char16_t k = u'0'; k < u'7'; ++k)
           recs.push_back({23, 5, false, Ucs2(std::u16string(109, u'n') + k)});
         recs.push_back({23, 5, false, Ucs2(std::u16string(75, u'm'))});
         Directory(i, 22, 21, recs);
         Record(i, 22 * 2048 + 2030, 23, 5, false, Ucs2(u"x"));
       }},
      {"identifier past the record", [](Image& i) { i[21 * 2048 + 68 + 32] = 40; }},
      {"odd Joliet identifier", [](Image& i) { i[21 * 2048 + 68 + 32] = 9; }},
      {"unreadable name",
       [](Image& i) { Directory(i, 22, 21, {{23, 5, false, Ucs2(u"a/b")}}); }},
      {"no descriptor", [](Image& i) { std::memset(&i[16 * 2048], 0, 3 * 2048); }},
      {"image shorter than its folders", [](Image& i) { i.resize(21 * 2048 + 100); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image img = SoundImage();
    c.breakIt(img);
    TBrenvik b;
    b.ClearAll();
    b.SetReplaceFile(true);
    TWin32FindDataW fd;
    fd.cFileName = u"a.txt";
    fd.SetFileSize(7);
    ASSERT_TRUE(b.InsertMemoryFileW(u"\\", fd, [](void*, pFileEntry, uint32_t, void*,
                                                  uint32_t& n) { n = 0; }));
    const auto before = Entries(b);
    EXPECT_FALSE(b.MountISOImage(Write(img).string()));
    EXPECT_FALSE(b.ImportError().empty());
    EXPECT_EQ(Entries(b), before);
    EXPECT_FALSE(b.CDFiles.Files[0]->Imported);
    EXPECT_TRUE(b.CDFiles.Files[0]->mfcbFunction) << "the replaced entry is put back whole";
    EXPECT_EQ(b.ComponentStatus(), CS_IDLE);
  }
}

TEST_F(ImageReading, MoreEntriesThanTheLayoutHoldsIsRefused) {
  const Image img = SoundImage();
  const TSectorReader read = [&img](uint32_t lba, uint8_t* out) {
    if (size_t(lba + 1) * 2048 > img.size()) return false;
    std::memcpy(out, &img[size_t(lba) * 2048], 2048);
    return true;
  };
  TISOVolumeInfo info;
  std::string error;
  ASSERT_TRUE(ReadISOVolumeInfo(read, 0, 24, info, error)) << error;
  TISOTree tree;
  TISOReadLimits limits;
  limits.EndSector = 24;
  limits.MaxFiles = 2;
  EXPECT_FALSE(ReadISOTree(read, info, limits, tree, error));
  EXPECT_NE(error.find("more entries"), std::string::npos) << error;
  limits.MaxFiles = 3;
  EXPECT_TRUE(ReadISOTree(read, info, limits, tree, error)) << error;
}

// A new image cannot hold the data of mounted files: building one is refused, and the file
// that was there stays.
TEST_F(ImageReading, MountedFilesAreNotBuiltIntoANewImage) {
  TBrenvik b;
  ASSERT_TRUE(b.MountISOImage(Write(SoundImage()).string())) << b.ImportError();
  ASSERT_GT(b.Prepare(), 0u);
  const fs::path out = Write({1, 2, 3}, "existing.iso");
  EXPECT_FALSE(b.BuildISOImage(out.string()));
  EXPECT_EQ(b.ErrorNumber(), ERR_IMPORTED_NOT_IN_IMAGE);
  EXPECT_EQ(fs::file_size(out), 3u);
}

TEST_F(ImageReading, MissingFileIsFalseNotAThrow) {
  TBrenvik b;
  EXPECT_FALSE(b.MountISOImage((dir_ / "none.iso").string()));
  EXPECT_NE(b.ImportError().find("none.iso"), std::string::npos);
}

TEST(NameDecoding, OnlyATrailingVersionIsCut) {
  const struct {
    std::u16string joliet, expected;
  } cases[] = {{u"ab;1", u"ab"},   {u"v;12", u"v"},      {u"a;b", u"a;b"},
               {u"x;1y", u"x;1y"}, {u"semi;", u"semi;"}, {u"\u00e9t\u00e9;1", u"\u00e9t\u00e9"}};
  for (const auto& c : cases) {
    const std::string bytes = Ucs2(c.joliet);
    EXPECT_EQ(DecodeJolietName(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
              c.expected);
  }
  const std::string primary = "README.;1";
  EXPECT_EQ(DecodeNarrowName(reinterpret_cast<const uint8_t*>(primary.data()), primary.size(), true),
            u"README");
}

// Images of other tools, each hierarchy they make: what we mount is the tree they were given.
TEST_F(ImageReading, ImagesOfOtherToolsMount) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src / "Docs" / "Deep");
  std::ofstream(src / "Mixed Case Name.txt") << "mixed";
  std::ofstream(src / "Docs" / "Deep" / "leaf.bin") << std::string(5000, 'x');
  std::ofstream(src / "empty");
  const char* cli = std::getenv("TORVIK_CLI");
  struct Tool {
    const char* name;
    std::string command;  // %O output, %S source
    bool longNames;
  };
  const Tool tools[] = {
      {"genisoimage joliet", "genisoimage -quiet -J -o %O %S", true},
      {"genisoimage plain", "genisoimage -quiet -o %O %S", false},
      {"genisoimage 1999", "genisoimage -quiet -iso-level 4 -o %O %S", true},
      {"xorriso joliet", "xorriso -as mkisofs -quiet -J -o %O %S", true},
      {"torvik", std::string(cli ? cli : "torvik-cli") + " build-iso %O %S", true},
      {"torvik 1999", std::string(cli ? cli : "torvik-cli") + " build-iso --iso9660-1999 --no-joliet %O %S", true},
  };
  for (const Tool& t : tools) {
    SCOPED_TRACE(t.name);
    const fs::path out = dir_ / "tool.iso";
    fs::remove(out);
    std::string cmd = t.command;
    cmd.replace(cmd.find("%O"), 2, out.string());
    cmd.replace(cmd.find("%S"), 2, src.string());
    ASSERT_EQ(std::system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;
    TBrenvik b;
    ASSERT_TRUE(b.MountISOImage(out.string())) << b.ImportError();
    const auto got = Entries(b);
    const std::map<std::u16string, int64_t> expected =
        t.longNames ? std::map<std::u16string, int64_t>{{u"\\Mixed Case Name.txt", 5},
                                                        {u"\\Docs\\", 0},
                                                        {u"\\Docs\\Deep\\", 0},
                                                        {u"\\Docs\\Deep\\leaf.bin", 5000},
                                                        {u"\\empty", 0}}
                    : std::map<std::u16string, int64_t>{{u"\\MIXED_CA.TXT", 5},
                                                        {u"\\DOCS\\", 0},
                                                        {u"\\DOCS\\DEEP\\", 0},
                                                        {u"\\DOCS\\DEEP\\LEAF.BIN", 5000},
                                                        {u"\\EMPTY", 0}};
    EXPECT_EQ(got, expected);
    // The imported address is where the image holds the file's bytes.
    const pFileEntry leaf = b.CDFiles.Files[size_t(
        b.FindFileW(t.longNames ? u"\\Docs\\Deep" : u"\\DOCS\\DEEP",
                    t.longNames ? u"leaf.bin" : u"LEAF.BIN"))].get();
    std::ifstream f(out, std::ios::binary);
    f.seekg(std::streamoff(leaf->Address) * 2048);
    std::string data(5000, '\0');
    f.read(data.data(), 5000);
    EXPECT_EQ(data, std::string(5000, 'x'));
  }
}

}  // namespace
}  // namespace torvik
