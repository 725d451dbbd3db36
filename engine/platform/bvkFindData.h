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

// Outcome of a look-up or an enumeration. NoMatch (nothing there, or nothing matches the mask)
// is kept apart from Error (the folder or file could not be read), which callers must not treat
// as an empty result.
enum class TFindResult { Found, NoMatch, Error };

// The find data of one source path, as FindFirstFileW reports a single file: symbolic links are
// followed; cFileName is the last path component. errno-style code in *err on Error.
TFindResult FindDataFromPath(std::string_view path, TWin32FindDataW& fd, int* err = nullptr);

// Windows file-mask matching: '*' any run, '?' one character, case-insensitive; "*.*" and "*"
// match every name (with or without a dot), a trailing ".*" also matches names without an
// extension, and an empty mask matches everything.
bool MatchFileMask(std::u16string_view name, std::u16string_view mask);

struct TFindItem {
  TWin32FindDataW Data;
  std::string NativeName;  // the name's bytes as the directory holds them
};

// The entries of a folder whose names match the mask, in byte order of their names (so a scan
// gives the same layout on every run). "." and ".." are never reported. Symbolic links to
// folders, dangling links, FIFOs, sockets and devices are left out; links to files are
// followed. NoMatch when the folder is readable and nothing matches; Error (errno in *err) when
// it cannot be opened or read.
TFindResult EnumerateDirectory(std::string_view dir, std::u16string_view mask,
                               std::vector<TFindItem>& out, int* err = nullptr);

}  // namespace torvik
