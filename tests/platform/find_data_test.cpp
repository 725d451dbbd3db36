// Find data from real folders (attributes, links, special files, errors), file masks, and the
// clock and zone conversions behind the recorded times.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bvkFindData.h"
#include "platform/bvkText.h"
#include "platform/bvkTime.h"
#include "run_unprivileged.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;

// 2021-03-04 05:06:07 UTC
constexpr int64_t kMtime = 1614834367;

class FindDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TORVIK_TEST_TMP");
    dir_ = fs::path(base ? base : "/tmp") / ("platform-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(dir_, ec))
      if (p.is_directory(ec)) chmod(p.path().c_str(), 0755);
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& rel) const { return (dir_ / rel).string(); }
  void Write(const std::string& rel, const std::string& data) const {
    std::ofstream(Path(rel), std::ios::binary) << data;
    const struct timespec times[2] = {{kMtime, 0}, {kMtime, 500000000}};
    utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  std::vector<std::string> Names(const std::vector<TFindItem>& items) const {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.NativeName);
    return out;
  }

  fs::path dir_;
};

TEST_F(FindDataTest, WildcardsFollowWindowsRules) {
  struct Case {
    const char16_t* name;
    const char16_t* mask;
    bool match;
  };
  const std::vector<Case> cases = {
      {u"a.txt", u"*.*", true},      {u"README", u"*.*", true},    {u"README", u"*", true},
      {u".hidden", u"*", true},      {u"x", u"", true},            {u"a.txt", u"*.txt", true},
      {u"a.TXT", u"*.txt", true},    {u"a.txt.bak", u"*.txt", false}, {u"atxt", u"*.txt", false},
      {u"ab.c", u"?b.c", true},      {u"b.c", u"?b.c", false},     {u"abc", u"a?c", true},
      {u"ac", u"a?c", false},        {u"readme", u"readme.*", true}, {u"readme.md", u"readme.*", true},
      {u"readme", u"readme.", true}, {u"readme.md", u"readme.", false}, {u"Ärger.TXT", u"ä*.txt", true},
      {u"abc", u"*b*", true},        {u"abc", u"*d*", false},      {u"aaa", u"*a*a*a*", true},
      {u"aa", u"*a*a*a*", false},    {u"photo1.jpg", u"photo?.JPG", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchFileMask(c.name, c.mask), c.match)
        << Utf16ToUtf8(c.name) << " ~ " << Utf16ToUtf8(c.mask);
}

TEST_F(FindDataTest, EnumerationReportsWhatALayoutMayHold) {
  Write("a.txt", "hello");
  Write(".hidden", "h");
  Write("ro.txt", "r");
  chmod(Path("ro.txt").c_str(), 0444);
  fs::create_directory(Path("sub"));
  Write("sub/inner.txt", "x");
  fs::create_directory_symlink(Path("sub"), Path("link_to_dir"));
  fs::create_symlink(Path("a.txt"), Path("link_to_file"));
  fs::create_symlink(Path("missing"), Path("dangling"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);

  std::vector<TFindItem> items;
  std::vector<TFindSkip> skipped;
  ASSERT_EQ(EnumerateDirectory(dir_.string(), u"*.*", items, nullptr, &skipped),
            TFindResult::Found);
  EXPECT_EQ(Names(items),
            (std::vector<std::string>{".hidden", "a.txt", "link_to_file", "ro.txt", "sub"}));
  struct Expect {
    uint32_t attributes;
    uint64_t size;
    std::u16string alternate;
  };
  const std::vector<Expect> expected = {
      {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN, 1, u"HIDDEN~1"},
      {FILE_ATTRIBUTE_ARCHIVE, 5, u""},
      {FILE_ATTRIBUTE_ARCHIVE, 5, u"LINK_T~1"},  // the link stands for its file
      {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 1, u""},
      {FILE_ATTRIBUTE_DIRECTORY, 0, u""},
  };
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].Data.dwFileAttributes, expected[i].attributes) << items[i].NativeName;
    EXPECT_EQ(items[i].Data.FileSize(), expected[i].size) << items[i].NativeName;
    EXPECT_EQ(items[i].Data.cFileName, Utf8ToUtf16(items[i].NativeName));
    EXPECT_EQ(items[i].Data.cAlternateFileName, expected[i].alternate) << items[i].NativeName;
  }
  // What was left out is said, with the reason.
  std::vector<std::string> left;
  for (const TFindSkip& s : skipped) left.push_back(s.NativeName + ": " + s.Reason);
  EXPECT_EQ(left, (std::vector<std::string>{"dangling: dangling link", "fifo: FIFO",
                                            "link_to_dir: link to a folder"}));
  EXPECT_EQ(items[1].Data.ftLastWriteTime,
            TFileTime(kMtime) * 10000000 + 5000000 + kFileTimeUnixEpoch);

  ASSERT_EQ(EnumerateDirectory(dir_.string(), u"*.TXT", items), TFindResult::Found);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"a.txt", "ro.txt"}));
  EXPECT_EQ(EnumerateDirectory(dir_.string(), u"*.zip", items), TFindResult::NoMatch);
  EXPECT_TRUE(items.empty());
}

TEST_F(FindDataTest, ShortNamesAsWindowsDerivesThem) {
  struct Case {
    std::u16string name;
    bool valid;
    std::u16string first;  // AlternateName(name, 1)
  };
  const std::vector<Case> cases = {
      {u"README.TXT", true, u"README.TXT"},
      {u"readme.txt", true, u"README.TXT"},
      {u"a-b_c$.x", true, u""},
      {u"IMG_20240101_000001.jpg", false, u"IMG_20~1.JPG"},
      {u"My Documents", false, u"MYDOCU~1"},
      {u".bashrc", false, u"BASHRC~1"},
      {u"archive.tar.gz", false, u"ARCHIV~1.GZ"},
      {u"video.mpeg4", false, u"VIDEO~1.MPE"},
      {u"caf\u00E9.txt", false, u"CAF_~1.TXT"},
      {u"NAME.", false, u"NAME~1"},
      {u"a+b=c.txt", false, u"A_B_C~1.TXT"},
      {u"\U0001F600.txt", false, u"_~1.TXT"},  // a surrogate pair is one character
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValid83Name(c.name), c.valid) << Utf16ToUtf8(c.name);
    if (!c.valid) {
      EXPECT_EQ(AlternateName(c.name, 1), c.first) << Utf16ToUtf8(c.name);
    }
  }
  EXPECT_EQ(AlternateName(u"IMG_20240101_000001.jpg", 10), u"IMG_2~10.JPG");

  // In one folder the numbers count up per stem, past names the folder already has.
  Write("IMG_20~2.JPG", "x");
  for (const char* n : {"IMG_20240101_000001.jpg", "IMG_20240101_000002.jpg",
                        "IMG_20240101_000003.jpg", "Other file.txt"})
    Write(n, "x");
  std::vector<TFindItem> items;
  ASSERT_EQ(EnumerateDirectory(dir_.string(), u"*.*", items), TFindResult::Found);
  std::vector<std::u16string> alternates;
  for (const TFindItem& i : items) alternates.push_back(i.Data.cAlternateFileName);
  EXPECT_EQ(alternates, (std::vector<std::u16string>{u"IMG_20~1.JPG", u"IMG_20~3.JPG",
                                                     u"IMG_20~4.JPG", u"", u"OTHERF~1.TXT"}));
}

TEST_F(FindDataTest, UnreadableFoldersAreErrorsNotEmptyResults) {
  std::vector<TFindItem> items;
  int err = 0;
  EXPECT_EQ(EnumerateDirectory(Path("absent"), u"*.*", items, &err), TFindResult::Error);
  EXPECT_EQ(err, ENOENT);
  Write("file", "x");
  EXPECT_EQ(EnumerateDirectory(Path("file"), u"*.*", items, &err), TFindResult::Error);
  EXPECT_EQ(err, ENOTDIR);
  fs::create_directory(Path("empty"));
  EXPECT_EQ(EnumerateDirectory(Path("empty"), u"*.*", items, &err), TFindResult::NoMatch);

  fs::create_directory(Path("locked"));
  chmod(Path("locked").c_str(), 0);
  const std::string readable = Path("empty"), locked = Path("locked");
  bool passed = false;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        std::vector<TFindItem> found;
        int e = 0;
        return EnumerateDirectory(readable, u"*.*", found, &e) == TFindResult::NoMatch &&
               EnumerateDirectory(locked, u"*.*", found, &e) == TFindResult::Error &&
               e == EACCES;
      },
      passed));
  EXPECT_TRUE(passed);
}

TEST_F(FindDataTest, SinglePathLookUp) {
  Write("a.txt", "hello");
  fs::create_directory(Path("sub"));
  fs::create_directory_symlink(Path("sub"), Path("link_to_dir"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  TWin32FindDataW fd;
  int err = 0;
  ASSERT_EQ(FindDataFromPath(Path("a.txt"), fd), TFindResult::Found);
  EXPECT_EQ(fd.cFileName, u"a.txt");
  EXPECT_EQ(fd.FileSize(), 5u);
  ASSERT_EQ(FindDataFromPath(Path("sub/"), fd), TFindResult::Found);
  EXPECT_EQ(fd.cFileName, u"sub");
  EXPECT_EQ(fd.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(FindDataFromPath(Path("link_to_dir"), fd), TFindResult::Found);
  EXPECT_NE(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(FindDataFromPath(Path("missing"), fd), TFindResult::NoMatch);
  EXPECT_EQ(FindDataFromPath("", fd), TFindResult::NoMatch);
  EXPECT_EQ(FindDataFromPath(Path("fifo"), fd, &err), TFindResult::Error);
  EXPECT_EQ(err, EINVAL);
}

TEST_F(FindDataTest, SizesAbove32BitsAreKept) {
  const std::string big = Path("big");
  const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (int64_t(1) << 32) + 7), 0);  // sparse: costs no space
  close(fd);
  TWin32FindDataW data;
  ASSERT_EQ(FindDataFromPath(big, data), TFindResult::Found);
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, 7u);
}

// ---- clock and zones ----------------------------------------------------------------------

class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) oldTz_ = tz;
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void UseZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static TFileTime Utc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi) {
    TSystemTime st;
    st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi;
    TFileTime ft = 0;
    EXPECT_TRUE(SystemTimeToFileTime(st, ft));
    return ft;
  }

  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(TimeTest, FileTimesBreakDownInUtc) {
  const TSystemTime epoch = FileTimeToSystemTime(kFileTimeUnixEpoch);
  EXPECT_EQ(epoch.wYear, 1970);
  EXPECT_EQ(epoch.wMonth, 1);
  EXPECT_EQ(epoch.wDay, 1);
  EXPECT_EQ(epoch.wDayOfWeek, 4);  // Thursday
  const TSystemTime origin = FileTimeToSystemTime(0);
  EXPECT_EQ(origin.wYear, 1601);
  EXPECT_EQ(origin.wDayOfWeek, 1);  // Monday

  TSystemTime leap;
  leap.wYear = 2000, leap.wMonth = 2, leap.wDay = 29, leap.wHour = 12, leap.wMinute = 34;
  leap.wSecond = 56, leap.wMilliseconds = 789;
  TFileTime ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime(leap, ft));
  const TSystemTime back = FileTimeToSystemTime(ft);
  EXPECT_EQ(back.wYear, 2000);
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 29);
  EXPECT_EQ(back.wDayOfWeek, 2);  // Tuesday
  EXPECT_EQ(back.wHour, 12);
  EXPECT_EQ(back.wMinute, 34);
  EXPECT_EQ(back.wSecond, 56);
  EXPECT_EQ(back.wMilliseconds, 789);

  TSystemTime bad = leap;
  bad.wYear = 2001;  // no 29 February
  EXPECT_FALSE(SystemTimeToFileTime(bad, ft));
  EXPECT_EQ(FileTimeFromUnix(-20000000000LL, 0), 0u);  // before 1601
}

TEST_F(TimeTest, EachInstantGetsTheOffsetInForceAtThatInstant) {
  struct Case {
    const char* zone;
    TFileTime when;
    uint16_t localHour;
    int32_t offset;
  };
  const char* berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
  const char* newfoundland = "NST3:30NDT,M3.2.0,M11.1.0";
  const std::vector<Case> cases = {
      {"UTC0", Utc(2021, 1, 15, 12, 0), 12, 0},
      {berlin, Utc(2021, 1, 15, 12, 0), 13, 4},
      {berlin, Utc(2021, 7, 15, 12, 0), 14, 8},
      {newfoundland, Utc(2021, 1, 15, 12, 0), 8, -14},
      {newfoundland, Utc(2021, 7, 15, 12, 0), 9, -10},
  };
  for (const Case& c : cases) {
    UseZone(c.zone);
    const TLocalTime local = FileTimeToLocal(c.when);
    EXPECT_EQ(local.Time.wHour, c.localHour) << c.zone;
    EXPECT_EQ(local.Offset15, c.offset) << c.zone;
  }
  UseZone(berlin);
  int32_t now = 99;
  ASSERT_TRUE(CurrentTimeZoneOffset15(now));
  EXPECT_TRUE(now == 4 || now == 8);
}

TEST_F(TimeTest, OffsetsRoundTowardsMinusInfinity) {
  EXPECT_EQ(SecondsToOffset15(0), 0);
  EXPECT_EQ(SecondsToOffset15(899), 0);
  EXPECT_EQ(SecondsToOffset15(20700), 23);  // +05:45
  EXPECT_EQ(SecondsToOffset15(-1), -1);
  EXPECT_EQ(SecondsToOffset15(-900), -1);
  EXPECT_EQ(SecondsToOffset15(-901), -2);
}

}  // namespace
}  // namespace torvik
