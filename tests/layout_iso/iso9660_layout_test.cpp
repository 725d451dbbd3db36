// Address assignment: where Prepare puts every structure and every file.
#include <gtest/gtest.h>

#include "iso_test_support.h"
#include "layout/bvkISO9660Structures.h"
#include "layout/bvkUDFBridge.h"

namespace torvik::test {
namespace {

class IsoLayoutTest : public IsoLayoutTestBase {};

TEST_F(IsoLayoutTest, EmptyLayoutWithoutJoliet) {
  cd.JolietFS = false;
  EXPECT_EQ(Prepare(cd), 150u);
  EXPECT_TRUE(cd.Prepared);
  EXPECT_EQ(cd.ComponentStatus.load(), 0);
  EXPECT_EQ(cd.PathTableExtentL, 18u);
  EXPECT_EQ(cd.path_table_extent_m, 19u);
  EXPECT_EQ(cd.PathTableWidth, 10u);
  EXPECT_EQ(cd.FileDirDescriptorExtent, 20u);
  EXPECT_EQ(cd.FileDirDescriptorWidth, 1u);
  EXPECT_EQ(cd.RootDir->DirSize, 2048);
  EXPECT_EQ(cd.Blank, 129);
  EXPECT_EQ(cd.HeaderSectors, 150u);
  EXPECT_EQ(cd.FirstDataSector, 150u);
  EXPECT_EQ(cd.TotalImageSize, 160u);
}

TEST_F(IsoLayoutTest, EmptyLayoutWithJoliet) {
  EXPECT_EQ(Prepare(cd), 150u);
  EXPECT_EQ(cd.PathTableExtentL, 19u);  // terminator at 18
  EXPECT_EQ(cd.path_table_extent_m, 20u);
  EXPECT_EQ(cd.path_table_extent_j_l, 21u);
  EXPECT_EQ(cd.path_table_extent_j_m, 22u);
  EXPECT_EQ(cd.PathTableWidthJ, 10u);
  EXPECT_EQ(cd.FileDirDescriptorExtent, 23u);
  EXPECT_EQ(cd.file_and_dir_descriptor_extent_j, 24u);
  EXPECT_EQ(cd.file_and_dir_descriptor_width_j, 1u);
  EXPECT_EQ(cd.Blank, 125);
  EXPECT_EQ(cd.FirstDataSector, 150u);
  EXPECT_EQ(cd.TotalImageSize, 160u);
}

TEST_F(IsoLayoutTest, DescriptorCountMovesEverythingBehindIt) {
  cd.ISO9660v1999FS = true;
  cd.BootImage = "boot.img";
  cd.BootImageSize = 2048;
  Prepare(cd);
  // 16 PVD, 17 boot record, 18 EVD, 19 SVD, 20 terminator.
  EXPECT_EQ(cd.PathTableExtentL, 21u);
  EXPECT_EQ(cd.FileDirDescriptorExtent, 25u);
  EXPECT_EQ(cd.BootCatalogLocation, 27u);
  EXPECT_EQ(cd.Blank, 150 - 28);
  EXPECT_EQ(cd.BootImageLocation, 150u);
  EXPECT_EQ(cd.FirstDataSector, 151u);
}

// Records of 44 bytes (11-character short names) and 110 bytes (38-unit Joliet names) fill the
// 1980 bytes after "." and ".." exactly at 45 and 18 entries; one more starts a second sector.
struct TFillCase {
  iso::THierarchy Hierarchy;
  int Files;
  int32_t ExpectedBytes;
};

class IsoExtentFillTest : public IsoLayoutTestBase,
                          public ::testing::WithParamInterface<TFillCase> {};

TEST_P(IsoExtentFillTest, RecordsThatFillASectorTakeExactlyOne) {
  const TFillCase& c = GetParam();
  cd.JolietFS = c.Hierarchy == iso::THierarchy::Joliet;
  for (int i = 0; i < c.Files; ++i) {
    char shortName[16], longName[40];
    std::snprintf(shortName, sizeof shortName, "F%06d.TXT", i);
    std::snprintf(longName, sizeof longName, "joliet-name-of-38-units-%010d.dat", i);
    std::string s(shortName), l(longName);
    AddFile(u"\\", std::u16string(l.begin(), l.end()), 1, FILE_ATTRIBUTE_ARCHIVE,
            std::u16string(s.begin(), s.end()));
  }
  PrepareAndBuild();
  const bool joliet = c.Hierarchy == iso::THierarchy::Joliet;
  EXPECT_EQ(joliet ? cd.RootDir->DirSizeJ : cd.RootDir->DirSize, c.ExpectedBytes);

  auto recs = joliet ? JolietRecords(*cd.RootDir) : IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), size_t(c.Files + 2));
  if (c.ExpectedBytes == 2048) {
    EXPECT_EQ(recs.back().Offset + recs.back().Length, 2048u);
  } else {
    EXPECT_EQ(recs.back().Offset, 2048u);  // the extra record starts the second sector
  }
}

INSTANTIATE_TEST_SUITE_P(, IsoExtentFillTest,
                         ::testing::Values(TFillCase{iso::THierarchy::ISO, 45, 2048},
                                           TFillCase{iso::THierarchy::ISO, 46, 4096},
                                           TFillCase{iso::THierarchy::Joliet, 18, 2048},
                                           TFillCase{iso::THierarchy::Joliet, 19, 4096}));

TEST_F(IsoLayoutTest, DirectoryExtentsFollowDirsOrder) {
  cd.JolietFS = false;
  AddDir(u"\\", u"Beta");
  AddDir(u"\\", u"alpha");
  AddDir(u"\\alpha", u"Gamma");
  Prepare(cd);
  ASSERT_EQ(cd.Dirs.size(), 4u);
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cd.Dirs[i]->Address, i);
    EXPECT_EQ(cd.Dirs[i]->DirSize, 2048);
  }
  EXPECT_EQ(cd.FileDirDescriptorWidth, 4u);
  // Path table: 10 + ALPHA (8 + 5 + 1) + BETA (8 + 4) + GAMMA (8 + 5 + 1).
  EXPECT_EQ(cd.PathTableWidth, 50u);
}

TEST_F(IsoLayoutTest, FilesAreContiguousFromTheFirstDataSector) {
  pFileEntry a = AddFile(u"\\", u"a.bin", 1);
  pFileEntry b = AddFile(u"\\", u"b.bin", 2049);
  pFileEntry z = AddFile(u"\\", u"zero.bin", 0);
  pFileEntry c = AddFile(u"\\", u"c.bin", 2048);
  EXPECT_EQ(Prepare(cd), 150u + 4);
  EXPECT_EQ(a->Address, 0u);
  EXPECT_EQ(b->Address, 1u);
  EXPECT_EQ(z->Address, 0u);
  EXPECT_EQ(c->Address, 3u);
  EXPECT_EQ(cd.FilesSize, 4u);
}

TEST_F(IsoLayoutTest, ReferencesAndImportedEntriesTakeNoSpace) {
  pFileEntry a = AddFile(u"\\", u"a.bin", 5000);
  pFileEntry dup = AddFile(u"\\", u"dup.bin", 5000);
  pFileEntry old = AddFile(u"\\", u"old.bin", 100000);
  pFileEntry b = AddFile(u"\\", u"b.bin", 10);
  dup->ReferenceEntry = a;
  old->Imported = true;
  old->Address = 7777;
  Prepare(cd);
  EXPECT_EQ(a->Address, 0u);
  EXPECT_EQ(b->Address, 3u);
  EXPECT_EQ(dup->Address, a->Address);
  EXPECT_EQ(old->Address, 7777u);
  EXPECT_EQ(cd.FilesSize, 4u);
}

// TotalImageSize is a whole number of packets; Prepare returns the size before rounding.
class IsoImageSizeTest : public IsoLayoutTestBase,
                         public ::testing::WithParamInterface<int64_t> {};

TEST_P(IsoImageSizeTest, TotalIsAMultipleOf32) {
  AddFile(u"\\", u"data.bin", GetParam());
  const uint32_t raw = Prepare(cd);
  EXPECT_EQ(raw, cd.FirstDataSector + cd.FilesSize);
  EXPECT_EQ(cd.TotalImageSize % 32, 0u);
  EXPECT_GE(cd.TotalImageSize, raw);
  EXPECT_LT(cd.TotalImageSize - raw, 32u);
}

INSTANTIATE_TEST_SUITE_P(, IsoImageSizeTest,
                         ::testing::Values(0, 1, 10 * 2048, 10 * 2048 + 1, 42 * 2048,
                                           42 * 2048 + 1, 1000000));

TEST_F(IsoLayoutTest, EveryCallRecomputesFromTheTree) {
  Prepare(cd);
  const uint32_t first = cd.TotalImageSize;
  AddFile(u"\\", u"big.bin", 100 * 2048);
  EXPECT_FALSE(cd.Prepared);  // a change to the tree invalidates the geometry
  Prepare(cd);
  EXPECT_EQ(cd.TotalImageSize, first + 96);
  cd.JolietFS = false;
  Prepare(cd);
  EXPECT_EQ(cd.file_and_dir_descriptor_extent_j, 0u);
  EXPECT_EQ(cd.PathTableWidthJ, 0u);
}

TEST_F(IsoLayoutTest, FileOf4GiBLeavesTheLayoutUnprepared) {
  // Refused at insertion; if one slips through, no header may carry a truncated size.
  pFileEntry e = AddFile(u"\\", u"huge.bin", 1);
  e->FileSize = int64_t(1) << 32;
  Prepare(cd);
  EXPECT_FALSE(cd.Prepared);
  EXPECT_FALSE(BuildISOHeader(cd));
  e->FileSize = (int64_t(1) << 32) - 1;
  Prepare(cd);
  EXPECT_TRUE(cd.Prepared);
  EXPECT_EQ(cd.FilesSize, 2097152u);
}

TEST_F(IsoLayoutTest, UDFBridgeReservesItsAreasAndTheClosingAnchor) {
  cd.UDFBridge = true;
  AddFile(u"\\", u"data.bin", 100 * 2048);  // big enough to need no padding
  const uint32_t raw = Prepare(cd);
  // The ISO structures continue after the UDF file set descriptor and its terminator.
  EXPECT_EQ(cd.PathTableExtentL, cd.UDFBridgeInfo.FileSetDescriptor_LSAWRTSession + 2);
  EXPECT_EQ(raw, cd.FirstDataSector + cd.FilesSize + 1);
  EXPECT_LE(cd.Blank, 0);
  EXPECT_EQ(cd.TotalImageSize % 32, 0u);
  EXPECT_GT(cd.TotalImageSize, cd.FirstDataSector);
  EXPECT_EQ(cd.FirstDataSector,
            cd.HeaderSectors + cd.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures);
}

// UDF readers refuse images under 300 sectors: UDF images are padded to 320 (whole packets) at
// the end of the session, inside the partition, the closing anchor last. Others keep their size.
TEST_F(IsoLayoutTest, SmallUDFImagesArePaddedToWhatEveryReaderOpens) {
  struct Case {
    bool udf;
    uint32_t needed;  // sectors the content needs, closing anchor included; 0: empty tree
    uint32_t session, raw, total;
  };
  const Case cases[] = {{false, 0, 0, 150, 160}, {true, 0, 0, 300, 320},
                        {true, 299, 0, 300, 320}, {true, 320, 0, 320, 320},
                        {true, 321, 0, 321, 352}, {true, 0, 11400, 300, 320}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.needed + c.session);
    ClearAll(cd);
    cd.UDFBridge = c.udf;
    if (c.needed > 0) {
      pFileEntry f = AddFile(u"\\", u"data.bin", 1);
      Prepare(cd);  // where the data starts does not depend on the file's size
      f->FileSize = int64_t(c.needed - 1 - cd.FirstDataSector) * 2048;
    }
    EXPECT_EQ(Prepare(cd), c.raw);
    EXPECT_EQ(cd.TotalImageSize, c.total);
    if (!c.udf) continue;
    cd.FirstWritableSector = cd.VDImageSize = cd.UDFBridgeInfo.SessionStarting_LSA = c.session;
    ASSERT_TRUE(BuildISOHeader(cd));
    EXPECT_EQ(Both32(Sector(16), 80), c.session + c.total);  // volume space size
    std::vector<uint8_t> s(32 * 2048);
    WriteAnchorVolumeDescriptorPointer(cd, s.data(), c.total - 1);
    EXPECT_EQ(LE32(s, 12), c.session + c.total - 1);  // where the anchor says it is
    WriteUDFVolumeDescriptorSequences(cd, s.data());
    EXPECT_EQ(LE32(s, 2 * 2048 + 192), c.session + c.total - 1 - 257);  // partition length
  }
}

}  // namespace
}  // namespace torvik::test
