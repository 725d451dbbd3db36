// Operations on the layout tree: reset, insertion of files, memory files, folders and empty
// directories, path resolution, look-ups, the volume label, the boot image, and the ordering
// and numbering that precede address assignment.
//
// Source paths are native paths (UTF-8 in the 8-bit forms, UTF-16 in the wide forms); disc
// paths use backslashes ("\" or "" is the root, "\Docs\2012" a folder). A forward slash is read
// as a separator in disc paths too: no name on the disc may contain either.
//
// Names are compared by simple case folding (see platform/bvkText.h): an insertion that names an
// entry already in the folder meets that entry (and is recorded in TCDFiles::NameClashes when it
// is a file). The files of one folder listing are the exception: on Linux "readme.txt" and
// "README.TXT" are two files, so each gets its own entry, and Prepare gives each hierarchy
// distinct names for them. A backslash in a name becomes '_'. Every insertion that returns nullptr leaves the layout as it was
// and says why in TCDFiles::LastInsertError; a folder scan that fails part-way takes back what it
// had added (entries it replaced under ReplaceFile keep their new source).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "layout/bvkTreeTypes.h"

namespace torvik {

// The skipped-marker: an insertion that the OnAddFile handler skipped (no name is skipped for
// its length: each hierarchy shortens what it cannot hold). Distinct from nullptr ("nothing") and from every real entry; callers treat
// it as success.
pFileEntry SkippedMarker();
inline bool IsSkipped(pFileEntry e) { return e == SkippedMarker(); }

// Empties the layout and creates the root. Required before the first insertion.
void ClearAll(TCDFiles& cd);

pFileEntry InsertFileW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view FileName);
pFileEntry InsertFile(TCDFiles& cd, std::string_view DestPath, std::string_view FileName);

pFileEntry InsertFileWithNameW(TCDFiles& cd, std::u16string_view DestPath,
                               std::u16string_view FileName, std::u16string_view LongNameOnDisc,
                               std::u16string_view ShortNameOnDisc);
pFileEntry InsertFileWithName(TCDFiles& cd, std::string_view DestPath, std::string_view FileName,
                              std::string_view LongNameOnDisc, std::string_view ShortNameOnDisc);

pFileEntry InsertMemoryFileW(TCDFiles& cd, std::u16string_view DestPath,
                             const TWin32FindDataW& FindFileData, TGetDataEvent OnGetData);
pFileEntry InsertMemoryFile(TCDFiles& cd, std::string_view DestPath,
                            const TWin32FindDataW& FindFileData, TGetDataEvent OnGetData);

// Adds the files of DirPath that match FileSpecs (Windows mask rules) to DestPath; with
// Recursive, every subfolder is created (matching files or not) and scanned the same way, before
// the files of its parent. Each folder is read in byte order of its names, so a scan gives the
// same layout every time. Links to folders, FIFOs, sockets and devices are left out. A folder
// the OnAddFile handler skips is left out with everything below it; the scan goes on. An
// unreadable folder, a refused name or a full table fails the whole scan (nullptr). With
// SavePath, the folders of DirPath itself are recreated below DestPath first (see
// SavePathComponents).
pDirEntry InsertDirW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view DirPath,
                     std::u16string_view FileSpecs, bool Recursive, bool SavePath);
pDirEntry InsertDir(TCDFiles& cd, std::string_view DestPath, std::string_view DirPath,
                    std::string_view FileSpecs, bool Recursive, bool SavePath);

// An empty folder dated now; its ISO name is the first 11 characters of DirName, upper-cased.
// An existing folder of that name is returned; an existing file of that name gives nullptr.
pDirEntry CreateDirW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view DirName);
pDirEntry CreateDir(TCDFiles& cd, std::string_view DestPath, std::string_view DirName);

// Index of the named entry in Files, or -1.
int64_t FindFileW(TCDFiles& cd, std::u16string_view Directory, std::u16string_view FileToFind);
int64_t FindFile(TCDFiles& cd, std::string_view Directory, std::string_view FileToFind);

// The directory a disc path names, or nullptr.
pDirEntry ResolveDestPath(const TCDFiles& cd, std::u16string_view DestPath);
// "\" for the root, otherwise "\A\B\" (with the trailing backslash).
std::u16string DirectoryPathText(pDirEntry dir);

// Both forms of the label are cut to 32 units (UTF-16 units / UTF-8 bytes) without splitting a
// character; malformed UTF-8 becomes U+FFFD.
void SetVolumeIDW(TCDFiles& cd, std::u16string_view Label);
void SetVolumeID(TCDFiles& cd, std::string_view Label);

// Selects the boot image (empty path: none). Accepts only 2048, 1228800, 1474560 and 2949120
// bytes; any other file empties BootImage and returns false.
bool SetBootImage(TCDFiles& cd, std::string_view Path);

// Depths, path-table order and sorted entry lists; run by Prepare before addresses are given.
// Also makes ISO 9660 names unique per directory (a later duplicate gets a "~N" tail).
void OrderTree(TCDFiles& cd);

// ---- building blocks, also used by the session import -----------------------------------

// Adds (or, with ReplaceFile, updates) the entry described by fd in dir: the common step of
// every insertion. A non-zero ImportedAddress marks the entry as imported at that absolute
// sector; its Time is then fd's write time broken down without any zone (the importer sets
// Time and TimeZone from the recorded bytes). SourcePath is empty for memory files, folders and
// imported entries. Returns the entry, the skipped-marker or nullptr (LastInsertError says why).
pFileEntry AddFileEntry(TCDFiles& cd, pDirEntry dir, const TWin32FindDataW& fd, bool Unicode,
                        uint32_t ImportedAddress, std::u16string_view SourcePath);

// Creates the folder fd describes in parent, or returns the existing folder of that name.
// nullptr when a file holds the name, the name is refused or skipped, or a table is full.
pDirEntry CreateDirFromFindData(TCDFiles& cd, pDirEntry parent, const TWin32FindDataW& fd,
                                uint32_t ImportedAddress = 0);

// Creates (or finds) each folder of Components in turn below start; the last one is the result,
// start itself for no components.
pDirEntry CreateDirPath(TCDFiles& cd, pDirEntry start, const std::vector<std::u16string>& Components);

// The folders that InsertDir with SavePath recreates for a source folder: "C:\Data\Pics" and
// "/data/pics" give {Data, Pics} / {data, pics}; "\\srv\share\a\b" gives {a, b}; a relative
// POSIX path gives its own components ("." parts dropped). ToRoot is set for the one form that
// names the root itself ("C:\\" after its trailing backslash is gone).
struct TSavePath {
  std::vector<std::u16string> Components;
  bool ToRoot = false;
};
TSavePath SavePathComponents(std::u16string_view DirPath);

// The name as the layout keeps it: a backslash (legal on Linux) would split it into a path on
// the disc, so it becomes '_'.
std::u16string LayoutName(std::u16string_view name);

// Takes the layout back to the given table sizes (FileCounter, DirCounter taken before an
// insertion): every entry and folder added since goes. Entries changed in place are not
// restored.
void RollbackLayout(TCDFiles& cd, size_t fileMark, size_t dirMark);

// The entry named Name (case-insensitive) in dir, or nullptr.
pFileEntry FindEntry(const TDirEntry& dir, std::u16string_view Name);

}  // namespace torvik
