// Layout of the UDF bridge and the bytes it produces, checked on images assembled from the
// bridge alone and read back by the test's own UDF reader.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "layout/bvkUDFBridge.h"
#include "layout/bvkUDFTime.h"
#include "layout/bvkUDFUnicode.h"
#include "udf_reader.h"

using namespace torvik;
using udftest::Le16;
using udftest::Le32;
using udftest::Le64;

namespace {

uint8_t Pattern(const TFileEntry& e, uint64_t i) { return uint8_t(e.LongName.size() * 31 + i); }

// Lays out, fixes the clock, assembles and reads back; the reader's complaints fail the test.
struct Image {
  explicit Image(TCDFiles& c, uint32_t step = 32) : cd(c) {
    total = udftest::LayoutBridgeOnly(cd);
    cd.UDFBridgeInfo.UDFTimeStamp = UDFTimeStampFromUnixSeconds(1700000000);
    bytes = udftest::AssembleBridgeOnly(cd, Pattern, step);
  }
  const uint8_t* At(uint32_t sector) const { return bytes.data() + size_t(sector) * 2048; }
  udftest::UdfReader Reader() const {
    return udftest::UdfReader([this](uint64_t s, uint8_t* out) {
      if (s >= total) return false;
      std::memcpy(out, At(uint32_t(s)), 2048);
      return true;
    });
  }
  TCDFiles& cd;
  uint32_t total = 0;
  std::vector<uint8_t> bytes;
};

// "f", `length` x's and a three-digit number.
std::u16string Name(int i, size_t length) {
  std::u16string n = u"f" + std::u16string(length, u'x');
  for (int div : {100, 10, 1}) n += char16_t(u'0' + i / div % 10);
  return n;
}

}  // namespace

TEST(UDFLayout, RootOnly) {
  udftest::TreeBuilder t;
  Image img(t.cd());
  const auto& bi = t.cd().UDFBridgeInfo;
  EXPECT_EQ(bi.RootDirectoryICB_LSAWRTSession, 259u);
  EXPECT_EQ(bi.NumberOfBlocksRequiredForFileDirStructures, 2u);
  EXPECT_EQ(t.root()->UDFDirInfo.InformationLength, 40u);
  auto r = img.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  EXPECT_EQ(r.integrityFiles, 0u);
  EXPECT_EQ(r.integrityDirs, 1u);
  EXPECT_EQ(r.nextUniqueID, 17u);
  EXPECT_EQ(r.nodes.size(), 1u);
  EXPECT_EQ(Le64(img.At(259) + 160), 0u);  // the root's unique ID
  // The generator is spent: nothing more comes, and nothing is written.
  std::vector<uint8_t> more(2048, 0xAA);
  EXPECT_FALSE(WriteUDFFileStructureBlocks(t.cd(), more.data(), 1));
  EXPECT_EQ(more[0], 0xAA);
}

TEST(UDFLayout, RootWithTwoFiles) {
  udftest::TreeBuilder t;
  pFileEntry a = t.File(t.root(), u"A", 5);
  pFileEntry b = t.File(t.root(), u"BB", 3000);
  Image img(t.cd());
  EXPECT_EQ(t.root()->UDFDirInfo.InformationLength, 128u);
  EXPECT_EQ(t.root()->UDFDirInfo.DirICB_LSOffsetWRTSession, 259u);
  EXPECT_EQ(t.root()->UDFDirInfo.DirData_LSOffsetWRTSession, 260u);
  EXPECT_EQ(a->UDFFileInfo.FileICB_LSOffsetWRTSession, 261u);
  EXPECT_EQ(b->UDFFileInfo.FileICB_LSOffsetWRTSession, 262u);
  EXPECT_EQ(t.cd().FirstDataSector, 263u);
  auto r = img.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  EXPECT_EQ(r.nextUniqueID, 19u);
  const udftest::Node& nb = r.nodes.at(u"/BB");
  EXPECT_EQ(nb.length, 3000u);
  ASSERT_EQ(nb.extents.size(), 1u);
  EXPECT_EQ(nb.extents[0].first, 264u);  // the sector the ISO 9660 record gives
  EXPECT_EQ(r.ReadFile(nb, 2999, 1)[0], Pattern(*b, 2999));
  EXPECT_EQ(Le64(img.At(261) + 160), 16u);  // unique IDs in file entry order
  EXPECT_EQ(Le64(img.At(262) + 160), 17u);
}

// Byte positions of every structure of a small image, each with its tag and location.
TEST(UDFLayout, StructurePositionsAndFixedFields) {
  udftest::TreeBuilder t;
  t.cd().VolumeLabelW = u"Backup";
  pDirEntry docs = t.Dir(t.root(), u"Docs");
  t.File(docs, u"a.txt", 10);
  Image img(t.cd());
  ASSERT_EQ(img.total, 288u);
  struct Tag {
    uint32_t sector;
    uint16_t id;
    uint32_t location;
  };
  const Tag tags[] = {
      {32, 1, 32},   {33, 6, 33},   {34, 5, 34},   {35, 7, 35}, {36, 4, 36}, {37, 8, 37},
      {48, 1, 48},   {49, 6, 49},   {50, 5, 50},   {51, 7, 51}, {52, 4, 52}, {53, 8, 53},
      {64, 9, 64},   {65, 8, 65},   {256, 2, 256}, {257, 256, 0}, {258, 8, 1},
      {259, 261, 2}, {261, 261, 4}, {263, 261, 6}, {287, 2, 287},
  };
  for (const Tag& tag : tags)
    EXPECT_EQ(udftest::CheckTag(img.At(tag.sector), tag.id, tag.location), "") << tag.sector;
  // Directory data: root at 260 (parent + Docs), Docs at 262 (parent + a.txt).
  EXPECT_EQ(udftest::CheckTag(img.At(260), 257, 3), "");
  EXPECT_EQ(udftest::CheckTag(img.At(262), 257, 5), "");

  struct Field {
    uint32_t sector, offset;
    std::string bytes;
  };
  const std::string impl = std::string("\0*Pelora UDF", 12) + std::string(12, '\0') +
                           std::string("\x06\0\0\0\0\0\0\0", 8);
  const std::string domain = std::string("\0*OSTA UDF Compliant", 20) + std::string(4, '\0');
  const std::string charspec = std::string("\0OSTA Compressed Unicode", 24);
  const std::string label = std::string("\x08" "Backup", 7);
  const Field fields[] = {
      {16, 0, std::string("\0BEA01\x01", 7)},
      {17, 0, std::string("\0NSR02\x01", 7)},
      {18, 0, std::string("\0TEA01\x01", 7)},
      {32, 24, label}, {32, 55, "\x07"}, {32, 388, impl}, {32, 200, charspec},
      {32, 72, std::string("\x08" "0CFE90CB", 9)}, {32, 199, "\x09"},
      {33, 84, label}, {33, 211, "\x07"}, {33, 216, domain},
      {33, 240, std::string("\x50\x01\x03", 3)},
      {33, 248, std::string("\0\x10\0\0\0\0\0\0\0\0", 10)},             // file set at block 0
      {33, 432, std::string("\0\x20\0\0\x40\0\0\0\x01\x06\x01\0\0\0", 14)},  // integrity, map
      {34, 24, std::string("\0+NSR02", 7)}, {34, 48, std::string("\x50\x01\x06", 3)},
      {34, 184, std::string("\x01\0\0\0\x01\x01\0\0\x1e\0\0\0", 12)},  // read-only, 257, 30
      {36, 20, std::string("\0*UDF LV Info", 13)}, {36, 44, std::string("\x50\x01\x06", 3)},
      {36, 116, label},
      {64, 28, std::string("\x01\0\0\0", 4)},
      {64, 72, std::string("\x01\0\0\0\x30\0\0\0\0\0\0\0\x1e\0\0\0", 16)},
      {64, 88, impl}, {64, 120, std::string("\x01\0\0\0\x02\0\0\0\x50\x01\x50\x01\x50\x01", 14)},
      {256, 16, std::string("\0\x80\0\0\x20\0\0\0\0\x80\0\0\x30\0\0\0", 16)},
      {257, 304, label}, {257, 335, "\x07"}, {257, 400, std::string("\0\x08\0\0\x02\0\0\0", 8)},
      {257, 416, domain},
      // Root file entry: a directory of 2 links, parent and Docs descriptors (40 + 48).
      {259, 27, "\x04"},
      {259, 36, std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xa5\x14\0\0\x02\0", 14)},
      {259, 56, std::string("\x58\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 16)},
      {259, 168, std::string("\0\0\0\0\x50\x07\0\0\x58\0\0\0\x03\0\0\0", 16)},
      {263, 27, "\x05"}, {263, 176, std::string("\x0a\0\0\0\x07\0\0\0", 8)},
  };
  for (const Field& f : fields)
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(img.At(f.sector)) + f.offset, f.bytes.size()),
        f.bytes)
        << "sector " << f.sector << " offset " << f.offset;
  auto r = img.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  EXPECT_EQ(r.label, "Backup");
  EXPECT_EQ(r.nodes.at(u"/Docs").linkCount, 1u);
  EXPECT_EQ(r.nodes.at(u"/").linkCount, 2u);
}

// Descriptors cross sector boundaries inside the directory data, and one crosses the boundary
// between two 32-sector packets of the stream; however the generator is called, the bytes
// are the same.
TEST(UDFLayout, IdentifierDescriptorsSplitAcrossSectorsAndCalls) {
  auto build = [](udftest::TreeBuilder& t) {
    pDirEntry big = t.Dir(t.root(), u"big");
    for (int i = 0; i < 800; ++i) t.File(big, Name(i, 16), 1);
  };
  udftest::TreeBuilder t1;
  build(t1);
  Image whole(t1.cd(), 32);
  const auto& di = t1.cd().Dirs[1]->UDFDirInfo;
  // 40 + 800 x 80 bytes: descriptors are 80 bytes, so some straddle sector ends.
  ASSERT_EQ(di.InformationLength, 64040u);
  ASSERT_EQ(di.DirData_LSOffsetWRTSession, 262u);
  // Packet boundary at sector 288: byte 26 x 2048 of the data is inside a descriptor.
  ASSERT_NE((26u * 2048 - 40) % 80, 0u);
  auto r = whole.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  EXPECT_EQ(r.nodes.size(), 802u);

  for (uint32_t step : {1u, 7u, 29u}) {
    udftest::TreeBuilder t;
    build(t);
    Image img(t.cd(), step);
    EXPECT_EQ(img.bytes, whole.bytes) << "step " << step;
  }
}

// One byte per character while every character fits one (30 in a 32-byte field), two bytes
// per unit otherwise (15); the 128-byte logical volume identifier holds the whole label.
TEST(UDFLayout, LabelIsCutToWhatEachFieldHolds) {
  struct Case {
    std::u16string label;
    uint8_t id, shortLength, longLength;  // compression ID, bytes in 32- and 128-byte fields
  };
  const Case cases[] = {
      {u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 8, 31, 33},
      {u"Grüße Ärger", 8, 12, 12},
      {std::u16string(20, u'Ж'), 16, 31, 41},
      {std::u16string(14, u'a') + u"\U0001F600b", 16, 29, 35},  // the pair is not split
  };
  for (const Case& c : cases) {
    udftest::TreeBuilder t;
    t.cd().VolumeLabelW = c.label;
    Image img(t.cd());
    // Volume identifier, file set identifier; logical volume identifier (LVD, FSD).
    for (auto [sector, off, size] : {std::tuple{32u, 24u, 32u}, {257u, 304u, 32u},
                                     {33u, 84u, 128u}, {257u, 112u, 128u}}) {
      EXPECT_EQ(img.At(sector)[off], c.id) << sector << "/" << off;
      EXPECT_EQ(img.At(sector)[off + size - 1], size == 32 ? c.shortLength : c.longLength)
          << sector << "/" << off;
    }
    auto r = img.Reader();
    ASSERT_TRUE(r.Read()) << r.errors.front();
  }
}

// A later session: every address moves by the session start, the partition spans the
// earlier sessions, and imported files keep their absolute sectors.
TEST(UDFLayout, SessionStartAndImportedEntries) {
  for (uint32_t start : {0u, 11400u}) {
    udftest::TreeBuilder t;
    t.cd().UDFBridgeInfo.SessionStarting_LSA = start;
    pFileEntry old = t.File(t.root(), u"old", 4096, 400);
    pFileEntry fresh = t.File(t.root(), u"new", 100);
    t.File(t.root(), u"empty", 0);
    const uint32_t total = udftest::LayoutBridgeOnly(t.cd());
    std::vector<uint8_t> s(32 * 2048);
    WriteUDFVolumeDescriptorSequences(t.cd(), s.data());
    EXPECT_EQ(udftest::CheckTag(s.data() + 2 * 2048, 5, start + 34), "");
    EXPECT_EQ(Le32(s.data() + 2 * 2048 + 188), 257u);
    EXPECT_EQ(Le32(s.data() + 2 * 2048 + 192), start + (total - 1) - 257) << start;
    EXPECT_EQ(Le32(s.data() + 2048 + 248 + 4), start);  // file set block
    WriteAnchorVolumeDescriptorPointer(t.cd(), s.data(), 256);
    EXPECT_EQ(udftest::CheckTag(s.data(), 2, start + 256), "");
    EXPECT_EQ(Le32(s.data() + 20), start + 32);
    EXPECT_EQ(Le32(s.data() + 28), start + 48);
    WriteFileSetDescriptor(t.cd(), s.data());
    EXPECT_EQ(udftest::CheckTag(s.data(), 256, start), "");
    EXPECT_EQ(Le32(s.data() + 404), start + 259 - 257);
    EXPECT_EQ(udftest::CheckTag(s.data() + 2048, 8, start + 1), "");

    std::vector<uint8_t> blocks(5 * 2048);
    ASSERT_TRUE(WriteUDFFileStructureBlocks(t.cd(), blocks.data(), 5));
    const uint8_t* feOld = blocks.data() + 2 * 2048;
    const uint8_t* feNew = blocks.data() + 3 * 2048;
    const uint8_t* feEmpty = blocks.data() + 4 * 2048;
    EXPECT_EQ(udftest::CheckTag(feOld, 261, start + 261 - 257), "");
    EXPECT_EQ(Le32(feOld + 180), 400u - 257);
    EXPECT_EQ(Le32(feNew + 180), start + t.cd().FirstDataSector + fresh->Address - 257);
    EXPECT_EQ(Le32(feEmpty + 176), 0u);
    EXPECT_EQ(Le32(feEmpty + 180), 0u);
    (void)old;
  }
}

// A short allocation descriptor holds at most 2^30 - 1 bytes: bigger files get several
// contiguous ones, each but the last a whole number of blocks.
TEST(UDFLayout, LargeFilesGetContiguousExtents) {
  struct Case {
    int64_t size;
    std::vector<uint32_t> lengths;
  };
  const uint32_t piece = (1u << 30) - 2048;
  const Case cases[] = {
      {(int64_t(1) << 30) - 1, {(1u << 30) - 1}},
      {int64_t(1) << 30, {piece, 2048}},
      {int64_t(3) << 29, {piece, (1u << 29) + 2048}},
      {(int64_t(1) << 32) - 1, {piece, piece, piece, piece, 8191}},
  };
  for (const Case& c : cases) {
    udftest::TreeBuilder t;
    pFileEntry f = t.File(t.root(), u"big.bin", c.size);
    udftest::LayoutBridgeOnly(t.cd());
    std::vector<uint8_t> blocks(3 * 2048);
    WriteUDFFileStructureBlocks(t.cd(), blocks.data(), 3);
    const uint8_t* fe = blocks.data() + 2 * 2048;
    EXPECT_EQ(udftest::CheckTag(fe, 261, 4), "");
    EXPECT_EQ(Le64(fe + 56), uint64_t(c.size));
    uint32_t pos = t.cd().FirstDataSector + f->Address - 257;
    size_t i = 0;
    for (; i < c.lengths.size(); ++i) {
      EXPECT_EQ(Le32(fe + 176 + 8 * i), c.lengths[i]) << c.size << " #" << i;
      EXPECT_EQ(Le32(fe + 180 + 8 * i), pos) << c.size << " #" << i;
      pos += c.lengths[i] / 2048;
    }
    EXPECT_EQ(Le32(fe + 176 + 8 * i), 0u);
  }
}

// Names longer than a file identifier can hold are cut, keep their extension, stay unique
// in their directory, and the directory is sized by what is written.
TEST(UDFLayout, LongNamesAreShortenedUniquely) {
  udftest::TreeBuilder t;
  const std::u16string stem(150, u's');
  t.File(t.root(), stem + u"1.jpeg", 1);
  t.File(t.root(), stem + u"2.jpeg", 1);
  t.File(t.root(), stem + u"3.JPEG", 1);
  const std::u16string fits = std::u16string(122, u's') + u".jpeg";  // 127: kept as it is
  t.File(t.root(), fits, 1);
  t.Dir(t.root(), std::u16string(140, u'd'));
  // '/' cannot stand in an identifier and an empty one names the parent.
  t.File(t.root(), u"a_b", 1);
  t.File(t.root(), u"a/b", 1);
  t.File(t.root(), u"", 1);
  Image img(t.cd());
  auto r = img.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  ASSERT_EQ(r.nodes.size(), 9u);
  EXPECT_TRUE(r.nodes.count(u"/" + fits));
  EXPECT_TRUE(r.nodes.count(u"/a_b~1"));
  EXPECT_TRUE(r.nodes.count(u"/~1"));
  for (auto& [path, node] : r.nodes) {
    EXPECT_LE(path.size(), 128u);
    if (path.rfind(u"/s", 0) == 0) {
      const std::u16string ext = path.substr(path.size() - 5);
      EXPECT_TRUE(ext == u".jpeg" || ext == u".JPEG") << std::string(path.begin(), path.end());
    }
  }
  EXPECT_EQ(t.root()->UDFDirInfo.InformationLength, 40 + 5 * 296 + 48 + 52 + 44u);
}

// A file entry carries its entry's own time and offset (type 1, offset in minutes), like the
// ISO 9660 record of that entry; the root, which has no entry, and an entry without a time carry
// the layout time, like the volume structures.
TEST(UDFLayout, FileEntriesCarryTheirEntrysOwnTime) {
  udftest::TreeBuilder t;
  pDirEntry docs = t.Dir(t.root(), u"Docs");
  pFileEntry summer = t.File(docs, u"summer", 1), winter = t.File(t.root(), u"winter", 1);
  t.File(t.root(), u"unset", 1);
  docs->Entry->Time = TSystemTime{2001, 2, 0, 3, 4, 5, 6, 0};
  docs->Entry->TimeZone = 55;  // +13:45
  summer->Time = TSystemTime{2024, 7, 0, 14, 9, 30, 5, 257};
  summer->TimeZone = 8;
  winter->Time = TSystemTime{2024, 1, 0, 2, 23, 59, 58, 0};
  winter->TimeZone = -20;
  Image img(t.cd());  // layout time 2023-11-14 22:13:20 UTC
  auto r = img.Reader();
  ASSERT_TRUE(r.Read()) << r.errors.front();
  using B = std::vector<uint8_t>;
  const B layout{0x00, 0x10, 0xE7, 0x07, 11, 14, 22, 13, 20, 0, 0, 0};
  const std::pair<std::u16string, B> cases[] = {
      {u"/", layout},
      {u"/unset", layout},
      {u"/Docs", {0x39, 0x13, 0xD1, 0x07, 2, 3, 4, 5, 6, 0, 0, 0}},
      {u"/Docs/summer", {0x78, 0x10, 0xE8, 0x07, 7, 14, 9, 30, 5, 25, 70, 0}},
      {u"/winter", {0xD4, 0x1E, 0xE8, 0x07, 1, 2, 23, 59, 58, 0, 0, 0}},
  };
  for (const auto& [path, bytes] : cases) {
    const uint8_t* fe = img.At(r.partitionStart + r.nodes.at(path).entryLbn);
    for (uint32_t off : {72u, 84u, 96u})  // access, modification, attribute time
      EXPECT_EQ(B(fe + off, fe + off + 12), bytes) << path.size() << " at " << off;
  }
  for (auto [sector, off] : {std::pair{32u, 376u}, {64u, 16u}, {257u, 16u}})
    EXPECT_EQ(B(img.At(sector) + off, img.At(sector) + off + 12), layout) << sector;
}
