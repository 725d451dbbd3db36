// The find-data record: what a directory walk reports about one file or folder, in the shape
// the layout code expects (attributes, times, 64-bit size split in two, UTF-16 names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvik {

// File attribute bits as the layout records them.
constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;

// 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using TFileTime = uint64_t;

// A broken-down time (UTC or local, depending on where it came from).
struct TSystemTime {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0;
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
};

struct TWin32FindDataW {
  uint32_t dwFileAttributes = 0;
  TFileTime ftCreationTime = 0;
  TFileTime ftLastAccessTime = 0;
  TFileTime ftLastWriteTime = 0;  // UTC
  uint32_t nFileSizeHigh = 0;
  uint32_t nFileSizeLow = 0;
  std::u16string cFileName;
  std::u16string cAlternateFileName;  // no 8.3 names on Linux: always empty from a walk

  uint64_t FileSize() const { return (uint64_t(nFileSizeHigh) << 32) | nFileSizeLow; }
  void SetFileSize(uint64_t n) {
    nFileSizeHigh = uint32_t(n >> 32);
    nFileSizeLow = uint32_t(n);
  }
};

}  // namespace torvik
