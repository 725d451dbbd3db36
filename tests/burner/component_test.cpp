// The component's own behaviour: defaults, option rules, error numbers and texts, getters with
// bad ids, abort while idle, and the completion dispatcher.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkConsts.h"
#include "burner_test_support.h"

namespace torvik {
namespace {

using test::ScratchDir;

TEST(Component, StartsWithTheDocumentedDefaults) {
  TBrenvik b;
  EXPECT_TRUE(b.BurnProof());
  EXPECT_FALSE(b.TestWrite());
  EXPECT_FALSE(b.FinalizeDisc());
  EXPECT_FALSE(b.ReplaceFile());
  EXPECT_EQ(b.CacheSize(), 32u);
  EXPECT_TRUE(b.JolietFileSystem());
  EXPECT_FALSE(b.ISO9660v1999FS());
  EXPECT_FALSE(b.UDFBridge());
  EXPECT_EQ(b.Version(), "PeloraBurner");
  EXPECT_EQ(b.BootImage(), "");
  EXPECT_EQ(b.ComponentStatus(), 0);
  EXPECT_EQ(b.FileCount(), 0u);
  EXPECT_EQ(b.DirCount(), 1u);  // the root
  EXPECT_EQ(b.CompletionSink(), nullptr);
}

TEST(Component, OptionsReachTheRecordsTheyBelongTo) {
  TBrenvik b;
  b.SetBurnProof(false);
  b.SetTestWrite(true);
  b.SetFinalizeDisc(true);
  b.SetReplaceFile(true);
  b.SetJolietFileSystem(false);
  b.SetISO9660v1999FS(true);
  b.SetUDFBridge(true);
  EXPECT_FALSE(b.Device.BurnProof);
  EXPECT_TRUE(b.Device.TestWrite);
  EXPECT_TRUE(b.Device.FinalizeDisc);
  EXPECT_TRUE(b.CDFiles.ReplaceFile);
  EXPECT_FALSE(b.CDFiles.JolietFS);
  EXPECT_TRUE(b.CDFiles.ISO9660v1999FS);
  EXPECT_TRUE(b.CDFiles.UDFBridge);
  b.SetVolumeID("TorvikDisc");
  EXPECT_EQ(b.VolumeID(), "TorvikDisc");
  EXPECT_EQ(b.VolumeIDW(), u"TorvikDisc");
}

// The ring holds at most 9999 packets, so the size is bounded on both sides; a huge value must
// not wrap around when it is turned into bytes.
TEST(Component, CacheSizeIsClampedToWhatTheRingHolds) {
  const std::vector<std::pair<uint32_t, uint32_t>> cases = {
      {0, 2}, {1, 2}, {2, 2}, {3, 3}, {64, 64}, {624, 624}, {625, 624}, {4096, 624},
      {0xFFFFFFFFu, 624}, {0x00001001u, 624}};
  for (auto [set, expected] : cases) {
    TBrenvik b;
    b.SetCacheSize(set);
    EXPECT_EQ(b.CacheSize(), expected) << "set " << set;
    EXPECT_EQ(b.CDFiles.CacheSize, expected << 20) << "set " << set;
  }
}

TEST(Component, BootImageAcceptsOnlyBootableSizesAndKeepsTheOldValueOtherwise) {
  ScratchDir dir;
  auto make = [&](const std::string& name, size_t size) {
    const auto p = dir / name;
    test::WriteFile(p, std::vector<uint8_t>(size, 0x42));
    return p.string();
  };
  const std::string floppy = make("floppy.img", 1474560);
  const std::string sector = make("sector.bin", 2048);
  const std::string wrong = make("wrong.bin", 4096);
  const std::string oneMore = make("onemore.img", 1474561);

  TBrenvik b;
  b.SetBootImage(floppy);
  EXPECT_EQ(b.BootImage(), floppy);
  EXPECT_EQ(b.CDFiles.BootImageSize, 1474560);

  for (const std::string& rejected :
       {wrong, oneMore, (dir / "missing.img").string(), dir.path().string(), std::string()}) {
    b.SetBootImage(rejected);
    EXPECT_EQ(b.BootImage(), floppy) << "after " << rejected;
    EXPECT_EQ(b.CDFiles.BootImage, floppy) << "the layout must keep it too";
  }

  b.SetBootImage(sector);
  EXPECT_EQ(b.BootImage(), sector);
  EXPECT_EQ(b.CDFiles.BootImageSize, 2048);
}

TEST(Component, ErrorTextsFollowTheTableBackslashesIncluded) {
  struct Case {
    uint32_t number;
    std::u16string file;
    std::string text;
    std::u16string textW;
  };
  const std::vector<Case> cases = {
      {0, u"", "Unknown/No Error!", u"Unknown/No Error!"},
      {1, u"", "Data not prepared ", u"Data not prepared."},
      {2, u"/src/a b.txt", "Error opening file \\/src/a b.txt\\.",
       u"Error opening file \\'/src/a b.txt\\'"},
      {2, u"", "Error opening file.", u"Error opening file."},
      {3, u"/out/x.iso", "Error creating file \\/out/x.iso\\.",
       u"Error creating file \\'/out/x.iso\\'"},
      {3, u"", "Error creating file.", u"Error creating file."},
      {4, u"/ignored", "Aborted by the user.", u"Aborted by the user."},
      {0x3002, u"", "Hardware Error 12290.", u"Hardware Error \\'12290"},
      {5, u"", "Hardware Error 5.", u"Hardware Error \\'5"},
      {ERR_NOT_WRITTEN, u"",
       "The disc does not hold the files of this layout: verify right after burning them.",
       u"The disc does not hold the files of this layout: verify right after burning them."},
  };
  for (const Case& c : cases) {
    TBrenvik b;
    b.CDFiles.ErrorNumber = c.number;
    b.CDFiles.ErrorFileName = c.file;
    EXPECT_EQ(b.ErrorString(), c.text) << c.number;
    b.CDFiles.ErrorNumber = c.number;
    EXPECT_EQ(b.ErrorStringW(), c.textW) << c.number;
  }
  EXPECT_EQ(ErrorText(2, "caf\xc3\xa9.txt"), "Error opening file \\caf\xc3\xa9.txt\\.");
}

TEST(Component, ReadingTheErrorNumberClearsItThenFallsBackToTheDrive) {
  TBrenvik b;
  b.CDFiles.ErrorNumber = 2;
  b.Device.DeviceError = 0x0C00;
  EXPECT_EQ(b.ErrorNumber(), 2u);
  EXPECT_EQ(b.ErrorNumber(), 0x0C00u);
  EXPECT_EQ(b.ErrorNumber(), 0u);
  // The text reads (and so clears) the number too.
  b.CDFiles.ErrorNumber = 4;
  EXPECT_EQ(b.ErrorString(), "Aborted by the user.");
  EXPECT_EQ(b.ErrorString(), "Unknown/No Error!");
}

TEST(Component, AbortWhileIdleDoesNotLeaveTheComponentLookingBusy) {
  TBrenvik b;
  b.AbortOperation();
  EXPECT_EQ(b.ComponentStatus(), 0) << "a caller waiting for status 0 would wait forever";
  EXPECT_TRUE(b.CDFiles.Aborted);
  EXPECT_EQ(b.ErrorNumber(), 4u);
}

TEST(Component, AbortWhileBusyShowsStatusSeven) {
  TBrenvik b;
  b.CDFiles.ComponentStatus = 1;
  b.AbortOperation();
  EXPECT_EQ(b.ComponentStatus(), 7);
}

class ComponentLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src/readme.txt", test::Pattern(5000, 1));
    test::WriteFile(dir_ / "src/sub/data.bin", test::Pattern(3000, 2));
  }
  ScratchDir dir_;
  TBrenvik b_;
};

TEST_F(ComponentLayout, GettersGiveEmptyOrMinusOneForBadIds) {
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src").string(), "*.*", true, false), nullptr);
  const int64_t n = b_.FileCount();
  ASSERT_EQ(n, 3);  // readme.txt, sub, sub/data.bin
  for (int64_t bad : {n, n + 1, int64_t(-1), int64_t(INT32_MAX) + 5}) {
    EXPECT_EQ(b_.FileName(bad), u"") << bad;
    EXPECT_EQ(b_.ShortFileName(bad), "") << bad;
    EXPECT_EQ(b_.SourcePath(bad), u"") << bad;
    EXPECT_EQ(b_.DestinationPath(bad), u"") << bad;
    EXPECT_EQ(b_.FileSize(bad), -1) << bad;
    EXPECT_EQ(b_.FileAddress(bad), -1) << bad;
    EXPECT_FALSE(b_.IsDirectory(bad)) << bad;
  }
  EXPECT_EQ(b_.DirName(b_.DirCount()), u"");
  EXPECT_EQ(b_.DirName(-1), u"");
}

TEST_F(ComponentLayout, GettersDescribeTheEntries) {
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src").string(), "*.*", true, false), nullptr);
  bool sawDir = false, sawReadme = false;
  for (uint32_t i = 0; i < b_.FileCount(); ++i) {
    if (b_.FileName(i) == u"sub") {
      sawDir = true;
      EXPECT_TRUE(b_.IsDirectory(i));
    }
    if (b_.FileName(i) == u"readme.txt") {
      sawReadme = true;
      EXPECT_FALSE(b_.IsDirectory(i));
      EXPECT_EQ(b_.FileSize(i), 5000);
      EXPECT_NE(b_.SourcePath(i).find(u"readme.txt"), std::u16string::npos);
      EXPECT_EQ(b_.DestinationPath(i), b_.SourcePath(i));
    }
  }
  EXPECT_TRUE(sawDir);
  EXPECT_TRUE(sawReadme);
  EXPECT_EQ(b_.DirName(1), u"sub");
  EXPECT_GE(b_.FindFile("\\", "readme.txt"), 0);
  EXPECT_EQ(b_.FindFile("\\", "nothing.txt"), -1);
}

TEST_F(ComponentLayout, FileAddressIsComputedIn64Bits) {
  pFileEntry e = b_.InsertFile("\\", (dir_ / "src/readme.txt").string());
  ASSERT_NE(e, nullptr);
  e->Address = 2500000;
  EXPECT_EQ(b_.FileAddress(0), int64_t(5120000000));
}

TEST_F(ComponentLayout, InsertionsReportEachFileToOnAddFile) {
  std::vector<std::u16string> seen;
  b_.SetOnAddFile([&](void*, const std::u16string& path, TWin32FindDataW&, bool&) {
    seen.push_back(path);
  });
  ASSERT_NE(b_.InsertFile("\\", (dir_ / "src/readme.txt").string()), nullptr);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/sub").string(), "*.*", true, false), nullptr);
  EXPECT_EQ(seen.size(), 2u);
}

TEST(CompletionDispatcher, TurnsEachMessageIntoItsEventWithTheComponentAsSender) {
  TBrenvik b;
  std::vector<std::string> calls;
  b.SetOnEraseDone([&](void* s, uint8_t id, bool failed) {
    EXPECT_EQ(s, &b);
    calls.push_back("erase " + std::to_string(id) + " " + std::to_string(failed));
  });
  b.SetOnWriteDone([&](void* s, uint8_t id, bool failed) {
    EXPECT_EQ(s, &b);
    calls.push_back("write " + std::to_string(id) + " " + std::to_string(failed));
  });
  b.SetOnVerifyDone([&](void* s, uint8_t id, int32_t file, bool failed) {
    EXPECT_EQ(s, &b);
    calls.push_back("verify " + std::to_string(id) + " " + std::to_string(file) + " " +
                    std::to_string(failed));
  });
  b.SetOnGenerateSmartReferencesDone([&](void* s, bool failed, int32_t canSave) {
    EXPECT_EQ(s, &b);
    calls.push_back("smartref " + std::to_string(failed) + " " + std::to_string(canSave));
  });
  b.DispatchCompletion(1125, 0, 1);
  b.DispatchCompletion(1125, 9, 0);
  b.DispatchCompletion(1126, 0, 0);
  b.DispatchCompletion(1126, 0, 7);
  b.DispatchCompletion(1127, 12, 1);
  b.DispatchCompletion(1127, uint64_t(-1), 0);
  b.DispatchCompletion(1128, 1, 123456);
  b.DispatchCompletion(1128, 0, 0);
  b.DispatchCompletion(1129, 0, 0);  // not a completion: ignored
  const std::vector<std::string> expected = {
      "erase 0 1",  "erase 0 0",         "write 0 0",          "write 0 1",
      "verify 0 12 1", "verify 0 -1 0",  "smartref 1 123456",  "smartref 0 0"};
  EXPECT_EQ(calls, expected);
}

TEST(CompletionDispatcher, MessagesWithoutAHandlerAreDropped) {
  TBrenvik b;
  b.DispatchCompletion(1126, 0, 1);  // nothing assigned: must not throw
  SUCCEED();
}

TEST(CompletionQueue, DeliversPostedMessagesInOrderOnTheDispatchingThread) {
  TBrenvik b;
  TCompletionQueue q(b);
  std::vector<int> order;
  b.SetOnVerifyDone([&](void*, uint8_t, int32_t file, bool) { order.push_back(file); });
  EXPECT_EQ(q.DispatchPending(), 0u);
  EXPECT_EQ(q.WaitAndDispatchFor(0), 0u);
  q.Post(1127, 1, 0);
  q.Post(1127, 2, 0);
  q.Post(1127, 3, 0);
  EXPECT_EQ(q.WaitAndDispatch(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace torvik
