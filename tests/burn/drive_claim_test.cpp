// A writing job holds its drive: other programs neither use it nor open its tray until the job
// has ended, however it ends.
#include <gtest/gtest.h>

#include <future>

#include "burn_test_support.h"
#include "common/run_command.h"
#include "emulator/VirtualState.h"

namespace torvik {
namespace {

using test::VirtualBurner;
using testing::Quote;
using testing::RunCli;
namespace fs = std::filesystem;

vdrive::PassThroughResult Tur(vdrive::VirtualDrive& v) {
  const uint8_t cdb[6] = {};
  return v.Execute(cdb, sizeof cdb, vdrive::DataDirection::None, nullptr, 0);
}

TEST(DriveClaim, OtherInstancesAreBusyAndTheHolderIgnoresOutsideChanges) {
  test::ScratchDir scratch;
  const std::string disc = (scratch.path() / "disc.img").string();
  std::string error;
  vdrive::CreateOptions o;
  auto holder = vdrive::VirtualDrive::Create(disc, "dvd+rw", o, &error);
  auto other = vdrive::VirtualDrive::Open(disc, &error);
  ASSERT_TRUE(holder && other) << error;

  ASSERT_TRUE(holder->Claim(&error)) << error;
  EXPECT_FALSE(other->Claim(&error));
  EXPECT_NE(error.find("busy"), std::string::npos) << error;
  EXPECT_EQ(Tur(*other).ScsiStatus, 8);
  const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  uint8_t id[36];
  EXPECT_EQ(other->Execute(inquiry, 6, vdrive::DataDirection::In, id, sizeof id).ScsiStatus, 0)
      << "who the drive is may still be asked";
  EXPECT_FALSE(other->Update([](vdrive::MediumState& m) { m.trayOpen = true; }, &error));

  // A state file replaced behind the holder's back does not roll its job back.
  vdrive::MediumState edited = holder->State();
  edited.trayOpen = true;
  ASSERT_TRUE(vdrive::SaveStateFile(holder->StatePath(), edited, &error)) << error;
  EXPECT_EQ(Tur(*holder).ScsiStatus, 0);

  holder->Release();
  EXPECT_EQ(Tur(*other).Sense[12], 0x3A) << "after the release the file counts again";
  ASSERT_TRUE(other->Claim(&error)) << error;
  holder.reset();
  other.reset();  // the end of the holding program lets go too
  auto third = vdrive::VirtualDrive::Open(disc, &error);
  ASSERT_TRUE(third && third->Claim(&error)) << error;
}

// A burn is held at its first WRITE while other programs try the drive; then it goes on, or is
// aborted, or fails. Each way the drive is free and its tray unlocked afterwards.
TEST(DriveClaim, SecondProgramsAreRefusedDuringABurnAndTheDriveIsFreeAfterIt) {
  enum class End { Completes, Aborted, WriteFails };
  for (End end : {End::Completes, End::Aborted, End::WriteFails}) {
    SCOPED_TRACE(int(end));
    test::ScratchDir scratch;
    VirtualBurner vb(scratch.path(), "dvd+rw");
    if (end == End::WriteFails) vb.Change([](vdrive::MediumState& m) { m.faults.writeErrorLba = 40; });
    const auto files = test::MakeTree(scratch.path() / "src", 7);
    ASSERT_TRUE(vb.b->InsertDir("\\", (scratch.path() / "src").string(), "*.*", true, false));
    ASSERT_GT(vb.b->Prepare(), 0u);

    std::promise<void> reached, go;
    std::shared_future<void> goSignal = go.get_future().share();
    bool first = true;
    std::vector<uint8_t> prevent;  // byte 4 of every PREVENT ALLOW MEDIUM REMOVAL
    vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
      if (srb.CDB[0] == op::PREVENT_ALLOW) prevent.push_back(srb.CDB[4]);
      if (srb.CDB[0] == op::WRITE_10 && first) {
        first = false;
        reached.set_value();
        goSignal.wait();
      }
      return forward(srb);
    };
    std::atomic<int> events = 0;
    vb.b->SetOnWriteDone([&](void*, uint8_t, bool) { ++events; });
    ASSERT_TRUE(vb.b->Burn()) << vb.b->ErrorString();
    reached.get_future().wait();

    const std::string drive = "--virtual-drive " + Quote(vb.disc.string()) + " ";
    auto r = RunCli(drive + "burn --device vd0 " + Quote((scratch.path() / "src").string()));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("busy"), std::string::npos) << r.out;
    for (const char* command : {"eject", "info"}) {
      r = RunCli(drive + command + " --device vd0");
      EXPECT_NE(r.status, 0) << command;
      EXPECT_NE(r.out.find("busy"), std::string::npos) << r.out;
    }
    r = RunCli("vdisc eject --force " + Quote(vb.disc.string()));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("busy"), std::string::npos) << r.out;
    // A second component in this program gets no further than the claim.
    TBrenvik second;
    second.AddVirtualDrive(vb.disc.string());
    ASSERT_TRUE(second.InitializeASPI(false, "", ""));
    ASSERT_TRUE(second.SelectDeviceByLetter("vd0"));
    test::MakeTree(scratch.path() / "src2", 8);
    ASSERT_TRUE(second.InsertDir("\\", (scratch.path() / "src2").string(), "*.*", true, false));
    second.Prepare();
    EXPECT_FALSE(second.Burn());
    EXPECT_EQ(second.LastOSError(), EBUSY);

    if (end == End::Aborted) vb.b->AbortOperation();
    go.set_value();
    vb.b->WaitForJob();
    EXPECT_EQ(events, 1);
    ASSERT_FALSE(prevent.empty());
    EXPECT_EQ(prevent.front(), 1) << "the tray is locked before the first write";
    EXPECT_EQ(prevent.back(), 0) << "and unlocked at the end";

    EXPECT_FALSE(vb.State().prevent);
    r = RunCli(drive + "eject --device vd0");
    EXPECT_EQ(r.status, 0) << r.out;
    if (end == End::Completes) {
      RunCli(drive + "load --device vd0");
      test::ExpectDiscReadsBack(vb, test::Holding(files));
    }
  }
}

}  // namespace
}  // namespace torvik
