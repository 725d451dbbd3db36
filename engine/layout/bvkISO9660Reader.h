// Reading an ISO 9660 / Joliet session back: the volume descriptors of a session, its directory
// tree, and the step that puts that tree into the layout as imported entries (their data stays
// where it is on the disc).
//
// The reader is a parser over a sector-reading callback, so a disc (READ (10)) and an image file
// share it. It trusts nothing it reads: every extent is checked against the end of the volume,
// every record against its sector, directory loops and shared directory extents are refused,
// and the number of entries is bounded by what the layout can still hold. Any fault ends the
// read with an error text and nothing is put into the layout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "layout/bvkTreeTypes.h"

namespace torvik {

// Reads 2048 bytes of sector `lba` into `buffer`; false when the sector cannot be read.
using TSectorReader = std::function<bool(uint32_t lba, uint8_t* buffer)>;

// Which hierarchy of the session the tree was read from, and so how its names were decoded.
enum class TISOHierarchy : uint8_t {
  None,      // no volume descriptor found
  Joliet,    // supplementary descriptor with a Joliet escape sequence: UCS-2 big-endian names
  ISO1999,   // enhanced descriptor (version 2): 8-bit names
  Primary,   // primary descriptor only: 8-bit names, ";1" version and a bare trailing dot cut
};

struct TISOVolumeInfo {
  TISOHierarchy Hierarchy = TISOHierarchy::None;
  uint32_t DescriptorSector = 0;   // absolute sector of the descriptor used
  uint32_t RootExtent = 0;
  uint32_t RootLength = 0;
  uint32_t VolumeSpaceSize = 0;    // of the primary descriptor, else of the one used
  std::u16string Label;            // the label of the descriptor used, trailing blanks cut
};

// One entry of a session's tree. Children of a directory follow the order of its records.
struct TISONode {
  std::u16string Name;
  uint32_t Extent = 0;             // absolute sector (as recorded)
  uint32_t Length = 0;             // bytes
  uint8_t Recorded[7] = {};        // recording date and time bytes 18-24 of the record
  bool IsDir = false;
  int32_t Parent = -1;             // index into TISOTree::Nodes; -1 for entries of the root
};

struct TISOTree {
  TISOVolumeInfo Volume;
  std::vector<TISONode> Nodes;     // depth first: a directory's contents follow it
  size_t FileCount = 0;
  size_t DirCount = 0;
};

struct TISOReadLimits {
  // Sectors past this one are outside the volume (disc: the volume space size; image: the
  // file's length in sectors).
  uint32_t EndSector = 0;
  size_t MaxFiles = size_t(kMaxFileEntries);  // entries (files and directories together)
  size_t MaxDirs = size_t(kMaxDirEntries);
};

// Looks at sectors first + 16 .. first + 31 (up to the set terminator) and picks the hierarchy
// to read: Joliet (by its escape sequence), else ISO 9660:1999, else the primary one. False, with
// `error` set, when no usable descriptor is found or a descriptor's root lies outside the volume.
// With EndSector 0 the primary descriptor's volume space size becomes the end.
bool ReadISOVolumeInfo(const TSectorReader& read, uint32_t first, uint32_t endSector,
                       TISOVolumeInfo& info, std::string& error);

// Reads the directory tree below the chosen root into `tree`. False, with `error`, on any fault
// (`tree` is then incomplete and must not be used).
bool ReadISOTree(const TSectorReader& read, const TISOVolumeInfo& volume,
                 const TISOReadLimits& limits, TISOTree& tree, std::string& error);

// The whole read for one session starting at sector `first`.
bool ReadISOSession(const TSectorReader& read, uint32_t first, uint32_t endSector, TISOTree& tree,
                    std::string& error);

// Puts the tree into the layout below `dest`: directories are created or merged, files become
// imported entries at their recorded extents (an empty file an ordinary empty entry), with the
// recorded date and time bytes kept. Names already present follow ReplaceFile. On failure the
// layout is as it was before the call and LastInsertError says why.
bool ImportISOTree(TCDFiles& cd, pDirEntry dest, const TISOTree& tree);

// Decodes a Joliet identifier (UCS-2 big-endian; whole units): a trailing ";digits" is cut.
std::u16string DecodeJolietName(const uint8_t* p, size_t n);
// Decodes an 8-bit identifier (UTF-8, or byte for byte when it is not valid UTF-8); with
// `primary`, a trailing ";digits" and then a bare trailing dot are cut.
std::u16string DecodeNarrowName(const uint8_t* p, size_t n, bool primary);

}  // namespace torvik
