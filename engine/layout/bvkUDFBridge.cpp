// The UDF bridge: a UDF 1.02 file system (NSR02, domain revision 0150h) over the same file
// data as the ISO 9660 and Joliet hierarchies.
//
// The volume structures are small and fixed, so the header builder gets them whole. The file
// entries and directory data grow with the tree (one sector per file), so they are generated
// block by block while the image stream runs, in exactly the order the layout walk gave them
// their sectors.
#include "layout/bvkUDFBridge.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "layout/bvkECMA_167.h"
#include "layout/bvkISO9660Structures.h"
#include "layout/bvkOSTA_UDF_150.h"
#include "layout/bvkUDFTime.h"
#include "layout/bvkUDFUnicode.h"
#include "layout/bvkUDFUtils.h"

namespace torvik {

namespace {

using namespace ecma167;

constexpr uint32_t kRecognitionSectors = 3;
constexpr uint32_t kMainSequence = 32;
constexpr uint32_t kReserveSequence = 48;
constexpr uint32_t kSequenceExtentBytes = 16 * kSectorSize;
constexpr uint32_t kIntegrity = 64;
constexpr uint32_t kIntegrityExtentBytes = 4 * kSectorSize;
constexpr uint32_t kAnchor = 256;
constexpr uint32_t kPartitionStart = 257;
constexpr uint32_t kFileSet = 257;
constexpr uint32_t kParentFIDLength = 40;
constexpr uint32_t kFileEntryADSpace = kSectorSize - FILE_ENTRY_AD_OFFSET;  // 1872
// Every extent but the last must be whole blocks, so a split file is cut at the largest
// multiple of the block size that an extent length can hold.
constexpr uint64_t kLargestSplitExtent = (uint64_t(1) << 30) - kSectorSize;

uint32_t Lbn(const TCDFiles& cd, uint32_t sessionSector) {
  return sessionSector + cd.UDFBridgeInfo.SessionStarting_LSA -
         cd.UDFBridgeInfo.PartitionStarting_LSA;
}

uint32_t PartitionLength(const TCDFiles& cd) {
  return cd.UDFBridgeInfo.SessionStarting_LSA +
         cd.UDFBridgeInfo.LengthOfPartitionPortionInSession_LBS;
}

// The label as a dstring of `fieldSize` bytes carries it: one byte per character (compression
// ID 8) when every character fits one, so a 32-byte field shows 30 characters; otherwise two
// bytes per UTF-16 unit (ID 16), 15 in a 32-byte field. The longer fields get the whole label.
// Returns the bytes written to `out` (at most fieldSize - 1; 0 for an empty label).
size_t CompressedLabel(const TCDFiles& cd, size_t fieldSize, uint8_t* out) {
  std::u16string_view label(cd.VolumeLabelW);
  label = label.substr(0, std::min<size_t>(label.find(u'\0'), label.size()));
  if (label.empty() || fieldSize < 3) return 0;
  const bool narrow =
      std::all_of(label.begin(), label.end(), [](char16_t c) { return c <= 0xFF; });
  // One byte of the field is the compression ID, the last one the length.
  const size_t room = (fieldSize - 2) / (narrow ? 1 : 2);
  std::u16string_view cut = label.substr(0, std::min(room, label.size()));
  if (cut.size() < label.size() && cut.back() >= 0xD800 && cut.back() <= 0xDBFF)
    cut.remove_suffix(1);
  return size_t(CompressOSTAUnicode(
      int(cut.size()), narrow ? osta::COMPRESSION_ID_8 : osta::COMPRESSION_ID_16, cut.data(), out));
}

void PutLabel(const TCDFiles& cd, uint8_t* d, size_t off, size_t fieldSize) {
  uint8_t label[128];
  PutDString(d, off, fieldSize, label, CompressedLabel(cd, fieldSize, label));
}

const std::u16string& UDFNameOf(const TFileEntry& e) {
  return e.UDFFileInfo.UDFName.empty() ? e.LongName : e.UDFFileInfo.UDFName.str();
}

// The names were fitted by AssignUDFNames; the cap only guards FIDContainer should a name
// reach here unfitted, and sizing and writing apply it alike.
size_t FIDNameUnits(const std::u16string& name) {
  return std::min<size_t>(name.size(), osta::MAX_NAME_UNITS);
}

uint32_t FIDLength(size_t nameUnits) {
  const uint32_t l = nameUnits == 0 ? 0 : uint32_t(2 * nameUnits + 1);
  return (FID_FIXED_SIZE + l + 3) & ~3u;
}

// ---- names of the UDF view --------------------------------------------------------------------

bool FitsAsIs(const std::u16string& name) {
  return !name.empty() && name.size() <= osta::MAX_NAME_UNITS &&
         name.find_first_of(std::u16string_view(u"/\0", 2)) == std::u16string::npos;
}

// A file identifier holds at most 127 characters, and '/' and NUL cannot appear in one. Names
// are compared exactly: UDF is case-sensitive where it is read most (Linux), so "readme.txt"
// and "README.TXT" in one folder stay two entries under their own names. A name that fits and
// is not yet taken in the directory stays as it is; the others (too long, unwritable, or the
// same as an earlier entry's) are cut, keeping the extension, and get a "~N" tail until they
// are unique. A name is never left empty: an empty identifier means the parent directory.
void AssignUDFNames(TDirEntry& dir) {
  // Nearly every directory holds only names that fit and differ; one pass over views of the
  // names finds that out without building any.
  bool clean = true;
  {
    std::unordered_set<std::u16string_view> seen;
    for (TFileEntry* e = dir.Files; e && clean; e = e->NextFile)
      clean = FitsAsIs(e->LongName) && seen.insert(e->LongName).second;
  }
  if (clean) {
    for (TFileEntry* e = dir.Files; e; e = e->NextFile) e->UDFFileInfo.UDFName.clear();
    return;
  }
  std::unordered_set<std::u16string> taken;
  std::vector<std::pair<TFileEntry*, std::u16string>> pending;
  for (TFileEntry* e = dir.Files; e; e = e->NextFile) {
    if (FitsAsIs(e->LongName) && taken.insert(e->LongName).second) {
      e->UDFFileInfo.UDFName.clear();  // the long name itself
      continue;
    }
    std::u16string name = e->LongName;
    for (char16_t& c : name)
      if (c == u'/' || c == u'\0') c = u'_';
    pending.emplace_back(e, std::move(name));
  }
  for (auto& [e, name] : pending) {
    for (uint32_t tail = 0;; ++tail) {
      std::u16string candidate = ShortenUDFName(name, osta::MAX_NAME_UNITS, tail);
      if (!candidate.empty() && taken.insert(candidate).second) {
        e->UDFFileInfo.UDFName = std::move(candidate);
        break;
      }
    }
  }
}

// ---- descriptors ------------------------------------------------------------------------------

void WriteAllocationDescriptors(uint8_t* fe, uint64_t length, uint32_t lbn) {
  if (length <= MAX_EXTENT_LENGTH) {
    PutShortAD(fe, FILE_ENTRY_AD_OFFSET, uint32_t(length), lbn);
    return;
  }
  // Contiguous extents, one after the other; the descriptor area holds far more than the
  // largest file the layout accepts needs.
  size_t off = FILE_ENTRY_AD_OFFSET;
  while (length > 0 && off + SHORT_AD_SIZE <= kSectorSize) {
    const uint64_t piece = std::min(length, kLargestSplitExtent);
    PutShortAD(fe, off, uint32_t(piece), lbn);
    lbn += uint32_t(piece / kSectorSize);
    length -= piece;
    off += SHORT_AD_SIZE;
  }
}

struct FileEntryFields {
  bool directory = false;
  uint16_t linkCount = 1;
  uint64_t informationLength = 0;
  uint32_t dataLbn = 0;
  uint64_t uniqueID = 0;
  uint32_t ownLbn = 0;
  timestamp time;  // access, modification and attribute time alike
};

// The entry's own time: what the ISO 9660 record of the same entry says, with its own offset.
// The root has no entry, and an entry whose time was never set has none; both get the layout
// time.
timestamp EntryTime(const TCDFiles& cd, const TFileEntry* e) {
  if (!e || e->Time.wYear == 0 || e->Time.wMonth == 0) return cd.UDFBridgeInfo.UDFTimeStamp;
  return UDFTimeStampFromLocal(e->Time, e->TimeZone);
}

void BuildFileEntry(uint8_t* fe, const FileEntryFields& f) {
  std::memset(fe, 0, kSectorSize);
  PutU16(fe, 20, ICB_STRATEGY_TYPE);
  PutU16(fe, 24, 1);  // maximum number of entries
  fe[27] = f.directory ? FILE_TYPE_DIRECTORY : FILE_TYPE_FILE;
  PutU16(fe, 34, ICB_FLAG_SHORT_AD);
  PutU32(fe, 36, 0xFFFFFFFFu);  // uid
  PutU32(fe, 40, 0xFFFFFFFFu);  // gid
  PutU32(fe, 44, PERMISSIONS_READ_EXECUTE);
  PutU16(fe, 48, f.linkCount);
  PutU64(fe, 56, f.informationLength);
  PutU64(fe, 64, BytesToBlocks(f.informationLength));
  WriteUDFTimeStamp(fe + 72, f.time);
  WriteUDFTimeStamp(fe + 84, f.time);
  WriteUDFTimeStamp(fe + 96, f.time);
  PutU32(fe, 108, 1);  // checkpoint
  PutImplementationRegid(fe, 128);
  PutU64(fe, 160, f.uniqueID);
  PutU32(fe, 168, 0);  // extended attributes
  PutU32(fe, 172, kFileEntryADSpace);
  WriteAllocationDescriptors(fe, f.informationLength, f.dataLbn);
  BuildUDFTag(fe, TAG_FILE_ENTRY, uint16_t(kSectorSize - TAG_SIZE), f.ownLbn);
}

// Returns the descriptor's length.
uint32_t BuildFileIdentifierDescriptor(uint8_t* fid, uint8_t characteristics,
                                       const std::u16string& name, uint32_t icbLbn,
                                       uint32_t tagLocation) {
  const size_t units = FIDNameUnits(name);
  const uint32_t total = FIDLength(units);
  std::memset(fid, 0, total);
  PutU16(fid, 16, 1);  // file version number
  fid[18] = characteristics;
  PutLongAD(fid, 20, kSectorSize, icbLbn, 0);
  PutU16(fid, 36, 0);  // implementation use length
  if (units > 0)
    fid[19] = uint8_t(CompressOSTAUnicode(int(units), osta::COMPRESSION_ID_16, name.data(),
                                          fid + FID_FIXED_SIZE));
  BuildUDFTag(fid, TAG_FILE_IDENTIFIER_DESCRIPTOR, uint16_t(total - TAG_SIZE), tagLocation);
  return total;
}

void WriteTerminatingDescriptor(uint8_t* d, uint32_t location) {
  std::memset(d, 0, 512);
  BuildUDFTag(d, TAG_TERMINATING_DESCRIPTOR, 496, location);
}

// The main or the reserve volume descriptor sequence, six sectors from `d`.
void WriteVolumeDescriptorSequence(const TCDFiles& cd, uint8_t* d, uint32_t base) {
  const UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  const uint32_t s = bi.SessionStarting_LSA;

  uint8_t* pvd = d;
  PutU32(pvd, 16, 1);  // volume descriptor sequence number
  PutU32(pvd, 20, 0);  // primary volume descriptor number
  PutLabel(cd, pvd, 24, 32);  // volume identifier
  PutU16(pvd, 56, 1);  // volume sequence number
  PutU16(pvd, 58, 1);
  PutU16(pvd, 60, 2);  // interchange level
  PutU16(pvd, 62, 3);
  PutU32(pvd, 64, 1);  // character set list
  PutU32(pvd, 68, 1);
  {
    uint8_t vsi[9];
    const std::u16string set(
        osta::VOLUME_SET_IDENTIFIER,
        osta::VOLUME_SET_IDENTIFIER + std::strlen(osta::VOLUME_SET_IDENTIFIER));
    const int n = CompressOSTAUnicode(int(set.size()), osta::COMPRESSION_ID_8, set.data(), vsi);
    PutDString(pvd, 72, 128, vsi, size_t(n));
  }
  PutCharspec(pvd, 200);
  PutCharspec(pvd, 264);
  WriteUDFTimeStamp(pvd + 376, bi.UDFTimeStamp);
  PutImplementationRegid(pvd, 388);
  BuildUDFTag(pvd, TAG_PRIMARY_VOLUME_DESCRIPTOR, 496, base + 0);

  uint8_t* lvd = d + kSectorSize;
  PutU32(lvd, 16, 2);
  PutCharspec(lvd, 20);
  PutLabel(cd, lvd, 84, 128);  // logical volume identifier
  PutU32(lvd, 212, kSectorSize);
  PutDomainRegid(lvd, 216, osta::DOMAIN_FLAGS_WRITE_PROTECTED);
  PutLongAD(lvd, 248, 2 * kSectorSize, Lbn(cd, bi.FileSetDescriptor_LSAWRTSession), 0);
  PutU32(lvd, 264, 6);  // map table length
  PutU32(lvd, 268, 1);  // number of partition maps
  PutImplementationRegid(lvd, 272);
  PutExtentAD(lvd, 432, kIntegrityExtentBytes,
              s + bi.LogicalVolumeIntegrityDescriptor_LSAWRTSession);
  lvd[440] = 1;  // type 1 partition map
  lvd[441] = 6;
  PutU16(lvd, 442, 1);  // volume sequence number
  PutU16(lvd, 444, 0);  // partition number
  BuildUDFTag(lvd, TAG_LOGICAL_VOLUME_DESCRIPTOR, 430, base + 1);

  uint8_t* pd = d + 2 * kSectorSize;
  PutU32(pd, 16, 3);
  PutU16(pd, 20, 1);  // allocated
  PutU16(pd, 22, 0);  // partition number
  {
    const uint8_t suffix[8] = {uint8_t(osta::UDF_REVISION),
                               uint8_t(osta::UDF_REVISION >> 8),
                               osta::OS_CLASS,
                               0,
                               0,
                               0,
                               0,
                               0};
    PutRegid(pd, 24, osta::PARTITION_CONTENTS_IDENTIFIER, suffix);
  }
  PutU32(pd, 184, 1);  // read-only
  PutU32(pd, 188, bi.PartitionStarting_LSA);
  PutU32(pd, 192, PartitionLength(cd));
  PutImplementationRegid(pd, 196);
  BuildUDFTag(pd, TAG_PARTITION_DESCRIPTOR, 496, base + 2);

  uint8_t* usd = d + 3 * kSectorSize;
  PutU32(usd, 16, 4);
  PutU32(usd, 20, 0);
  BuildUDFTag(usd, TAG_UNALLOCATED_SPACE_DESCRIPTOR, 8, base + 3);

  uint8_t* iuvd = d + 4 * kSectorSize;
  PutU32(iuvd, 16, 5);
  PutUDFSuffixRegid(iuvd, 20, osta::LV_INFO_IDENTIFIER);
  PutCharspec(iuvd, 52);
  PutLabel(cd, iuvd, 116, 128);  // logical volume identifier
  PutImplementationRegid(iuvd, 352);
  BuildUDFTag(iuvd, TAG_IMPLEMENTATION_USE_VOLUME_DESCRIPTOR, 496, base + 4);

  WriteTerminatingDescriptor(d + 5 * kSectorSize, base + 5);
}

// ---- the generator's walk ---------------------------------------------------------------------

// Moves the walk to entry `e` of directory `d`'s list, climbing to the parents at the ends
// of lists.
void Proceed(TCDFiles& cd, TDirEntry* d, TFileEntry* e) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  while (!e) {
    if (d == cd.RootDir || !d->Parent || d->Parent == d) {
      bi.IsDiscLayoutExhausted = true;
      bi.CurrentDirEntry = d;
      return;
    }
    d = d->Parent;
    e = d->UDFDirInfo.CurrentFileEntry->NextFile;
  }
  d->UDFDirInfo.CurrentFileEntry = e;
  if (e->DirRecord) {
    bi.CurrentDirEntry = e->DirRecord;
    bi.Status = FileDirWritingStatus::WritingDirICB;
  } else {
    bi.CurrentDirEntry = d;
    bi.Status = FileDirWritingStatus::WritingFileICB;
  }
}

uint32_t FileDataLbn(const TCDFiles& cd, const TFileEntry& e) {
  if (e.FileSize == 0) return 0;
  // A duplicate's allocation descriptor names the extent of the file that holds the data.
  const TFileEntry& src = iso::DataSource(e);
  if (src.Imported) return src.Address - cd.UDFBridgeInfo.PartitionStarting_LSA;
  return Lbn(cd, src.Address + cd.UDFBridgeInfo.ISODataPortionStarting_LSAWRTSession);
}

void StartFID(UDFBridgeInformation& bi, uint32_t length) {
  bi.IsPartialFID = true;
  bi.PartialFIDLengthRecovered = 0;
  bi.PartialFIDLengthToRecover = uint16_t(length);
}

void WriteOneBlock(TCDFiles& cd, uint8_t* sector) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  TDirEntry* d = bi.CurrentDirEntry;
  UDFDirectoryInformation& di = d->UDFDirInfo;
  switch (bi.Status) {
    case FileDirWritingStatus::WritingDirICB: {
      FileEntryFields f;
      f.directory = true;
      f.linkCount = di.FileLinkCount;
      f.informationLength = di.InformationLength;
      f.dataLbn = Lbn(cd, di.DirData_LSOffsetWRTSession);
      f.uniqueID = d == cd.RootDir ? 0 : uint64_t(bi.ICB_UniqueID++);
      f.ownLbn = Lbn(cd, di.DirICB_LSOffsetWRTSession);
      f.time = EntryTime(cd, d->Entry);
      BuildFileEntry(sector, f);
      bi.Status = FileDirWritingStatus::WritingDirData;
      bi.BlockOffsetWritingDirData = 0;
      di.CurrentFileEntry = d->Files;
      static const std::u16string kNoName;
      StartFID(bi, BuildFileIdentifierDescriptor(
                       bi.FIDContainer, FID_PARENT | FID_DIRECTORY, kNoName,
                       Lbn(cd, d->Parent->UDFDirInfo.DirICB_LSOffsetWRTSession),
                       Lbn(cd, di.DirData_LSOffsetWRTSession)));
      return;
    }
    case FileDirWritingStatus::WritingDirData: {
      // Descriptors are packed back to back; one that does not fit continues in the next
      // sector, which may come with the next call.
      uint32_t off = 0;
      while (off < kSectorSize) {
        if (bi.IsPartialFID) {
          const uint32_t n = std::min<uint32_t>(bi.PartialFIDLengthToRecover, kSectorSize - off);
          std::memcpy(sector + off, bi.FIDContainer + bi.PartialFIDLengthRecovered, n);
          off += n;
          bi.PartialFIDLengthRecovered = uint16_t(bi.PartialFIDLengthRecovered + n);
          bi.PartialFIDLengthToRecover = uint16_t(bi.PartialFIDLengthToRecover - n);
          if (bi.PartialFIDLengthToRecover == 0) bi.IsPartialFID = false;
          continue;
        }
        TFileEntry* e = di.CurrentFileEntry;
        if (!e) break;
        const uint32_t target = e->DirRecord ? e->DirRecord->UDFDirInfo.DirICB_LSOffsetWRTSession
                                             : e->UDFFileInfo.FileICB_LSOffsetWRTSession;
        StartFID(bi, BuildFileIdentifierDescriptor(
                         bi.FIDContainer, e->DirRecord ? FID_DIRECTORY : 0, UDFNameOf(*e),
                         Lbn(cd, target),
                         Lbn(cd, di.DirData_LSOffsetWRTSession + bi.BlockOffsetWritingDirData)));
        di.CurrentFileEntry = e->NextFile;
      }
      ++bi.BlockOffsetWritingDirData;
      if (!bi.IsPartialFID && !di.CurrentFileEntry) Proceed(cd, d, d->Files);
      return;
    }
    case FileDirWritingStatus::WritingFileICB: {
      TFileEntry* e = di.CurrentFileEntry;
      FileEntryFields f;
      f.informationLength = uint64_t(std::max<int64_t>(e->FileSize, 0));
      f.dataLbn = FileDataLbn(cd, *e);
      f.uniqueID = uint64_t(bi.ICB_UniqueID++);
      f.ownLbn = Lbn(cd, e->UDFFileInfo.FileICB_LSOffsetWRTSession);
      f.time = EntryTime(cd, e);
      BuildFileEntry(sector, f);
      Proceed(cd, d, e->NextFile);
      return;
    }
  }
}

// Sizes directory `d`'s identifier data and gives it its two positions.
void EnterDirectory(TCDFiles& cd, TDirEntry& d) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  UDFDirectoryInformation& di = d.UDFDirInfo;
  di.FileLinkCount = 1;
  di.InformationLength = kParentFIDLength;
  for (TFileEntry* e = d.Files; e; e = e->NextFile) {
    if (e->DirRecord) {
      ++di.FileLinkCount;
      ++bi.NumberOfDirectories;
    } else {
      ++bi.NumberOfFiles;
    }
    di.InformationLength += FIDLength(FIDNameUnits(UDFNameOf(*e)));
  }
  di.DirICB_LSOffsetWRTSession = bi.NextAvailableLSOffsetWRTSession++;
  di.DirData_LSOffsetWRTSession = bi.NextAvailableLSOffsetWRTSession;
  bi.NextAvailableLSOffsetWRTSession += uint32_t(BytesToBlocks(di.InformationLength));
  if (d.Entry) d.Entry->UDFFileInfo.FileICB_LSOffsetWRTSession = di.DirICB_LSOffsetWRTSession;
  di.CurrentFileEntry = d.Files;
}

}  // namespace

// ---- layout ---------------------------------------------------------------------------------

void LayoutUDFVolumeStructures(TCDFiles& cd, uint32_t cursor) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  bi.NumberOfDirectories = 1;
  bi.NumberOfFiles = 0;
  bi.ICB_UniqueID = 16;
  bi.NumberOfBlocksRequiredForFileDirStructures = 0;
  bi.VolumeRecognitionSequence_LSAWRTSession = cursor;
  bi.MainVolumeDescriptorSequenceExtent_LSAWRTSession = kMainSequence;
  bi.ReserveVolumeDescriptorSequenceExtent_LSAWRTSession = kReserveSequence;
  bi.LogicalVolumeIntegrityDescriptor_LSAWRTSession = kIntegrity;
  bi.AnchorVolumeDescriptorPointer_LSAWRTSession = kAnchor;
  bi.PartitionStarting_LSA = kPartitionStart;
  bi.FileSetDescriptor_LSAWRTSession = kFileSet;
  bi.UDFTimeStamp = UDFTimeStampFromLocal(cd.LayoutTime, cd.LayoutTimeZone);
  std::memset(bi.VolumeIdentifier, 0, sizeof bi.VolumeIdentifier);
  bi.UDFVolumeIdentifierLength =
      int8_t(CompressedLabel(cd, sizeof bi.VolumeIdentifier + 1, bi.VolumeIdentifier));
}

bool UDFReachesImports(const TCDFiles& cd) {
  for (const auto& e : cd.Files)
    if (e->Imported && e->FileSize > 0 && e->Address < kPartitionStart) return false;
  return true;
}

uint32_t UDFFileSetDescriptorSector(const TCDFiles& cd) {
  return cd.UDFBridgeInfo.FileSetDescriptor_LSAWRTSession;
}

void LayoutUDFFileStructures(TCDFiles& cd, uint32_t cursor) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  bi.RootDirectoryICB_LSAWRTSession = cursor;
  bi.NextAvailableLSOffsetWRTSession = cursor;
  bi.NumberOfDirectories = 1;
  bi.NumberOfFiles = 0;
  bi.NumberOfBlocksRequiredForFileDirStructures = 0;
  if (!cd.RootDir) return;
  for (auto& d : cd.Dirs) AssignUDFNames(*d);

  // Depth first, iteratively: each directory's CurrentFileEntry remembers where its list
  // continues after a subdirectory has been walked.
  TDirEntry* d = cd.RootDir;
  EnterDirectory(cd, *d);
  for (;;) {
    TFileEntry* e = d->UDFDirInfo.CurrentFileEntry;
    if (!e) {
      if (d == cd.RootDir || !d->Parent || d->Parent == d) break;
      d = d->Parent;
      d->UDFDirInfo.CurrentFileEntry = d->UDFDirInfo.CurrentFileEntry->NextFile;
      continue;
    }
    if (e->DirRecord) {
      d = e->DirRecord;
      EnterDirectory(cd, *d);
    } else {
      e->UDFFileInfo.FileICB_LSOffsetWRTSession = bi.NextAvailableLSOffsetWRTSession++;
      d->UDFDirInfo.CurrentFileEntry = e->NextFile;
    }
  }
  bi.NumberOfBlocksRequiredForFileDirStructures = bi.NextAvailableLSOffsetWRTSession - cursor;

  // Reset the generator; one image stream follows each layout.
  bi.ICB_UniqueID = 16;
  bi.BackTrack = false;
  bi.IsPartialFID = false;
  bi.IsDiscLayoutExhausted = false;
  bi.PartialFIDLengthRecovered = 0;
  bi.PartialFIDLengthToRecover = 0;
  bi.BlockOffsetWritingDirData = 0;
  bi.CurrentDirEntry = cd.RootDir;
  bi.Status = FileDirWritingStatus::WritingDirICB;
}

void CompleteUDFLayout(TCDFiles& cd, uint32_t dataStart, uint32_t lastSector) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  bi.LastAnchorVolumeDescriptorPointer_LSAWRTSession = lastSector;
  bi.LengthOfPartitionPortionInSession_LBS = lastSector - kPartitionStart;
  bi.ISODataPortionStarting_LSAWRTSession = dataStart;
}

// ---- fixed structures -------------------------------------------------------------------------

void WriteVolumeRecognitionSequence(const TCDFiles&, uint8_t* dest) {
  std::memset(dest, 0, kRecognitionSectors * kSectorSize);
  const char* ids[kRecognitionSectors] = {VSD_BEA01, VSD_NSR02, VSD_TEA01};
  for (uint32_t i = 0; i < kRecognitionSectors; ++i) {
    uint8_t* s = dest + i * kSectorSize;
    s[0] = 0;
    PutText(s, 1, ids[i]);
    s[6] = 1;
  }
}

void WriteUDFVolumeDescriptorSequences(const TCDFiles& cd, uint8_t* dest) {
  std::memset(dest, 0, kPacketSize);
  const UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  const uint32_t main = bi.MainVolumeDescriptorSequenceExtent_LSAWRTSession;
  for (uint32_t c : {0u, 16u})
    WriteVolumeDescriptorSequence(cd, dest + c * kSectorSize, bi.SessionStarting_LSA + main + c);
}

void WriteLogicalVolumeIntegrity(const TCDFiles& cd, uint8_t* dest) {
  std::memset(dest, 0, 4 * kSectorSize);
  const UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  const uint32_t location =
      bi.SessionStarting_LSA + bi.LogicalVolumeIntegrityDescriptor_LSAWRTSession;
  WriteUDFTimeStamp(dest + 16, bi.UDFTimeStamp);
  PutU32(dest, 28, 1);  // close
  PutExtentAD(dest, 32, 0, 0);
  PutU64(dest, 40, uint64_t(bi.NumberOfDirectories) + bi.NumberOfFiles + 16);  // next unique ID
  PutU32(dest, 72, 1);   // number of partitions
  PutU32(dest, 76, 48);  // implementation use length
  PutU32(dest, 80, 0);   // free space
  PutU32(dest, 84, PartitionLength(cd));
  PutImplementationRegid(dest, 88);
  PutU32(dest, 120, bi.NumberOfFiles);
  PutU32(dest, 124, bi.NumberOfDirectories);
  PutU16(dest, 128, osta::UDF_REVISION);  // minimum read
  PutU16(dest, 130, osta::UDF_REVISION);  // minimum write
  PutU16(dest, 132, osta::UDF_REVISION);  // maximum write
  BuildUDFTag(dest, TAG_LOGICAL_VOLUME_INTEGRITY_DESCRIPTOR, 120, location);
  WriteTerminatingDescriptor(dest + kSectorSize, location + 1);
}

void WriteAnchorVolumeDescriptorPointer(const TCDFiles& cd, uint8_t* dest, uint32_t location) {
  std::memset(dest, 0, kSectorSize);
  const UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  const uint32_t s = bi.SessionStarting_LSA;
  PutExtentAD(dest, 16, kSequenceExtentBytes,
              s + bi.MainVolumeDescriptorSequenceExtent_LSAWRTSession);
  PutExtentAD(dest, 24, kSequenceExtentBytes,
              s + bi.ReserveVolumeDescriptorSequenceExtent_LSAWRTSession);
  BuildUDFTag(dest, TAG_ANCHOR_VOLUME_DESCRIPTOR_POINTER, 496, location + s);
}

void WriteFileSetDescriptor(const TCDFiles& cd, uint8_t* dest) {
  std::memset(dest, 0, 2 * kSectorSize);
  const UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  const uint32_t lbn = Lbn(cd, bi.FileSetDescriptor_LSAWRTSession);
  const uint32_t rootIcb = cd.RootDir ? cd.RootDir->UDFDirInfo.DirICB_LSOffsetWRTSession
                                      : bi.RootDirectoryICB_LSAWRTSession;
  WriteUDFTimeStamp(dest + 16, bi.UDFTimeStamp);
  PutU16(dest, 28, 3);  // interchange level
  PutU16(dest, 30, 3);
  PutU32(dest, 32, 1);  // character set list
  PutU32(dest, 36, 1);
  PutU32(dest, 40, 0);  // file set number
  PutU32(dest, 44, 0);  // file set descriptor number
  PutCharspec(dest, 48);
  PutLabel(cd, dest, 112, 128);  // logical volume identifier
  PutCharspec(dest, 240);
  PutLabel(cd, dest, 304, 32);  // file set identifier
  PutLongAD(dest, 400, kSectorSize, Lbn(cd, rootIcb), 0);
  PutDomainRegid(dest, 416, 0);
  BuildUDFTag(dest, TAG_FILE_SET_DESCRIPTOR, 496, lbn);
  WriteTerminatingDescriptor(dest + kSectorSize, lbn + 1);
}

// ---- streaming ------------------------------------------------------------------------------

bool WriteUDFFileStructureBlocks(TCDFiles& cd, uint8_t* dest, uint32_t k) {
  UDFBridgeInformation& bi = cd.UDFBridgeInfo;
  if (bi.IsDiscLayoutExhausted || !bi.CurrentDirEntry || k == 0) return false;
  for (uint32_t i = 0; i < k; ++i) {
    uint8_t* sector = dest + size_t(i) * kSectorSize;
    std::memset(sector, 0, kSectorSize);
    // A caller asking for more than is left gets zero sectors after the end.
    if (!bi.IsDiscLayoutExhausted) WriteOneBlock(cd, sector);
  }
  return true;
}

}  // namespace torvik
