#include "layout/bvkISO9660Structures.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "layout/bvkISO9660Bytes.h"
#include "layout/bvkISO9660Names.h"
#include "platform/bvkText.h"

namespace torvik::iso {
namespace {

constexpr std::string_view kStandardId = "CD001";
constexpr std::u16string_view kPlaceholder16 = u"_";

// The short name as written: never empty (a zero-length identifier would read as "." on every
// reader) and never long enough to overflow the record length byte.
std::string_view ShortIdentifierSource(const TFileEntry& e) {
  std::string_view s(e.ShortName);
  if (s.empty()) return "_";
  return s.substr(0, kMaxShortIdentifier);
}

std::string_view ISO1999IdentifierSource(const TFileEntry& e) {
  std::string_view s(e.ISO1999Name.str());
  if (s.empty()) return "_";
  return s.substr(0, kISO1999NameLimit);
}

std::u16string_view JolietIdentifierSource(const TFileEntry& e) {
  std::u16string_view s(e.JolietName);
  if (s.empty()) return kPlaceholder16;
  return s.substr(0, kJolietNameLimit);
}

uint8_t ShortNameByte(char c) {
  auto u = uint8_t(c);
  if (u >= 'a' && u <= 'z') return uint8_t(u - 32);
  // Only printable ASCII is an ISO 9660 name; '/' would read as a path separator.
  if (u < 0x20 || u >= 0x7F || u == '/') return '_';
  return u;
}

const TFileEntry* DirectoryEntryOf(const TDirEntry& dir) { return dir.Entry; }

uint32_t BlockStart(const TCDFiles& cd, THierarchy h) {
  return h == THierarchy::ISO ? cd.FileDirDescriptorExtent : cd.file_and_dir_descriptor_extent_j;
}

uint32_t DirAddress(const TDirEntry& d, THierarchy h) {
  return h == THierarchy::ISO ? d.Address : d.AddressJ;
}

uint32_t DirBytes(const TDirEntry& d, THierarchy h) {
  return uint32_t(h == THierarchy::ISO ? d.DirSize : d.DirSizeJ);
}

uint32_t DirExtent(const TCDFiles& cd, const TDirEntry& d, THierarchy h) {
  return BlockStart(cd, h) + DirAddress(d, h) + cd.FirstWritableSector;
}

// Bytes 18-24 of a directory record. A time that was never set (year 0) stays all zero, which
// ECMA-119 reads as "not specified" instead of a bogus date.
void PutRecordingDate(std::span<uint8_t> rec, const TSystemTime& t, int8_t zone) {
  if (t.wYear < 1900 || t.wMonth == 0) return;
  rec[18] = uint8_t(std::min<int>(t.wYear - 1900, 255));
  rec[19] = uint8_t(t.wMonth);
  rec[20] = uint8_t(t.wDay);
  rec[21] = uint8_t(t.wHour);
  rec[22] = uint8_t(t.wMinute);
  rec[23] = uint8_t(t.wSecond);
  rec[24] = uint8_t(int8_t(std::clamp<int>(zone, -48, 52)));
}

void PutRecordHead(std::span<uint8_t> rec, uint32_t extent, uint32_t length, uint8_t flags,
                   uint32_t n) {
  PutU8(rec, 0, uint8_t(DirectoryRecordLength(n)));
  PutBoth32(rec, 2, extent);
  PutBoth32(rec, 10, length);
  PutU8(rec, 25, flags);
  PutBoth16(rec, 28, 1);
  PutU8(rec, 32, uint8_t(n));
}

// A folder's own time: that of its entry in the parent's list. The root has no entry; it was
// made with the layout.
struct TFolderTime {
  const TSystemTime& Time;
  int8_t Zone;
};
TFolderTime FolderTime(const TCDFiles& cd, const TDirEntry& dir) {
  if (const TFileEntry* e = DirectoryEntryOf(dir)) return {e->Time, e->TimeZone};
  return {cd.LayoutTime, cd.LayoutTimeZone};
}

// "." (identifier 00h) or ".." (01h): 34 bytes, dated with the folder it stands for. Readers
// show these dates for the folder itself (xorriso for the root, isoinfo for every folder).
void PutDotRecord(std::span<uint8_t> rec, uint32_t extent, uint32_t length, uint8_t id,
                  TFolderTime time) {
  PutRecordHead(rec, extent, length, 2, 1);
  PutRecordingDate(rec, time.Time, time.Zone);
  PutU8(rec, 33, id);
}

// A 17-byte volume date: "YYYYMMDDHHMMSScc" in digits and the offset byte. Without a time it is
// sixteen '0' digits and offset 0, which ECMA-119 reads as "no date"; zero bytes there are a
// malformed date that readers show as garbage.
void PutVolumeDate(std::span<uint8_t> s, size_t off, const TSystemTime* t, int8_t zone) {
  if (t == nullptr || t->wYear == 0 || t->wYear > 9999 || t->wMonth == 0) {
    PutText(s, off, "0000000000000000");
    PutU8(s, off + 16, 0);
    return;
  }
  const unsigned fields[] = {t->wYear / 100u, t->wYear % 100u, t->wMonth, t->wDay, t->wHour,
                             t->wMinute,      t->wSecond,      t->wMilliseconds / 10u % 100u};
  for (size_t i = 0; i < std::size(fields); ++i) {
    PutU8(s, off + 2 * i, uint8_t('0' + fields[i] / 10 % 10));
    PutU8(s, off + 2 * i + 1, uint8_t('0' + fields[i] % 10));
  }
  PutU8(s, off + 16, uint8_t(int8_t(std::clamp<int>(zone, -48, 52))));
}

uint8_t BootMediaType(int32_t size) {
  switch (size) {
    case 1228800: return 1;
    case 1474560: return 2;
    case 2949120: return 3;
    default: return 0;  // 2048 bytes: no emulation
  }
}

}  // namespace

uint32_t IdentifierLength(const TFileEntry& e, THierarchy h, bool v1999) {
  if (h == THierarchy::Joliet) return uint32_t(2 * JolietIdentifierSource(e).size());
  return uint32_t(v1999 ? ISO1999IdentifierSource(e).size() : ShortIdentifierSource(e).size());
}

void WriteIdentifier(std::span<uint8_t> dest, const TFileEntry& e, THierarchy h, bool v1999) {
  if (h == THierarchy::Joliet) {
    std::u16string_view s = JolietIdentifierSource(e);
    for (size_t i = 0; i < s.size(); ++i) PutBE16(dest, 2 * i, uint16_t(s[i]));
  } else if (v1999) {
    PutText(dest, 0, ISO1999IdentifierSource(e));
  } else {
    std::string_view s = ShortIdentifierSource(e);
    for (size_t i = 0; i < s.size(); ++i) PutU8(dest, i, ShortNameByte(s[i]));
  }
}

uint32_t DirectoryExtentSectors(const TDirEntry& dir, THierarchy h, bool v1999) {
  uint64_t used = 68, free = kSectorSize - 68;
  for (pFileEntry e = dir.Files; e; e = e->NextFile) {
    uint32_t r = DirectoryRecordLength(IdentifierLength(*e, h, v1999));
    if (r > free) {
      used += free + r;
      free = kSectorSize - r;
    } else {
      used += r;
      free -= r;
    }
  }
  return uint32_t((used + free) / kSectorSize);
}

uint32_t PathTableSize(const TCDFiles& cd, THierarchy h) {
  uint64_t size = 10;
  for (size_t i = 1; i < cd.PathTableEntries.size(); ++i) {
    const TFileEntry* e = DirectoryEntryOf(*cd.PathTableEntries[i]);
    size += PathTableRecordLength(IdentifierLength(*e, h, cd.ISO9660v1999FS));
  }
  return uint32_t(size);
}

const TFileEntry& DataSource(const TFileEntry& e) {
  const TFileEntry* t = &e;
  // Bounded: a reference chain is one step long in practice, a cycle must not hang the layout.
  for (int i = 0; i < 64 && t->ReferenceEntry && t->ReferenceEntry != t; ++i) t = t->ReferenceEntry;
  return *t;
}

uint32_t FileExtent(const TCDFiles& cd, const TFileEntry& e) {
  if (e.FileSize == 0) return 0;
  const TFileEntry& src = DataSource(e);
  if (src.Imported) return src.Address;
  return cd.FirstDataSector + src.Address + cd.FirstWritableSector;
}

void WriteVolumeDescriptor(std::span<uint8_t> s, const TCDFiles& cd, TVolumeDescriptorKind kind) {
  const bool joliet = kind == TVolumeDescriptorKind::Joliet;
  const bool enhanced = kind == TVolumeDescriptorKind::Enhanced;
  PutU8(s, 0, kind == TVolumeDescriptorKind::Primary ? 1 : 2);
  PutText(s, 1, kStandardId);
  PutU8(s, 6, enhanced ? 2 : 1);

  if (joliet) {
    std::u16string_view label = CutUtf16(cd.VolumeLabelW, 16);
    for (size_t i = 0; i < label.size(); ++i) PutBE16(s, 40 + 2 * i, uint16_t(label[i]));
  } else {
    std::string_view label = std::string_view(cd.VolumeLabel).substr(0, 32);
    for (size_t i = 0; i < label.size(); ++i) {
      auto c = uint8_t(label[i]);
      PutU8(s, 40 + i, (c >= 'a' && c <= 'z') ? uint8_t(c - 32) : c);
    }
  }
  PutBoth32(s, 80, cd.TotalImageSize + cd.VDImageSize);
  // UCS-2 Level 1. The primary descriptor never carries it: readers that find an escape
  // sequence there take the primary hierarchy for Joliet and garble or drop its names.
  if (joliet) {
    PutU8(s, 88, 0x25);
    PutU8(s, 89, 0x2F);
    PutU8(s, 90, 0x40);
  }
  PutBoth16(s, 120, 1);
  PutBoth16(s, 124, 1);
  PutBoth16(s, 128, uint16_t(kSectorSize));
  PutBoth32(s, 132, joliet ? cd.PathTableWidthJ : cd.PathTableWidth);
  PutLE32(s, 140, (joliet ? cd.path_table_extent_j_l : cd.PathTableExtentL) + cd.FirstWritableSector);
  PutBE32(s, 148, (joliet ? cd.path_table_extent_j_m : cd.path_table_extent_m) + cd.FirstWritableSector);

  const THierarchy h = joliet ? THierarchy::Joliet : THierarchy::ISO;
  PutDotRecord(s.subspan(156, 34), DirExtent(cd, *cd.RootDir, h), DirBytes(*cd.RootDir, h), 0,
               FolderTime(cd, *cd.RootDir));
  // Created and last modified when the layout was made; no expiry, effective at once.
  PutVolumeDate(s, 813, &cd.LayoutTime, cd.LayoutTimeZone);
  PutVolumeDate(s, 830, &cd.LayoutTime, cd.LayoutTimeZone);
  PutVolumeDate(s, 847, nullptr, 0);
  PutVolumeDate(s, 864, nullptr, 0);
  PutU8(s, 881, enhanced ? 2 : 1);
}

void WriteBootRecord(std::span<uint8_t> s, const TCDFiles& cd) {
  PutU8(s, 0, 0);
  PutText(s, 1, kStandardId);
  PutU8(s, 6, 1);
  PutText(s, 7, "EL TORITO SPECIFICATION");
  // An absolute sector like every other address here; relative only in a first session.
  PutLE32(s, 71, cd.BootCatalogLocation + cd.FirstWritableSector);
}

void WriteTerminator(std::span<uint8_t> s) {
  PutU8(s, 0, 255);
  PutText(s, 1, kStandardId);
  PutU8(s, 6, 1);
}

bool WritePathTable(std::span<uint8_t> dest, const TCDFiles& cd, THierarchy h, bool bigEndian) {
  if (dest.size() < 10) return false;
  auto put32 = bigEndian ? PutBE32 : PutLE32;
  auto put16 = bigEndian ? PutBE16 : PutLE16;
  const uint32_t start = BlockStart(cd, h) + cd.FirstWritableSector;

  PutU8(dest, 0, 1);
  put32(dest, 2, start + DirAddress(*cd.RootDir, h));
  put16(dest, 6, 1);
  size_t pos = 10;
  for (size_t i = 1; i < cd.PathTableEntries.size(); ++i) {
    const TDirEntry& d = *cd.PathTableEntries[i];
    const TFileEntry& e = *DirectoryEntryOf(d);
    const uint32_t n = IdentifierLength(e, h, cd.ISO9660v1999FS);
    if (pos + PathTableRecordLength(n) > dest.size()) return false;
    auto rec = dest.subspan(pos, PathTableRecordLength(n));
    PutU8(rec, 0, uint8_t(n));
    put32(rec, 2, start + DirAddress(d, h));
    put16(rec, 6, d.Parent->number);
    WriteIdentifier(rec.subspan(8, n), e, h, cd.ISO9660v1999FS);
    pos += rec.size();
  }
  return true;
}

bool WriteDirectoryExtent(std::span<uint8_t> dest, const TCDFiles& cd, const TDirEntry& dir,
                          THierarchy h) {
  if (dest.size() < 68) return false;
  PutDotRecord(dest.subspan(0, 34), DirExtent(cd, dir, h), DirBytes(dir, h), 0,
               FolderTime(cd, dir));
  PutDotRecord(dest.subspan(34, 34), DirExtent(cd, *dir.Parent, h), DirBytes(*dir.Parent, h), 1,
               FolderTime(cd, *dir.Parent));
  size_t pos = 68;
  for (pFileEntry e = dir.Files; e; e = e->NextFile) {
    const uint32_t n = IdentifierLength(*e, h, cd.ISO9660v1999FS);
    const uint32_t r = DirectoryRecordLength(n);
    // A record never crosses a sector boundary; the rest of the sector stays zero.
    if (pos % kSectorSize + r > kSectorSize) pos += kSectorSize - pos % kSectorSize;
    if (pos + r > dest.size()) return false;
    auto rec = dest.subspan(pos, r);
    uint8_t flags = IsHiddenOnDisc(e->attributes) ? 1 : 0;
    if (e->DirRecord) {
      const TDirEntry& sub = *e->DirRecord;
      PutRecordHead(rec, DirExtent(cd, sub, h), DirBytes(sub, h), flags | 2, n);
    } else {
      // Sizes of 4 GiB and more never get here (refused at insertion and by Prepare).
      const auto length = uint32_t(std::clamp<int64_t>(e->FileSize, 0, UINT32_MAX));
      PutRecordHead(rec, FileExtent(cd, *e), length, flags, n);
    }
    PutRecordingDate(rec, e->Time, e->TimeZone);
    WriteIdentifier(rec.subspan(33, n), *e, h, cd.ISO9660v1999FS);
    pos += r;
  }
  return true;
}

void WriteBootCatalog(std::span<uint8_t> s, const TCDFiles& cd) {
  // Validation entry.
  PutU8(s, 0, 1);
  PutU8(s, 1, 0);
  PutText(s, 4, "Pelora CD/DVD Burner");
  PutU8(s, 30, 0x55);
  PutU8(s, 31, 0xAA);
  uint32_t sum = 0;
  for (size_t i = 0; i < 32; i += 2) sum += GetLE16(s, i);
  PutLE16(s, 28, uint16_t(0x10000 - (sum & 0xFFFF)));
  // Initial/default entry.
  const uint8_t media = BootMediaType(cd.BootImageSize);
  PutU8(s, 32, 0x88);
  PutU8(s, 33, media);
  PutLE16(s, 34, 0);
  PutU8(s, 36, 0);
  PutLE16(s, 38, media == 0 ? 4 : 1);
  PutLE32(s, 40, cd.BootImageLocation + cd.FirstWritableSector);
}

}  // namespace torvik::iso
