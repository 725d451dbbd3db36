// Erasing rewritable discs and verifying burned ones through the component: the commands each
// medium gets, what the disc holds afterwards, the one done event, and the faults on the way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "burn_test_support.h"
#include "burner/bvkMD5.h"
#include "platform/bvkText.h"

namespace torvik {
namespace {

using test::VirtualBurner;
namespace fs = std::filesystem;

// The commands a job sends, one word each: "A1/11" (BLANK with its byte 1), "04/26" (FORMAT
// UNIT with the format type it asks for), "2A" (WRITE), "35", "5B/3"; polls and queries left out.
std::string Word(const TSRB_ExecSCSICmd& srb) {
  char w[16];
  const uint8_t op = srb.CDB[0];
  if (op == 0xA1) std::snprintf(w, sizeof w, "A1/%02X", srb.CDB[1]);
  else if (op == 0x04 && srb.SRB_BufPointer && srb.SRB_BufLen >= 12)
    std::snprintf(w, sizeof w, "04/%02X", srb.SRB_BufPointer[8] >> 2);
  else if (op == 0x2A || op == 0x35) std::snprintf(w, sizeof w, "%02X", op);
  else if (op == 0x5B) std::snprintf(w, sizeof w, "5B/%u", srb.CDB[2] & 7u);
  else return {};
  return w;
}

class DiscJobs : public ::testing::Test {
 protected:
  test::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();

  // Runs a job through the component and waits for its end. Returns the failure flag of the
  // one erase event, or of the final verify event; `perFile` collects the per-file events.
  bool Run(TBrenvik& b, const std::function<bool()>& start,
           std::vector<std::pair<int32_t, bool>>* perFile = nullptr) {
    TCompletionQueue queue(b);
    b.SetCompletionSink(&queue);
    int finals = 0;
    bool failed = false;
    b.SetOnEraseDone([&](void*, uint8_t, bool f) {
      ++finals;
      failed = f;
    });
    b.SetOnVerifyDone([&](void*, uint8_t, int32_t id, bool f) {
      if (id >= 0) {
        if (perFile) perFile->emplace_back(id, f);
        return;
      }
      ++finals;
      failed = f;
    });
    EXPECT_TRUE(start()) << b.ErrorString();
    while (finals == 0) queue.WaitAndDispatch();
    b.WaitForJob();
    EXPECT_EQ(queue.DispatchPending(), 0u) << "nothing after the final event";
    EXPECT_EQ(finals, 1);
    EXPECT_EQ(b.ComponentStatus(), CS_IDLE);
    b.SetCompletionSink(nullptr);
    return failed;
  }

  // Burns the prepared layout through the component, as verification expects it.
  static bool BurnLayout(TBrenvik& b) {
    bool burnFailed = true;
    b.SetOnWriteDone([&](void*, uint8_t, bool f) { burnFailed = f; });
    if (!b.Burn()) return false;
    b.WaitForJob();
    b.SetOnWriteDone(nullptr);
    return !burnFailed;
  }

  std::map<std::string, std::vector<uint8_t>> Burn(VirtualBurner& vb, const fs::path& src,
                                                   uint32_t seed) {
    auto files = test::MakeTree(src, seed);
    vb.b->ClearAll();
    EXPECT_TRUE(vb.b->InsertDir("\\", src.string(), "*.*", true, false));
    EXPECT_GT(vb.b->Prepare(), 0u);
    EXPECT_TRUE(test::RunDiscJob(*vb.b)) << vb.b->ErrorString();
    return files;
  }
};

// ---- erase -----------------------------------------------------------------------------------

struct EraseCase {
  const char* profile;
  bool quick;
  const char* commands;  // the commands after the speed and write parameters
  bool blankAfter;       // a sequential disc blank again; otherwise formatted, its start zeros
};

std::string Repeat(const char* word, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += std::string(s.empty() ? "" : " ") + word;
  return s;
}

TEST_F(DiscJobs, EraseEveryRewritableMedium) {
  const std::string w16 = Repeat("2A", 16);
  const EraseCase cases[] = {
      {"cd-rw", true, "A1/11", true},
      {"cd-rw", false, "A1/10", true},
      {"dvd-rw-seq", true, "A1/11", true},
      {"dvd-rw-seq", false, "A1/10", true},
      {"dvd+rw", true, "04/26 WWW 35 5B/3", false},
      {"dvd+rw", false, "04/26 WWWW 35", false},
      {"dvd-ram", true, "WWW 35", false},
      {"dvd-ram", false, "04/00", false},
      // A full BD-RE erase is the quick one; its standard list is refused by a disc of another
      // size, and the drive's own descriptor for type 30h is sent instead.
      {"bd-re", true, "04/30 04/30 WWW 35 5B/3", false},
      {"bd-re", false, "04/30 04/30 WWW 35 5B/3", false},
  };
  for (const EraseCase& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + (c.quick ? " quick" : " full"));
    VirtualBurner vb(dir_ / (std::string(c.profile) + (c.quick ? "-q" : "-f")), c.profile);
    Burn(vb, dir_ / "src", 3);
    vb.Attach();
    std::string sent;
    std::vector<uint16_t> statuses;
    vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
      const std::string w = Word(srb);
      if (!w.empty()) sent += (sent.empty() ? "" : " ") + w;
      if (statuses.empty() || statuses.back() != vb.b->ComponentStatus())
        statuses.push_back(vb.b->ComponentStatus());
      return forward(srb);
    };
    EXPECT_FALSE(Run(*vb.b, [&] { return vb.b->EraseDisc(c.quick); })) << vb.b->ErrorString();
    // Runs of writes are shown as W (16), WW (128), WWW (16 after a format), WWWW (2048).
    std::string expected = c.commands;
    const std::string profile = c.profile;
    auto expand = [&](const std::string& key, int n) {
      const auto at = expected.find(key);
      if (at != std::string::npos && (at + key.size() == expected.size() || expected[at + key.size()] == ' '))
        expected.replace(at, key.size(), Repeat("2A", n));
    };
    expand("WWWW", 2048);
    expand("WWW", profile == "dvd-ram" ? 128 : 16);
    EXPECT_EQ(sent, expected);
    const bool overwritePhase = profile == "dvd+rw" && !c.quick;
    const std::vector<uint16_t> expectedStatuses =
        overwritePhase ? std::vector<uint16_t>{CS_ERASING, CS_ERASE_OVERWRITE}
                       : std::vector<uint16_t>{CS_ERASING};
    EXPECT_EQ(statuses, expectedStatuses);

    const vdrive::MediumState m = vb.State();
    if (c.blankAfter) {
      EXPECT_EQ(vdrive::view::DiscStatus(m), 0);
    } else {
      EXPECT_TRUE(m.formatted);
      const auto start = test::Sectors(vb.disc, 0, 64);
      EXPECT_TRUE(std::all_of(start.begin(), start.end(), [](uint8_t b) { return b == 0; }));
      EXPECT_TRUE(test::ExtractWithXorriso(vb.disc, 0, vb.dir / "out").empty());
    }
    // The disc takes a new burn afterwards.
    vb.Attach();
    const auto again = Burn(vb, dir_ / "again", 4);
    EXPECT_EQ(test::ExtractWithXorriso(vb.disc, test::LastSessionStart(vb.State()), vb.dir / "again-out"),
              again);
  }
}

TEST_F(DiscJobs, EraseFailuresReportOnceAndLeaveTheDriveFree) {
  enum class Fault { RefuseBlank, RefuseFormat, WriteError, StuckNotReady, Abort };
  const struct {
    const char* profile;
    bool quick;
    Fault fault;
    uint32_t error;  // the error number the job reports
  } cases[] = {
      {"cd-rw", true, Fault::RefuseBlank, 0x2400},
      {"dvd-ram", false, Fault::RefuseFormat, 0x2600},
      {"dvd-ram", true, Fault::WriteError, 0x0C00},
      {"dvd+rw", true, Fault::WriteError, 0x0C00},
      {"dvd-rw-seq", false, Fault::StuckNotReady, 0x0400},
      {"cd-rw", false, Fault::Abort, ERR_ABORTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + " fault " + std::to_string(int(c.fault)));
    VirtualBurner vb(dir_ / (std::string(c.profile) + std::to_string(int(c.fault))), c.profile);
    std::string sent;
    vb.Change([&](vdrive::MediumState& m) {
      if (c.fault == Fault::WriteError) m.faults.writeErrorLba = 40;
      if (c.fault == Fault::StuckNotReady || c.fault == Fault::Abort) m.config.longOpPolls = 1000000;
    });
    vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) -> uint8_t {
      const std::string w = Word(srb);
      if (!w.empty()) sent += (sent.empty() ? "" : " ") + w;
      const uint8_t op = srb.CDB[0];
      if ((c.fault == Fault::RefuseBlank && op == 0xA1) ||
          (c.fault == Fault::RefuseFormat && op == 0x04)) {
        srb.SenseArea.fill(0);
        srb.SenseArea[0] = 0x70;
        srb.SenseArea[2] = 5;
        srb.SenseArea[7] = 10;
        srb.SenseArea[12] = op == 0xA1 ? 0x24 : 0x26;
        srb.SRB_TargStat = 2;
        return SS_ERR;
      }
      if (c.fault == Fault::Abort && op == 0x51 && sent.find("A1") != std::string::npos)
        vb.b->AbortOperation();
      return forward(srb);
    };
    EXPECT_TRUE(Run(*vb.b, [&] { return vb.b->EraseDisc(c.quick); }));
    EXPECT_EQ(vb.b->ErrorNumber(), c.error);
    // A failed overwrite still ends with the flush (and close) that leave the drive usable.
    if (c.fault == Fault::WriteError) {
      EXPECT_NE(sent.find("2A 35"), std::string::npos) << sent;
    }
    // The drive is free again for other programs.
    EXPECT_FALSE(vb.b->Device.Claimed);
    std::string error;
    auto other = vdrive::VirtualDrive::Open(vb.disc.string(), &error);
    ASSERT_TRUE(other) << error;
    EXPECT_FALSE(other->HeldElsewhere());
  }
}

// ---- verify ----------------------------------------------------------------------------------

TEST_F(DiscJobs, VerifyFindsExactlyTheFilesThatDiffer) {
  enum class Damage { None, DiscSector, ChangedSource, MissingSource, ReadError, Abort, Stop };
  const fs::path src = dir_ / "src";
  for (Damage damage : {Damage::None, Damage::DiscSector, Damage::ChangedSource,
                        Damage::MissingSource, Damage::ReadError, Damage::Abort, Damage::Stop}) {
    SCOPED_TRACE(int(damage));
    VirtualBurner vb(dir_ / ("disc" + std::to_string(int(damage))), "bd-re");
    fs::remove_all(src);
    test::MakeTree(src, 5);
    test::WriteFile(src / "sizes/64k.bin", test::Pattern(65536, 6));
    test::WriteFile(src / "sizes/100000.bin", test::Pattern(100000, 7));
    TBrenvik& b = *vb.b;
    b.ClearAll();
    ASSERT_TRUE(b.InsertDir("\\", src.string(), "*.*", true, false));
    ASSERT_GT(b.Prepare(), 0u);
    ASSERT_TRUE(BurnLayout(b));

    const int64_t target = b.FindFile("\\music\\", "track01.raw");
    ASSERT_GE(target, 0);
    const std::string targetSource = Utf16ToUtf8(b.SourcePath(target));
    switch (damage) {
      case Damage::DiscSector: {
        std::fstream f(vb.disc, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(b.FileAddress(target) + int64_t(b.CDFiles.FirstDataSector) * 2048) +
                70000);
        f.put('\x55');
        break;
      }
      case Damage::ChangedSource: test::WriteFile(targetSource, test::Pattern(65536 * 3 + 17, 99)); break;
      case Damage::MissingSource: fs::remove(targetSource); break;
      case Damage::ReadError:
        vb.Change([&](vdrive::MediumState& m) {
          m.faults.readErrorLba = uint32_t(b.FileAddress(target) / 2048) + b.CDFiles.FirstDataSector + 40;
        });
        break;
      case Damage::Abort:
        b.Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
          if (srb.CDB[0] == 0x28 && b.VerifyProgress() > 100) b.AbortOperation();
          return forward(srb);
        };
        break;
      default: break;
    }
    std::vector<std::pair<int32_t, bool>> events;
    const bool stop = damage == Damage::Stop;
    if (stop) test::WriteFile(targetSource, {1, 2, 3});
    const bool failed =
        Run(b, [&] { return b.VerifyDisc(stop, true); }, &events);
    EXPECT_EQ(failed, damage != Damage::None);

    // One event per file in layout order, the damaged file the only one failed (an abort or a
    // stop at the mismatch leaves the rest unchecked).
    int32_t last = -1;
    size_t checkedFiles = 0;
    for (const auto& [id, f] : events) {
      EXPECT_GT(id, last);
      last = id;
      ++checkedFiles;
      const bool shouldFail = id == target && damage != Damage::None && damage != Damage::Abort;
      if (damage != Damage::Abort) {
        EXPECT_EQ(f, shouldFail) << Utf16ToUtf8(b.SourcePath(id));
      }
    }
    if (damage == Damage::None) {
      EXPECT_EQ(checkedFiles, 7u);
      EXPECT_EQ(b.VerifyProgress(), b.VerifySize());
    }
    if (damage == Damage::Abort || damage == Damage::Stop) {
      EXPECT_LT(checkedFiles, 7u);
    }
    if (damage == Damage::Abort) {
      EXPECT_EQ(b.ErrorNumber(), ERR_ABORTED);
    }
    b.Device.Setup.Tap = nullptr;
  }
}

TEST_F(DiscJobs, VerifyCountsAFileOf3GiBIn64Bits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "hashes 6 GiB; the sanitizer builds check the smaller files above";
#endif
  VirtualBurner vb(dir_ / "big", "bd-re");
  TBrenvik& b = *vb.b;
  const fs::path file = dir_ / "src" / "zeros.bin";
  test::WriteFile(file, std::vector<uint8_t>(4096, 0));
  b.ClearAll();
  ASSERT_TRUE(b.InsertDir("\\", (dir_ / "src").string(), "*.*", true, false));
  ASSERT_GT(b.Prepare(), 0u);
  ASSERT_TRUE(BurnLayout(b));
  // The file grows to 3 GiB of zeros (sparse); past its burned data the formatted disc reads
  // as zeros too, so both digests cover 3 GiB of zeros, counted past 32 bits.
  constexpr int64_t k3GiB = int64_t(3) << 30;
  fs::resize_file(file, uint64_t(k3GiB));
  const int64_t id = b.FindFile("\\", "zeros.bin");
  ASSERT_GE(id, 0);
  b.CDFiles.Files[size_t(id)]->FileSize = k3GiB;
  std::vector<std::pair<int32_t, bool>> events;
  EXPECT_FALSE(Run(b, [&] { return b.VerifyDisc(false, true); }, &events));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].second);
  EXPECT_EQ(b.VerifySize(), uint32_t(k3GiB / 2048));
  EXPECT_EQ(b.VerifyProgress(), b.VerifySize());
}

TEST_F(DiscJobs, VerifyNeedsTheLayoutJustBurned) {
  VirtualBurner vb(dir_ / "d", "dvd+rw");
  TBrenvik& b = *vb.b;
  EXPECT_FALSE(b.VerifyDisc(false, true));
  EXPECT_EQ(b.ErrorNumber(), ERR_NOT_WRITTEN);
  Burn(vb, dir_ / "src", 1);  // a disc job without the component's write thread
  EXPECT_FALSE(b.VerifyDisc(false, true)) << "never burned through Burn";
  b.Prepare();
  EXPECT_FALSE(b.VerifyDisc(false, true));
}

}  // namespace
}  // namespace torvik
