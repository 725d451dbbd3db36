#include "udf_reader.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "layout/bvkUDFBridge.h"
#include "platform/bvkTime.h"

namespace udftest {

using namespace torvik;

uint16_t BitwiseCrc16(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool in = (data[i] >> bit) & 1;
      const bool top = crc & 0x8000;
      crc = uint16_t(crc << 1);
      if (in != top) crc ^= 0x1021;
    }
  }
  return crc;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

std::string CheckTag(const uint8_t* d, uint16_t identifier, uint32_t location) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = uint8_t(sum + d[i]);
  const std::string what = "tag " + std::to_string(identifier) + " at " + std::to_string(location);
  if (Le16(d) != identifier) return what + ": identifier " + std::to_string(Le16(d));
  if (sum != d[4]) return what + ": checksum";
  if (Le16(d + 2) != 2 || Le16(d + 6) != 1) return what + ": version or serial";
  if (BitwiseCrc16(d + 16, Le16(d + 10)) != Le16(d + 8)) return what + ": CRC";
  if (Le32(d + 12) != location) return what + ": location " + std::to_string(Le32(d + 12));
  return {};
}

// ---- hand-built trees -------------------------------------------------------------------------

TreeBuilder::TreeBuilder() : cd_(std::make_unique<TCDFiles>()) {
  auto r = std::make_unique<TDirEntry>();
  r->Parent = r.get();
  r->ShortName = "ROOT_DIR";
  cd_->RootDir = r.get();
  cd_->Dirs.push_back(std::move(r));
  cd_->PathTableEntries.push_back(cd_->RootDir);
}

void TreeBuilder::Append(pDirEntry dir, pFileEntry e) {
  if (dir->LastFile)
    dir->LastFile->NextFile = e;
  else
    dir->Files = e;
  dir->LastFile = e;
}

pDirEntry TreeBuilder::Dir(pDirEntry parent, const std::u16string& name) {
  auto e = std::make_unique<TFileEntry>();
  auto d = std::make_unique<TDirEntry>();
  e->LongName = e->LongNameWIN32 = name;
  e->attributes = 16;
  e->DirRecord = d.get();
  d->Parent = parent;
  d->LongName = name;
  d->Entry = e.get();
  Append(parent, e.get());
  pDirEntry out = d.get();
  cd_->Files.push_back(std::move(e));
  cd_->Dirs.push_back(std::move(d));
  cd_->PathTableEntries.push_back(out);
  return out;
}

pFileEntry TreeBuilder::File(pDirEntry dir, const std::u16string& name, int64_t size,
                             uint32_t address) {
  auto e = std::make_unique<TFileEntry>();
  e->LongName = e->LongNameWIN32 = name;
  e->FileSize = size;
  e->attributes = 32;
  e->Address = address;
  e->Imported = address != 0;
  Append(dir, e.get());
  pFileEntry out = e.get();
  cd_->Files.push_back(std::move(e));
  return out;
}

// ---- images made of the bridge alone --------------------------------------------------------

uint32_t LayoutBridgeOnly(TCDFiles& cd) {
  const TLocalTime now = FileTimeToLocal(CurrentFileTime());
  cd.LayoutTime = now.Time;
  cd.LayoutTimeZone = int8_t(now.Offset15);
  LayoutUDFVolumeStructures(cd, 16);
  uint32_t cursor = UDFFileSetDescriptorSector(cd) + 2;
  LayoutUDFFileStructures(cd, cursor);
  cursor += cd.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures;
  cd.FirstDataSector = cursor;
  uint64_t counter = 0;
  for (auto& f : cd.Files) {
    if (f->DirRecord || f->Imported) continue;
    f->Address = f->FileSize == 0 ? 0 : uint32_t(counter);
    counter += BytesToBlocks(uint64_t(f->FileSize));
  }
  cd.FilesSize = uint32_t(counter);
  uint32_t total = cd.FirstDataSector + cd.FilesSize;
  cd.UDFBridgeInfo.IsNewPacketRequiredForLastAVDP = total % 32 == 0;
  total = (total + 1 + 31) / 32 * 32;
  cd.TotalImageSize = total;
  CompleteUDFLayout(cd, cd.FirstDataSector, total - 1);
  return total;
}

void WriteBridgeStructures(TCDFiles& cd, const SectorSink& put, uint32_t generatorStep) {
  const auto& bi = cd.UDFBridgeInfo;
  std::vector<uint8_t> buf(32 * kSectorSize);
  WriteVolumeRecognitionSequence(cd, buf.data());
  put(bi.VolumeRecognitionSequence_LSAWRTSession, buf.data(), 3);
  WriteUDFVolumeDescriptorSequences(cd, buf.data());
  put(bi.MainVolumeDescriptorSequenceExtent_LSAWRTSession, buf.data(), 32);
  WriteLogicalVolumeIntegrity(cd, buf.data());
  put(bi.LogicalVolumeIntegrityDescriptor_LSAWRTSession, buf.data(), 4);
  WriteAnchorVolumeDescriptorPointer(cd, buf.data(), 256);
  put(256, buf.data(), 1);
  WriteFileSetDescriptor(cd, buf.data());
  put(bi.FileSetDescriptor_LSAWRTSession, buf.data(), 2);
  uint32_t s = bi.RootDirectoryICB_LSAWRTSession;
  const uint32_t end = s + bi.NumberOfBlocksRequiredForFileDirStructures;
  while (s < end) {
    const uint32_t k = std::min({generatorStep, end - s, 32u});
    WriteUDFFileStructureBlocks(cd, buf.data(), k);
    put(s, buf.data(), k);
    s += k;
  }
  WriteAnchorVolumeDescriptorPointer(cd, buf.data(), cd.TotalImageSize - 1);
  put(cd.TotalImageSize - 1, buf.data(), 1);
}

std::vector<uint8_t> AssembleBridgeOnly(
    TCDFiles& cd, const std::function<uint8_t(const TFileEntry&, uint64_t)>& data,
    uint32_t generatorStep) {
  std::vector<uint8_t> img(size_t(cd.TotalImageSize) * kSectorSize);
  auto at = [&](uint32_t sector) { return img.data() + size_t(sector) * kSectorSize; };
  WriteBridgeStructures(
      cd,
      [&](uint32_t sector, const uint8_t* p, uint32_t n) { std::memcpy(at(sector), p, n * 2048); },
      generatorStep);
  for (auto& f : cd.Files) {
    if (f->DirRecord || f->Imported || f->FileSize == 0) continue;
    uint8_t* p = at(cd.FirstDataSector + f->Address);
    for (uint64_t i = 0; i < uint64_t(f->FileSize); ++i) p[i] = data(*f, i);
  }
  return img;
}

// ---- reader ---------------------------------------------------------------------------------

bool UdfReader::Sector(uint64_t s, std::vector<uint8_t>& out) {
  out.assign(2048, 0);
  if (src_(s, out.data())) return true;
  errors.push_back("sector " + std::to_string(s) + " out of the image");
  return false;
}

static std::u16string DecodeOsta(const uint8_t* p, size_t n) {
  std::u16string s;
  if (n == 0) return s;
  if (p[0] == 8)
    for (size_t i = 1; i < n; ++i) s += char16_t(p[i]);
  else if (p[0] == 16)
    for (size_t i = 1; i + 1 < n; i += 2) s += char16_t(p[i] << 8 | p[i + 1]);
  return s;
}

bool UdfReader::ReadEntry(uint32_t lbn, Node& node) {
  std::vector<uint8_t> fe;
  if (!Sector(uint64_t(partitionStart) + lbn, fe)) return false;
  if (auto e = CheckTag(fe.data(), 261, lbn); !e.empty()) {
    errors.push_back("file entry: " + e);
    return false;
  }
  node.entryLbn = lbn;
  node.directory = fe[27] == 4;
  node.linkCount = Le16(&fe[48]);
  node.length = Le64(&fe[56]);
  const uint32_t lea = Le32(&fe[168]), lad = Le32(&fe[172]);
  if (176 + lea + lad > 2048) {
    errors.push_back("file entry descriptor areas overrun the block");
    return false;
  }
  uint64_t sum = 0;
  for (uint32_t off = 176 + lea; off + 8 <= 176 + lea + lad; off += 8) {
    const uint32_t len = Le32(&fe[off]) & 0x3FFFFFFF;
    if (len == 0) break;
    node.extents.emplace_back(partitionStart + Le32(&fe[off + 4]), len);
    sum += len;
  }
  if (sum != node.length) errors.push_back("extents do not add up to the information length");
  if (Le64(&fe[64]) != (node.length + 2047) / 2048) errors.push_back("logical blocks recorded");
  return true;
}

std::vector<uint8_t> UdfReader::ReadFile(const Node& node, uint64_t offset, size_t n) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> sec;
  uint64_t base = 0;
  for (auto [sector, len] : node.extents) {
    while (out.size() < n && offset < base + len) {
      const uint64_t rel = offset - base;
      if (!Sector(sector + rel / 2048, sec)) return out;
      const size_t take =
          size_t(std::min<uint64_t>({2048 - rel % 2048, base + len - offset, n - out.size()}));
      out.insert(out.end(), sec.begin() + long(rel % 2048), sec.begin() + long(rel % 2048 + take));
      offset += take;
    }
    base += len;
  }
  return out;
}

void UdfReader::Walk(const std::u16string& path, const Node& dir, uint32_t parentLbn, int depth) {
  if (depth > 64) {
    errors.push_back("directory loop at " + std::string(path.begin(), path.end()));
    return;
  }
  // The directory's data as one byte run, remembering where each byte lies on disc.
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> sectorOf;
  std::vector<uint8_t> sec;
  for (auto [sector, len] : dir.extents)
    for (uint32_t i = 0; i * 2048 < len; ++i) {
      if (!Sector(sector + i, sec)) return;
      const uint32_t take = std::min<uint32_t>(2048, len - i * 2048);
      bytes.insert(bytes.end(), sec.begin(), sec.begin() + take);
      sectorOf.insert(sectorOf.end(), take, sector + i);
    }
  std::set<std::u16string> seen;
  bool parentSeen = false;
  for (size_t p = 0; p + 38 <= bytes.size();) {
    const uint8_t* f = &bytes[p];
    const uint32_t lfi = f[19], liu = Le16(f + 36);
    const size_t total = (38 + liu + lfi + 3) & ~size_t(3);
    if (p + total > bytes.size()) {
      errors.push_back("identifier descriptor runs past the directory");
      return;
    }
    if (auto e = CheckTag(f, 257, sectorOf[p] - partitionStart); !e.empty())
      errors.push_back("identifier descriptor: " + e);
    if (Le16(f + 10) != total - 16) errors.push_back("identifier descriptor CRC length");
    const uint32_t icb = Le32(f + 24);
    if (f[18] & 0x08) {
      parentSeen = true;
      if (icb != parentLbn) errors.push_back("parent entry points elsewhere");
    } else {
      const std::u16string name = DecodeOsta(f + 38 + liu, lfi);
      if (name.empty() || !seen.insert(name).second)
        errors.push_back("empty or repeated name in " + std::string(path.begin(), path.end()));
      const std::u16string child = (path == u"/" ? u"" : path) + u"/" + name;
      Node node;
      if (ReadEntry(icb, node)) {
        if (node.directory != bool(f[18] & 0x02)) errors.push_back("characteristics vs type");
        nodes[child] = node;
        if (node.directory) Walk(child, node, dir.entryLbn, depth + 1);
      }
    }
    p += total;
  }
  if (!parentSeen) errors.push_back("no parent entry");
}

bool UdfReader::Read() {
  std::vector<uint8_t> avdp, d;
  if (!Sector(256, avdp)) return false;
  if (auto e = CheckTag(avdp.data(), 2, 256); !e.empty()) {
    errors.push_back("anchor: " + e);
    return false;
  }
  const uint32_t mainLen = Le32(&avdp[16]), mainLoc = Le32(&avdp[20]);
  uint32_t fsdLbn = 0, lvidLoc = 0;
  for (uint32_t s = mainLoc; s < mainLoc + mainLen / 2048; ++s) {
    if (!Sector(s, d)) return false;
    const uint16_t id = Le16(d.data());
    if (auto e = CheckTag(d.data(), id, s); !e.empty()) errors.push_back("sequence: " + e);
    if (id == 5) {
      partitionStart = Le32(&d[188]);
      partitionLength = Le32(&d[192]);
    } else if (id == 6) {
      const std::u16string l = DecodeOsta(&d[84], d[84 + 127]);
      label.assign(l.begin(), l.end());
      fsdLbn = Le32(&d[248 + 4]);
      lvidLoc = Le32(&d[432 + 4]);
    } else if (id == 8) {
      break;
    }
  }
  if (!Sector(lvidLoc, d)) return false;
  if (auto e = CheckTag(d.data(), 9, lvidLoc); !e.empty()) errors.push_back("integrity: " + e);
  nextUniqueID = Le64(&d[40]);
  const uint32_t iu = 80 + 8 * Le32(&d[72]);
  integrityFiles = Le32(&d[iu + 32]);
  integrityDirs = Le32(&d[iu + 36]);

  if (!Sector(uint64_t(partitionStart) + fsdLbn, d)) return false;
  if (auto e = CheckTag(d.data(), 256, fsdLbn); !e.empty()) {
    errors.push_back("file set: " + e);
    return false;
  }
  Node root;
  if (!ReadEntry(Le32(&d[404]), root)) return false;
  nodes[u"/"] = root;
  Walk(u"/", root, root.entryLbn, 0);
  return errors.empty();
}

}  // namespace udftest
