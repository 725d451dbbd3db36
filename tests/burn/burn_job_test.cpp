// The component's disc jobs: Burn and BurnISOImage through their events, and torvik-cli's
// burn commands with the checks they make before a burn starts.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <future>
#include <thread>

#include "burn_test_support.h"
#include "common/run_command.h"

namespace torvik {
namespace {

using test::VirtualBurner;
namespace fs = std::filesystem;

class BurnJob : public ::testing::Test {
 protected:
  test::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();

  // Starts a job through the component and waits for its one event; returns WriteFailed.
  bool RunJob(TBrenvik& b, const std::function<bool()>& start) {
    TCompletionQueue queue(b);
    b.SetCompletionSink(&queue);
    int events = 0;
    bool failed = false;
    b.SetOnWriteDone([&](void* sender, uint8_t, bool f) {
      ++events;
      failed = f;
      EXPECT_EQ(sender, &b);
    });
    EXPECT_TRUE(start()) << b.ErrorString();
    EXPECT_NE(b.ComponentStatus(), CS_IDLE);
    queue.WaitAndDispatch();
    b.WaitForJob();
    EXPECT_EQ(queue.DispatchPending(), 0u) << "exactly one event per job";
    EXPECT_EQ(events, 1);
    EXPECT_EQ(b.ComponentStatus(), CS_IDLE);
    b.SetCompletionSink(nullptr);
    return failed;
  }

  void Layout(TBrenvik& b, const std::string& name, uint32_t seed) {
    test::MakeTree(dir_ / name, seed);
    b.ClearAll();
    ASSERT_TRUE(b.InsertDir("\\", (dir_ / name).string(), "*.*", true, false));
    ASSERT_GT(b.Prepare(), 0u);
  }

  // The disc through the reader pass, holding the tree `name` and nothing older.
  void ExpectTree(VirtualBurner& vb, const std::string& name, uint32_t seed) {
    const auto want = test::Holding(test::MakeTree(dir_ / ("expect-" + name), seed));
    test::ExpectDiscReadsBack(vb, want, "readback-" + name);
  }
};

TEST_F(BurnJob, BurnWritesTheLayoutAndReportsOnce) {
  for (const char* profile : {"dvd+r", "cd-r", "dvd+rw", "bd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    Layout(*vb.b, "one", 1);
    EXPECT_FALSE(RunJob(*vb.b, [&] { return vb.b->Burn(); }));
    ExpectTree(vb, "one", 1);
  }
}

TEST_F(BurnJob, AbortMidBurnEndsWithOneFailedEvent) {
  VirtualBurner vb(dir_, "dvd+r");
  Layout(*vb.b, "one", 1);
  int writes = 0;
  vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
    if (srb.CDB[0] == op::WRITE_10 && ++writes == 2) vb.b->AbortOperation();
    return forward(srb);
  };
  EXPECT_TRUE(RunJob(*vb.b, [&] { return vb.b->Burn(); }));
  EXPECT_EQ(vb.b->ErrorNumber(), ERR_ABORTED);
}

// The starter waits for the format of a DVD-RW before any thread runs. An abort from another
// thread during that wait ends the job at once, as a refusal (no event, status 0); the next
// job on the same component is not hit by that abort.
TEST_F(BurnJob, AbortDuringTheFormatWaitEndsTheStarter) {
  for (const char* profile : {"dvd-rw-seq", "dvd-rw-ro"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    vb.Change([](vdrive::MediumState& m) { m.config.longOpPolls = 1000000; });
    vb.b->Device.Setup.LongOperationLimitMs = 4u * 3600u * 1000u;
    Layout(*vb.b, "one", 1);
    bool formatting = false;
    int polls = 0, writes = 0;
    vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
      formatting = formatting || srb.CDB[0] == op::FORMAT_UNIT;
      writes += srb.CDB[0] == op::WRITE_10;
      const uint8_t status = forward(srb);
      if (formatting && srb.CDB[0] == op::READ_DISC_INFORMATION && ++polls == 2)
        std::thread([&] { vb.b->AbortOperation(); }).join();
      return status;
    };
    int events = 0;
    vb.b->SetOnWriteDone([&](void*, uint8_t, bool) { ++events; });
    EXPECT_FALSE(vb.b->Burn());
    EXPECT_EQ(vb.b->ComponentStatus(), CS_IDLE);
    vb.b->WaitForJob();
    EXPECT_EQ(events, 0);
    EXPECT_EQ(vb.b->ErrorNumber(), ERR_ABORTED);
    EXPECT_LT(polls, 1000) << "the wait ended at the abort";
    EXPECT_EQ(writes, 0);

    vb.b->Device.Setup.Tap = nullptr;
    vb.b->SetOnWriteDone(nullptr);
    vb.Change([](vdrive::MediumState& m) {
      m.config.longOpPolls = 3;
      m.pending = vdrive::PendingOp::None;
      m.pendingPolls = 0;
    });
    Layout(*vb.b, "two", 2);
    EXPECT_FALSE(RunJob(*vb.b, [&] { return vb.b->Burn(); }));
    ExpectTree(vb, "two", 2);
  }
}

TEST_F(BurnJob, WithoutASinkTheHandlerRunsOnTheWriteThread) {
  VirtualBurner vb(dir_, "dvd+r");
  Layout(*vb.b, "one", 1);
  std::promise<std::thread::id> where;
  vb.b->SetOnWriteDone([&](void*, uint8_t, bool) { where.set_value(std::this_thread::get_id()); });
  ASSERT_TRUE(vb.b->Burn());
  EXPECT_NE(where.get_future().get(), std::this_thread::get_id());
  vb.b->WaitForJob();
}

TEST_F(BurnJob, BurnImageRefusesAMissingFileWithoutAnEvent) {
  VirtualBurner vb(dir_, "dvd+r");
  int events = 0;
  vb.b->SetOnWriteDone([&](void*, uint8_t, bool) { ++events; });
  EXPECT_FALSE(vb.b->BurnISOImage((dir_ / "missing.iso").string()));
  EXPECT_EQ(vb.b->ErrorNumber(), ERR_OPEN_FILE);
  EXPECT_EQ(vb.b->ComponentStatus(), CS_IDLE);
  EXPECT_EQ(events, 0);
}

TEST_F(BurnJob, BuiltImageBurnedToADiscReadsBack) {
  VirtualBurner vb(dir_, "dvd+r");
  Layout(*vb.b, "one", 1);
  const fs::path iso = dir_ / "one.iso";
  EXPECT_FALSE(RunJob(*vb.b, [&] { return vb.b->BuildISOImage(iso.string()); }));
  EXPECT_FALSE(RunJob(*vb.b, [&] { return vb.b->BurnISOImageW(u"" + std::u16string(
                                                                    iso.u16string())); }));
  EXPECT_EQ(test::Sectors(vb.disc, 0, uint32_t(fs::file_size(iso) / 2048)), test::ReadFile(iso));
}

// ---- torvik-cli ------------------------------------------------------------------------------

using CliResult = torvik::testing::CommandResult;
CliResult Cli(const std::string& args) { return torvik::testing::RunCli(args); }

TEST_F(BurnJob, CliBurnsFinalizesAndThenRefuses) {
  test::MakeTree(dir_ / "one", 1);
  for (const char* profile : {"dvd+r", "dvd-r", "bd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    const std::string drive = "--virtual-drive '" + vb.disc.string() + "' ";
    auto r = Cli(drive + "burn -q --device vd0 '" + (dir_ / "one").string() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Writing done. Elapsed time: "), std::string::npos) << r.out;
    ExpectTree(vb, "one", 1);
    EXPECT_TRUE(vb.State().finalized);
    r = Cli(drive + "burn -q '" + (dir_ / "one").string() + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not writable"), std::string::npos) << r.out;

    // burn-image has no --multisession: its disc is finalized too.
    const fs::path iso = dir_ / profile / "one.iso";
    fs::copy_file(vb.disc, iso);
    VirtualBurner image(dir_ / profile / "image", profile);
    r = Cli("--virtual-drive '" + image.disc.string() + "' burn-image -q '" + iso.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    ExpectTree(image, "one", 1);
    EXPECT_TRUE(image.State().finalized);
  }
}

TEST_F(BurnJob, CliMultisessionAppendsAndRefusesWhatDoesNotFit) {
  VirtualBurner vb(dir_, "cd-r");
  test::MakeTree(dir_ / "one", 1);
  const std::string drive = "--virtual-drive '" + vb.disc.string() + "' ";
  auto r = Cli(drive + "burn -q --multisession '" + (dir_ / "one").string() + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  r = Cli(drive + "burn -q --multisession '" + (dir_ / "one").string() + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  vb.Attach();
  EXPECT_EQ(vb.b->SessionsOnDisc(), 2);

  VirtualBurner small(dir_ / "small", "dvd+r", 200);
  r = Cli("--virtual-drive '" + small.disc.string() + "' burn -q '" + (dir_ / "one").string() +
          "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Not enough of writable free disc space!"), std::string::npos) << r.out;
}

TEST_F(BurnJob, CliTestWriteSimulatesOrRefuses) {
  test::MakeTree(dir_ / "one", 1);
  VirtualBurner cd(dir_ / "cd", "cd-r");
  auto r = Cli("--virtual-drive '" + cd.disc.string() + "' burn -q --test-write '" +
               (dir_ / "one").string() + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  cd.Attach();
  EXPECT_EQ(cd.b->SessionsOnDisc(), 0);
  VirtualBurner dvd(dir_ / "dvd", "dvd+r");
  r = Cli("--virtual-drive '" + dvd.disc.string() + "' burn -q --test-write '" +
          (dir_ / "one").string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot be test-written"), std::string::npos) << r.out;
}

TEST_F(BurnJob, CliBurnImageReportsAWriteFailure) {
  VirtualBurner vb(dir_, "dvd+r");
  test::WriteFile(dir_ / "in.iso", test::Pattern(300000, 3));
  vb.Change([](vdrive::MediumState& m) { m.faults.writeErrorLba = 40; });
  const auto r = Cli("--virtual-drive '" + vb.disc.string() + "' burn-image -q '" +
                     (dir_ / "in.iso").string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Hardware Error 3072. (03/0C/00 write error)"), std::string::npos)
      << r.out;
}

// What the CLI refuses before anything is written, and why: an image (built for LBA 0) onto a
// disc that already holds a session, a drive that is busy or not ready (not "empty"), and a
// drive that reads the disc but cannot write it. The first session stays readable.
TEST_F(BurnJob, CliRefusesBeforeTheBurnStarts) {
  enum Setup { kSession, kBusy, kNotReady, kReader };
  struct Case {
    const char* profile;
    Setup setup;
    const char* expected;
  };
  const char* kSessionText =
      "The disc already holds 1 session(s); an ISO image can only be burned to a blank disc.";
  const Case cases[] = {
      {"cd-r", kSession, kSessionText},
      {"dvd-r", kSession, kSessionText},
      {"dvd+r", kSession, kSessionText},
      {"bd-r", kSession, kSessionText},
      {"dvd+r", kBusy, "Optical drive  (vd0) is busy."},
      {"dvd+r", kNotReady, "Optical drive  (vd0) is not ready (02/04/01 becoming ready)."},
      {"bd-r", kReader, "Optical drive  (vd0) cannot write this disc (mtBDRSR)"},
  };
  test::MakeTree(dir_ / "one", 1);
  const fs::path iso = dir_ / "one.iso";
  ASSERT_EQ(Cli("build-iso -q '" + iso.string() + "' '" + (dir_ / "one").string() + "'").status, 0);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + " " + c.expected);
    VirtualBurner vb(dir_ / std::to_string(n++), c.profile);
    const std::string drive = "--virtual-drive '" + vb.disc.string() + "' ";
    if (c.setup == kSession) {
      ASSERT_EQ(Cli(drive + "burn -q --multisession '" + (dir_ / "one").string() + "'").status, 0);
    }
    vb.Change([&](vdrive::MediumState& m) {
      if (c.setup == kBusy) m.faults.busy = 1000;
      if (c.setup == kNotReady) m.faults.notReady = 1000;
      if (c.setup == kReader) m.config.writer = false;
    });
    const auto r = Cli(drive + "burn-image -q '" + iso.string() + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Writing"), std::string::npos) << r.out;
    if (c.setup == kSession) ExpectTree(vb, "one", 1);
  }
}

// An image goes to LBA 0 of an overwritable disc and replaces the volume there, so the space
// that volume takes counts as free: here the image fits only the whole disc.
TEST_F(BurnJob, CliBurnsAnImageOverTheVolumeOfAnOverwritableDisc) {
  test::MakeTree(dir_ / "one", 1);
  test::MakeTree(dir_ / "two", 2);
  const fs::path iso = dir_ / "two.iso";
  ASSERT_EQ(Cli("build-iso -q '" + iso.string() + "' '" + (dir_ / "two").string() + "'").status, 0);
  const uint32_t imageBlocks = uint32_t(fs::file_size(iso) / 2048);
  for (const char* profile : {"dvd+rw", "dvd-ram", "bd-re", "dvd-rw-ro"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile, imageBlocks * 3 / 2);
    vb.Change([](vdrive::MediumState& m) { m.config.longOpPolls = 0; });
    const std::string drive = "--virtual-drive '" + vb.disc.string() + "' ";
    ASSERT_EQ(Cli(drive + "burn -q '" + (dir_ / "one").string() + "'").status, 0);
    vb.Attach();
    ASSERT_LT(vb.b->FreeBlocksOnDisc(), imageBlocks);
    const auto r = Cli(drive + "burn-image -q '" + iso.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    ExpectTree(vb, "two", 2);
  }
}

}  // namespace
}  // namespace torvik
