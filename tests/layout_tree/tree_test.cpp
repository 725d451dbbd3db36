// The tree's insertion rules on memory files and created folders: names, duplicates, kinds,
// the skip handler, refusals, labels, boot images and the table capacities.
#include <functional>

#include "tree_support.h"

namespace torvik {
namespace {

TEST_F(TreeTest, ResetLeavesOnlyTheRoot) {
  ASSERT_NE(CreateDirW(cd, u"\\", u"Docs"), nullptr);
  ASSERT_NE(AddMem(u"\\Docs", u"a.txt"), nullptr);
  cd.isom.assign(4096, 1);
  cd.IsoHeaderSize = 4096;
  ClearAll(cd);
  EXPECT_EQ(cd.FileCounter(), 0);
  EXPECT_EQ(cd.DirCounter(), 1);
  ASSERT_NE(cd.RootDir, nullptr);
  EXPECT_EQ(cd.RootDir->Parent, cd.RootDir);
  EXPECT_EQ(cd.RootDir->ShortName, "ROOT_DIR");
  EXPECT_TRUE(cd.RootDir->LongName.empty());
  EXPECT_EQ(cd.RootDir->Files, nullptr);
  EXPECT_EQ(cd.PathTableEntries, std::vector<pDirEntry>{cd.RootDir});
  EXPECT_TRUE(cd.isom.empty());
  EXPECT_EQ(cd.IsoHeaderSize, 0);
  int32_t offset = 0;
  ASSERT_TRUE(CurrentTimeZoneOffset15(offset));
  EXPECT_EQ(cd.TimeZoneDifference, offset);
  EXPECT_EQ(FindFileW(cd, u"\\", u"Docs"), -1);
}

TEST_F(TreeTest, InsertionsNeedAReset) {
  TCDFiles fresh;
  EXPECT_EQ(InsertMemoryFileW(fresh, u"\\", Mem(u"a"), nullptr), nullptr);
  EXPECT_EQ(CreateDirW(fresh, u"\\", u"d"), nullptr);
  EXPECT_EQ(FindFileW(fresh, u"\\", u"a"), -1);
}

TEST_F(TreeTest, LongNamesAreKeptNeverSkipped) {
  // Every name a Linux folder can hold (255 bytes) is kept whole; the hierarchies shorten it.
  for (size_t units : {217u, 218u, 255u}) {
    pFileEntry e = AddMem(u"\\", std::u16string(units, u'n'));
    ASSERT_NE(e, nullptr);
    ASSERT_FALSE(torvik::IsSkipped(e));
    EXPECT_EQ(e->FileNameLengthJ, units);
  }
  ASSERT_NE(CreateDirW(cd, u"\\", std::u16string(230, u'd')), nullptr);
  const std::u16string tooLong(256, u'n');
  EXPECT_EQ(AddMem(u"\\", tooLong), nullptr);
  EXPECT_NE(cd.LastInsertError.find("Name too long"), std::string::npos);
  EXPECT_EQ(CreateDirW(cd, u"\\", tooLong), nullptr);
  EXPECT_EQ(cd.FileCounter(), 4);
  EXPECT_EQ(cd.DirCounter(), 2);
}

TEST_F(TreeTest, NamesCompareCaseInsensitively) {
  pFileEntry a = AddMem(u"\\", u"readme.txt", 10);
  pFileEntry b = AddMem(u"\\", u"README.TXT", 20);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->FileSize, 10);
  EXPECT_EQ(a->LongName, u"readme.txt");
  EXPECT_EQ(cd.FileCounter(), 1);
  EXPECT_EQ(FindFileW(cd, u"\\", u"ReadMe.TXT"), 0);
  // Beyond ASCII as well: one folder holds one of Ärger / ÄRGER.
  EXPECT_EQ(AddMem(u"\\", u"Ärger"), AddMem(u"\\", u"äRGER"));
}

TEST_F(TreeTest, ReplaceFileUpdatesTheEntryInPlace) {
  pFileEntry first = AddMem(u"\\", u"data.bin", 10, u"DATA.BIN");
  AddMem(u"\\", u"other", 1);
  cd.ReplaceFile = true;
  TWin32FindDataW fd = Mem(u"DATA.bin", 99);
  fd.ftLastWriteTime += 36000000000ull;  // one hour later
  pFileEntry second = InsertMemoryFileW(cd, u"\\", fd, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(cd.FileCounter(), 2);
  EXPECT_EQ(first->FileSize, 99);
  EXPECT_EQ(first->LongName, u"DATA.bin");
  EXPECT_EQ(first->LongNameWIN32, u"data.bin");
  EXPECT_EQ(first->ShortName, "DATA.bin");
  EXPECT_EQ(ListNames(cd.RootDir), (std::vector<std::u16string>{u"DATA.bin", u"other"}));
}

TEST_F(TreeTest, ShortNameDefaults) {
  struct Case {
    std::u16string name, alt;
    std::string shortName;
  };
  const std::vector<Case> cases = {
      {u"readme.txt", u"", "readme.txt"},
      {u"README", u"", "README."},                    // files get a dot
      {u"averyverylongname.txt", u"", "averyverylon."},  // first 12, then the dot
      {u"a.b.c", u"", "a_b.c"},                      // d-characters and one dot
      {u"x;1 *?:.txt", u"", "x_1____.txt"},
      {u"f<>|\"~.ab", u"", "f____~.ab"},
      {u"x", u"ALT.TXT", "ALT.TXT"},                 // a given 8.3 name wins
      {u"y", u"ABCDEFGH.TXTXYZ", "ABCDEFGH.TXTX"},   // at most 13 characters of it
      {u"Ärger.txt", u"", "_rger.txt"},              // printable ASCII only
      {u"日本.txt", u"", "__.txt"},
      {u"😀.txt", u"", "_.txt"},                      // a surrogate pair is one character
      {u"tab\tname", u"", "tab_name."},
  };
  for (const Case& c : cases) {
    pFileEntry e = AddMem(u"\\", c.name, 1, c.alt);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->ShortName, c.shortName) << Utf16ToUtf8(c.name);
    EXPECT_EQ(e->FileNameLength, c.shortName.size());
  }
}

TEST_F(TreeTest, FolderShortNames) {
  // CreateDir takes the first 11 characters, upper-cased.
  pDirEntry photos = CreateDirW(cd, u"\\", u"Photographs2012");
  ASSERT_NE(photos, nullptr);
  EXPECT_EQ(photos->ShortName, "PHOTOGRAPHS");
  EXPECT_EQ(photos->Entry->ShortName, "PHOTOGRAPHS");  // both views carry one name
  EXPECT_EQ(photos->DirNameLength, 11);
  EXPECT_EQ(photos->LongName, u"Photographs2012");
  EXPECT_EQ(photos->DirNameLengthJ, 15);
  EXPECT_EQ(photos->Entry->DirRecord, photos);
  EXPECT_EQ(photos->Parent, cd.RootDir);
  EXPECT_EQ(photos->depth, 1);
  EXPECT_NE(photos->Entry->attributes & int32_t(FILE_ATTRIBUTE_DIRECTORY), 0);
  EXPECT_TRUE(photos->Entry->Unicode);
  EXPECT_EQ(CreateDirW(cd, u"\\", u"Ärger")->ShortName, "_RGER");  // no dot for folders

  // From find data without an 8.3 name: the first 12 characters.
  TWin32FindDataW fd = Mem(u"My Documents Folder");
  fd.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  pDirEntry docs = CreateDirFromFindData(cd, cd.RootDir, fd);
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(docs->ShortName, "MY_DOCUMENTS");
  // A given name that cannot fit 12 bytes falls back to the neutral name.
  fd = Mem(u"Other", 0, u"ABCDEFGHIJKLM");
  fd.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  pDirEntry other = CreateDirFromFindData(cd, cd.RootDir, fd);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->ShortName, "________.___");
  EXPECT_EQ(other->Entry->ShortName, "________.___");
}

TEST_F(TreeTest, DestinationPathsResolve) {
  pDirEntry docs = CreateDirW(cd, u"\\", u"Docs");
  pDirEntry year = CreateDirW(cd, u"\\Docs", u"2012");
  ASSERT_NE(year, nullptr);
  struct Case {
    std::u16string path;
    pDirEntry dir;
  };
  const std::vector<Case> cases = {
      {u"", cd.RootDir},          {u"\\", cd.RootDir},        {u"\\Docs", docs},
      {u"\\Docs\\", docs},        {u"\\\\Docs", docs},         {u"docs", docs},
      {u"\\DOCS\\2012", year},    {u"/Docs/2012/", year},      {u"\\Docs\\2013", nullptr},
      {u"\\Docs\\\\2012", nullptr}, {u"\\Nope", nullptr},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResolveDestPath(cd, c.path), c.dir) << Utf16ToUtf8(c.path);
  EXPECT_EQ(DirectoryPathText(cd.RootDir), u"\\");
  EXPECT_EQ(DirectoryPathText(year), u"\\Docs\\2012\\");
}

TEST_F(TreeTest, FindFileReportsTheSlotOrMinusOne) {
  CreateDirW(cd, u"\\", u"Docs");
  AddMem(u"\\Docs", u"a.txt");
  AddMem(u"\\", u"notes");
  EXPECT_EQ(FindFileW(cd, u"\\", u"docs"), 0);
  EXPECT_EQ(FindFileW(cd, u"\\Docs", u"A.TXT"), 1);
  EXPECT_EQ(FindFile(cd, "\\Docs\\", "a.txt"), 1);
  EXPECT_EQ(FindFileW(cd, u"\\Nope", u"a.txt"), -1);
  EXPECT_EQ(FindFileW(cd, u"\\Docs", u"b.txt"), -1);
  EXPECT_EQ(FindFileW(cd, u"\\notes", u"a.txt"), -1);  // a file is no folder
}

TEST_F(TreeTest, EntriesNeverChangeKind) {
  cd.ReplaceFile = true;
  pDirEntry docs = CreateDirW(cd, u"\\", u"docs");
  bool called = false;
  pFileEntry e = InsertMemoryFileW(cd, u"\\", Mem(u"DOCS", 5),
                                   [&](void*, pFileEntry, uint32_t, void*, uint32_t&) { called = true; });
  EXPECT_EQ(e, docs->Entry);
  EXPECT_EQ(e->DirRecord, docs);
  EXPECT_EQ(e->FileSize, 0);
  EXPECT_FALSE(e->mfcbFunction);
  EXPECT_EQ(ResolveDestPath(cd, u"\\docs"), docs);

  AddMem(u"\\", u"notes");
  EXPECT_EQ(CreateDirW(cd, u"\\", u"Notes"), nullptr);
  EXPECT_NE(cd.LastInsertError.find("file of that name"), std::string::npos);
  EXPECT_EQ(ResolveDestPath(cd, u"\\notes"), nullptr);
  EXPECT_EQ(AddMem(u"\\notes", u"x"), nullptr);
  EXPECT_EQ(cd.DirCounter(), 2);
  EXPECT_EQ(cd.FileCounter(), 2);
  EXPECT_FALSE(called);
}

TEST_F(TreeTest, ReplacedEntriesLoseWhatBelongedToTheOldContent) {
  std::string delivered;
  auto callback = [&](std::string tag) {
    return TGetDataEvent([&delivered, tag](void*, pFileEntry, uint32_t, void*, uint32_t& size) {
      delivered = tag;
      size = 0;
    });
  };
  pFileEntry a = InsertMemoryFileW(cd, u"\\", Mem(u"a"), callback("first"));
  pFileEntry b = InsertMemoryFileW(cd, u"\\", Mem(u"b"), callback("b"));
  a->Hash = "0123456789abcdef0123456789abcdef";
  a->ReferenceEntry = b;
  b->ReferenceEntry = a;

  // Without ReplaceFile the existing entry keeps its own data.
  EXPECT_EQ(InsertMemoryFileW(cd, u"\\", Mem(u"A"), callback("ignored")), a);
  uint32_t size = 1;
  a->mfcbFunction(nullptr, a, 0, nullptr, size);
  EXPECT_EQ(delivered, "first");
  EXPECT_FALSE(a->Hash.empty());

  cd.ReplaceFile = true;
  EXPECT_EQ(InsertMemoryFileW(cd, u"\\", Mem(u"A", 7), callback("second")), a);
  EXPECT_TRUE(a->Hash.empty());
  EXPECT_EQ(a->ReferenceEntry, nullptr);
  EXPECT_EQ(b->ReferenceEntry, nullptr);
  a->mfcbFunction(nullptr, a, 0, nullptr, size);
  EXPECT_EQ(delivered, "second");

  // Replaced by a file on disk, the entry stops being a memory file.
  const std::string src = Write("a", "abc");
  EXPECT_EQ(InsertFileW(cd, u"\\", Utf8ToUtf16(src)), a);
  EXPECT_FALSE(a->mfcbFunction);
  EXPECT_EQ(a->Path, Utf8ToUtf16(src));
  EXPECT_EQ(a->FileSize, 3);
}

TEST_F(TreeTest, TheAddFileHandlerCanSkipOrChangeAnEntry) {
  std::vector<std::u16string> seen;
  cd.cbAddFileEvent = [&](void* sender, const std::u16string&, TWin32FindDataW& fd, bool& skip) {
    EXPECT_EQ(sender, nullptr);
    seen.push_back(fd.cFileName);
    if (fd.cFileName.find(u"skip") != std::u16string::npos) skip = true;
    if (fd.cFileName == u"rename.me") fd.cFileName = u"renamed.txt";
  };
  cd.Prepared = true;
  EXPECT_TRUE(torvik::IsSkipped(AddMem(u"\\", u"skip.txt")));
  EXPECT_EQ(CreateDirW(cd, u"\\", u"skipdir"), nullptr);
  EXPECT_EQ(cd.FileCounter(), 0);
  EXPECT_EQ(cd.DirCounter(), 1);
  EXPECT_TRUE(cd.Prepared);  // nothing changed
  pFileEntry e = AddMem(u"\\", u"rename.me");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LongName, u"renamed.txt");
  EXPECT_FALSE(cd.Prepared);
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"skip.txt", u"skipdir", u"rename.me"}));
}

TEST_F(TreeTest, BadInputLeavesTheTreeUnchanged) {
  CreateDirW(cd, u"\\", u"Docs");
  AddMem(u"\\Docs", u"keep");
  const std::vector<std::u16string> badNames = {
      u"", u".", u"..", u"a/b", std::u16string(u"a\0b", 3)};
  for (const std::u16string& name : badNames) {
    EXPECT_EQ(AddMem(u"\\Docs", name), nullptr) << Utf16ToUtf8(name);
    EXPECT_FALSE(cd.LastInsertError.empty());
    EXPECT_EQ(CreateDirW(cd, u"\\Docs", name), nullptr) << Utf16ToUtf8(name);
    EXPECT_FALSE(cd.LastInsertError.empty());
  }
  EXPECT_EQ(AddMem(u"\\Missing", u"a"), nullptr);
  EXPECT_EQ(cd.LastInsertError, "Destination folder not found: \\Missing");
  EXPECT_EQ(CreateDirW(cd, u"\\Missing", u"a"), nullptr);

  TWin32FindDataW folder = Mem(u"folder");
  folder.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(InsertMemoryFileW(cd, u"\\", folder, nullptr), nullptr);

  EXPECT_EQ(cd.FileCounter(), 2);
  EXPECT_EQ(cd.DirCounter(), 2);
  EXPECT_EQ(ListNames(cd.Dirs[1].get()), std::vector<std::u16string>{u"keep"});
  EXPECT_NE(AddMem(u"\\Docs", u"fine"), nullptr);
  EXPECT_TRUE(cd.LastInsertError.empty());
  // A backslash is legal in a Linux name; the layout's separator becomes '_' in the name.
  pFileEntry slash = AddMem(u"\\Docs", u"back\\slash.txt");
  ASSERT_NE(slash, nullptr);
  EXPECT_EQ(slash->LongName, u"back_slash.txt");
}

TEST_F(TreeTest, FilesOf4GiBOrMoreAreRefused) {
  const uint64_t limit = 0xFFFFFFFFull;
  pFileEntry largest = AddMem(u"\\", u"largest", limit);
  ASSERT_NE(largest, nullptr);
  EXPECT_EQ(largest->FileSize, int64_t(limit));
  EXPECT_EQ(AddMem(u"\\", u"too.big", limit + 1), nullptr);
  EXPECT_EQ(cd.LastInsertError, "File too large for ISO 9660 (4 GiB or more): \\too.big");
  EXPECT_EQ(cd.FileCounter(), 1);
}

TEST_F(TreeTest, EachEntryRecordsTheZoneOfItsOwnDate) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  TWin32FindDataW winter = Mem(u"winter"), summer = Mem(u"summer");
  TSystemTime st;
  st.wYear = 2021, st.wMonth = 1, st.wDay = 15, st.wHour = 12;
  ASSERT_TRUE(SystemTimeToFileTime(st, winter.ftLastWriteTime));
  st.wMonth = 7;
  ASSERT_TRUE(SystemTimeToFileTime(st, summer.ftLastWriteTime));
  pFileEntry w = InsertMemoryFileW(cd, u"\\", winter, nullptr);
  pFileEntry s = InsertMemoryFileW(cd, u"\\", summer, nullptr);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  ASSERT_NE(w, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(w->Time.wHour, 13);
  EXPECT_EQ(w->TimeZone, 4);
  EXPECT_EQ(s->Time.wHour, 14);
  EXPECT_EQ(s->TimeZone, 8);
}

TEST_F(TreeTest, VolumeLabelsAreCutAtCharacterBoundaries) {
  SetVolumeID(cd, std::string(40, 'L'));
  EXPECT_EQ(cd.VolumeLabel, std::string(32, 'L'));
  EXPECT_EQ(cd.VolumeLabelW, std::u16string(32, u'L'));

  std::string accents;
  for (int i = 0; i < 20; ++i) accents += "é";  // 40 bytes, 20 characters
  SetVolumeID(cd, accents);
  EXPECT_EQ(cd.VolumeLabel.size(), 32u);
  EXPECT_EQ(Utf8ToUtf16(cd.VolumeLabel), std::u16string(16, u'é'));
  EXPECT_EQ(cd.VolumeLabelW, std::u16string(20, u'é'));

  std::string threeByte;
  for (int i = 0; i < 11; ++i) threeByte += "€";  // 33 bytes: the 11th would be split
  SetVolumeID(cd, threeByte);
  EXPECT_EQ(cd.VolumeLabel.size(), 30u);

  SetVolumeIDW(cd, std::u16string(31, u'x') + u"😀");
  EXPECT_EQ(cd.VolumeLabelW, std::u16string(31, u'x'));  // the pair does not fit whole
  EXPECT_EQ(cd.VolumeLabel, std::string(31, 'x'));
}

TEST_F(TreeTest, BootImagesMustHaveADisketteOrSectorSize) {
  auto sized = [&](const std::string& name, off_t size) {
    const std::string p = Path(name);
    const int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    return p;
  };
  struct Case {
    off_t size;
    bool ok;
  };
  const std::vector<Case> cases = {{2048, true},     {1228800, true}, {1474560, true},
                                   {2949120, true},  {1474561, false}, {0, false},
                                   {2047, false}};
  for (const Case& c : cases) {
    const std::string p = sized("boot" + std::to_string(c.size), c.size);
    EXPECT_EQ(SetBootImage(cd, p), c.ok) << c.size;
    EXPECT_EQ(cd.BootImage, c.ok ? p : std::string()) << c.size;
    EXPECT_EQ(cd.BootImageSize, c.ok ? int32_t(c.size) : 0);
  }
  EXPECT_FALSE(SetBootImage(cd, Path("missing.img")));
  EXPECT_FALSE(SetBootImage(cd, Scratch()));  // a folder
  ASSERT_TRUE(SetBootImage(cd, sized("ok", 2048)));
  EXPECT_TRUE(SetBootImage(cd, ""));
  EXPECT_TRUE(cd.BootImage.empty());
}

TEST_F(TreeTest, NameIndexSurvivesGrowthAndErasure) {
  std::vector<std::unique_ptr<TFileEntry>> entries;
  TNameIndex index;
  for (int i = 0; i < 1000; ++i) {
    entries.push_back(std::make_unique<TFileEntry>());
    entries.back()->LongName = u"Name " + Utf8ToUtf16(std::to_string(i));
    index.Insert(entries.back().get());
  }
  for (int i = 0; i < 1000; i += 2) index.Erase(entries[size_t(i)].get());
  EXPECT_EQ(index.Size(), 500u);
  for (int i = 0; i < 1000; ++i) {
    const std::u16string probe = u"NAME " + Utf8ToUtf16(std::to_string(i));
    EXPECT_EQ(index.Find(probe), i % 2 ? entries[size_t(i)].get() : nullptr) << i;
  }
  // Erased names can come back; erasing something never indexed changes nothing.
  for (int i = 0; i < 1000; i += 2) index.Insert(entries[size_t(i)].get());
  TFileEntry stranger;
  stranger.LongName = u"name 1";
  index.Erase(&stranger);
  EXPECT_EQ(index.Size(), 1000u);
  for (int i = 0; i < 1000; ++i)
    EXPECT_EQ(index.Find(u"name " + Utf8ToUtf16(std::to_string(i))), entries[size_t(i)].get());
  EXPECT_EQ(index.Find(u"name 1000"), nullptr);
  index.Clear();
  EXPECT_EQ(index.Find(u"name 1"), nullptr);
}

TEST_F(TreeTest, TableCapacitiesAreEnforced) {
  // Folders first, to the folder limit (the root counts).
  std::u16string name = u"d00000";
  for (int i = 1; i < kMaxDirEntries; ++i) {
    for (int k = 5, v = i; k >= 1; --k, v /= 10) name[size_t(k)] = char16_t(u'0' + v % 10);
    ASSERT_NE(CreateDirW(cd, u"\\", name), nullptr) << i;
  }
  EXPECT_EQ(cd.DirCounter(), kMaxDirEntries);
  EXPECT_EQ(CreateDirW(cd, u"\\", u"one.more"), nullptr);
  EXPECT_NE(cd.LastInsertError.find("Too many folders"), std::string::npos);
  EXPECT_NE(CreateDirW(cd, u"\\", u"d00001"), nullptr);  // an existing one is still found

  // Then files to the entry limit; folder entries count as entries.
  const int files = kMaxFileEntries - cd.FileCounter();
  name = u"f000000";
  for (int i = 0; i < files; ++i) {
    for (int k = 6, v = i; k >= 1; --k, v /= 10) name[size_t(k)] = char16_t(u'0' + v % 10);
    ASSERT_NE(InsertMemoryFileW(cd, u"\\d00001", Mem(name), nullptr), nullptr) << i;
  }
  EXPECT_EQ(cd.FileCounter(), kMaxFileEntries);
  EXPECT_EQ(AddMem(u"\\", u"one.more"), nullptr);
  EXPECT_NE(cd.LastInsertError.find("Too many entries"), std::string::npos);
  EXPECT_EQ(cd.FileCounter(), kMaxFileEntries);
  EXPECT_EQ(cd.RootDir->NameIndex.Find(u"one.more"), nullptr);
}

}  // namespace
}  // namespace torvik
