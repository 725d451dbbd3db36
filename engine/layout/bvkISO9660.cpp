#include "layout/bvkISO9660.h"

#include <algorithm>
#include <new>
#include <span>

#include "layout/bvkISO9660Names.h"
#include "layout/bvkISO9660Structures.h"
#include "layout/bvkTree.h"
#include "layout/bvkUDFBridge.h"
#include "platform/bvkTime.h"

namespace torvik {
namespace {

using iso::THierarchy;

constexpr uint32_t kMinHeaderSectors = 150;
// udfclient and udfdump refuse an image of fewer sectors ("Disc size too small to put an UDF
// filingsystem on"), whatever it holds; tried size by size, 299 fails and 300 opens. A UDF
// image is padded to at least this size, which whole packets make 320 sectors.
constexpr uint32_t kMinUDFSectors = 300;
constexpr uint64_t kFileSizeLimit = uint64_t(1) << 32;  // directory records hold 32 bits

void ResetGeometry(TCDFiles& cd) {
  cd.Prepared = false;
  cd.WrittenToDrive.clear();
  cd.Blank = 0;
  cd.PathTableWidth = cd.PathTableWidthJ = 0;
  cd.FileDirDescriptorWidth = cd.FileDirDescriptorExtent = 0;
  cd.file_and_dir_descriptor_extent_j = cd.file_and_dir_descriptor_width_j = 0;
  cd.PathTableExtentL = cd.path_table_extent_m = 0;
  cd.path_table_extent_j_l = cd.path_table_extent_j_m = 0;
  cd.FirstDataSector = cd.Cursor = cd.FilesSize = cd.TotalImageSize = 0;
  cd.BootCatalogLocation = cd.BootImageLocation = 0;
  cd.HeaderSectors = 0;
}

// Path tables and directory records name a directory through its entry in the parent's list;
// make sure every directory knows that entry. False when a directory has none (the tree is
// inconsistent and no sound header can be written).
bool LinkDirectoryEntries(TCDFiles& cd) {
  for (auto& d : cd.Dirs)
    for (pFileEntry e = d->Files; e; e = e->NextFile)
      if (e->DirRecord && !e->DirRecord->Entry) e->DirRecord->Entry = e;
  for (auto& d : cd.Dirs)
    if (d.get() != cd.RootDir && (!d->Entry || d->Entry->DirRecord != d.get())) return false;
  return true;
}

// Directory block of one hierarchy: extents back to back in Dirs order.
uint32_t LayoutDirectoryBlock(TCDFiles& cd, THierarchy h) {
  uint32_t sectors = 0;
  for (auto& d : cd.Dirs) {
    const uint32_t s = iso::DirectoryExtentSectors(*d, h, cd.ISO9660v1999FS);
    if (h == THierarchy::ISO) {
      d->Address = sectors;
      d->DirSize = int32_t(s * kSectorSize);
    } else {
      d->AddressJ = sectors;
      d->DirSizeJ = int32_t(s * kSectorSize);
    }
    sectors += s;
  }
  return sectors;
}

// Files are stored contiguously in Files order, each from a sector boundary. False when a
// size cannot be represented in a directory record.
bool AssignFileAddresses(TCDFiles& cd) {
  bool representable = true;
  bool anyReference = false;
  uint64_t counter = 0;
  for (auto& f : cd.Files) {
    TFileEntry& e = *f;
    if (e.DirRecord) continue;
    if (e.FileSize < 0 || uint64_t(e.FileSize) >= kFileSizeLimit) representable = false;
    if (e.FileSize == 0) {
      e.Address = 0;
    } else if (e.ReferenceEntry) {
      anyReference = true;
    } else if (!e.Imported) {
      e.Address = uint32_t(counter);
      counter += BytesToBlocks(uint64_t(e.FileSize));
    }
  }
  if (anyReference) {
    for (auto& f : cd.Files)
      if (!f->DirRecord && f->FileSize != 0 && f->ReferenceEntry)
        f->Address = iso::DataSource(*f).Address;
  }
  if (counter > UINT32_MAX) {
    representable = false;
    counter = UINT32_MAX;
  }
  cd.FilesSize = uint32_t(counter);
  return representable;
}

// Appends header bytes into isom at IsoHeaderSize. The structures are written in place into
// the zero-filled buffer, each exactly once; a structure that would land anywhere but at the
// sector Prepare gave it fails the build instead of producing a header that lies.
class THeaderSink {
 public:
  explicit THeaderSink(TCDFiles& cd) : cd_(cd) {}

  std::span<uint8_t> Next(size_t bytes) {
    const size_t at = size_t(cd_.IsoHeaderSize);
    if (!ok_ || bytes > cd_.isom.size() - at) {
      ok_ = false;
      return {};
    }
    cd_.IsoHeaderSize += int32_t(bytes);
    return std::span<uint8_t>(cd_.isom).subspan(at, bytes);
  }

  // The next structure must start at `sector`.
  bool At(uint32_t sector) {
    ok_ = ok_ && uint64_t(cd_.IsoHeaderSize) == uint64_t(sector) * kSectorSize;
    return ok_;
  }

  // Zero sectors up to `sector`.
  bool PadTo(uint32_t sector) {
    const uint64_t target = uint64_t(sector) * kSectorSize;
    if (!ok_ || target < uint64_t(cd_.IsoHeaderSize)) return ok_ = false;
    Next(size_t(target - uint64_t(cd_.IsoHeaderSize)));
    return ok_;
  }

  std::span<uint8_t> Sectors(uint32_t count) { return Next(size_t(count) * kSectorSize); }
  void Fail() { ok_ = false; }
  bool ok() const { return ok_ && uint64_t(cd_.IsoHeaderSize) % kSectorSize == 0; }

 private:
  TCDFiles& cd_;
  bool ok_ = true;
};

void WriteUDFVolumeArea(TCDFiles& cd, THeaderSink& sink) {
  const auto& u = cd.UDFBridgeInfo;
  if (auto s = sink.Sectors(3); !s.empty()) WriteVolumeRecognitionSequence(cd, s.data());
  if (!sink.PadTo(u.MainVolumeDescriptorSequenceExtent_LSAWRTSession)) return;
  if (auto s = sink.Sectors(32); !s.empty()) WriteUDFVolumeDescriptorSequences(cd, s.data());
  if (!sink.PadTo(u.LogicalVolumeIntegrityDescriptor_LSAWRTSession)) return;
  if (auto s = sink.Sectors(4); !s.empty()) WriteLogicalVolumeIntegrity(cd, s.data());
  if (!sink.PadTo(u.AnchorVolumeDescriptorPointer_LSAWRTSession)) return;
  if (auto s = sink.Sectors(1); !s.empty())
    WriteAnchorVolumeDescriptorPointer(cd, s.data(), u.AnchorVolumeDescriptorPointer_LSAWRTSession);
  if (auto s = sink.Sectors(2); !s.empty()) WriteFileSetDescriptor(cd, s.data());
}

void WritePathTables(const TCDFiles& cd, THeaderSink& sink, THierarchy h) {
  const bool joliet = h == THierarchy::Joliet;
  const uint32_t width = joliet ? cd.PathTableWidthJ : cd.PathTableWidth;
  const auto sectors = uint32_t(BytesToBlocks(width));
  if (!sink.At(joliet ? cd.path_table_extent_j_l : cd.PathTableExtentL)) return;
  if (auto s = sink.Sectors(sectors); !s.empty() && !iso::WritePathTable(s, cd, h, false))
    sink.Fail();
  if (!sink.At(joliet ? cd.path_table_extent_j_m : cd.path_table_extent_m)) return;
  if (auto s = sink.Sectors(sectors); !s.empty() && !iso::WritePathTable(s, cd, h, true))
    sink.Fail();
}

void WriteDirectoryBlock(const TCDFiles& cd, THeaderSink& sink, THierarchy h) {
  const bool joliet = h == THierarchy::Joliet;
  const uint32_t start = joliet ? cd.file_and_dir_descriptor_extent_j : cd.FileDirDescriptorExtent;
  for (auto& d : cd.Dirs) {
    if (!sink.At(start + (joliet ? d->AddressJ : d->Address))) return;
    auto s = sink.Next(size_t(joliet ? d->DirSizeJ : d->DirSize));
    if (s.size() < 68 || !iso::WriteDirectoryExtent(s, cd, *d, h)) sink.Fail();
  }
}

}  // namespace

uint32_t Prepare(TCDFiles& cd) {
  cd.ComponentStatus = 6;
  ResetGeometry(cd);
  if (!cd.RootDir) {
    cd.ComponentStatus = 0;
    return 0;
  }

  // 1. Order and number the tree; the options this writer always uses.
  OrderTree(cd);
  cd.ISO9660FS = true;
  cd.UDF12 = false;
  if (!LinkDirectoryEntries(cd)) {
    cd.ComponentStatus = 0;
    return 0;
  }
  bool sound = true;
  const TLocalTime now = FileTimeToLocal(CurrentFileTime());
  cd.LayoutTime = now.Time;
  cd.LayoutTimeZone = int8_t(now.Offset15);
  // Names first: every size below is taken from the names as they will be written.
  DeriveHierarchyNames(cd);
  const bool boot = !cd.BootImage.empty();

  // 2-3. System area, then the volume descriptor set; the primary descriptor is at 16.
  cd.Cursor = 16;
  cd.Cursor += 1 + (cd.ISO9660v1999FS ? 1 : 0) + (boot ? 1 : 0) + (cd.JolietFS ? 1 : 0) + 1;

  // 4. UDF volume structures; the ISO header continues after the file set descriptor.
  if (cd.UDFBridge) {
    LayoutUDFVolumeStructures(cd, cd.Cursor);
    cd.Cursor = UDFFileSetDescriptorSector(cd) + 2;
  }

  // 5-6. Path tables, L then M.
  cd.PathTableWidth = iso::PathTableSize(cd, THierarchy::ISO);
  cd.PathTableExtentL = cd.Cursor;
  cd.Cursor += uint32_t(BytesToBlocks(cd.PathTableWidth));
  cd.path_table_extent_m = cd.Cursor;
  cd.Cursor += uint32_t(BytesToBlocks(cd.PathTableWidth));
  if (cd.JolietFS) {
    cd.PathTableWidthJ = iso::PathTableSize(cd, THierarchy::Joliet);
    cd.path_table_extent_j_l = cd.Cursor;
    cd.Cursor += uint32_t(BytesToBlocks(cd.PathTableWidthJ));
    cd.path_table_extent_j_m = cd.Cursor;
    cd.Cursor += uint32_t(BytesToBlocks(cd.PathTableWidthJ));
  }

  // 7-8. Directory blocks.
  cd.FileDirDescriptorExtent = cd.Cursor;
  cd.FileDirDescriptorWidth = LayoutDirectoryBlock(cd, THierarchy::ISO);
  cd.Cursor += cd.FileDirDescriptorWidth;
  if (cd.JolietFS) {
    cd.file_and_dir_descriptor_extent_j = cd.Cursor;
    cd.file_and_dir_descriptor_width_j = LayoutDirectoryBlock(cd, THierarchy::Joliet);
    cd.Cursor += cd.file_and_dir_descriptor_width_j;
  }

  // 9. Boot catalog.
  if (boot) cd.BootCatalogLocation = cd.Cursor++;

  // 10. The header spans at least 150 sectors.
  cd.Blank = int32_t(kMinHeaderSectors) - int32_t(cd.Cursor);
  if (cd.Cursor < kMinHeaderSectors) cd.Cursor = kMinHeaderSectors;
  cd.HeaderSectors = cd.Cursor;

  // 11. File data addresses, relative to FirstDataSector.
  sound = AssignFileAddresses(cd) && sound;

  // 12-13. Boot image, then the UDF file structures.
  if (boot) {
    cd.BootImageLocation = cd.Cursor;
    cd.Cursor += uint32_t(BytesToBlocks(uint64_t(std::max(cd.BootImageSize, 0))));
  }
  if (cd.UDFBridge) {
    LayoutUDFFileStructures(cd, cd.Cursor);
    cd.Cursor += cd.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures;
  }

  // 14-16. Image size, room for the closing UDF anchor, the smallest size every UDF reader
  // opens, whole packets. The padding is zero sectors at the end of the session, inside the
  // partition, so the closing anchor stays in the session's last sector.
  cd.FirstDataSector = cd.Cursor;
  uint64_t total = uint64_t(cd.FirstDataSector) + cd.FilesSize;
  if (cd.UDFBridge) {
    cd.UDFBridgeInfo.IsNewPacketRequiredForLastAVDP = total % kSectorsPerPacket == 0;
    total = std::max<uint64_t>(total + 1, kMinUDFSectors);
  }
  const uint32_t result = uint32_t(std::min<uint64_t>(total, UINT32_MAX));
  total = (total + kSectorsPerPacket - 1) / kSectorsPerPacket * kSectorsPerPacket;
  if (total > UINT32_MAX) {
    sound = false;
    total = UINT32_MAX / kSectorsPerPacket * kSectorsPerPacket;
  }
  cd.TotalImageSize = uint32_t(total);

  // 17. The UDF partition covers the data range.
  if (cd.UDFBridge) CompleteUDFLayout(cd, cd.FirstDataSector, cd.TotalImageSize - 1);

  // 18. A layout that cannot be written soundly stays unprepared, so no header is built.
  cd.Prepared = sound;
  cd.ComponentStatus = 0;
  return result;
}

bool BuildISOHeader(TCDFiles& cd) {
  if (!cd.Prepared || !cd.RootDir) return false;
  // A bridge whose file entries pointed below its partition would send readers to wrong sectors.
  if (cd.UDFBridge && !UDFReachesImports(cd)) return false;
  cd.isom = {};  // the previous header goes before the new one is allocated
  cd.IsoHeaderSize = 0;
  try {
    cd.isom.resize(size_t(cd.HeaderSectors) * kSectorSize);
  } catch (const std::bad_alloc&) {
    cd.isom = {};
    return false;
  }

  THeaderSink sink(cd);
  const bool boot = !cd.BootImage.empty();
  using iso::TVolumeDescriptorKind;

  sink.Sectors(16);  // system area
  if (auto s = sink.Sectors(1); !s.empty())
    iso::WriteVolumeDescriptor(s, cd, TVolumeDescriptorKind::Primary);
  if (boot)
    if (auto s = sink.Sectors(1); !s.empty()) iso::WriteBootRecord(s, cd);
  if (cd.ISO9660v1999FS)
    if (auto s = sink.Sectors(1); !s.empty())
      iso::WriteVolumeDescriptor(s, cd, TVolumeDescriptorKind::Enhanced);
  if (cd.JolietFS)
    if (auto s = sink.Sectors(1); !s.empty())
      iso::WriteVolumeDescriptor(s, cd, TVolumeDescriptorKind::Joliet);
  if (auto s = sink.Sectors(1); !s.empty()) iso::WriteTerminator(s);

  if (cd.UDFBridge) WriteUDFVolumeArea(cd, sink);

  WritePathTables(cd, sink, THierarchy::ISO);
  if (cd.JolietFS) WritePathTables(cd, sink, THierarchy::Joliet);
  WriteDirectoryBlock(cd, sink, THierarchy::ISO);
  if (cd.JolietFS) WriteDirectoryBlock(cd, sink, THierarchy::Joliet);
  if (boot && sink.At(cd.BootCatalogLocation))
    if (auto s = sink.Sectors(1); !s.empty()) iso::WriteBootCatalog(s, cd);
  if (cd.Blank > 0) sink.Sectors(uint32_t(cd.Blank));

  if (!sink.ok() || size_t(cd.IsoHeaderSize) != cd.isom.size()) {
    cd.isom = {};
    cd.IsoHeaderSize = 0;
    return false;
  }
  return true;
}

}  // namespace torvik
