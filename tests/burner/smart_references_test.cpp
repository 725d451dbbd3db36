// Duplicate detection: which files become references, what that saves, what is left out, and
// what Prepare and verification make of the references.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscJobs.h"
#include "burner_test_support.h"
#include "platform/bvkText.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;

struct TFileCase {
  const char* name;
  size_t size;
  uint32_t seed;
  const char* expectTarget;  // the file whose data it shares, or nullptr
};

// Equal sizes with equal and with different bytes, 1-byte files, a group too large to be held
// in memory (compared from the files), and empty files, which never take part.
const TFileCase kFiles[] = {
    {"a1", 5000, 1, nullptr},      {"a2", 5000, 1, "a1"},       {"d", 5000, 2, nullptr},
    {"a3", 5000, 1, "a1"},         {"e1", 1, 3, nullptr},       {"e2", 1, 3, "e1"},
    {"e3", 1, 3, "e1"},            {"u", 7000, 4, nullptr},     {"big1", 2621441, 5, nullptr},
    {"big2", 2621441, 5, "big1"},  {"z1", 0, 6, nullptr},       {"z2", 0, 6, nullptr},
    {"x1", 70000, 7, nullptr},     {"x2", 70000, 7, nullptr},  // x2 unreadable during the search
};

class SmartReferences : public ::testing::Test {
 protected:
  void SetUp() override {
    b_.SetCompletionSink(&q_);
    b_.SetOnGenerateSmartReferencesDone([this](void*, bool failed, int32_t canSave) {
      events_.push_back({failed, canSave});
    });
    for (const TFileCase& f : kFiles) {
      test::WriteFile(dir_ / f.name, test::Pattern(f.size, f.seed));
      entries_[f.name] = b_.InsertFile("\\", (dir_ / f.name).string());
      ASSERT_NE(entries_[f.name], nullptr) << f.name;
    }
  }

  // Runs a search to its done event.
  void Search() {
    events_.clear();
    ASSERT_TRUE(b_.GenerateSmartReferences());
    q_.WaitAndDispatch();
    b_.WaitForJob();
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(b_.ComponentStatus(), CS_IDLE);
    EXPECT_EQ(b_.SmartReferencesProgress(), b_.SmartReferencesSize());
  }

  // A folder where x2 was: opening it works, reading it does not.
  void MakeUnreadable(const char* name) {
    fs::rename(dir_ / name, dir_ / (std::string(name) + ".away"));
    fs::create_directory(dir_ / name);
  }
  void MakeReadable(const char* name) {
    fs::remove(dir_ / name);
    fs::rename(dir_ / (std::string(name) + ".away"), dir_ / name);
  }

  test::ScratchDir dir_;
  TBrenvik b_;
  TCompletionQueue q_{b_};
  std::map<std::string, pFileEntry> entries_;
  std::vector<std::pair<bool, int32_t>> events_;
};

TEST_F(SmartReferences, EqualContentsShareOneCopyAndPrepareGivesDuplicatesNoSectors) {
  // A memory file with a1's bytes is no candidate: it has no source to compare.
  TWin32FindDataW fd;
  fd.cFileName = u"memory.bin";
  fd.SetFileSize(5000);
  const auto bytes = test::Pattern(5000, 1);
  pFileEntry memory = b_.InsertMemoryFile("\\", fd, [&](void*, pFileEntry, uint32_t pos, void* buf, uint32_t& n) {
    std::memcpy(buf, bytes.data() + pos, n);
  });
  ASSERT_NE(memory, nullptr);
  const uint32_t before = b_.Prepare();

  uint64_t candidates = 0, saved = 0;
  for (const TFileCase& f : kFiles) {
    candidates += BytesToBlocks(f.size);
    if (f.expectTarget) saved += BytesToBlocks(f.size) * 2048;
  }
  MakeUnreadable("x2");
  Search();
  MakeReadable("x2");

  EXPECT_EQ(events_[0], std::make_pair(false, int32_t(saved)));
  EXPECT_EQ(b_.SmartReferencesSaved(), saved);
  EXPECT_EQ(b_.SmartReferencesSize(), candidates);
  EXPECT_EQ(b_.SmartReferencesSkipped(), std::vector<std::u16string>{Utf8ToUtf16((dir_ / "x2").string())});
  EXPECT_EQ(memory->ReferenceEntry, nullptr);
  for (const TFileCase& f : kFiles) {
    const pFileEntry want = f.expectTarget ? entries_[f.expectTarget] : nullptr;
    EXPECT_EQ(entries_[f.name]->ReferenceEntry, want) << f.name;
    if (want) {
      EXPECT_EQ(want->ReferenceEntry, nullptr) << f.name << ": a chained reference";
    }
  }

  // The data shrinks by exactly the duplicates' sectors; each duplicate lies where its data is,
  // and verification reads the file that holds the data, not its duplicates.
  EXPECT_FALSE(b_.CDFiles.Prepared);
  const uint32_t after = b_.Prepare();
  EXPECT_EQ(before - after, saved / 2048);
  for (const TFileCase& f : kFiles) {
    const TFileEntry& e = *entries_[f.name];
    if (f.expectTarget) {
      EXPECT_EQ(e.Address, entries_[f.expectTarget]->Address) << f.name;
    }
    EXPECT_EQ(TVerifyDiscThread::Checks(e), f.expectTarget == nullptr) << f.name;
  }
}

TEST_F(SmartReferences, ASecondSearchReadsNothingHashedAndNeverChains) {
  Search();
  const size_t linked = size_t(std::count_if(b_.CDFiles.Files.begin(), b_.CDFiles.Files.end(),
                                             [](const auto& e) { return e->ReferenceEntry != nullptr; }));
  // With the sources gone a second search could read nothing; it needs nothing either.
  for (const char* name : {"a1", "d", "e1", "big1", "x1", "x2"}) fs::remove(dir_ / name);
  Search();
  EXPECT_EQ(events_[0], std::make_pair(false, 0));
  EXPECT_TRUE(b_.SmartReferencesSkipped().empty());

  // A later copy of a1 (restored) joins a1's references instead of taking them over.
  test::WriteFile(dir_ / "a1", test::Pattern(5000, 1));
  test::WriteFile(dir_ / "a4", test::Pattern(5000, 1));
  pFileEntry a4 = b_.InsertFile("\\", (dir_ / "a4").string());
  Search();
  EXPECT_EQ(events_[0], std::make_pair(false, int32_t(3 * 2048)));
  EXPECT_EQ(a4->ReferenceEntry, entries_["a1"]);
  EXPECT_EQ(entries_["a1"]->ReferenceEntry, nullptr);
  EXPECT_EQ(entries_["a2"]->ReferenceEntry, entries_["a1"]);
  EXPECT_EQ(linked, 6u);  // a2, a3, e2, e3, big2 and x2
}

TEST_F(SmartReferences, EqualDigestsOfDifferentBytesAreNotLinked) {
  // Digests kept from an earlier search of files that have changed since, or a collision: the
  // bytes decide.
  for (const char* name : {"a1", "d"}) entries_[name]->Hash = std::string(32, '7');
  Search();
  EXPECT_EQ(entries_["d"]->ReferenceEntry, nullptr);
  EXPECT_EQ(entries_["a1"]->ReferenceEntry, nullptr);
  EXPECT_EQ(entries_["a3"]->ReferenceEntry, entries_["a2"]);  // a1's digest is not a2's
}

TEST_F(SmartReferences, AnAbortEndsTheJobWithAFailedEvent) {
  // e1 is the first file any search reads; as a pipe it holds the search until the abort has
  // been requested.
  fs::remove(dir_ / "e1");
  ASSERT_EQ(::mkfifo((dir_ / "e1").c_str(), 0600), 0);
  events_.clear();
  ASSERT_TRUE(b_.GenerateSmartReferences());
  b_.AbortOperation();
  std::ofstream(dir_ / "e1", std::ios::binary) << 'x';
  q_.WaitAndDispatch();
  b_.WaitForJob();
  EXPECT_EQ(events_, (std::vector<std::pair<bool, int32_t>>{{true, 0}}));
  EXPECT_EQ(b_.ErrorNumber(), ERR_ABORTED);
  EXPECT_EQ(b_.ComponentStatus(), CS_IDLE);
  for (const auto& e : b_.CDFiles.Files) EXPECT_EQ(e->ReferenceEntry, nullptr);
}

}  // namespace
}  // namespace torvik
