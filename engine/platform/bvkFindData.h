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
  // The 8.3 name, derived as the Windows file systems derive one (see AlternateName); empty
  // when cFileName already is a valid 8.3 name.
  std::u16string cAlternateFileName;

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

// Whether a name is already an 8.3 name: a stem of 1 to 8 and an optional extension of 1 to 3
// characters after a single dot, each character one an 8.3 name may hold (letters of either
// case, digits and the punctuation FAT allows); no leading or trailing dot.
bool IsValid83Name(std::u16string_view name);

// The 8.3 alternate name of a name that is not one, as Windows derives it: spaces and leading
// dots go, the extension is the first three characters after the last dot, the stem keeps at
// most 6 characters before "~N" (fewer as N grows, so the stem and tail stay within 8),
// everything is upper case, and any character other than A-Z, 0-9 and '_' becomes '_'.
// "IMG_20240101_000001.jpg" with n = 1 gives "IMG_20~1.JPG".
std::u16string AlternateName(std::u16string_view name, unsigned n);

// Windows file-mask matching: '*' any run, '?' one character, case-insensitive; "*.*" and "*"
// match every name (with or without a dot), a trailing ".*" also matches names without an
// extension, and an empty mask matches everything.
bool MatchFileMask(std::u16string_view name, std::u16string_view mask);

struct TFindItem {
  TWin32FindDataW Data;
  std::string NativeName;  // the name's bytes as the directory holds them
};

// An entry of a folder that a walk leaves out, and why: "FIFO", "socket", "device",
// "dangling link" or "link to a folder".
struct TFindSkip {
  std::string NativeName;
  const char* Reason = "";
};

// The entries of a folder whose names match the mask, in byte order of their names (so a scan
// gives the same layout on every run). "." and ".." are never reported. Symbolic links to
// folders, dangling links, FIFOs, sockets and devices are left out (and listed in *skipped when
// given); links to files are followed. Names that are not 8.3 names get alternate names unique
// within the listing. NoMatch when the folder is readable and nothing matches; Error (errno in
// *err) when it cannot be opened or read.
TFindResult EnumerateDirectory(std::string_view dir, std::u16string_view mask,
                               std::vector<TFindItem>& out, int* err = nullptr,
                               std::vector<TFindSkip>* skipped = nullptr);

}  // namespace torvik
