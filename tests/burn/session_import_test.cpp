// Sessions appended with the last one imported first: after every session, independent readers
// that mount the last session see the files of all sessions with their bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "burn_test_support.h"
#include "burner/bvkSessionImport.h"
#include "layout/bvkISO9660Reader.h"
#include "udf/udf_reader.h"

namespace torvik {
namespace {

using test::RunDiscJob;
using test::VirtualBurner;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::vector<uint8_t>>;

class SessionImport : public ::testing::Test {
 protected:
  test::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();

  // One session: the last one imported (into `importTo`), then `files` added below `dest`.
  void BurnSession(VirtualBurner& vb, const std::string& name, const Files& files,
                   const std::string& dest = "\\", const std::string& importTo = "\\",
                   bool udf = false) {
    vb.Attach();
    TBrenvik& b = *vb.b;
    b.ClearAll();
    b.SetUDFBridge(udf);
    b.SetVolumeID(name);
    b.SetFinalizeDisc(false);
    const fs::path src = dir_ / name;
    for (const auto& [rel, bytes] : files) test::WriteFile(src / rel, bytes);
    const bool growing = GrowsInPlace(GetMedium(b.Device));
    if (growing ? GetVolumeSpaceSize(b.Device) != 0 : b.SessionsOnDisc() > 0) {
      if (importTo != "\\") {
        ASSERT_TRUE(b.CreateDir("\\", importTo.substr(1)));
      }
      ASSERT_NE(b.ImportSession(0, importTo), 0) << b.ImportError();
    }
    b.SetReplaceFile(true);
    if (dest != "\\") {
      ASSERT_TRUE(b.CreateDir("\\", dest.substr(1)));
    }
    ASSERT_TRUE(b.InsertDir(dest, src.string(), "*.*", true, false)) << b.CDFiles.LastInsertError;
    ASSERT_GT(b.Prepare(), 0u);
    ASSERT_TRUE(RunDiscJob(b)) << b.ErrorString();
  }

  // The disc as a reader that mounts the last session sees it, for readers that look only at
  // sector 16: the disc up to the session's end with that session's descriptors at 16..31.
  fs::path MountedLastSession(VirtualBurner& vb, uint32_t start, uint32_t end) {
    const fs::path out = dir_ / "mounted.iso";
    auto bytes = test::Sectors(vb.disc, 0, end);
    const auto descriptors = test::Sectors(vb.disc, start + 16, 16);
    std::copy(descriptors.begin(), descriptors.end(), bytes.begin() + 16 * 2048);
    test::WriteFile(out, bytes);
    return out;
  }

  void ExpectAllFiles(VirtualBurner& vb, const Files& expected, const std::string& when) {
    SCOPED_TRACE(when);
    const uint32_t start = test::LastSessionStart(vb.State());
    const uint32_t end = vb.b->CDFiles.FirstWritableSector + vb.b->CDFiles.TotalImageSize;
    const fs::path mounted = start == 0 ? vb.disc : MountedLastSession(vb, start, end);
    const Files fromXorriso = test::ExtractWithXorriso(vb.disc, start, dir_ / "x");
    const Files fromBsdtar = test::ExtractWithBsdtar(mounted, dir_ / "t");
    EXPECT_EQ(fromXorriso, expected) << "xorriso";
    EXPECT_EQ(fromBsdtar, expected) << "bsdtar";
    // isoinfo lists the Joliet tree of the session that starts at `start`.
    const std::string cmd = "isoinfo -J -f -T " + std::to_string(start) + " -i '" +
                            vb.disc.string() + "' 2>/dev/null";
    std::set<std::string> listed;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char line[4096];
      while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        listed.insert(s);
      }
      ::pclose(p);
    }
    for (const auto& [rel, bytes] : expected) EXPECT_TRUE(listed.count("/" + rel)) << rel;
  }
};

TEST_F(SessionImport, ThreeSessionsShowEveryFileOfEverySession) {
  for (const char* profile : {"cd-r", "dvd+r", "bd-r", "dvd+rw"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    Files all = test::MakeTree(dir_ / "expect1", 1);
    BurnSession(vb, "one", all);
    ExpectAllFiles(vb, all, "after session 1");

    // Session 2 adds a file and replaces one: the new contents win.
    const Files two = {{"two.bin", test::Pattern(70000, 2)},
                       {"readme.txt", test::Pattern(5000, 3)},
                       {"docs/added.txt", test::Pattern(10, 4)}};
    BurnSession(vb, "two", two);
    for (const auto& [rel, bytes] : two) all[rel] = bytes;
    ExpectAllFiles(vb, all, "after session 2");

    // Session 3: a deeper tree into a sub-folder.
    const Files three = {{"a/b/c/d/deep.bin", test::Pattern(4097, 5)},
                         {"a/top.txt", test::Pattern(3, 6)}};
    BurnSession(vb, "three", three, "\\new");
    for (const auto& [rel, bytes] : three) all["new/" + rel] = bytes;
    ExpectAllFiles(vb, all, "after session 3");
    EXPECT_EQ(vb.b->ReadVolumeLabelOfDisc(0), u"three");
    if (std::string(profile) != "dvd+rw") {
      EXPECT_EQ(vb.b->ReadVolumeLabelOfDisc(1), u"one");
    }
  }
}

TEST_F(SessionImport, EarlierSessionImportedIntoASubFolder) {
  VirtualBurner vb(dir_ / "cd", "cd-r");
  const Files one = test::MakeTree(dir_ / "expect1", 1);
  BurnSession(vb, "one", one);
  const Files two = {{"fresh.txt", test::Pattern(99, 9)}};
  BurnSession(vb, "two", two, "\\", "\\archive");
  Files all = two;
  for (const auto& [rel, bytes] : one) all["archive/" + rel] = bytes;
  ExpectAllFiles(vb, all, "archive");
}

// The new session writes the recording dates of carried-over entries byte for byte.
TEST_F(SessionImport, ImportedEntriesKeepTheirRecordedDates) {
  VirtualBurner vb(dir_ / "cd", "cd-r");
  BurnSession(vb, "one", test::MakeTree(dir_ / "expect1", 1));
  TISOTree before;
  int session = 0;
  std::string error;
  ASSERT_TRUE(ReadDiscSessionTree(vb.b->Device, 0, before, session, error)) << error;
  BurnSession(vb, "two", {{"x.txt", test::Pattern(1, 1)}});
  TISOTree after;
  ASSERT_TRUE(ReadDiscSessionTree(vb.b->Device, 0, after, session, error)) << error;
  EXPECT_EQ(session, 2);
  size_t compared = 0;
  for (const TISONode& a : before.Nodes)
    for (const TISONode& b : after.Nodes)
      if (a.Name == b.Name && !a.IsDir) {
        EXPECT_EQ(std::vector<uint8_t>(a.Recorded, a.Recorded + 7),
                  std::vector<uint8_t>(b.Recorded, b.Recorded + 7));
        if (a.Length != 0) {
          EXPECT_EQ(a.Extent, b.Extent) << "data stays where it is";
        }
        ++compared;
      }
  EXPECT_EQ(compared, 5u);
}

// On a growing disc the files of earlier sessions lie inside the bridge's partition: the UDF
// view of the grown volume shows them with their bytes too.
TEST_F(SessionImport, GrowingDiscWithUDFBridgeReachesImportedFiles) {
  VirtualBurner vb(dir_ / "rw", "dvd+rw");
  Files all = test::MakeTree(dir_ / "expect1", 1);
  BurnSession(vb, "one", all, "\\", "\\", true);
  const Files two = {{"readme.txt", test::Pattern(5000, 3)}, {"two.bin", test::Pattern(9, 2)}};
  BurnSession(vb, "two", two, "\\", "\\", true);
  for (const auto& [rel, bytes] : two) all[rel] = bytes;
  ExpectAllFiles(vb, all, "iso");
  const fs::path disc = vb.disc;
  udftest::UdfReader udf([&disc](uint64_t sector, uint8_t* out) {
    const auto bytes = test::Sectors(disc, uint32_t(sector), 1);
    std::copy(bytes.begin(), bytes.end(), out);
    return true;
  });
  ASSERT_TRUE(udf.Read());
  EXPECT_TRUE(udf.errors.empty()) << udf.errors.front();
  for (const auto& [rel, bytes] : all) {
    const auto it = udf.nodes.find(u"/" + std::u16string(rel.begin(), rel.end()));
    ASSERT_NE(it, udf.nodes.end()) << rel;
    EXPECT_EQ(udf.ReadFile(it->second, 0, bytes.size()), bytes) << rel;
  }
}

// With the UDF bridge, files of session 1 lie below the partition start (sector 257): the
// component refuses the burn instead of writing a bridge that points at wrong sectors.
TEST_F(SessionImport, UDFBridgeThatCannotReachImportsIsRefused) {
  VirtualBurner vb(dir_ / "cd", "cd-r");
  BurnSession(vb, "one", {{"small.txt", test::Pattern(100, 1)}});
  vb.Attach();
  TBrenvik& b = *vb.b;
  b.ClearAll();
  ASSERT_NE(b.ImportSession(0, "\\"), 0) << b.ImportError();
  b.SetUDFBridge(true);
  b.SetFinalizeDisc(false);
  ASSERT_GT(b.Prepare(), 0u);
  EXPECT_FALSE(b.Burn());
  EXPECT_EQ(b.ErrorNumber(), ERR_IMPORT_BELOW_UDF);
  EXPECT_EQ(b.SessionsOnDisc(), 1) << "nothing written";
}

TEST_F(SessionImport, BlankDiscOrMissingSessionImportsNothing) {
  VirtualBurner vb(dir_ / "cd", "cd-r");
  vb.b->ClearAll();
  EXPECT_EQ(vb.b->ImportSession(0, "\\"), 0);
  EXPECT_FALSE(vb.b->ImportError().empty());
  EXPECT_EQ(vb.b->ComponentStatus(), CS_IDLE);
  EXPECT_EQ(vb.b->FileCount(), 0u);
  EXPECT_EQ(vb.b->ReadVolumeLabelOfDisc(0), u"");
  BurnSession(vb, "one", {{"a.txt", test::Pattern(1, 1)}});
  vb.b->ClearAll();
  EXPECT_EQ(vb.b->ImportSession(5, "\\"), 0);
  EXPECT_EQ(vb.b->ImportSession(1, "\\nowhere"), 1) << "an unknown folder means the root";
  EXPECT_GE(vb.b->FindFile("\\", "a.txt"), 0);
}

}  // namespace
}  // namespace torvik
