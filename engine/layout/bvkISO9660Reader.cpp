#include "layout/bvkISO9660Reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "layout/bvkTree.h"
#include "platform/bvkText.h"
#include "platform/bvkTime.h"

namespace torvik {

namespace {

constexpr size_t kRecordHead = 33;          // bytes of a directory record before its identifier
constexpr uint8_t kFlagDirectory = 0x02;
constexpr uint8_t kFlagAssociated = 0x04;
constexpr uint8_t kFlagMultiExtent = 0x80;
constexpr size_t kMaxNameUnits = 255;       // what the layout takes (a Linux name's bytes)

uint32_t Le32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsDescriptor(const uint8_t* s) { return std::memcmp(s + 1, "CD001", 5) == 0; }

// The UCS-2 levels Joliet announces in bytes 88-90 of its supplementary descriptor.
bool HasJolietEscape(const uint8_t* s) {
  return s[88] == '%' && s[89] == '/' && (s[90] == '@' || s[90] == 'C' || s[90] == 'E');
}

// Cuts a trailing ";digits" (at least one digit) off a name.
template <typename Str>
void CutVersion(Str& name) {
  size_t i = name.size();
  while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
  if (i < name.size() && i > 0 && name[i - 1] == ';') name.resize(i - 1);
}

std::u16string Trimmed(std::u16string s) {
  while (!s.empty() && (s.back() == u' ' || s.back() == 0)) s.pop_back();
  return s;
}

std::string SectorText(uint32_t lba) { return "sector " + std::to_string(lba); }

}  // namespace

std::u16string DecodeJolietName(const uint8_t* p, size_t n) {
  std::u16string out;
  out.reserve(n / 2);
  for (size_t i = 0; i + 1 < n; i += 2) out.push_back(char16_t(uint16_t(p[i]) << 8 | p[i + 1]));
  CutVersion(out);
  return out;
}

std::u16string DecodeNarrowName(const uint8_t* p, size_t n, bool primary) {
  std::string bytes(reinterpret_cast<const char*>(p), n);
  if (primary) {
    CutVersion(bytes);
    // The primary hierarchy writes a name without extension as "NAME." (ECMA-119 7.5.1).
    if (bytes.size() > 1 && bytes.back() == '.') bytes.pop_back();
  }
  return NameFromNativeBytes(bytes);
}

bool ReadISOVolumeInfo(const TSectorReader& read, uint32_t first, uint32_t endSector,
                       TISOVolumeInfo& info, std::string& error) {
  info = {};
  uint8_t s[kSectorSize];
  struct Found {
    bool seen = false;
    uint32_t sector = 0, root = 0, length = 0;
    std::u16string label;
  } joliet, enhanced, primary;
  uint32_t volumeSpace = 0;
  for (uint32_t k = 16; k < 32; ++k) {
    const uint64_t lba = uint64_t(first) + k;
    if (lba > 0xFFFFFFFFull || !read(uint32_t(lba), s)) break;
    if (!IsDescriptor(s)) break;
    if (s[0] == 255) break;  // set terminator
    Found* f = nullptr;
    if (s[0] == 1 && !primary.seen) {
      f = &primary;
      f->label = Trimmed(DecodeNarrowName(s + 40, 32, false));
    } else if (s[0] == 2 && HasJolietEscape(s) && !joliet.seen) {
      f = &joliet;
      f->label = Trimmed(DecodeJolietName(s + 40, 32));
      // Our own and most writers' labels stop at the first zero unit.
      if (const size_t z = f->label.find(u'\0'); z != std::u16string::npos) f->label.resize(z);
    } else if (s[0] == 2 && s[6] == 2 && !enhanced.seen) {
      f = &enhanced;
      f->label = Trimmed(DecodeNarrowName(s + 40, 32, false));
    }
    if (f == nullptr) continue;
    // Every descriptor carries the volume space size; the primary's counts when there is one.
    if (f == &primary || volumeSpace == 0) volumeSpace = Le32At(s + 80);
    f->seen = true;
    f->sector = uint32_t(lba);
    // The root's directory record sits at byte 156 of every descriptor.
    f->root = Le32At(s + 156 + 2);
    f->length = Le32At(s + 156 + 10);
  }
  const Found* use = joliet.seen ? &joliet : enhanced.seen ? &enhanced : &primary;
  if (!use->seen) {
    error = "No ISO 9660 volume descriptor in sectors " + std::to_string(uint64_t(first) + 16) +
            " to " + std::to_string(uint64_t(first) + 31);
    return false;
  }
  info.Hierarchy = use == &joliet    ? TISOHierarchy::Joliet
                   : use == &enhanced ? TISOHierarchy::ISO1999
                                      : TISOHierarchy::Primary;
  info.DescriptorSector = use->sector;
  info.RootExtent = use->root;
  info.RootLength = use->length;
  info.VolumeSpaceSize = volumeSpace;
  info.Label = use->label;
  const uint64_t end = endSector != 0 ? endSector : volumeSpace;
  if (use->length == 0 || uint64_t(use->root) + BytesToBlocks(use->length) > end) {
    error = "The root directory (" + SectorText(use->root) + ", " + std::to_string(use->length) +
            " bytes) lies outside the volume of " + std::to_string(end) + " sectors";
    return false;
  }
  return true;
}

bool ReadISOTree(const TSectorReader& read, const TISOVolumeInfo& volume,
                 const TISOReadLimits& limits, TISOTree& tree, std::string& error) {
  tree = {};
  tree.Volume = volume;
  const uint64_t end = limits.EndSector;
  // Directories of a sound volume never share sectors, so all of them together are at most the
  // volume; a crafted one that repeats extents would otherwise make the read quadratic.
  uint64_t budget = end;
  std::unordered_set<uint32_t> seenDirs;
  struct Pending {
    uint32_t extent, length;
    int32_t node;  // -1: the root
  };
  std::vector<Pending> stack{{volume.RootExtent, volume.RootLength, -1}};
  seenDirs.insert(volume.RootExtent);
  uint8_t s[kSectorSize];
  const bool joliet = volume.Hierarchy == TISOHierarchy::Joliet;
  const bool primary = volume.Hierarchy == TISOHierarchy::Primary;

  // Depth first in record order: a directory's children are read when it is taken off the
  // stack, and its subdirectories are pushed in reverse so the first is read first. Nodes are
  // appended when their record is met, so each child's Parent index is already known.
  while (!stack.empty()) {
    const Pending dir = stack.back();
    stack.pop_back();
    const uint64_t sectors = BytesToBlocks(dir.length);
    if (dir.length == 0 || uint64_t(dir.extent) + sectors > end) {
      error = "A directory extent (" + SectorText(dir.extent) + ", " +
              std::to_string(dir.length) + " bytes) lies outside the volume of " +
              std::to_string(end) + " sectors";
      return false;
    }
    if (sectors > budget) {
      error = "The directories take more sectors than the volume holds";
      return false;
    }
    budget -= sectors;
    std::vector<Pending> subdirs;
    for (uint64_t k = 0; k < sectors; ++k) {
      const uint32_t lba = uint32_t(dir.extent + k);
      if (!read(lba, s)) {
        error = "Cannot read " + SectorText(lba) + " of a directory";
        return false;
      }
      // The last sector holds only what the length leaves of it.
      const size_t used = k + 1 == sectors && dir.length % kSectorSize != 0
                              ? dir.length % kSectorSize
                              : kSectorSize;
      size_t pos = 0;
      while (pos < used) {
        const size_t len = s[pos];
        if (len == 0) break;  // the rest of this sector is padding
        if (len < kRecordHead || pos + len > used) {
          error = "Bad directory record (length " + std::to_string(len) + ") at byte " +
                  std::to_string(pos) + " of " + SectorText(lba);
          return false;
        }
        const uint8_t* r = s + pos;
        const size_t n = r[32];
        if (n == 0 || kRecordHead + n > len) {
          error = "Bad identifier length " + std::to_string(n) + " in a record of " +
                  SectorText(lba);
          return false;
        }
        pos += len;
        if (n == 1 && (r[33] == 0 || r[33] == 1)) continue;  // "." and ".."
        const uint8_t flags = r[25];
        if (flags & kFlagAssociated) continue;
        if (flags & kFlagMultiExtent) {
          error = "A file of several extents (4 GiB or more) in " + SectorText(lba) +
                  " cannot be carried over";
          return false;
        }
        TISONode node;
        node.IsDir = (flags & kFlagDirectory) != 0;
        node.Extent = Le32At(r + 2);
        node.Length = Le32At(r + 10);
        std::memcpy(node.Recorded, r + 18, 7);
        node.Parent = dir.node;
        if (joliet && n % 2 != 0) {
          error = "A Joliet identifier of odd length in " + SectorText(lba);
          return false;
        }
        node.Name = joliet ? DecodeJolietName(r + 33, n) : DecodeNarrowName(r + 33, n, primary);
        if (node.Name.empty() || node.Name == u"." || node.Name == u".." ||
            node.Name.size() > kMaxNameUnits ||
            std::any_of(node.Name.begin(), node.Name.end(),
                        [](char16_t c) { return c == 0 || c == u'/'; })) {
          error = "An identifier no folder can hold in " + SectorText(lba);
          return false;
        }
        if (node.IsDir) {
          if (++tree.DirCount > limits.MaxDirs) {
            error = "The session holds more folders than the layout can take (" +
                    std::to_string(limits.MaxDirs) + ")";
            return false;
          }
          // Any directory extent met twice is a loop (itself, an ancestor) or a shared one.
          if (!seenDirs.insert(node.Extent).second) {
            error = "A directory loop: " + SectorText(node.Extent) + " is listed twice";
            return false;
          }
          subdirs.push_back({node.Extent, node.Length, int32_t(tree.Nodes.size())});
        } else {
          ++tree.FileCount;
          if (node.Length != 0 &&
              (node.Extent == 0 || uint64_t(node.Extent) + BytesToBlocks(node.Length) > end)) {
            error = "A file extent (" + SectorText(node.Extent) + ", " +
                    std::to_string(node.Length) + " bytes) lies outside the volume of " +
                    std::to_string(end) + " sectors";
            return false;
          }
        }
        if (tree.FileCount + tree.DirCount > limits.MaxFiles) {
          error = "The session holds more entries than the layout can take (" +
                  std::to_string(limits.MaxFiles) + ")";
          return false;
        }
        tree.Nodes.push_back(std::move(node));
      }
    }
    stack.insert(stack.end(), subdirs.rbegin(), subdirs.rend());
  }
  return true;
}

bool ReadISOSession(const TSectorReader& read, uint32_t first, uint32_t endSector, TISOTree& tree,
                    std::string& error) {
  TISOVolumeInfo info;
  if (!ReadISOVolumeInfo(read, first, endSector, info, error)) return false;
  TISOReadLimits limits;
  limits.EndSector = endSector != 0 ? endSector : info.VolumeSpaceSize;
  return ReadISOTree(read, info, limits, tree, error);
}

namespace {

// The recorded bytes as a UTC instant, for the find data a handler sees.
TFileTime RecordedFileTime(const uint8_t* b) {
  TSystemTime t;
  t.wYear = uint16_t(1900 + b[0]);
  t.wMonth = b[1];
  t.wDay = b[2];
  t.wHour = b[3];
  t.wMinute = b[4];
  t.wSecond = b[5];
  TFileTime ft = 0;
  if (!SystemTimeToFileTime(t, ft)) return 0;
  // The bytes are local time at an offset of b[6] quarter hours east of UTC.
  const int64_t offset = int64_t(int8_t(b[6])) * 15 * 60 * 10000000LL;
  const int64_t utc = int64_t(ft) - offset;
  return utc > 0 ? TFileTime(utc) : 0;
}

// The entry keeps the recorded bytes themselves, so the new session writes them unchanged.
void KeepRecordedTime(TFileEntry& e, const uint8_t* b) {
  TSystemTime t;
  if (b[1] != 0) {
    t.wYear = uint16_t(1900 + b[0]);
    t.wMonth = b[1];
    t.wDay = b[2];
    t.wHour = b[3];
    t.wMinute = b[4];
    t.wSecond = b[5];
  }
  e.Time = t;
  e.TimeZone = int8_t(b[6]);
}

// What an import changes in entries that were there before it, to put back on failure.
struct TUndo {
  size_t fileMark, dirMark, clashMark;
  bool prepared;
  std::vector<std::pair<pFileEntry, TFileEntry>> replaced;
};

}  // namespace

bool ImportISOTree(TCDFiles& cd, pDirEntry dest, const TISOTree& tree) {
  if (dest == nullptr || cd.RootDir == nullptr) {
    cd.LastInsertError = "Layout not initialised";
    return false;
  }
  if (cd.Files.size() + tree.Nodes.size() > size_t(kMaxFileEntries) ||
      cd.Dirs.size() + tree.DirCount > size_t(kMaxDirEntries)) {
    cd.LastInsertError = "The session holds more entries than the layout can still take";
    return false;
  }
  TUndo undo{cd.Files.size(), cd.Dirs.size(), cd.NameClashes.size(), cd.Prepared, {}};
  std::vector<pDirEntry> dirOf(tree.Nodes.size(), nullptr);
  std::string error;
  TWin32FindDataW fd;
  for (size_t i = 0; i < tree.Nodes.size() && error.empty(); ++i) {
    const TISONode& n = tree.Nodes[i];
    pDirEntry parent = n.Parent < 0 ? dest : dirOf[size_t(n.Parent)];
    if (parent == nullptr) continue;  // a folder the OnAddFile handler skipped
    fd.dwFileAttributes = n.IsDir ? FILE_ATTRIBUTE_DIRECTORY : 128;
    fd.ftLastWriteTime = RecordedFileTime(n.Recorded);
    fd.SetFileSize(n.IsDir ? 0 : n.Length);
    fd.cFileName = n.Name;
    fd.cAlternateFileName.clear();
    if (n.IsDir) {
      pDirEntry d = CreateDirFromFindData(cd, parent, fd, 0);
      if (d == nullptr) {
        if (cd.LastInsertError.rfind("Folder skipped", 0) == 0) continue;
        error = cd.LastInsertError;
        break;
      }
      // A folder made now takes the recorded date; one that was there keeps its own.
      if (d->Entry != nullptr && size_t(d->Entry->FileIndex) >= undo.fileMark)
        KeepRecordedTime(*d->Entry, n.Recorded);
      dirOf[i] = d;
      continue;
    }
    if (cd.ReplaceFile) {
      pFileEntry old = FindEntry(*parent, LayoutName(n.Name));
      if (old != nullptr && old->DirRecord == nullptr && size_t(old->FileIndex) < undo.fileMark)
        undo.replaced.emplace_back(old, *old);
    }
    const uint32_t address = n.Length != 0 ? n.Extent : 0;
    pFileEntry e = AddFileEntry(cd, parent, fd, true, address, u"");
    if (e == nullptr) {
      error = cd.LastInsertError;
      break;
    }
    if (IsSkipped(e)) continue;
    // Made or overwritten by this import (a folder of that name stays as it was).
    if (e->DirRecord == nullptr && (size_t(e->FileIndex) >= undo.fileMark || cd.ReplaceFile))
      KeepRecordedTime(*e, n.Recorded);
  }
  if (error.empty()) {
    cd.LastInsertError.clear();
    return true;
  }
  // Back to the layout before the call: replaced entries first (their slots stay), then the
  // entries and folders added since.
  for (auto it = undo.replaced.rbegin(); it != undo.replaced.rend(); ++it) {
    pFileEntry next = it->first->NextFile;
    *it->first = std::move(it->second);
    it->first->NextFile = next;
  }
  RollbackLayout(cd, undo.fileMark, undo.dirMark);
  cd.NameClashes.resize(undo.clashMark);
  cd.Prepared = undo.prepared;
  cd.LastInsertError = error;
  return false;
}

}  // namespace torvik
