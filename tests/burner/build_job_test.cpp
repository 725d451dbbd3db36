// Building image files through the component: what lands where in the image, the write-done
// event, and every way the job can fail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "burner/bvkCDBurner.h"
#include "burner_test_support.h"

namespace torvik {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

class BuildJob : public ::testing::Test {
 protected:
  void SetUp() override {
    b_.SetCompletionSink(&queue_);
    b_.SetOnWriteDone([this](void* sender, uint8_t deviceId, bool failed) {
      ++events_;
      failed_ = failed;
      EXPECT_EQ(sender, &b_);
      EXPECT_EQ(deviceId, 0);
      EXPECT_EQ(std::this_thread::get_id(), testThread_) << "must run where it is dispatched";
    });
  }

  fs::path Source(const std::string& rel, size_t size, uint32_t seed) {
    const fs::path p = dir_ / "src" / rel;
    test::WriteFile(p, test::Pattern(size, seed));
    return p;
  }

  // Prepares, builds, and waits for the one write-done event. Returns WriteFailed.
  bool Build(const fs::path& out) {
    b_.Prepare();
    EXPECT_TRUE(b_.BuildISOImage(out.string())) << b_.ErrorString();
    queue_.WaitAndDispatch();
    b_.WaitForJob();
    EXPECT_EQ(queue_.DispatchPending(), 0u) << "exactly one event per job";
    EXPECT_EQ(events_, 1);
    EXPECT_EQ(b_.ComponentStatus(), 0);
    return failed_;
  }

  // The bytes an entry occupies in the image.
  std::vector<uint8_t> EntryBytes(const std::vector<uint8_t>& image, int64_t id, size_t n) {
    const uint64_t at = uint64_t(b_.CDFiles.FirstDataSector) * 2048 + uint64_t(b_.FileAddress(id));
    EXPECT_LE(at + n, image.size());
    return std::vector<uint8_t>(image.begin() + long(at), image.begin() + long(at + n));
  }

  ScratchDir dir_;
  TBrenvik b_;
  TCompletionQueue queue_{b_};
  int events_ = 0;
  bool failed_ = false;
  std::thread::id testThread_ = std::this_thread::get_id();
};

TEST_F(BuildJob, EveryFileLandsAtItsAddressWithAZeroTailAndTheImageIsWholePackets) {
  const std::vector<size_t> sizes = {0, 1, 2047, 2048, 2049, 65536, 100000, 3 * 1048576 + 5};
  std::map<std::u16string, std::pair<size_t, uint32_t>> expected;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "f" + std::to_string(sizes[i]) + ".bin";
    Source("tree/" + std::string(i % 2 ? "a/" : "") + name, sizes[i], uint32_t(i + 1));
    expected[std::u16string(name.begin(), name.end())] = {sizes[i], uint32_t(i + 1)};
  }
  b_.SetCacheSize(2);  // smaller than the data: the ring wraps
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  const fs::path out = dir_ / "out.iso";
  ASSERT_FALSE(Build(out));

  const auto image = test::ReadFile(out);
  EXPECT_EQ(image.size(), uint64_t(b_.ImageSize()) * 2048);
  EXPECT_EQ(image.size() % 65536, 0u);
  EXPECT_EQ(b_.BlocksWritten(), b_.ImageSize());
  EXPECT_EQ(std::memcmp(image.data() + 16 * 2048, "\x01" "CD001", 6), 0);

  int checked = 0;
  for (uint32_t id = 0; id < b_.FileCount(); ++id) {
    auto it = expected.find(b_.FileName(id));
    if (it == expected.end()) continue;
    const auto [size, seed] = it->second;
    ++checked;
    if (size == 0) continue;
    const size_t padded = size_t(BytesToBlocks(size) * 2048);
    auto bytes = EntryBytes(image, id, padded);
    auto want = test::Pattern(size, seed);
    want.resize(padded, 0);
    EXPECT_EQ(bytes, want) << "file of " << size << " bytes";
  }
  EXPECT_EQ(checked, int(sizes.size()));
  EXPECT_EQ(b_.ErrorNumber(), 0u);
}

TEST_F(BuildJob, MemoryFilesAreAskedForTheirDataInPieces) {
  const size_t size = 150000;
  const auto content = test::Pattern(size, 99);
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  TWin32FindDataW fd;
  fd.cFileName = u"memory.bin";
  fd.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  fd.SetFileSize(size);
  pFileEntry e = b_.InsertMemoryFile(
      "\\", fd, [&](void*, pFileEntry, uint32_t pos, void* buf, uint32_t& n) {
        calls.push_back({pos, n});
        const uint32_t k = uint32_t(std::min<size_t>(n, size - pos));
        std::memcpy(buf, content.data() + pos, k);
        std::memset(static_cast<uint8_t*>(buf) + k, 0xEE, n - k);  // junk past the end
        n = k;
      });
  ASSERT_NE(e, nullptr);
  const fs::path out = dir_ / "mem.iso";
  ASSERT_FALSE(Build(out));

  const auto image = test::ReadFile(out);
  const int64_t id = b_.FindFile("\\", "memory.bin");
  ASSERT_GE(id, 0);
  auto want = content;
  want.resize(size_t(BytesToBlocks(size) * 2048), 0);  // the junk must not reach the image
  EXPECT_EQ(EntryBytes(image, id, want.size()), want);
  uint64_t covered = 0;
  for (auto [pos, n] : calls) {
    EXPECT_EQ(pos, covered);
    EXPECT_EQ(n % 2048, 0u);
    EXPECT_LE(n, 65536u);
    covered += n;
  }
  EXPECT_EQ(covered, BytesToBlocks(size) * 2048);
}

TEST_F(BuildJob, TheBootImageFollowsTheHeaderAtItsLocation) {
  const fs::path boot = Source("boot.img", 1474560, 5);
  Source("tree/x.txt", 10, 6);
  b_.SetBootImage(boot.string());
  ASSERT_EQ(b_.BootImage(), boot.string());
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  const fs::path out = dir_ / "boot.iso";
  ASSERT_FALSE(Build(out));
  const auto image = test::ReadFile(out);
  const uint64_t at = uint64_t(b_.CDFiles.BootImageLocation) * 2048;
  ASSERT_LE(at + 1474560, image.size());
  EXPECT_TRUE(std::equal(image.begin() + long(at), image.begin() + long(at + 1474560),
                         test::Pattern(1474560, 5).begin()));
}

TEST_F(BuildJob, ASecondImageFromTheSamePreparationHasTheSameData) {
  Source("tree/a.bin", 70000, 1);
  Source("tree/b.bin", 3, 2);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  ASSERT_FALSE(Build(dir_ / "one.iso"));
  events_ = 0;
  ASSERT_TRUE(b_.BuildISOImage((dir_ / "two.iso").string()));
  queue_.WaitAndDispatch();
  b_.WaitForJob();
  EXPECT_FALSE(failed_);
  const auto one = test::ReadFile(dir_ / "one.iso");
  const auto two = test::ReadFile(dir_ / "two.iso");
  ASSERT_EQ(one.size(), two.size());
  const size_t data = size_t(b_.CDFiles.FirstDataSector) * 2048;
  EXPECT_TRUE(std::equal(one.begin() + long(data), one.end(), two.begin() + long(data)));
}

TEST_F(BuildJob, WithoutASinkTheHandlerRunsOnTheWorkerWithTheThreadAsSender) {
  Source("tree/a.bin", 5000, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  b_.SetCompletionSink(nullptr);
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  std::thread::id where;
  void* sender = nullptr;
  b_.SetOnWriteDone([&](void* s, uint8_t, bool failed) {
    EXPECT_FALSE(failed);
    std::lock_guard lock(m);
    ++calls;
    where = std::this_thread::get_id();
    sender = s;
    cv.notify_all();
  });
  b_.Prepare();
  ASSERT_TRUE(b_.BuildISOImage((dir_ / "direct.iso").string()));
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return calls > 0; });
  EXPECT_NE(where, testThread_);
  EXPECT_NE(sender, nullptr);
  EXPECT_NE(sender, static_cast<void*>(&b_));
  lock.unlock();
  b_.WaitForJob();
  EXPECT_EQ(calls, 1);
}

// A handler that runs on the write thread and starts the next build from there: the component
// cannot join that thread from itself, and must neither deadlock nor leak it.
TEST_F(BuildJob, AHandlerOnTheWorkerMayStartTheNextJob) {
  Source("tree/a.bin", 5000, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  b_.SetCompletionSink(nullptr);
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  bool secondStarted = false;
  b_.SetOnWriteDone([&](void*, uint8_t, bool failed) {
    EXPECT_FALSE(failed);
    int n;
    {
      std::lock_guard lock(m);
      n = ++calls;
    }
    if (n == 1) {
      const bool started = b_.BuildISOImage((dir_ / "second.iso").string());
      std::lock_guard lock(m);
      secondStarted = started;
    }
    cv.notify_all();
  });
  b_.Prepare();
  ASSERT_TRUE(b_.BuildISOImage((dir_ / "first.iso").string()));
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return calls == 2; });
  EXPECT_TRUE(secondStarted);
  lock.unlock();
  b_.WaitForJob();
  EXPECT_EQ(fs::file_size(dir_ / "second.iso"), fs::file_size(dir_ / "first.iso"));
}

// ---- failures ------------------------------------------------------------------------------

TEST_F(BuildJob, WithoutPrepareTheJobIsRefusedWithoutAnEvent) {
  Source("tree/a.bin", 10, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  EXPECT_FALSE(b_.BuildISOImage((dir_ / "x.iso").string()));
  EXPECT_EQ(b_.ComponentStatus(), 0);
  EXPECT_EQ(b_.ErrorString(), "Data not prepared ");
  b_.WaitForJob();
  EXPECT_EQ(queue_.DispatchPending(), 0u);
}

TEST_F(BuildJob, AnOutputThatCannotBeCreatedIsRefusedWithErrorThree) {
  Source("tree/a.bin", 10, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  b_.Prepare();
  const std::string out = (dir_ / "no/such/folder/x.iso").string();
  EXPECT_FALSE(b_.BuildISOImage(out));
  EXPECT_EQ(b_.ComponentStatus(), 0);
  EXPECT_EQ(b_.ErrorString(), "Error creating file \\" + out + "\\.");
  b_.WaitForJob();
  EXPECT_EQ(queue_.DispatchPending(), 0u);
  EXPECT_EQ(events_, 0);
}

TEST_F(BuildJob, ASourceDeletedAfterItWasAddedFailsNamingIt) {
  Source("tree/keep.txt", 100, 1);
  const fs::path gone = Source("tree/gone.txt", 100, 2);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  fs::remove(gone);
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.ErrorStringW(), u"Error opening file \\'" + gone.u16string() + u"\\'");
}

TEST_F(BuildJob, ASourceThatShrankFailsNamingIt) {
  const fs::path f = Source("tree/shrinks.bin", 200000, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  fs::resize_file(f, 100000);
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.ErrorString(), "Error opening file \\" + f.string() + "\\.");
}

// The file shrinks while the job is under way: a memory file streamed before it truncates it.
TEST_F(BuildJob, ASourceThatShrinksDuringTheBuildFailsNamingIt) {
  const fs::path victim = dir_ / "src/victim.bin";
  test::WriteFile(victim, test::Pattern(300000, 3));
  TWin32FindDataW fd;
  fd.cFileName = u"first.bin";
  fd.SetFileSize(4096);
  ASSERT_NE(b_.InsertMemoryFile("\\", fd,
                                [&](void*, pFileEntry, uint32_t, void* buf, uint32_t& n) {
                                  std::memset(buf, 1, n);
                                  fs::resize_file(victim, 1000);
                                }),
            nullptr);
  ASSERT_NE(b_.InsertFile("\\", victim.string()), nullptr);
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.ErrorString(), "Error opening file \\" + victim.string() + "\\.");
}

TEST_F(BuildJob, AMemoryFileThatDeliversTooLittleFailsNamingIt) {
  TWin32FindDataW fd;
  fd.cFileName = u"short.bin";
  fd.SetFileSize(10000);
  ASSERT_NE(b_.InsertMemoryFile("\\", fd,
                                [](void*, pFileEntry, uint32_t, void*, uint32_t& n) { n /= 2; }),
            nullptr);
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.ErrorString(), "Error opening file \\short.bin\\.");
}

TEST_F(BuildJob, AFullDiskFailsTheJobInsteadOfReportingSuccess) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Source("tree/a.bin", 300000, 1);
  ASSERT_NE(b_.InsertDir("\\", (dir_ / "src/tree").string(), "*.*", true, false), nullptr);
  EXPECT_TRUE(Build("/dev/full"));
  EXPECT_EQ(b_.ErrorString(), "Error creating file \\/dev/full\\.");
}

// The abort comes while the producer is inside a memory file's callback; the job must end with
// error 4, one event, and no thread left behind.
TEST_F(BuildJob, AnAbortDuringTheBuildEndsItWithErrorFour) {
  std::mutex m;
  std::condition_variable cv;
  bool inCallback = false, released = false;
  TWin32FindDataW fd;
  fd.cFileName = u"slow.bin";
  fd.SetFileSize(8 * 1048576);
  ASSERT_NE(b_.InsertMemoryFile("\\", fd,
                                [&](void*, pFileEntry, uint32_t, void* buf, uint32_t& n) {
                                  std::memset(buf, 7, n);
                                  std::unique_lock lock(m);
                                  inCallback = true;
                                  cv.notify_all();
                                  cv.wait(lock, [&] { return released; });
                                }),
            nullptr);
  b_.Prepare();
  ASSERT_TRUE(b_.BuildISOImage((dir_ / "x.iso").string()));
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return inCallback; });
  }
  EXPECT_EQ(b_.ComponentStatus(), 1) << "a poll during the job must see it running";
  b_.AbortOperation();
  EXPECT_EQ(b_.ComponentStatus(), 7);
  {
    std::lock_guard lock(m);
    released = true;
  }
  cv.notify_all();
  queue_.WaitAndDispatch();
  b_.WaitForJob();
  EXPECT_TRUE(failed_);
  EXPECT_EQ(events_, 1);
  EXPECT_EQ(queue_.DispatchPending(), 0u);
  EXPECT_EQ(b_.ComponentStatus(), 0);
  EXPECT_EQ(b_.ErrorNumber(), 4u);
  EXPECT_EQ(b_.CDFiles.CacheMemory, nullptr);
}

// A failure that came from an OS call carries that call's errno, one that did not carries none,
// and the next job starts without the old reason.
TEST_F(BuildJob, AFailureCarriesTheErrnoOfTheCallThatFailed) {
  const fs::path gone = Source("gone.bin", 100, 1), shrinks = Source("shrinks.bin", 200000, 2);
  ASSERT_NE(b_.InsertFile("\\", gone.string()), nullptr);
  b_.Prepare();
  EXPECT_FALSE(b_.BuildISOImage((dir_ / "no/such/x.iso").string()));
  EXPECT_EQ(b_.LastOSError(), ENOENT);
  fs::remove(gone);
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.LastOSError(), ENOENT) << "the source's open";
  b_.ClearAll();
  ASSERT_NE(b_.InsertFile("\\", shrinks.string()), nullptr);
  fs::resize_file(shrinks, 1000);
  events_ = 0;
  EXPECT_TRUE(Build(dir_ / "x.iso"));
  EXPECT_EQ(b_.LastOSError(), 0) << "a short file is no OS failure";
}

TEST(BuildJobLifetime, DestroyingTheComponentDuringABuildAbortsAndJoins) {
  ScratchDir dir;
  auto b = std::make_unique<TBrenvik>();
  TWin32FindDataW fd;
  fd.cFileName = u"big.bin";
  fd.SetFileSize(64 * 1048576);
  b->SetCacheSize(2);
  ASSERT_NE(b->InsertMemoryFile("\\", fd,
                                [](void*, pFileEntry, uint32_t, void* buf, uint32_t& n) {
                                  std::memset(buf, 3, n);
                                }),
            nullptr);
  int events = 0;
  b->SetOnWriteDone([&](void*, uint8_t, bool failed) {
    ++events;
    EXPECT_TRUE(failed);
  });
  b->Prepare();
  ASSERT_TRUE(b->BuildISOImage((dir / "x.iso").string()));
  b.reset();  // must return: abort, join both threads, free the ring
  EXPECT_LE(events, 1);
}

}  // namespace
}  // namespace torvik
