// Insertions from disk: single files, folder scans with masks and recursion, SavePath, and what
// a scan does with links, special files, errors and refusals.
#include <sys/stat.h>

#include <algorithm>

#include "platform/bvkText.h"
#include "tree_support.h"

namespace torvik {
namespace {

using Names = std::vector<std::u16string>;

TEST_F(TreeTest, SingleFilesFromDisk) {
  const std::string src = Write("docs/Report 2012.txt", "twelve bytes", 1600000000);
  pFileEntry e = InsertFile(cd, "\\", src);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LongName, u"Report 2012.txt");
  EXPECT_EQ(e->ShortName, "REPORT~1.TXT");  // the derived 8.3 name keeps the type
  EXPECT_EQ(e->FileSize, 12);
  EXPECT_EQ(e->Path, Utf8ToUtf16(src));
  EXPECT_FALSE(e->Unicode);  // added through the 8-bit form
  EXPECT_EQ(e->attributes, int32_t(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(e->DirRecord, nullptr);
  const TLocalTime local = FileTimeToLocal(FileTimeFromUnix(1600000000, 0));
  EXPECT_EQ(e->Time.wHour, local.Time.wHour);
  EXPECT_EQ(e->Time.wDay, local.Time.wDay);
  EXPECT_EQ(e->TimeZone, local.Offset15);

  pFileEntry w = InsertFileW(cd, u"\\", Utf8ToUtf16(Write("wide.txt", "w")));
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->Unicode);

  pFileEntry named = InsertFileWithNameW(cd, u"\\", Utf8ToUtf16(src), u"Renamed on disc.txt", u"RENAMED.TXT");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->LongName, u"Renamed on disc.txt");
  EXPECT_EQ(named->ShortName, "RENAMED.TXT");
  EXPECT_EQ(named->Path, Utf8ToUtf16(src));
  pFileEntry defaulted = InsertFileWithName(cd, "\\", src, "another name", "");
  ASSERT_NE(defaulted, nullptr);
  EXPECT_EQ(defaulted->ShortName, "ANOTHE~1.");
}

TEST_F(TreeTest, SingleFileFailuresSayWhy) {
  const std::string folder = MakeDir("folder");
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  struct Case {
    std::string source;
    std::string error;
  };
  const std::vector<Case> cases = {
      {Path("missing.txt"), "Source not found: " + Path("missing.txt")},
      {folder, "Source is a folder, not a file: " + folder},
      {Path("fifo"), "Not a regular file: " + Path("fifo")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InsertFile(cd, "\\", c.source), nullptr) << c.source;
    EXPECT_EQ(cd.LastInsertError, c.error);
  }
  EXPECT_EQ(InsertFile(cd, "\\Nope", Write("a", "a")), nullptr);
  EXPECT_EQ(cd.LastInsertError, "Destination folder not found: \\Nope");

  const std::string big = Path("big.iso");
  const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, int64_t(1) << 32), 0);  // sparse
  close(fd);
  EXPECT_EQ(InsertFile(cd, "\\", big), nullptr);
  EXPECT_EQ(cd.LastInsertError, "File too large for ISO 9660 (4 GiB or more): " + big);
  EXPECT_EQ(cd.FileCounter(), 0);
}

TEST_F(TreeTest, DuplicateSourcesWithAndWithoutReplace) {
  const std::string first = Write("one/x.txt", "abc", 1500000000);
  const std::string second = Write("two/X.TXT", "abcdefg", 1600000000);
  pFileEntry e = InsertFile(cd, "\\", first);
  EXPECT_EQ(InsertFile(cd, "\\", second), e);
  EXPECT_EQ(e->Path, Utf8ToUtf16(first));
  EXPECT_EQ(e->FileSize, 3);

  cd.ReplaceFile = true;
  EXPECT_EQ(InsertFile(cd, "\\", second), e);
  EXPECT_EQ(cd.FileCounter(), 1);
  EXPECT_EQ(e->Path, Utf8ToUtf16(second));
  EXPECT_EQ(e->FileSize, 7);
  EXPECT_EQ(e->Time.wYear, FileTimeToLocal(FileTimeFromUnix(1600000000, 0)).Time.wYear);
  EXPECT_EQ(e->LongName, u"X.TXT");
  EXPECT_EQ(e->LongNameWIN32, u"x.txt");
}

TEST_F(TreeTest, RecursiveScanCreatesEveryFolderButOnlyMatchingFiles) {
  Write("src/a.txt", "a");
  Write("src/b.dat", "b");
  Write("src/.hidden.txt", "h");
  MakeDir("src/empty");
  Write("src/sub/c.TXT", "c");
  Write("src/sub/d.bin", "d");
  MakeDir("src/sub/deeper");
  std::filesystem::create_directory_symlink(Path("src/sub"), Path("src/link_to_sub"));
  std::filesystem::create_symlink(Path("src/a.txt"), Path("src/link.txt"));
  ASSERT_EQ(mkfifo(Path("src/pipe.txt").c_str(), 0644), 0);

  pDirEntry target = InsertDir(cd, "\\", Path("src") + "/", "*.txt", true, false);
  ASSERT_EQ(target, cd.RootDir);
  // Folders come before the files of the same folder, each group in name order.
  EXPECT_EQ(ListNames(cd.RootDir),
            (Names{u"empty", u"sub", u".hidden.txt", u"a.txt", u"link.txt"}));
  pDirEntry sub = ResolveDestPath(cd, u"\\sub");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(ListNames(sub), (Names{u"deeper", u"c.TXT"}));
  EXPECT_NE(ResolveDestPath(cd, u"\\sub\\deeper"), nullptr);
  EXPECT_EQ(ResolveDestPath(cd, u"\\link_to_sub"), nullptr);
  EXPECT_EQ(cd.DirCounter(), 4);

  pFileEntry hidden = cd.Files[size_t(FindFileW(cd, u"\\", u".hidden.txt"))].get();
  EXPECT_NE(hidden->attributes & int32_t(FILE_ATTRIBUTE_HIDDEN), 0);
  pFileEntry link = cd.Files[size_t(FindFileW(cd, u"\\", u"link.txt"))].get();
  EXPECT_EQ(link->Path, Utf8ToUtf16(Path("src/link.txt")));
  EXPECT_EQ(sub->Files->NextFile->Path, Utf8ToUtf16(Path("src/sub/c.TXT")));
  EXPECT_EQ(sub->Entry->ShortName, "SUB");
  EXPECT_EQ(sub->depth, 1);
}

TEST_F(TreeTest, FlatScanAddsFilesOnly) {
  Write("src/a.txt", "a");
  MakeDir("src/sub");
  Write("src/sub/b.txt", "b");
  ASSERT_EQ(InsertDirW(cd, u"\\", Utf8ToUtf16(Path("src")), u"*.*", false, false), cd.RootDir);
  EXPECT_EQ(ListNames(cd.RootDir), Names{u"a.txt"});
  // A mask that matches nothing is no error.
  ASSERT_EQ(InsertDirW(cd, u"\\", Utf8ToUtf16(Path("src")), u"*.zip", false, false), cd.RootDir);
  EXPECT_TRUE(cd.LastInsertError.empty());
}

TEST_F(TreeTest, SavePathRecreatesTheSourceFolders) {
  Write("data/pics/p1.jpg", "1");
  CreateDirW(cd, u"\\", u"Backup");
  pDirEntry target = InsertDir(cd, "\\Backup", Path("data/pics") + "/", "*.*", false, true);
  ASSERT_NE(target, nullptr);
  // The whole absolute path is recreated below the destination, as a drive path would be.
  std::string expected = "\\Backup" + Path("data/pics") + "\\";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(Utf16ToUtf8(DirectoryPathText(target)), expected);
  EXPECT_EQ(ListNames(target), Names{u"p1.jpg"});

  struct Case {
    std::u16string dirPath;
    Names components;
    bool toRoot;
  };
  const std::vector<Case> cases = {
      {u"C:\\Data\\Pics", {u"Data", u"Pics"}, false},
      {u"\\\\srv\\share\\a\\b", {u"a", u"b"}, false},
      {u"\\\\srv\\share", {}, false},
      {u"\\\\srv", {}, false},
      {u"/data/pics", {u"data", u"pics"}, false},
      {u"//data///pics", {u"data", u"pics"}, false},
      {u"rel/./x", {u"rel", u"x"}, false},
      {u"C:\\", {}, true},
  };
  for (const Case& c : cases) {
    const TSavePath r = SavePathComponents(c.dirPath);
    EXPECT_EQ(r.Components, c.components) << Utf16ToUtf8(c.dirPath);
    EXPECT_EQ(r.ToRoot, c.toRoot) << Utf16ToUtf8(c.dirPath);
  }
}

TEST_F(TreeTest, FailedScansLeaveNothingBehind) {
  Write("src/a.txt", "a");
  Write("src/clash/b.txt", "b");
  Write("src/zz/c.txt", "c");
  AddMem(u"\\", u"CLASH");  // a file where the scan needs a folder
  const int files = cd.FileCounter(), dirs = cd.DirCounter();
  EXPECT_EQ(InsertDir(cd, "\\", Path("src"), "*.*", true, false), nullptr);
  EXPECT_NE(cd.LastInsertError.find("file of that name"), std::string::npos);
  EXPECT_EQ(cd.FileCounter(), files);
  EXPECT_EQ(cd.DirCounter(), dirs);
  EXPECT_EQ(cd.PathTableEntries.size(), size_t(dirs));
  EXPECT_EQ(ListNames(cd.RootDir), Names{u"CLASH"});
  EXPECT_EQ(cd.RootDir->LastFile->LongName, u"CLASH");
  EXPECT_EQ(FindFileW(cd, u"\\", u"a.txt"), -1);

  // With SavePath the folders made for the source path go as well.
  const int fd = open(Path("src/zz/huge").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, int64_t(1) << 32), 0);  // sparse; refused as too large
  close(fd);
  EXPECT_EQ(InsertDir(cd, "\\", Path("src"), "*.*", true, true), nullptr);
  EXPECT_NE(cd.LastInsertError.find("File too large"), std::string::npos);
  EXPECT_EQ(cd.DirCounter(), dirs);
  EXPECT_EQ(ListNames(cd.RootDir), Names{u"CLASH"});

  EXPECT_EQ(InsertDir(cd, "\\", Path("absent"), "*.*", true, false), nullptr);
  EXPECT_NE(cd.LastInsertError.find("Cannot read folder: " + Path("absent")), std::string::npos);
  EXPECT_EQ(InsertDir(cd, "\\Nope", Path("src"), "*.*", true, false), nullptr);

  // The tree still works normally afterwards, also for the names taken back.
  EXPECT_NE(AddMem(u"\\", u"after"), nullptr);
  EXPECT_NE(CreateDirW(cd, u"\\", u"zz"), nullptr);
  EXPECT_EQ(ListNames(cd.RootDir), (Names{u"CLASH", u"after", u"zz"}));
  EXPECT_EQ(FindFileW(cd, u"\\", u"ZZ"), cd.FileCounter() - 1);
}

TEST_F(TreeTest, UnreadableSubfolderFailsTheScan) {
  Write("open/a.txt", "a");
  Write("src/a.txt", "a");
  Write("src/locked/b.txt", "b");
  chmod(Path("src/locked").c_str(), 0);
  const std::string open = Path("open"), src = Path("src");
  bool passed = false;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        TCDFiles layout;
        ClearAll(layout);
        const bool readable = InsertDir(layout, "\\", open, "*.*", true, false) != nullptr;
        const bool refused = InsertDir(layout, "\\", src, "*.*", true, false) == nullptr;
        return readable && refused &&
               layout.LastInsertError.starts_with("Cannot read folder: " + src + "/locked") &&
               layout.FileCounter() == 1 && layout.DirCounter() == 1;
      },
      passed));
  EXPECT_TRUE(passed);
  chmod(Path("src/locked").c_str(), 0755);
}

TEST_F(TreeTest, SkippedFolderLeavesTheRestOfTheScan) {
  Write("src/keep/a.txt", "a");
  Write("src/skip/b.txt", "b");
  Write("src/c.txt", "c");
  cd.cbAddFileEvent = [](void*, const std::u16string&, TWin32FindDataW& fd, bool& skip) {
    skip = fd.cFileName == u"skip";
  };
  ASSERT_EQ(InsertDir(cd, "\\", Path("src"), "*.*", true, false), cd.RootDir);
  EXPECT_EQ(ListNames(cd.RootDir), (Names{u"keep", u"c.txt"}));
  EXPECT_EQ(cd.FileCounter(), 3);
}

}  // namespace
}  // namespace torvik

namespace torvik {
namespace {

// Two insertions that put different files on one disc path keep one of them; the layout says
// so, so the caller can refuse. Folders merge, and the same source twice is no clash.
TEST_F(TreeTest, InsertionsThatMeetAreRecorded) {
  const std::string m1 = Write("m1/x.txt", "1"), m2 = Write("m2/x.txt", "2");
  Write("m3/X.TXT", "3");
  Write("m1/sub/a", "a");
  Write("m2/sub/b", "b");
  ASSERT_NE(InsertFile(cd, "\\", m1), nullptr);
  ASSERT_NE(InsertFile(cd, "\\", m1), nullptr);
  EXPECT_TRUE(cd.NameClashes.empty());
  ASSERT_NE(InsertFile(cd, "\\", m2), nullptr);
  ASSERT_EQ(cd.NameClashes.size(), 1u);
  EXPECT_EQ(cd.NameClashes[0].DiscPath, u"\\x.txt");
  EXPECT_EQ(cd.NameClashes[0].ExistingSource, Utf8ToUtf16(m1));
  EXPECT_EQ(cd.NameClashes[0].NewSource, Utf8ToUtf16(m2));
  ASSERT_NE(InsertDir(cd, "\\", Path("m3"), "*.*", true, false), nullptr);
  EXPECT_EQ(cd.NameClashes.size(), 2u);  // by case, too
  cd.NameClashes.clear();
  ASSERT_NE(InsertDir(cd, "\\", Path("m1"), "*.*", true, false), nullptr);
  ASSERT_NE(InsertDir(cd, "\\", Path("m2"), "*.*", true, false), nullptr);
  EXPECT_EQ(cd.NameClashes.size(), 1u);  // x.txt again; sub/ merged
  EXPECT_EQ(ListNames(ResolveDestPath(cd, u"\\sub")), (std::vector<std::u16string>{u"a", u"b"}));
}

}  // namespace
}  // namespace torvik
