// Test support for the UDF bridge: a hand-built layout tree, an image assembled from the
// bridge's own pieces, and a small UDF reader that follows the structures from the anchor
// with its own byte decoding and a bitwise CRC, so it shares no code with the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "layout/bvkTreeTypes.h"

namespace udftest {

uint16_t BitwiseCrc16(const uint8_t* data, size_t length);
uint32_t Le32(const uint8_t* p);
uint16_t Le16(const uint8_t* p);
uint64_t Le64(const uint8_t* p);

// Checks the tag at `d`: checksum, CRC over its stated length, identifier and location.
// Returns an empty string or what is wrong.
std::string CheckTag(const uint8_t* d, uint16_t identifier, uint32_t location);

// Builds layout records directly, so these tests do not depend on the insertion code. Entries
// are appended to their directory's list in call order (the order Prepare's sort would leave).
class TreeBuilder {
 public:
  TreeBuilder();
  torvik::TCDFiles& cd() { return *cd_; }
  torvik::pDirEntry root() { return cd_->RootDir; }
  torvik::pDirEntry Dir(torvik::pDirEntry parent, const std::u16string& name);
  torvik::pFileEntry File(torvik::pDirEntry dir, const std::u16string& name, int64_t size,
                          uint32_t address = 0);

 private:
  void Append(torvik::pDirEntry dir, torvik::pFileEntry e);
  std::unique_ptr<torvik::TCDFiles> cd_;
};

// Lays the bridge out the way Prepare does, with the recognition sequence at sector 16 and
// no ISO structures, file data following the UDF file structures in Files order. Returns the
// image size in sectors.
uint32_t LayoutBridgeOnly(torvik::TCDFiles& cd);
// Every sector of the bridge's structures of such a layout, handed out in pieces of at most
// `generatorStep` (<= 32) sectors for the file structures.
using SectorSink = std::function<void(uint32_t sector, const uint8_t* data, uint32_t sectors)>;
void WriteBridgeStructures(torvik::TCDFiles& cd, const SectorSink& put,
                           uint32_t generatorStep = 32);
// The image of such a layout; `data(entry, offset)` gives a file's byte at offset.
std::vector<uint8_t> AssembleBridgeOnly(
    torvik::TCDFiles& cd, const std::function<uint8_t(const torvik::TFileEntry&, uint64_t)>& data,
    uint32_t generatorStep = 32);

struct Node {
  bool directory = false;
  uint64_t length = 0;
  uint16_t linkCount = 0;
  uint32_t entryLbn = 0;
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // (absolute sector, bytes)
};

// Follows anchor -> volume descriptors -> file set -> directories. Every problem found
// (a bad tag, a loop, a name twice) lands in `errors`.
class UdfReader {
 public:
  using SectorSource = std::function<bool(uint64_t sector, uint8_t* out)>;
  explicit UdfReader(SectorSource src) : src_(std::move(src)) {}
  bool Read();
  std::string label;
  uint32_t partitionStart = 0, partitionLength = 0;
  uint32_t integrityFiles = 0, integrityDirs = 0;
  uint64_t nextUniqueID = 0;
  std::map<std::u16string, Node> nodes;  // "/A/B" -> node; "/" is the root
  std::vector<std::string> errors;
  // Bytes [offset, offset + n) of a file through its extents.
  std::vector<uint8_t> ReadFile(const Node& node, uint64_t offset, size_t n);

 private:
  bool Sector(uint64_t s, std::vector<uint8_t>& out);
  bool ReadEntry(uint32_t lbn, Node& node);
  void Walk(const std::u16string& path, const Node& dir, uint32_t parentLbn, int depth);
  SectorSource src_;
};

}  // namespace udftest
