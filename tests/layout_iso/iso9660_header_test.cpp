// The header bytes: descriptors, path tables, directory records and the boot catalog, read back
// field by field at the offsets ECMA-119 and El Torito give them.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "iso_test_support.h"

namespace torvik::test {
namespace {

class IsoHeaderTest : public IsoLayoutTestBase {};

using V = std::vector<uint8_t>;

V Slice(std::span<const uint8_t> s, size_t off, size_t n) {
  return V(s.begin() + off, s.begin() + off + n);
}

TEST_F(IsoHeaderTest, RefusedBeforePrepareAndAfterAChange) {
  EXPECT_FALSE(BuildISOHeader(cd));
  EXPECT_TRUE(cd.isom.empty());
  Prepare(cd);
  AddFile(u"\\", u"late.txt", 3);
  EXPECT_FALSE(BuildISOHeader(cd));
  EXPECT_TRUE(cd.isom.empty());
}

TEST_F(IsoHeaderTest, RefusedWhenOptionsChangedAfterPrepare) {
  // Structures laid out for other options would land on the wrong sectors.
  AddFile(u"\\", u"f.txt", 3);
  cd.JolietFS = false;
  Prepare(cd);
  cd.JolietFS = true;
  EXPECT_FALSE(BuildISOHeader(cd));
  EXPECT_TRUE(cd.isom.empty());
  cd.JolietFS = false;
  cd.BootImage = "boot.img";
  cd.BootImageSize = 2048;
  EXPECT_FALSE(BuildISOHeader(cd));
  cd.BootImage.clear();
  EXPECT_TRUE(BuildISOHeader(cd));
}

TEST_F(IsoHeaderTest, EmptyLayoutWithoutJolietIsByteExact) {
  cd.JolietFS = false;
  SetVolumeIDW(cd, u"my disc");
  PrepareAndBuild();
  EXPECT_EQ(cd.IsoHeaderSize, 150 * 2048);
  for (uint32_t s = 0; s < 16; ++s)
    for (uint8_t b : Sector(s)) ASSERT_EQ(b, 0) << "system area sector " << s;

  auto pvd = Sector(16);
  EXPECT_EQ(Slice(pvd, 0, 8), (V{1, 'C', 'D', '0', '0', '1', 1, 0}));
  EXPECT_EQ(Slice(pvd, 40, 8), (V{'M', 'Y', ' ', 'D', 'I', 'S', 'C', 0}));
  EXPECT_EQ(Both32(pvd, 80), 160u);
  EXPECT_EQ(Slice(pvd, 88, 3), (V{0, 0, 0}));  // never an escape sequence in the primary
  EXPECT_EQ(Slice(pvd, 120, 12), (V{1, 0, 0, 1, 1, 0, 0, 1, 0, 8, 8, 0}));
  EXPECT_EQ(Both32(pvd, 132), 10u);
  EXPECT_EQ(LE32(pvd, 140), 18u);
  EXPECT_EQ(LE32(pvd, 144), 0u);
  EXPECT_EQ(BE32(pvd, 148), 19u);
  EXPECT_EQ(BE32(pvd, 152), 0u);
  // The root record is dated with the layout: the root has no entry of its own.
  const V root{34,  0, 20, 0, 0, 0, 0, 0, 0, 20, 0, 8, 0, 0, 0, 0, 8, 0, 125, 3, 30, 1, 2, 3,
               242, 2, 0,  0, 1, 0, 0, 1, 1, 0};
  EXPECT_EQ(Slice(pvd, 156, 34), root);
  EXPECT_EQ(pvd[881], 1);
  // Identifiers other than the label stay zero (the dates are checked with the folders').
  for (size_t i = 190; i < 813; ++i) ASSERT_EQ(pvd[i], 0) << "PVD byte " << i;

  EXPECT_EQ(Slice(Sector(17), 0, 8), (V{255, 'C', 'D', '0', '0', '1', 1, 0}));
  EXPECT_EQ(Slice(Sector(18), 0, 12), (V{1, 0, 20, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Slice(Sector(19), 0, 12), (V{1, 0, 0, 0, 0, 20, 0, 1, 0, 0, 0, 0}));

  auto recs = IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(Slice(Sector(20), 0, 34), root);  // "." is the root record itself
  EXPECT_EQ(recs[1].Id, V{1});
  EXPECT_EQ(recs[1].Extent, 20u);
  for (uint32_t s = 21; s < 150; ++s)
    for (uint8_t b : Sector(s)) ASSERT_EQ(b, 0) << "blank sector " << s;
}

TEST_F(IsoHeaderTest, JolietDescriptorCarriesEscapeSequenceAndItsOwnTree) {
  SetVolumeIDW(cd, u"Ein sehr langer Datenträger-Name");
  AddFile(u"\\", u"Read Me.txt", 5);
  PrepareAndBuild();
  EXPECT_EQ(Slice(Sector(16), 88, 3), (V{0, 0, 0}));
  auto svd = Sector(17);
  EXPECT_EQ(Slice(svd, 0, 8), (V{2, 'C', 'D', '0', '0', '1', 1, 0}));
  EXPECT_EQ(Slice(svd, 88, 3), (V{0x25, 0x2F, 0x40}));
  EXPECT_EQ(Slice(svd, 40, 32), Ucs2BE(u"Ein sehr langer "));  // 16 units
  EXPECT_EQ(Both32(svd, 132), 10u);
  EXPECT_EQ(LE32(svd, 140), 21u);
  EXPECT_EQ(BE32(svd, 148), 22u);
  EXPECT_EQ(Both32(svd, 156 + 2), 24u);
  EXPECT_EQ(svd[881], 1);
  EXPECT_EQ(Slice(Sector(18), 0, 7), (V{255, 'C', 'D', '0', '0', '1', 1}));

  auto recs = JolietRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[2].Id, Ucs2BE(u"Read Me.txt"));
  EXPECT_EQ(recs[2].Length, 33 + 22 + 1);
  EXPECT_EQ(recs[2].Extent, 150u);
  EXPECT_EQ(recs[2].Size, 5u);
}

TEST_F(IsoHeaderTest, PathTablesInBothByteOrders) {
  cd.JolietFS = true;
  AddDir(u"\\", u"Beta");
  AddDir(u"\\", u"alpha");
  AddDir(u"\\alpha", u"Gamma");
  PrepareAndBuild();
  // Dirs order: root 23, Beta 24, alpha 25, Gamma 26; path-table order: root, alpha, Beta, Gamma.
  const V isoL{1, 0, 23, 0, 0, 0, 1, 0, 0, 0,                     //
               5, 0, 25, 0, 0, 0, 1, 0, 'A', 'L', 'P', 'H', 'A', 0,  //
               4, 0, 24, 0, 0, 0, 1, 0, 'B', 'E', 'T', 'A',          //
               5, 0, 26, 0, 0, 0, 2, 0, 'G', 'A', 'M', 'M', 'A', 0};
  const V isoM{1, 0, 0, 0, 0, 23, 0, 1, 0, 0,                     //
               5, 0, 0, 0, 0, 25, 0, 1, 'A', 'L', 'P', 'H', 'A', 0,  //
               4, 0, 0, 0, 0, 24, 0, 1, 'B', 'E', 'T', 'A',          //
               5, 0, 0, 0, 0, 26, 0, 2, 'G', 'A', 'M', 'M', 'A', 0};
  ASSERT_EQ(cd.PathTableWidth, isoL.size());
  EXPECT_EQ(Slice(Sector(cd.PathTableExtentL), 0, isoL.size() + 2), [&] {
    V v = isoL;
    v.insert(v.end(), {0, 0});  // zero after the table
    return v;
  }());
  EXPECT_EQ(Slice(Sector(cd.path_table_extent_m), 0, isoM.size()), isoM);

  V jolL{1, 0, 27, 0, 0, 0, 1, 0, 0, 0};
  auto add = [&](uint8_t sector, uint8_t parent, std::u16string_view name) {
    V rec{uint8_t(2 * name.size()), 0, sector, 0, 0, 0, parent, 0};
    V id = Ucs2BE(name);
    rec.insert(rec.end(), id.begin(), id.end());
    jolL.insert(jolL.end(), rec.begin(), rec.end());
  };
  add(29, 1, u"alpha");
  add(28, 1, u"Beta");
  add(30, 2, u"Gamma");
  ASSERT_EQ(cd.PathTableWidthJ, jolL.size());
  EXPECT_EQ(Slice(Sector(cd.path_table_extent_j_l), 0, jolL.size()), jolL);
  auto m = Sector(cd.path_table_extent_j_m);
  EXPECT_EQ(BE32(m, 2), 27u);
  EXPECT_EQ(BE16(m, 6), 1u);
  EXPECT_EQ(BE32(m, 10 + 2), 29u);
  EXPECT_EQ(BE16(m, 10 + 6), 1u);
}

TEST_F(IsoHeaderTest, SubdirectoryRecordsPointAtTheirExtents) {
  cd.JolietFS = false;
  AddDir(u"\\", u"Docs");
  AddDir(u"\\Docs", u"Inner");
  PrepareAndBuild();
  pDirEntry docs = cd.Dirs[1].get();
  pDirEntry inner = cd.Dirs[2].get();
  auto root = IsoRecords(*cd.RootDir);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[2].Id, Bytes("DOCS"));
  EXPECT_EQ(root[2].Flags, 2);
  EXPECT_EQ(root[2].Extent, cd.FileDirDescriptorExtent + docs->Address);
  EXPECT_EQ(root[2].Size, uint32_t(docs->DirSize));
  auto sub = IsoRecords(*inner);
  ASSERT_EQ(sub.size(), 2u);
  EXPECT_EQ(sub[0].Extent, cd.FileDirDescriptorExtent + inner->Address);
  EXPECT_EQ(sub[1].Extent, cd.FileDirDescriptorExtent + docs->Address);  // ".." is the parent
  EXPECT_EQ(sub[1].Id, V{1});
}

struct THiddenCase {
  uint32_t Attributes;
  uint8_t Flags;
};

class IsoHiddenFlagTest : public IsoLayoutTestBase,
                          public ::testing::WithParamInterface<THiddenCase> {};

TEST_P(IsoHiddenFlagTest, ExistenceBitOnlyForNoAttributesOrHiddenAlone) {
  AddFile(u"\\", u"f.txt", 1, GetParam().Attributes);
  PrepareAndBuild();
  EXPECT_EQ(IsoRecords(*cd.RootDir)[2].Flags, GetParam().Flags);
  EXPECT_EQ(JolietRecords(*cd.RootDir)[2].Flags, GetParam().Flags);
}

INSTANTIATE_TEST_SUITE_P(, IsoHiddenFlagTest,
                         ::testing::Values(THiddenCase{0, 1}, THiddenCase{2, 1},
                                           THiddenCase{2 | 32, 0}, THiddenCase{32, 0},
                                           THiddenCase{1, 0}, THiddenCase{2 | 1, 0},
                                           THiddenCase{2 | 4, 0}));

TEST_F(IsoHeaderTest, FileRecordsCarryAddressAndSize) {
  cd.JolietFS = false;
  AddFile(u"\\", u"a.bin", 1, 32, u"A.BIN");
  AddFile(u"\\", u"b.bin", 2049, 32, u"B.BIN");
  AddFile(u"\\", u"c.bin", 0, 32, u"C.BIN");
  PrepareAndBuild();
  auto recs = IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_EQ(recs[2].Id, Bytes("A.BIN"));
  EXPECT_EQ(recs[2].Extent, 150u);
  EXPECT_EQ(recs[2].Size, 1u);
  EXPECT_EQ(recs[3].Extent, 151u);
  EXPECT_EQ(recs[3].Size, 2049u);
  EXPECT_EQ(recs[4].Id, Bytes("C.BIN"));
  EXPECT_EQ(recs[4].Extent, 0u);
  EXPECT_EQ(recs[4].Size, 0u);
  EXPECT_EQ(cd.TotalImageSize, 160u);
}

TEST_F(IsoHeaderTest, ShortNamesAreWrittenUpperCased) {
  cd.JolietFS = false;
  AddFile(u"\\", u"Mixed.Txt", 1, 32, u"mixed.txt");
  PrepareAndBuild();
  EXPECT_EQ(IsoRecords(*cd.RootDir)[2].Id, Bytes("MIXED.TXT"));
}

TEST_F(IsoHeaderTest, RecordingDateUsesEachEntrysOwnZone) {
  pFileEntry summer = AddFile(u"\\", u"summer.txt", 1, 32, u"SUMMER.TXT");
  pFileEntry winter = AddFile(u"\\", u"winter.txt", 1, 32, u"WINTER.TXT");
  summer->Time = TSystemTime{2024, 7, 0, 14, 9, 30, 5, 0};
  summer->TimeZone = 8;  // +02:00
  winter->Time = TSystemTime{2024, 1, 0, 2, 23, 59, 58, 0};
  winter->TimeZone = -20;  // -05:00
  PrepareAndBuild();
  auto recs = IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[2].Date, (V{124, 7, 14, 9, 30, 5, 8}));
  EXPECT_EQ(recs[3].Date, (V{124, 1, 2, 23, 59, 58, uint8_t(-20)}));
  EXPECT_EQ(JolietRecords(*cd.RootDir)[2].Date, (V{124, 7, 14, 9, 30, 5, 8}));
}

// "." carries its folder's own time and ".." the parent's, each with its own offset; the root
// has no entry and carries the layout time, in its extent and in every volume descriptor.
TEST_F(IsoHeaderTest, FolderRecordsAndVolumeDates) {
  cd.ISO9660v1999FS = true;
  pDirEntry docs = AddDir(u"\\", u"Docs");
  pDirEntry inner = AddDir(u"\\Docs", u"Inner");
  docs->Entry->Time = TSystemTime{2024, 7, 0, 14, 9, 30, 5, 0};
  docs->Entry->TimeZone = 8;
  inner->Entry->Time = TSystemTime{2001, 1, 0, 2, 3, 4, 5, 0};
  inner->Entry->TimeZone = -20;
  PrepareAndBuild();
  const V layout{125, 3, 30, 1, 2, 3, 242}, docsDate{124, 7, 14, 9, 30, 5, 8},
      innerDate{101, 1, 2, 3, 4, 5, 236};
  const std::tuple<const TDirEntry*, V, V> cases[] = {  // folder, ".", ".."
      {cd.RootDir, layout, layout}, {docs, docsDate, layout}, {inner, innerDate, docsDate}};
  for (const auto& [dir, dot, dotdot] : cases)
    for (const auto& recs : {IsoRecords(*dir), JolietRecords(*dir)}) {
      EXPECT_EQ(recs[0].Date, dot) << dir->ShortName;
      EXPECT_EQ(recs[1].Date, dotdot) << dir->ShortName;
    }
  // Created and modified with the layout; no expiry or effective date (all '0' digits).
  for (uint32_t s : {16u, 17u, 18u}) {  // primary, ISO 9660:1999, Joliet
    EXPECT_EQ(Slice(Sector(s), 156 + 18, 7), layout) << s;
    EXPECT_EQ(Slice(Sector(s), 813, 68), Bytes(std::string_view("2025033001020345\xF2"
                                                                "2025033001020345\xF2"
                                                                "0000000000000000\0"
                                                                "0000000000000000\0", 68)));
  }
}

TEST_F(IsoHeaderTest, ISO9660v1999NamesAndEnhancedDescriptor) {
  cd.ISO9660v1999FS = true;
  AddDir(u"\\", u"SubDir");
  AddFile(u"\\SubDir", u"MixedCase Name.txt", 7);
  PrepareAndBuild();
  EXPECT_EQ(Slice(Sector(16), 88, 3), (V{0, 0, 0}));
  auto evd = Sector(17);
  EXPECT_EQ(Slice(evd, 0, 8), (V{2, 'C', 'D', '0', '0', '1', 2, 0}));
  EXPECT_EQ(Slice(evd, 88, 3), (V{0, 0, 0}));
  EXPECT_EQ(evd[881], 2);
  EXPECT_EQ(Both32(evd, 132), cd.PathTableWidth);
  EXPECT_EQ(LE32(evd, 140), cd.PathTableExtentL);
  EXPECT_EQ(Slice(Sector(18), 0, 8), (V{2, 'C', 'D', '0', '0', '1', 1, 0}));  // Joliet

  auto pt = Sector(cd.PathTableExtentL);
  EXPECT_EQ(pt[10], 6);
  EXPECT_EQ(Slice(pt, 18, 6), Bytes("SubDir"));
  EXPECT_EQ(cd.PathTableWidth, 10u + 8 + 6);
  auto root = IsoRecords(*cd.RootDir);
  EXPECT_EQ(root[2].Id, Bytes("SubDir"));
  auto sub = IsoRecords(*cd.Dirs[1]);
  ASSERT_EQ(sub.size(), 3u);
  EXPECT_EQ(sub[2].Id, Bytes("MixedCase Name.txt"));
}

TEST_F(IsoHeaderTest, ISO9660v1999LengthsAreUtf8Bytes) {
  cd.ISO9660v1999FS = true;
  cd.JolietFS = false;
  AddDir(u"\\", u"Ärger");  // 5 units, 6 bytes
  PrepareAndBuild();
  EXPECT_EQ(cd.PathTableWidth, 10u + 8 + 6);
  auto pt = Sector(cd.PathTableExtentL);
  EXPECT_EQ(pt[10], 6);
  EXPECT_EQ(Slice(pt, 18, 6), Bytes("\xC3\x84rger"));
  EXPECT_EQ(IsoRecords(*cd.RootDir)[2].Id, Bytes("\xC3\x84rger"));
}

struct TBootCase {
  int32_t Size;
  uint8_t MediaType;
  uint16_t SectorCount;
  uint32_t ImageSectors;
};

class IsoBootCatalogTest : public IsoLayoutTestBase,
                           public ::testing::WithParamInterface<TBootCase> {};

TEST_P(IsoBootCatalogTest, CatalogDescribesTheImage) {
  const TBootCase& c = GetParam();
  cd.JolietFS = false;
  cd.BootImage = "boot.img";
  cd.BootImageSize = c.Size;
  AddFile(u"\\", u"after.bin", 1);
  PrepareAndBuild();
  // 16 PVD, 17 boot record, 18 terminator, 19/20 path tables, 21 root, 22 catalog.
  EXPECT_EQ(cd.BootCatalogLocation, 22u);
  EXPECT_EQ(cd.BootImageLocation, 150u);
  EXPECT_EQ(cd.FirstDataSector, 150u + c.ImageSectors);
  EXPECT_EQ(IsoRecords(*cd.RootDir)[2].Extent, cd.FirstDataSector);

  auto br = Sector(17);
  EXPECT_EQ(Slice(br, 0, 7), (V{0, 'C', 'D', '0', '0', '1', 1}));
  EXPECT_EQ(Slice(br, 7, 32), [] {
    V v = Bytes("EL TORITO SPECIFICATION");
    v.resize(32, 0);
    return v;
  }());
  EXPECT_EQ(LE32(br, 71), 22u);

  auto cat = Sector(22);
  EXPECT_EQ(cat[0], 1);
  EXPECT_EQ(cat[1], 0);
  EXPECT_EQ(Slice(cat, 4, 24), [] {
    V v = Bytes("Pelora CD/DVD Burner");
    v.resize(24, 0);
    return v;
  }());
  EXPECT_EQ(Slice(cat, 30, 2), (V{0x55, 0xAA}));
  uint16_t sum = 0;
  for (size_t i = 0; i < 32; i += 2) sum = uint16_t(sum + LE16(cat, i));
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(cat[32], 0x88);
  EXPECT_EQ(cat[33], c.MediaType);
  EXPECT_EQ(LE16(cat, 34), 0);
  EXPECT_EQ(LE16(cat, 38), c.SectorCount);
  EXPECT_EQ(LE32(cat, 40), 150u);
}

INSTANTIATE_TEST_SUITE_P(, IsoBootCatalogTest,
                         ::testing::Values(TBootCase{2048, 0, 4, 1},
                                           TBootCase{1228800, 1, 1, 600},
                                           TBootCase{1474560, 2, 1, 720},
                                           TBootCase{2949120, 3, 1, 1440}));

TEST_F(IsoHeaderTest, LaterSessionAddressesAreAbsolute) {
  cd.BootImage = "boot.img";
  cd.BootImageSize = 2048;
  AddFile(u"\\", u"new.bin", 10, 32, u"NEW.BIN");
  pFileEntry old = AddFile(u"\\", u"old.bin", 10, 32, u"OLD.BIN");
  Prepare(cd);
  old->Imported = true;
  old->Address = 321;
  Prepare(cd);
  cd.FirstWritableSector = 5000;
  cd.VDImageSize = 4990;
  ASSERT_TRUE(BuildISOHeader(cd));
  auto pvd = Sector(16);
  EXPECT_EQ(Both32(pvd, 80), cd.TotalImageSize + 4990);
  EXPECT_EQ(LE32(pvd, 140), cd.PathTableExtentL + 5000);
  EXPECT_EQ(BE32(pvd, 148), cd.path_table_extent_m + 5000);
  EXPECT_EQ(Both32(pvd, 156 + 2), cd.FileDirDescriptorExtent + 5000);
  auto svd = Sector(18);
  EXPECT_EQ(LE32(svd, 140), cd.path_table_extent_j_l + 5000);
  EXPECT_EQ(LE32(Sector(cd.PathTableExtentL), 2), cd.FileDirDescriptorExtent + 5000);
  auto recs = IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[0].Extent, cd.FileDirDescriptorExtent + 5000);
  EXPECT_EQ(recs[2].Extent, cd.FirstDataSector + 5000);
  EXPECT_EQ(recs[3].Extent, 321u);  // imported: already absolute
  // The boot record and catalog point into this session too, or a reader of this session's
  // descriptors would load sectors of the first one.
  EXPECT_EQ(LE32(Sector(17), 71), cd.BootCatalogLocation + 5000);
  EXPECT_EQ(LE32(Sector(cd.BootCatalogLocation), 40), cd.BootImageLocation + 5000);
}

TEST_F(IsoHeaderTest, ReferencedFilesShareTheirSourcesExtent) {
  pFileEntry a = AddFile(u"\\", u"a.bin", 3000, 32, u"A.BIN");
  pFileEntry b = AddFile(u"\\", u"b.bin", 3000, 32, u"B.BIN");
  b->ReferenceEntry = a;
  PrepareAndBuild();
  auto recs = IsoRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[2].Extent, recs[3].Extent);
  EXPECT_EQ(recs[3].Size, 3000u);
  EXPECT_EQ(cd.FilesSize, 2u);
}

TEST_F(IsoHeaderTest, ManyDirectoriesKeepEveryStructureAtItsSector) {
  // More path-table and directory sectors than fit before 150: Blank goes negative and the
  // header grows with the structures.
  for (int i = 0; i < 300; ++i) {
    std::string n = "folder number " + std::to_string(i) + " with a long name";
    AddDir(u"\\", std::u16string(n.begin(), n.end()));
  }
  PrepareAndBuild();
  EXPECT_LT(cd.Blank, 0);
  EXPECT_EQ(cd.HeaderSectors, cd.file_and_dir_descriptor_extent_j + cd.file_and_dir_descriptor_width_j);
  auto recs = JolietRecords(*cd.RootDir);
  ASSERT_EQ(recs.size(), 302u);
  std::set<uint32_t> extents;
  for (size_t i = 2; i < recs.size(); ++i) extents.insert(recs[i].Extent);
  EXPECT_EQ(extents.size(), 300u);
  for (auto& d : cd.Dirs) {
    auto own = JolietRecords(*d);
    ASSERT_GE(own.size(), 2u);
    EXPECT_EQ(own[0].Extent, cd.file_and_dir_descriptor_extent_j + d->AddressJ);
  }
}

TEST_F(IsoHeaderTest, UDFVolumeStructuresSitInsideTheHeader) {
  cd.UDFBridge = true;
  AddFile(u"\\", u"data.bin", 4096, 32, u"DATA.BIN");
  PrepareAndBuild();
  // Terminator at 18, recognition sequence 19-21, the UDF areas, then the ISO path tables.
  EXPECT_EQ(Slice(Sector(18), 0, 6), (V{255, 'C', 'D', '0', '0', '1'}));
  EXPECT_EQ(Slice(Sector(19), 0, 7), (V{0, 'B', 'E', 'A', '0', '1', 1}));
  EXPECT_EQ(Slice(Sector(20), 1, 5), Bytes("NSR02"));
  EXPECT_EQ(Slice(Sector(21), 1, 5), Bytes("TEA01"));
  const auto& u = cd.UDFBridgeInfo;
  EXPECT_EQ(LE16(Sector(u.MainVolumeDescriptorSequenceExtent_LSAWRTSession), 0), 1);  // PVD tag
  EXPECT_EQ(LE16(Sector(u.LogicalVolumeIntegrityDescriptor_LSAWRTSession), 0), 9);
  EXPECT_EQ(LE16(Sector(u.AnchorVolumeDescriptorPointer_LSAWRTSession), 0), 2);
  EXPECT_EQ(LE16(Sector(u.FileSetDescriptor_LSAWRTSession), 0), 256);
  EXPECT_EQ(cd.PathTableExtentL, u.FileSetDescriptor_LSAWRTSession + 2);
  EXPECT_EQ(LE32(Sector(16), 140), cd.PathTableExtentL);
  // The header stops before the UDF file structures; the file still points at its data.
  EXPECT_EQ(cd.HeaderSectors, u.RootDirectoryICB_LSAWRTSession);
  EXPECT_EQ(IsoRecords(*cd.RootDir)[2].Extent, cd.FirstDataSector);
}

}  // namespace
}  // namespace torvik::test
