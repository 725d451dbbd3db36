// Shared helpers of the ISO 9660 layout tests: a layout built from memory files and folders,
// and a reader for the header's directory records that follows ECMA-119 rather than our
// writer, so a test sees what any reader would see.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "layout/bvkISO9660.h"
#include "layout/bvkTree.h"
#include "layout/bvkTreeTypes.h"

namespace torvik::test {

// A fixed instant (2021-06-15 12:00:00 UTC) so that every run lays out the same bytes.
constexpr TFileTime kFixedTime = 132682320000000000ULL;
// Put in place of the layout time Prepare took, before the header is built, for the same reason:
// 2025-03-30 01:02:03.45 at -03:30.
constexpr TSystemTime kLayoutTime{2025, 3, 0, 30, 1, 2, 3, 450};
constexpr int8_t kLayoutZone = -14;

inline uint32_t LE32(std::span<const uint8_t> s, size_t off) {
  return uint32_t(s[off]) | uint32_t(s[off + 1]) << 8 | uint32_t(s[off + 2]) << 16 |
         uint32_t(s[off + 3]) << 24;
}
inline uint32_t BE32(std::span<const uint8_t> s, size_t off) {
  return uint32_t(s[off]) << 24 | uint32_t(s[off + 1]) << 16 | uint32_t(s[off + 2]) << 8 |
         uint32_t(s[off + 3]);
}
inline uint16_t LE16(std::span<const uint8_t> s, size_t off) {
  return uint16_t(s[off] | s[off + 1] << 8);
}
inline uint16_t BE16(std::span<const uint8_t> s, size_t off) {
  return uint16_t(s[off] << 8 | s[off + 1]);
}

// A both-byte 32-bit field whose two halves agree; a mismatch fails the calling test.
inline uint32_t Both32(std::span<const uint8_t> s, size_t off) {
  EXPECT_EQ(LE32(s, off), BE32(s, off + 4)) << "both-byte field at " << off;
  return LE32(s, off);
}

struct TRecord {
  size_t Offset = 0;  // within the extent
  uint8_t Length = 0;
  uint32_t Extent = 0;
  uint32_t Size = 0;
  uint8_t Flags = 0;
  std::vector<uint8_t> Date;  // bytes 18-24
  std::vector<uint8_t> Id;    // identifier bytes
};

// Records of one directory extent. A zero length byte means "continue at the next sector".
inline std::vector<TRecord> ParseExtent(std::span<const uint8_t> ext) {
  std::vector<TRecord> out;
  size_t pos = 0;
  while (pos < ext.size()) {
    if (ext[pos] == 0) {
      pos = (pos / 2048 + 1) * 2048;
      continue;
    }
    TRecord r;
    r.Offset = pos;
    r.Length = ext[pos];
    EXPECT_LE(pos % 2048 + r.Length, 2048u) << "record crosses a sector at " << pos;
    if (pos + r.Length > ext.size()) break;
    auto rec = ext.subspan(pos, r.Length);
    r.Extent = Both32(rec, 2);
    r.Size = Both32(rec, 10);
    r.Date.assign(rec.begin() + 18, rec.begin() + 25);
    r.Flags = rec[25];
    const uint8_t n = rec[32];
    EXPECT_EQ(r.Length, 33 + n + (n % 2 == 0 ? 1 : 0));
    r.Id.assign(rec.begin() + 33, rec.begin() + 33 + n);
    out.push_back(std::move(r));
    pos += r.Length;
  }
  return out;
}

inline std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
inline std::vector<uint8_t> Ucs2BE(std::u16string_view s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c >> 8));
    out.push_back(uint8_t(c));
  }
  return out;
}

class IsoLayoutTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAll(cd);
    cd.JolietFS = true;
  }

  // A memory file of `size` bytes; `shortName` empty lets the tree derive one.
  pFileEntry AddFile(std::u16string_view dir, std::u16string_view name, int64_t size,
                     uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE,
                     std::u16string_view shortName = u"") {
    TWin32FindDataW fd;
    fd.cFileName = name;
    fd.cAlternateFileName = shortName;
    fd.dwFileAttributes = attributes;
    fd.ftLastWriteTime = kFixedTime;
    fd.SetFileSize(uint64_t(size));
    pFileEntry e = InsertMemoryFileW(cd, dir, fd, [](void*, pFileEntry, uint32_t, void*, uint32_t&) {});
    EXPECT_TRUE(e != nullptr && !torvik::IsSkipped(e)) << "insertion refused";
    return e;
  }

  pDirEntry AddDir(std::u16string_view parent, std::u16string_view name) {
    pDirEntry d = CreateDirW(cd, parent, name);
    EXPECT_NE(d, nullptr);
    return d;
  }

  void PrepareAndBuild() {
    Prepare(cd);
    ASSERT_TRUE(cd.Prepared);
    cd.LayoutTime = kLayoutTime;
    cd.LayoutTimeZone = kLayoutZone;
    ASSERT_TRUE(BuildISOHeader(cd));
    ASSERT_EQ(cd.isom.size(), size_t(cd.HeaderSectors) * 2048);
  }

  std::span<const uint8_t> Sector(uint32_t s) const {
    return std::span<const uint8_t>(cd.isom).subspan(size_t(s) * 2048, 2048);
  }
  std::span<const uint8_t> Sectors(uint32_t s, uint32_t bytes) const {
    return std::span<const uint8_t>(cd.isom).subspan(size_t(s) * 2048, bytes);
  }
  std::vector<TRecord> IsoRecords(const TDirEntry& d) const {
    return ParseExtent(Sectors(cd.FileDirDescriptorExtent + d.Address, uint32_t(d.DirSize)));
  }
  std::vector<TRecord> JolietRecords(const TDirEntry& d) const {
    return ParseExtent(
        Sectors(cd.file_and_dir_descriptor_extent_j + d.AddressJ, uint32_t(d.DirSizeJ)));
  }

  TCDFiles cd;
};

}  // namespace torvik::test
