// The ECMA-119 structures of the header, one writer each, plus the size rules that Prepare uses
// to give them sectors. Sizing and writing share the identifier and packing functions below, so
// an extent is never laid out with one length and filled with another.
#pragma once

#include <cstdint>
#include <span>

#include "layout/bvkTreeTypes.h"

namespace torvik::iso {

enum class THierarchy { ISO, Joliet };

enum class TVolumeDescriptorKind { Primary, Enhanced, Joliet };

// ISO short names are written upper-cased; this many bytes keeps any record under 256 bytes.
constexpr uint32_t kMaxShortIdentifier = 222;

// Identifier bytes of an entry's directory record (and, for a directory, of its path table
// record). ISO: the short name, or with ISO 9660:1999 the derived UTF-8 name; Joliet: the
// derived name as UCS-2, two bytes per unit.
uint32_t IdentifierLength(const TFileEntry& e, THierarchy h, bool v1999);
void WriteIdentifier(std::span<uint8_t> dest, const TFileEntry& e, THierarchy h, bool v1999);

constexpr uint32_t DirectoryRecordLength(uint32_t n) { return 33 + n + (n % 2 == 0 ? 1 : 0); }
constexpr uint32_t PathTableRecordLength(uint32_t n) { return 8 + n + (n % 2); }

// Sectors of one directory's extent: "." and "..", then the entry records in list order, a
// record that does not fit the rest of a sector starting the next one.
uint32_t DirectoryExtentSectors(const TDirEntry& dir, THierarchy h, bool v1999);
// Bytes of one path table (L and M are the same size).
uint32_t PathTableSize(const TCDFiles& cd, THierarchy h);

// The entry whose data a file record points at: itself, or the end of its reference chain.
const TFileEntry& DataSource(const TFileEntry& e);
// The extent a file's directory record carries (absolute sector).
uint32_t FileExtent(const TCDFiles& cd, const TFileEntry& e);
// Flag bit 0: the entry's attributes hold nothing but (at most) the hidden bit.
constexpr bool IsHiddenOnDisc(int32_t attributes) { return attributes == 0 || attributes == 2; }

// The writers fill spans that are zero-filled and exactly as long as the structure.
void WriteVolumeDescriptor(std::span<uint8_t> sector, const TCDFiles& cd,
                           TVolumeDescriptorKind kind);
void WriteBootRecord(std::span<uint8_t> sector, const TCDFiles& cd);
void WriteTerminator(std::span<uint8_t> sector);
// One path table, padded to whole sectors by the caller's span size. False (the span is left
// partly written) when the records do not fit: the tree changed since its size was taken.
bool WritePathTable(std::span<uint8_t> dest, const TCDFiles& cd, THierarchy h, bool bigEndian);
// One directory's extent: DirSize (or DirSizeJ) bytes; false when the records do not fit.
bool WriteDirectoryExtent(std::span<uint8_t> dest, const TCDFiles& cd, const TDirEntry& dir,
                          THierarchy h);
void WriteBootCatalog(std::span<uint8_t> sector, const TCDFiles& cd);

}  // namespace torvik::iso
