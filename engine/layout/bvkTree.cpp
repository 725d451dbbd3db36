#include "layout/bvkTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/bvkFindData.h"
#include "platform/bvkText.h"
#include "platform/bvkTime.h"

namespace torvik {

namespace {

// Longest name accepted: a Linux name has at most 255 bytes, so no source name is longer. Each
// hierarchy shortens what it cannot hold (Prepare), so no name is ever skipped for its length.
constexpr size_t kMaxLongName = 255;
// A listing mark that takes in every entry: the insertion is not part of a folder listing.
constexpr int32_t kNoListing = INT32_MAX;
constexpr size_t kMaxGivenShortName = 13;     // an 8.3 name with its dot, as Windows reports it
constexpr size_t kDefaultShortName = 12;      // default ISO name: the long name's first 12
constexpr size_t kCreateDirShortName = 11;    // CreateDir's folders: the first 11
constexpr size_t kMaxShortNameBytes = 15;     // TFileEntry::ShortName holds at most 15 bytes
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;  // a directory record holds 32 bits of size

enum class TAddOutcome { Added, Replaced, Existing, Skipped, Refused };

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::string Utf8(std::u16string_view s) { return Utf16ToUtf8(s); }

bool Refuse(TCDFiles& cd, std::string message) {
  cd.LastInsertError = std::move(message);
  return false;
}

// Names no folder can hold. A backslash is legal in a Linux name but is the layout's separator;
// it was mapped to '_' before this check (see LayoutName).
bool ValidName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(), [](char16_t c) { return c == 0 || c == u'/'; });
}


// ISO 9660 names are plain ASCII: everything else becomes '_', one per character, so a name of
// 12 characters is 12 bytes.
std::string MapShortName(std::u16string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0x20 && c <= 0x7E) {
      out.push_back(char(c));
    } else {
      out.push_back('_');
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
          name[i + 1] <= 0xDFFF)
        ++i;  // a surrogate pair is one character
    }
  }
  return out;
}

// Primary-hierarchy identifiers hold d-characters (A-Z, 0-9, '_', lower case being upper-cased
// when written) and one dot, the last; '~' stays for the "~N" tails of derived names. Spaces,
// ';', '*', '?', ':', '"', '<', '>', '|', other punctuation and extra dots become '_'. Readers
// that check identifiers (and Windows, for ';') otherwise refuse or misread the names.
void ToDCharacters(std::string& name) {
  const size_t lastDot = name.rfind('.');
  for (size_t i = 0; i < name.size(); ++i) {
    char& c = name[i];
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '_' || c == '~' || i == lastDot;
    if (!keep) c = '_';
  }
}

// The ISO name an entry gets from its find data: the given 8.3 name, or else the long name's
// first 12 characters.
std::string DefaultShortName(const TWin32FindDataW& fd) {
  std::u16string_view given = CutUtf16(fd.cAlternateFileName, kMaxGivenShortName);
  if (given.empty()) given = CutUtf16(fd.cFileName, kDefaultShortName);
  std::string out = MapShortName(given);
  ToDCharacters(out);
  return out;
}

std::string DiscPathText(pDirEntry dir, std::u16string_view name) {
  return Utf8(DirectoryPathText(dir)) + Utf8(name);
}

// A replaced entry's old content goes, and with it everything derived from that content: its
// digest, its own link, its data callback, and the links of duplicates that pointed at it.
// Duplicate detection hashes every entry it links, so only a hashed entry can be a link target;
// checking that first keeps a mass replacement from scanning the whole table each time.
void DropContent(TCDFiles& cd, pFileEntry e) {
  if (!e->Hash.empty()) {
    for (const auto& other : cd.Files)
      if (other->ReferenceEntry == e) other->ReferenceEntry = nullptr;
  }
  e->Hash.clear();
  e->ReferenceEntry = nullptr;
  e->mfcbFunction = nullptr;
}

std::string JoinNative(const std::string& dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + name.size() + 1);
  out.append(dir);
  if (dir.empty() || dir.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

// The source of an entry being added: a whole path (empty for memory files and folders), or a
// name in a scanned folder. A scan builds the wide text of a path only when someone needs it.
struct TSource {
  std::u16string_view Whole;
  const std::shared_ptr<const std::string>* Folder = nullptr;
  std::string_view Name;

  static TSource WholePath(std::u16string_view path) {
    TSource s;
    s.Whole = path;
    return s;
  }
  bool Empty() const { return Folder == nullptr && Whole.empty(); }
  std::u16string Wide() const {
    return Folder != nullptr ? Utf16FromNativePath(JoinNative(**Folder, Name))
                             : std::u16string(Whole);
  }
  void StoreIn(TSourcePath& p) const {
    if (Folder != nullptr)
      p.AssignInFolder(*Folder, Name);
    else
      p.assign(Whole);
  }
};

// An insertion that meets an entry another insertion made keeps one of the two; the caller
// learns of it through NameClashes. The same source added twice is no clash.
void RecordClash(TCDFiles& cd, pDirEntry dir, pFileEntry existing, std::u16string incoming,
                 bool incomingIsFolder) {
  // A new session's file replaces an old one by design. An empty file of an earlier session
  // has no extent to mark it imported: it is the one file without source, callback or folder.
  if (existing->Imported || (existing->DirRecord == nullptr && existing->Path.empty() &&
                             !existing->mfcbFunction && existing->FileSize == 0))
    return;
  std::u16string old = existing->Path.Wide();
  if (!old.empty() && old == incoming) return;
  TCDFiles::TNameClash clash;
  clash.DiscPath = DirectoryPathText(dir) + existing->LongName;
  clash.ExistingSource = std::move(old);
  clash.NewSource = std::move(incoming);
  clash.ExistingIsFolder = existing->DirRecord != nullptr;
  clash.NewIsFolder = incomingIsFolder;
  cd.NameClashes.push_back(std::move(clash));
}

// `listingMark`: entries with a FileIndex at or above it were added by the folder listing this
// insertion belongs to. Names in one listing are distinct files, so they never stand for each
// other however their names compare; every one gets its own entry.
TAddOutcome AddEntryImpl(TCDFiles& cd, pDirEntry dir, const TWin32FindDataW& given, bool Unicode,
                         uint32_t ImportedAddress, const TSource& source, bool isDir,
                         pFileEntry& result, int32_t listingMark = kNoListing) {
  result = nullptr;
  if (dir == nullptr || cd.RootDir == nullptr) {
    Refuse(cd, "Layout not initialised");
    return TAddOutcome::Refused;
  }
  // Only a handler may change the find data; without one the caller's record is used as is.
  TWin32FindDataW changed;
  const TWin32FindDataW* fdp = &given;
  if (cd.cbAddFileEvent) {
    changed = given;
    bool skip = false;
    cd.cbAddFileEvent(nullptr, source.Wide(), changed, skip);
    if (skip) return TAddOutcome::Skipped;
    fdp = &changed;
  }
  const TWin32FindDataW& fd = *fdp;
  // Nearly no name holds a backslash; those that do are mapped into a copy.
  std::u16string mapped;
  if (fd.cFileName.find(u'\\') != std::u16string::npos) mapped = LayoutName(fd.cFileName);
  const std::u16string& name = mapped.empty() ? fd.cFileName : mapped;
  if (name.size() > kMaxLongName) {
    Refuse(cd, "Name too long (more than " + std::to_string(kMaxLongName) +
                   " characters): " + DiscPathText(dir, name));
    return TAddOutcome::Refused;
  }
  if (!ValidName(name)) {
    Refuse(cd, "Invalid name: \"" + Utf8(name) + "\" in " + Utf8(DirectoryPathText(dir)));
    return TAddOutcome::Refused;
  }
  // The kind is the caller's decision; a handler or a caller's find data cannot change it.
  const uint32_t attributes = isDir ? (fd.dwFileAttributes | FILE_ATTRIBUTE_DIRECTORY)
                                    : (fd.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY);
  const uint64_t size = isDir ? 0 : fd.FileSize();
  if (size > kMaxFileSize) {
    Refuse(cd, "File too large for ISO 9660 (4 GiB or more): " +
                   (source.Empty() ? DiscPathText(dir, name) : Utf8(source.Wide())));
    return TAddOutcome::Refused;
  }

  pFileEntry e = dir->NameIndex.FindIf(
      name, [listingMark](const TFileEntry* x) { return x->FileIndex < listingMark; });
  TAddOutcome outcome = TAddOutcome::Added;
  if (e != nullptr) {
    if (isDir && e->DirRecord == nullptr) {
      Refuse(cd, "A file of that name exists: " + DiscPathText(dir, e->LongName));
      return TAddOutcome::Refused;
    }
    if (!isDir) RecordClash(cd, dir, e, source.Wide(), false);
    // A folder's entry stays a folder: replacing it would cut the folder off the tree.
    if (isDir || e->DirRecord != nullptr || !cd.ReplaceFile) {
      result = e;
      return TAddOutcome::Existing;
    }
    DropContent(cd, e);
    outcome = TAddOutcome::Replaced;
  } else {
    if (listingMark != kNoListing && dir->NameIndex.Find(name) != nullptr)
      dir->HasCaseClashes = true;
    if (cd.Files.size() >= size_t(kMaxFileEntries)) {
      Refuse(cd, "Too many entries in the layout (at most " + std::to_string(kMaxFileEntries) +
                     "): " + DiscPathText(dir, name));
      return TAddOutcome::Refused;
    }
    auto owned = std::make_unique<TFileEntry>();
    e = owned.get();
    e->FileIndex = int32_t(cd.Files.size());
    cd.Files.push_back(std::move(owned));
    e->LongName = name;
    dir->NameIndex.Insert(e);
    if (dir->LastFile != nullptr)
      dir->LastFile->NextFile = e;
    else
      dir->Files = e;
    dir->LastFile = e;
  }
  cd.Prepared = false;

  e->FileNameLengthJ = uint8_t(name.size());
  e->ShortName = DefaultShortName(fd);
  if (ImportedAddress != 0) {
    e->Time = FileTimeToSystemTime(fd.ftLastWriteTime);
    e->TimeZone = 0;
  } else {
    const TLocalTime local = FileTimeToLocal(fd.ftLastWriteTime);
    e->Time = local.Time;
    e->TimeZone = int8_t(local.Offset15);
  }
  e->LongName = name;
  if (e->LongNameWIN32.empty()) e->LongNameWIN32 = name;
  e->FileSize = int64_t(size);
  if (!isDir && e->ShortName.find('.') == std::string::npos) e->ShortName.push_back('.');
  e->FileNameLength = uint8_t(e->ShortName.size());
  source.StoreIn(e->Path);
  e->Unicode = Unicode;
  e->Address = ImportedAddress;
  e->Imported = ImportedAddress != 0;
  e->attributes = int32_t(attributes);
  result = e;
  return outcome;
}

enum class TDirOutcome { Ok, Skipped, Refused };

// `sourceFolder`: the scanned folder this one stands for (native path; empty for folders made
// by name), named when it meets a file.
TDirOutcome CreateDirImpl(TCDFiles& cd, pDirEntry parent, const TWin32FindDataW& fd,
                          uint32_t ImportedAddress, pDirEntry& result,
                          int32_t listingMark = kNoListing, std::string_view sourceFolder = {}) {
  result = nullptr;
  if (parent == nullptr) {
    Refuse(cd, "Layout not initialised");
    return TDirOutcome::Refused;
  }
  // A folder of an earlier insertion is merged into; one of the same listing is another folder.
  const auto earlier = [listingMark](const TFileEntry* x) { return x->FileIndex < listingMark; };
  if (pFileEntry existing = parent->NameIndex.FindIf(LayoutName(fd.cFileName), earlier)) {
    if (existing->DirRecord != nullptr) {
      result = existing->DirRecord;
      return TDirOutcome::Ok;
    }
    if (!sourceFolder.empty())
      RecordClash(cd, parent, existing, Utf16FromNativePath(sourceFolder), true);
    Refuse(cd, "A file of that name exists: " + DiscPathText(parent, existing->LongName));
    return TDirOutcome::Refused;
  } else if (cd.Dirs.size() >= size_t(kMaxDirEntries)) {
    Refuse(cd, "Too many folders in the layout (at most " + std::to_string(kMaxDirEntries) +
                   "): " + DiscPathText(parent, fd.cFileName));
    return TDirOutcome::Refused;
  }
  pFileEntry e = nullptr;
  switch (AddEntryImpl(cd, parent, fd, true, ImportedAddress, TSource{}, true, e, listingMark)) {
    case TAddOutcome::Skipped:
      return TDirOutcome::Skipped;
    case TAddOutcome::Refused:
      return TDirOutcome::Refused;
    case TAddOutcome::Existing:  // the handler renamed it onto an existing folder (a file
                                 // there is refused by AddEntryImpl)
      result = e->DirRecord;
      return TDirOutcome::Ok;
    case TAddOutcome::Added:
    case TAddOutcome::Replaced:
      break;
  }
  auto owned = std::make_unique<TDirEntry>();
  pDirEntry d = owned.get();
  cd.Dirs.push_back(std::move(owned));
  cd.PathTableEntries.push_back(d);
  d->Parent = parent;
  d->depth = uint16_t(parent->depth + 1);
  d->LongName = e->LongName;
  d->DirNameLengthJ = uint8_t(d->LongName.size());
  // A directory identifier has no room for more than 12 bytes here; a longer given 8.3 name
  // falls back to the neutral name.
  std::string shortName = e->ShortName;
  if (shortName.size() > kDefaultShortName) shortName = "________.___";
  d->ShortName = UpperAscii(shortName);
  d->DirNameLength = uint8_t(d->ShortName.size());
  // Both hierarchies' views of the folder carry the same ISO name.
  e->ShortName = d->ShortName;
  e->FileNameLength = d->DirNameLength;
  e->DirRecord = d;
  d->Entry = e;
  result = d;
  return TDirOutcome::Ok;
}

// Takes the layout back to the given table sizes after a failed folder insertion, so that a
// failure never leaves half a folder behind. Entries added since then sit at the tails of their
// folders' lists (appends only), and folders added since then are dropped whole.
void Rollback(TCDFiles& cd, size_t fileMark, size_t dirMark) {
  if (cd.Files.size() == fileMark && cd.Dirs.size() == dirMark) return;
  for (size_t i = 0; i < dirMark; ++i) {
    TDirEntry& d = *cd.Dirs[i];
    if (d.LastFile == nullptr || size_t(d.LastFile->FileIndex) < fileMark) continue;
    pFileEntry prev = nullptr;
    pFileEntry e = d.Files;
    while (e != nullptr && size_t(e->FileIndex) < fileMark) prev = e, e = e->NextFile;
    for (; e != nullptr; e = e->NextFile) d.NameIndex.Erase(e);
    if (prev != nullptr)
      prev->NextFile = nullptr;
    else
      d.Files = nullptr;
    d.LastFile = prev;
  }
  // New folders were appended to PathTableEntries as to Dirs (OrderTree only reorders a
  // complete layout), so they are its tail as well.
  cd.PathTableEntries.resize(dirMark);
  cd.Dirs.resize(dirMark);
  cd.Files.resize(fileMark);
}

TWin32FindDataW EmptyDirFindData(std::u16string_view name) {
  TWin32FindDataW fd;
  fd.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  fd.ftLastWriteTime = CurrentFileTime();
  fd.cFileName.assign(name);
  fd.cAlternateFileName.assign(CutUtf16(name, kCreateDirShortName));
  return fd;
}

std::string ErrnoText(int err) { return err != 0 ? std::string(" (") + strerror(err) + ")" : ""; }

// One folder of a scan: its subfolders first (when recursive), then its matching files. The
// folder is read once, so both passes see the same snapshot of it.
bool ScanDir(TCDFiles& cd, pDirEntry target, const std::string& dirPath,
             std::u16string_view FileSpecs, bool Recursive, bool Unicode) {
  std::vector<TFindItem> items;
  std::vector<TFindSkip> skipped;
  int err = 0;
  if (EnumerateDirectory(dirPath, Recursive ? u"*.*" : FileSpecs, items, &err, &skipped) ==
      TFindResult::Error)
    return Refuse(cd, "Cannot read folder: " + dirPath + ErrnoText(err));
  for (const TFindSkip& s : skipped)
    cd.LeftOut.push_back(TCDFiles::TLeftOut{JoinNative(dirPath, s.NativeName), s.Reason});
  // Everything this listing adds to target lies at or above this mark.
  const int32_t listingMark = int32_t(cd.Files.size());
  if (Recursive) {
    for (const TFindItem& item : items) {
      if ((item.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
      pDirEntry sub = nullptr;
      const std::string subPath = JoinNative(dirPath, item.NativeName);
      switch (CreateDirImpl(cd, target, item.Data, 0, sub, listingMark, subPath)) {
        case TDirOutcome::Refused:
          return false;
        case TDirOutcome::Skipped:
          continue;  // the folder and everything below it stay out; the scan goes on
        case TDirOutcome::Ok:
          break;
      }
      if (!ScanDir(cd, sub, subPath, FileSpecs, Recursive, Unicode))
        return false;
    }
  }
  // The folder's path, shared by the entries of its files.
  std::shared_ptr<const std::string> folder;
  for (const TFindItem& item : items) {
    if ((item.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    if (Recursive && !MatchFileMask(item.Data.cFileName, FileSpecs)) continue;
    if (folder == nullptr) folder = std::make_shared<const std::string>(dirPath);
    TSource source;
    source.Folder = &folder;
    source.Name = item.NativeName;
    pFileEntry e = nullptr;
    if (AddEntryImpl(cd, target, item.Data, Unicode, 0, source, false, e, listingMark) ==
        TAddOutcome::Refused)
      return false;
  }
  return true;
}

// The trailing separator a caller may leave on a path is not part of it.
std::u16string_view StripTrailingSeparator(std::u16string_view p) {
  if (p.size() > 1 && IsSeparator(p.back())) p.remove_suffix(1);
  return p;
}

pFileEntry InsertFileImpl(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view FileName,
                          const std::u16string* LongNameOnDisc,
                          const std::u16string* ShortNameOnDisc, bool Unicode) {
  cd.LastInsertError.clear();
  pDirEntry dir = ResolveDestPath(cd, DestPath);
  if (dir == nullptr) {
    Refuse(cd, "Destination folder not found: " + Utf8(DestPath));
    return nullptr;
  }
  const std::string native = NativePathFromUtf16(FileName);
  TWin32FindDataW fd;
  int err = 0;
  switch (FindDataFromPath(native, fd, &err)) {
    case TFindResult::NoMatch:
      Refuse(cd, "Source not found: " + native);
      return nullptr;
    case TFindResult::Error:
      Refuse(cd, (err == EINVAL ? "Not a regular file: " : "Cannot read source: ") + native +
                     (err == EINVAL ? "" : ErrnoText(err)));
      return nullptr;
    case TFindResult::Found:
      break;
  }
  if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Refuse(cd, "Source is a folder, not a file: " + native);
    return nullptr;
  }
  if (LongNameOnDisc != nullptr) {
    fd.cFileName = *LongNameOnDisc;
    // Without a given short name the disc name gets its own 8.3 name, so it keeps its type.
    fd.cAlternateFileName.clear();
    if (!IsValid83Name(fd.cFileName)) fd.cAlternateFileName = AlternateName(fd.cFileName, 1);
  }
  if (ShortNameOnDisc != nullptr && !ShortNameOnDisc->empty())
    fd.cAlternateFileName = *ShortNameOnDisc;
  pFileEntry e = nullptr;
  if (AddEntryImpl(cd, dir, fd, Unicode, 0, TSource::WholePath(FileName), false, e) ==
      TAddOutcome::Skipped)
    return SkippedMarker();
  return e;
}

pDirEntry InsertDirImpl(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view DirPath,
                        std::u16string_view FileSpecs, bool Recursive, bool SavePath,
                        bool Unicode) {
  cd.LastInsertError.clear();
  const size_t fileMark = cd.Files.size(), dirMark = cd.Dirs.size();
  const size_t leftOutMark = cd.LeftOut.size();
  pDirEntry target = ResolveDestPath(cd, DestPath);
  if (target == nullptr) {
    Refuse(cd, "Destination folder not found: " + Utf8(DestPath));
    return nullptr;
  }
  const std::u16string_view dirPath = StripTrailingSeparator(DirPath);
  if (SavePath && dirPath.size() > 2) {
    const TSavePath rel = SavePathComponents(dirPath);
    target = rel.ToRoot ? cd.RootDir : CreateDirPath(cd, target, rel.Components);
  }
  if (target == nullptr ||
      !ScanDir(cd, target, NativePathFromUtf16(dirPath), FileSpecs, Recursive, Unicode)) {
    // The clashes stay: they tell the caller what stopped the scan.
    Rollback(cd, fileMark, dirMark);
    cd.LeftOut.resize(leftOutMark);
    return nullptr;
  }
  return target;
}

std::vector<std::u16string> SplitPath(std::u16string_view p, bool posix) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= p.size(); ++i) {
    if (i == p.size() || (posix ? p[i] == u'/' : p[i] == u'\\')) {
      const std::u16string_view part = p.substr(start, i - start);
      if (!part.empty() && part != u".") parts.emplace_back(part);
      start = i + 1;
    }
  }
  return parts;
}

// The ISO names given out while numbering one folder. Names are at most 15 bytes and never
// contain NUL, so each packs into 16 zero-padded bytes; a flat table of those keeps numbering
// 200,000 clashing names cheap.
class TAssignedNames {
 public:
  explicit TAssignedNames(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, Key{});
  }
  bool Contains(std::string_view name) const { return slots_[Probe(Pack(name))] != Key{}; }
  void Insert(std::string_view name) {
    const Key k = Pack(name);
    slots_[Probe(k)] = k;
    if (++used_ * 2 > slots_.size()) Rehash();
  }

 private:
  struct Key {
    uint64_t lo = 0, hi = 0;
    bool operator==(const Key&) const = default;
  };
  static Key Pack(std::string_view name) {
    char bytes[16] = {};
    std::memcpy(bytes, name.data(), std::min(name.size(), sizeof bytes));
    Key k;
    std::memcpy(&k.lo, bytes, 8);
    std::memcpy(&k.hi, bytes + 8, 8);
    return k;
  }
  // The slot holding k, or the empty slot where it would go.
  size_t Probe(const Key& k) const {
    uint64_t h = (k.lo ^ (k.hi * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
    const size_t mask = slots_.size() - 1;
    size_t i = size_t(h) & mask;
    while (slots_[i] != Key{} && slots_[i] != k) i = (i + 1) & mask;
    return i;
  }
  void Rehash() {
    std::vector<Key> old(slots_.size() * 2, Key{});
    old.swap(slots_);
    for (const Key& k : old)
      if (k != Key{}) slots_[Probe(k)] = k;
  }

  std::vector<Key> slots_;
  size_t used_ = 0;
};

// Gives each ISO name of one folder a spelling no earlier entry has: a later duplicate gets "~N"
// before its extension, shortening the stem so the name is no longer than before (or 12 bytes,
// whichever is more). `sorted` is the folder's list sorted by name with the later of equal names
// first, so the last entry of each run of equal names is the one that keeps it.
void MakeShortNamesUnique(const std::vector<pFileEntry>& sorted) {
  std::vector<std::string> originals;  // upper-cased, in sorted order
  originals.reserve(sorted.size());
  for (pFileEntry e : sorted) originals.push_back(UpperAscii(e->ShortName));
  const auto isOriginal = [&](const std::string& key) {
    return std::binary_search(originals.begin(), originals.end(), key,
                              [](const std::string& x, const std::string& y) {
                                return CompareAsciiI(x, y) < 0;
                              });
  };
  TAssignedNames assigned(sorted.size());
  std::string candidate, key;
  for (size_t runEnd = sorted.size(); runEnd > 0;) {
    size_t runStart = runEnd - 1;
    while (runStart > 0 && originals[runStart - 1] == originals[runEnd - 1]) --runStart;
    // Entries runStart .. runEnd-2 are the later duplicates, in reverse insertion order.
    unsigned n = 1;
    for (size_t k = runEnd - 1; k-- > runStart;) {
      pFileEntry e = sorted[k];
      const std::string& old = e->ShortName;
      const size_t dot = old.rfind('.');
      const std::string_view stem = std::string_view(old).substr(0, dot);
      std::string ext = dot == std::string::npos ? std::string() : old.substr(dot);
      const size_t limit = std::min(std::max(old.size(), kDefaultShortName), kMaxShortNameBytes);
      for (;; ++n) {
        std::string tail = std::to_string(n);
        tail.insert(tail.begin(), '~');
        if (tail.size() + ext.size() > limit) ext.resize(limit - tail.size());
        const size_t room = limit - tail.size() - ext.size();
        candidate.assign(stem.substr(0, std::min(stem.size(), room)));
        candidate.append(tail).append(ext);
        key = UpperAscii(candidate);
        if (!assigned.Contains(key) && !isOriginal(key)) break;
      }
      ++n;
      assigned.Insert(key);
      if (e->DirRecord != nullptr) {
        e->DirRecord->ShortName = key;
        e->DirRecord->DirNameLength = uint8_t(key.size());
        e->ShortName = key;
      } else {
        e->ShortName = candidate;
      }
      e->FileNameLength = uint8_t(e->ShortName.size());
    }
    runEnd = runStart;
  }
}

// Sorts a folder's list by ISO name, as an insertion sort that puts each entry before the first
// one greater than or equal to it would: among equal names the later entry comes first. Names
// that clash are made unique first, in list order; sorting is also how clashes are found, so a
// folder without any pays for no set of names.
void OrderEntryList(TDirEntry& d, std::vector<pFileEntry>& list) {
  const auto collectAndSort = [&] {
    list.clear();
    for (pFileEntry e = d.Files; e != nullptr; e = e->NextFile) list.push_back(e);
    std::reverse(list.begin(), list.end());
    std::stable_sort(list.begin(), list.end(), [](pFileEntry a, pFileEntry b) {
      return CompareAsciiI(a->ShortName, b->ShortName) < 0;
    });
  };
  collectAndSort();
  if (list.size() < 2) return;
  const auto clash = std::adjacent_find(list.begin(), list.end(), [](pFileEntry a, pFileEntry b) {
    return CompareAsciiI(a->ShortName, b->ShortName) == 0;
  });
  if (clash != list.end()) {
    MakeShortNamesUnique(list);
    collectAndSort();
  }
  for (size_t i = 0; i + 1 < list.size(); ++i) list[i]->NextFile = list[i + 1];
  list.back()->NextFile = nullptr;
  d.Files = list.front();
  d.LastFile = list.back();
}

}  // namespace

void TSourcePath::assign(std::u16string_view whole) {
  folder_.reset();
  text_.resize(whole.size() * sizeof(char16_t));
  if (!whole.empty()) std::memcpy(text_.data(), whole.data(), text_.size());
}

void TSourcePath::AssignInFolder(const std::shared_ptr<const std::string>& folder,
                                 std::string_view name) {
  folder_ = folder;
  text_.assign(name);
}

void TSourcePath::clear() {
  folder_.reset();
  text_.clear();
}

std::u16string TSourcePath::Wide() const {
  if (folder_ != nullptr) return Utf16FromNativePath(JoinNative(*folder_, text_));
  std::u16string out(text_.size() / sizeof(char16_t), u'\0');
  if (!out.empty()) std::memcpy(out.data(), text_.data(), text_.size());
  return out;
}

std::string TSourcePath::Native() const { return NativePathFromUtf16(Wide()); }

std::u16string LayoutName(std::u16string_view name) {
  std::u16string out(name);
  std::replace(out.begin(), out.end(), u'\\', u'_');
  return out;
}

pFileEntry SkippedMarker() {
  static TFileEntry marker;
  return &marker;
}

void ClearAll(TCDFiles& cd) {
  cd.WrittenToDrive.clear();
  int32_t offset = 0;
  if (CurrentTimeZoneOffset15(offset)) cd.TimeZoneDifference = offset;
  cd.PathTableEntries.clear();
  cd.Files.clear();
  cd.Dirs.clear();
  cd.isom.clear();
  cd.isom.shrink_to_fit();
  auto root = std::make_unique<TDirEntry>();
  root->Parent = root.get();
  root->ShortName = "ROOT_DIR";
  root->DirNameLength = uint8_t(root->ShortName.size());
  cd.RootDir = root.get();
  cd.PathTableEntries.push_back(root.get());
  cd.Dirs.push_back(std::move(root));
  cd.BootImage.clear();
  cd.BootImageSize = 0;
  cd.IsoHeaderSize = 0;
  cd.Prepared = false;
  cd.LastInsertError.clear();
  cd.NameClashes.clear();
  cd.LeftOut.clear();
}

pFileEntry FindEntry(const TDirEntry& dir, std::u16string_view Name) {
  return dir.NameIndex.Find(Name);
}

pDirEntry ResolveDestPath(const TCDFiles& cd, std::u16string_view DestPath) {
  pDirEntry dir = cd.RootDir;
  if (dir == nullptr) return nullptr;
  std::u16string_view p = StripTrailingSeparator(DestPath);
  size_t i = 0;
  while (i < p.size() && IsSeparator(p[i])) ++i;
  while (i < p.size()) {
    size_t j = i;
    while (j < p.size() && !IsSeparator(p[j])) ++j;
    pFileEntry e = FindEntry(*dir, p.substr(i, j - i));
    if (e == nullptr || e->DirRecord == nullptr) return nullptr;  // no folder by that name
    dir = e->DirRecord;
    i = j + 1;
  }
  return dir;
}

std::u16string DirectoryPathText(pDirEntry dir) {
  if (dir == nullptr) return {};
  std::vector<const std::u16string*> names;
  for (pDirEntry d = dir; d->Parent != d && d->Parent != nullptr; d = d->Parent)
    names.push_back(&d->LongName);
  std::u16string out = u"\\";
  for (auto it = names.rbegin(); it != names.rend(); ++it) out += **it + u"\\";
  return out;
}

void RollbackLayout(TCDFiles& cd, size_t fileMark, size_t dirMark) {
  Rollback(cd, fileMark, dirMark);
}

pFileEntry AddFileEntry(TCDFiles& cd, pDirEntry dir, const TWin32FindDataW& fd, bool Unicode,
                        uint32_t ImportedAddress, std::u16string_view SourcePath) {
  cd.LastInsertError.clear();
  const bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isDir) {
    Refuse(cd, "Folders are added with CreateDirFromFindData: " + Utf8(fd.cFileName));
    return nullptr;
  }
  pFileEntry e = nullptr;
  const TAddOutcome r =
      AddEntryImpl(cd, dir, fd, Unicode, ImportedAddress, TSource::WholePath(SourcePath), false, e);
  return r == TAddOutcome::Skipped ? SkippedMarker() : e;
}

pDirEntry CreateDirFromFindData(TCDFiles& cd, pDirEntry parent, const TWin32FindDataW& fd,
                                uint32_t ImportedAddress) {
  cd.LastInsertError.clear();
  pDirEntry d = nullptr;
  if (CreateDirImpl(cd, parent, fd, ImportedAddress, d) == TDirOutcome::Skipped)
    cd.LastInsertError = "Folder skipped: " + Utf8(fd.cFileName);
  return d;
}

pDirEntry CreateDirPath(TCDFiles& cd, pDirEntry start, const std::vector<std::u16string>& Components) {
  pDirEntry dir = start;
  for (const std::u16string& name : Components) {
    pDirEntry next = nullptr;
    if (CreateDirImpl(cd, dir, EmptyDirFindData(name), 0, next) == TDirOutcome::Skipped)
      cd.LastInsertError = "Folder skipped: " + DiscPathText(dir, name);
    if (next == nullptr) return nullptr;
    dir = next;
  }
  return dir;
}

TSavePath SavePathComponents(std::u16string_view DirPath) {
  TSavePath out;
  std::u16string_view rel;
  bool posix = false;
  if (DirPath.size() >= 2 && DirPath[1] == u':') {
    rel = DirPath.substr(2);
  } else if (DirPath.starts_with(u"\\\\")) {
    rel = DirPath.substr(2);
    for (int skip = 0; skip < 2; ++skip) {  // the server and the share
      const size_t b = rel.find(u'\\');
      if (b == std::u16string_view::npos) {
        rel = {};
        break;
      }
      rel = rel.substr(b + 1);
    }
  } else {
    rel = DirPath;  // POSIX: absolute or relative, the whole path is recreated
    posix = true;
  }
  if (!posix && rel == u"\\") {
    out.ToRoot = true;
    return out;
  }
  out.Components = SplitPath(rel, posix);
  return out;
}

pFileEntry InsertFileW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view FileName) {
  return InsertFileImpl(cd, DestPath, FileName, nullptr, nullptr, true);
}

pFileEntry InsertFile(TCDFiles& cd, std::string_view DestPath, std::string_view FileName) {
  return InsertFileImpl(cd, Utf8ToUtf16(DestPath), Utf16FromNativePath(FileName), nullptr,
                        nullptr, false);
}

pFileEntry InsertFileWithNameW(TCDFiles& cd, std::u16string_view DestPath,
                               std::u16string_view FileName, std::u16string_view LongNameOnDisc,
                               std::u16string_view ShortNameOnDisc) {
  const std::u16string longName(LongNameOnDisc), shortName(ShortNameOnDisc);
  return InsertFileImpl(cd, DestPath, FileName, &longName, &shortName, true);
}

pFileEntry InsertFileWithName(TCDFiles& cd, std::string_view DestPath, std::string_view FileName,
                              std::string_view LongNameOnDisc, std::string_view ShortNameOnDisc) {
  const std::u16string longName = Utf8ToUtf16(LongNameOnDisc);
  const std::u16string shortName = Utf8ToUtf16(ShortNameOnDisc);
  return InsertFileImpl(cd, Utf8ToUtf16(DestPath), Utf16FromNativePath(FileName), &longName,
                        &shortName, false);
}

pFileEntry InsertMemoryFileW(TCDFiles& cd, std::u16string_view DestPath,
                             const TWin32FindDataW& FindFileData, TGetDataEvent OnGetData) {
  cd.LastInsertError.clear();
  pDirEntry dir = ResolveDestPath(cd, DestPath);
  if (dir == nullptr) {
    Refuse(cd, "Destination folder not found: " + Utf8(DestPath));
    return nullptr;
  }
  if ((FindFileData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Refuse(cd, "A memory file cannot be a folder: " + DiscPathText(dir, FindFileData.cFileName));
    return nullptr;
  }
  pFileEntry e = nullptr;
  switch (AddEntryImpl(cd, dir, FindFileData, true, 0, TSource{}, false, e)) {
    case TAddOutcome::Added:
    case TAddOutcome::Replaced:
      e->mfcbFunction = std::move(OnGetData);
      return e;
    case TAddOutcome::Existing:  // the data of the entry already there stays its own
      return e;
    case TAddOutcome::Skipped:
      return SkippedMarker();
    case TAddOutcome::Refused:
      break;
  }
  return nullptr;
}

pFileEntry InsertMemoryFile(TCDFiles& cd, std::string_view DestPath,
                            const TWin32FindDataW& FindFileData, TGetDataEvent OnGetData) {
  return InsertMemoryFileW(cd, Utf8ToUtf16(DestPath), FindFileData, std::move(OnGetData));
}

pDirEntry InsertDirW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view DirPath,
                     std::u16string_view FileSpecs, bool Recursive, bool SavePath) {
  return InsertDirImpl(cd, DestPath, DirPath, FileSpecs, Recursive, SavePath, true);
}

pDirEntry InsertDir(TCDFiles& cd, std::string_view DestPath, std::string_view DirPath,
                    std::string_view FileSpecs, bool Recursive, bool SavePath) {
  return InsertDirImpl(cd, Utf8ToUtf16(DestPath), Utf16FromNativePath(DirPath),
                       Utf8ToUtf16(FileSpecs), Recursive, SavePath, false);
}

pDirEntry CreateDirW(TCDFiles& cd, std::u16string_view DestPath, std::u16string_view DirName) {
  cd.LastInsertError.clear();
  pDirEntry parent = ResolveDestPath(cd, DestPath);
  if (parent == nullptr) {
    Refuse(cd, "Destination folder not found: " + Utf8(DestPath));
    return nullptr;
  }
  pDirEntry d = nullptr;
  if (CreateDirImpl(cd, parent, EmptyDirFindData(DirName), 0, d) == TDirOutcome::Skipped)
    cd.LastInsertError = "Folder skipped: " + DiscPathText(parent, DirName);
  return d;
}

pDirEntry CreateDir(TCDFiles& cd, std::string_view DestPath, std::string_view DirName) {
  return CreateDirW(cd, Utf8ToUtf16(DestPath), Utf8ToUtf16(DirName));
}

int64_t FindFileW(TCDFiles& cd, std::u16string_view Directory, std::u16string_view FileToFind) {
  pDirEntry dir = ResolveDestPath(cd, Directory);
  if (dir == nullptr) return -1;
  pFileEntry e = FindEntry(*dir, FileToFind);
  return e == nullptr ? -1 : e->FileIndex;
}

int64_t FindFile(TCDFiles& cd, std::string_view Directory, std::string_view FileToFind) {
  return FindFileW(cd, Utf8ToUtf16(Directory), Utf8ToUtf16(FileToFind));
}

void SetVolumeIDW(TCDFiles& cd, std::u16string_view Label) {
  cd.VolumeLabelW.assign(CutUtf16(Label, 32));
  cd.VolumeLabel.assign(CutUtf8(Utf16ToUtf8(Label), 32));
}

void SetVolumeID(TCDFiles& cd, std::string_view Label) {
  // Converting first also replaces malformed bytes, so VolumeLabel is always valid UTF-8.
  SetVolumeIDW(cd, Utf8ToUtf16(Label));
}

bool SetBootImage(TCDFiles& cd, std::string_view Path) {
  cd.BootImage.clear();
  cd.BootImageSize = 0;
  if (Path.empty()) return true;
  const std::string p(Path);
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!ok) return false;
  switch (st.st_size) {
    case 2048:      // no emulation
    case 1228800:   // 1.2 MB diskette
    case 1474560:   // 1.44 MB diskette
    case 2949120:   // 2.88 MB diskette
      cd.BootImage = p;
      cd.BootImageSize = int32_t(st.st_size);
      return true;
    default:
      return false;
  }
}

void OrderTree(TCDFiles& cd) {
  if (cd.RootDir == nullptr) return;
  // A folder is always created after its parent, so one pass in creation order sets depths.
  cd.RootDir->depth = 0;
  for (size_t i = 1; i < cd.Dirs.size(); ++i)
    cd.Dirs[i]->depth = uint16_t(cd.Dirs[i]->Parent->depth + 1);

  // Path-table order. Sorting again and again by (parent's number, name) until nothing moves
  // settles on exactly one order: breadth first, siblings by name. Built directly, it needs no
  // pass limit and is right for trees of any depth.
  std::vector<pDirEntry> order;
  order.reserve(cd.Dirs.size());
  order.push_back(cd.RootDir);
  std::vector<pDirEntry> children;
  for (size_t i = 0; i < order.size(); ++i) {
    children.clear();
    for (pFileEntry e = order[i]->Files; e != nullptr; e = e->NextFile)
      if (e->DirRecord != nullptr) children.push_back(e->DirRecord);
    std::sort(children.begin(), children.end(), [](pDirEntry a, pDirEntry b) {
      return CollateText(a->LongName, b->LongName) < 0;
    });
    order.insert(order.end(), children.begin(), children.end());
  }
  cd.PathTableEntries = std::move(order);
  for (size_t i = 0; i < cd.PathTableEntries.size(); ++i)
    cd.PathTableEntries[i]->number = uint16_t(i + 1);

  std::vector<pFileEntry> scratch;
  for (const auto& d : cd.Dirs) OrderEntryList(*d, scratch);
}

}  // namespace torvik
