// Writing layouts and image files to virtual discs: what lands on the disc (checked with
// xorriso), sessions, growing overwritable media, and the drive faults a burn must survive.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "burn_test_support.h"
#include "udf/udf_reader.h"

namespace torvik {
namespace {

using test::RunDiscJob;
using test::VirtualBurner;
namespace fs = std::filesystem;

class DiscBurn : public ::testing::Test {
 protected:
  test::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();

  std::map<std::string, std::vector<uint8_t>> Layout(TBrenvik& b, const std::string& name,
                                                      uint32_t seed) {
    auto files = test::MakeTree(dir_ / name, seed);
    b.ClearAll();
    b.SetVolumeID(name);
    EXPECT_TRUE(b.InsertDir("\\", (dir_ / name).string(), "*.*", true, false));
    EXPECT_GT(b.Prepare(), 0u);
    return files;
  }

  // Burns the tree `name`; returns the session start.
  uint32_t BurnTree(VirtualBurner& vb, const std::string& name, uint32_t seed, bool ok = true) {
    Layout(*vb.b, name, seed);
    EXPECT_EQ(RunDiscJob(*vb.b), ok) << vb.b->ErrorString();
    return vb.b->CDFiles.FirstWritableSector;
  }

  test::Tree Expected(const std::string& name, uint32_t seed) {
    return test::MakeTree(dir_ / ("expect-" + name), seed);
  }

  // The disc through the reader pass: the tree `name` in the session readers find last, and
  // the `earlier` sessions (start, tree name, seed) still where they start.
  void ExpectDisc(VirtualBurner& vb, const std::string& name, uint32_t seed, bool udf = false,
                  const std::vector<std::tuple<uint32_t, std::string, uint32_t>>& earlier = {}) {
    test::DiscContents want = test::Holding(Expected(name, seed), udf);
    for (const auto& [at, older, olderSeed] : earlier)
      want.earlier.push_back({at, Expected(older, olderSeed)});
    test::ExpectDiscReadsBack(vb, want, "readback-" + name);
  }
};

// The disc as the drive reports it: sessions holding data, finalized or not, and whether the
// last session is still open (an unfinished burn).
struct DiscState {
  uint16_t sessions;
  uint8_t status;        // 0 blank, 1 appendable, 2 finalized
  uint8_t lastSession;   // 0 empty, 1 incomplete, 3 complete
  bool operator==(const DiscState&) const = default;
};
std::ostream& operator<<(std::ostream& o, const DiscState& s) {
  return o << s.sessions << " sessions, status " << int(s.status) << ", last session "
           << int(s.lastSession);
}
DiscState StateOf(const vdrive::MediumState& m) {
  return {vdrive::view::CompleteSessions(m), vdrive::view::DiscStatus(m),
          vdrive::view::LastSessionState(m)};
}

// ---- every writable medium -------------------------------------------------------------------

struct MediumCase {
  const char* profile;
  TMedium medium;
  bool appendable;  // a second burn adds a session
};

const MediumCase kMedia[] = {
    {"cd-r", mtCDR, true},          {"cd-rw", mtCDRW, true},       {"dvd-r", mtDVDR, false},
    {"dvd+r", mtDVDPLUSR, true},    {"dvd+r-dl", mtDVDPLUSRDL, true},
    {"dvd+rw", mtDVDPLUSRW, true},  {"dvd-ram", mtDVDRAM, true},   {"bd-r", mtBDRSR, true},
    {"bd-re", mtBDRE, true},        {"dvd-rw-seq", mtDVDRWSR, false},
    {"dvd-rw-ro", mtDVDRWRO, true},
};

TEST_F(DiscBurn, EveryMediumReadsBackByteForByte) {
  for (const MediumCase& c : kMedia) {
    SCOPED_TRACE(c.profile);
    VirtualBurner vb(dir_ / c.profile, c.profile);
    ASSERT_EQ(GetMedium(vb.b->Device), c.medium);
    const uint32_t start = BurnTree(vb, "first", 1);
    EXPECT_EQ(vb.b->BlocksWritten(), vb.b->CDFiles.TotalImageSize);
    EXPECT_EQ(test::LastSessionStart(vb.State()), start);
    ExpectDisc(vb, "first", 1);
  }
}

TEST_F(DiscBurn, UdfBridgeIsReadByUdfinfo) {
  for (const char* profile : {"dvd+r", "bd-re", "cd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    vb.b->SetUDFBridge(true);
    BurnTree(vb, "udf", 3);
    ExpectDisc(vb, "udf", 3, true);
    const std::string cmd = "udfinfo '" + vb.disc.string() + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
}

TEST_F(DiscBurn, GrowingWithUdfMovesTheAnchorToTheNewVolume) {
  for (const char* profile : {"dvd+rw", "bd-re", "dvd-ram", "dvd-rw-ro"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    vb.b->SetUDFBridge(true);
    BurnTree(vb, "one", 10);
    vb.Attach();
    vb.b->SetUDFBridge(true);
    const uint32_t second = BurnTree(vb, "two", 20);
    ASSERT_GT(second, 0u);
    // Both anchors a reader may start from name their own sector, and they are whole tags.
    const uint32_t last = second + vb.b->CDFiles.TotalImageSize - 1;
    for (uint32_t at : {256u, last}) {
      const auto anchor = test::Sectors(vb.disc, at, 1);
      EXPECT_EQ(udftest::CheckTag(anchor.data(), 2, at), "");
    }
    ExpectDisc(vb, "two", 20, true);
    const std::string out = (dir_ / profile / "udfinfo.txt").string();
    const std::string cmd = "udfinfo '" + vb.disc.string() + "' >'" + out + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    const auto text = test::ReadFile(out);
    const std::string info(text.begin(), text.end());
    EXPECT_NE(info.find("label=two"), std::string::npos) << info;
    // 7-Zip trusts the anchor at 256 alone.
    const fs::path x = dir_ / profile / "7z";
    const std::string sz = "7z x -y -tudf '-o" + x.string() + "' '" + vb.disc.string() +
                           "' >'" + x.string() + ".log' 2>&1";
    const int status = std::system(sz.c_str());
    const auto log = test::ReadFile(x.string() + ".log");
    EXPECT_EQ(status, 0) << std::string(log.begin(), log.end());
    const auto expected = test::MakeTree(dir_ / profile / "expect-7z", 20);
    for (const auto& [rel, bytes] : expected)
      EXPECT_TRUE(fs::exists(x / rel) && test::ReadFile(x / rel) == bytes) << rel;
  }
}

// ---- sessions --------------------------------------------------------------------------------

TEST_F(DiscBurn, SecondSessionFollowsTheFirst) {
  for (const char* profile : {"cd-r", "dvd+r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    const uint32_t first = BurnTree(vb, "one", 10);
    const auto firstBytes = test::Sectors(vb.disc, 0, vb.b->CDFiles.TotalImageSize);
    const uint32_t firstEnd = first + vb.b->CDFiles.TotalImageSize;
    vb.Attach();
    EXPECT_EQ(vb.b->SessionsOnDisc(), 1);
    const uint32_t second = BurnTree(vb, "two", 20);
    EXPECT_GT(second, firstEnd) << "the new session starts after the first one and its gap";
    EXPECT_EQ(vb.b->SessionsOnDisc(), 2);
    EXPECT_EQ(test::Sectors(vb.disc, 0, uint32_t(firstBytes.size() / 2048)), firstBytes);
    EXPECT_EQ(test::LastSessionStart(vb.State()), second);
    ExpectDisc(vb, "two", 20, false, {{first, "one", 10}});
  }
}

TEST_F(DiscBurn, GrowingOverwritableMediaDescribeBothVolumes) {
  for (const char* profile : {"dvd+rw", "bd-re", "dvd-ram", "dvd-rw-ro"}) {
  SCOPED_TRACE(profile);
  VirtualBurner vb(dir_ / profile, profile);
  BurnTree(vb, "one", 10);
  const uint32_t firstSize = vb.b->CDFiles.TotalImageSize;
  const auto firstData = test::Sectors(vb.disc, 32, firstSize - 32);
  vb.Attach();
  const uint32_t second = BurnTree(vb, "two", 20);
  EXPECT_EQ(second, firstSize);
  const uint32_t total = second + vb.b->CDFiles.TotalImageSize;
  const auto pvd = test::Sectors(vb.disc, 16, 1);
  ASSERT_EQ(pvd[0], 1);
  EXPECT_EQ(uint32_t(pvd[80] | pvd[81] << 8 | pvd[82] << 16 | uint32_t(pvd[83]) << 24), total);
  EXPECT_EQ(test::Sectors(vb.disc, 32, firstSize - 32), firstData) << "first volume untouched";
  ExpectDisc(vb, "two", 20);
  }
}

TEST_F(DiscBurn, TestWriteLeavesTheMediumUnchanged) {
  struct Case {
    const char* profile;
    bool simulates;  // otherwise the job is refused: the drive would burn for real
  };
  for (const Case& c : {Case{"cd-r", true}, Case{"cd-rw", true}, Case{"dvd-r", true},
                        Case{"dvd-rw-seq", true}, Case{"dvd+r", false}, Case{"bd-r", false},
                        Case{"dvd+rw", false}}) {
    SCOPED_TRACE(c.profile);
    VirtualBurner vb(dir_ / c.profile, c.profile);
    const auto before = vb.State();
    vb.b->SetTestWrite(true);
    BurnTree(vb, "sim", 5, c.simulates);
    EXPECT_EQ(vb.State().profile, before.profile);
    EXPECT_EQ(vb.State().formatted, before.formatted);
    EXPECT_EQ(vb.b->SessionsOnDisc(), 0);
    EXPECT_TRUE(!fs::exists(vb.disc) || test::ReadFile(vb.disc) ==
                                            std::vector<uint8_t>(fs::file_size(vb.disc), 0));
  }
}

TEST_F(DiscBurn, FinalizedDiscRefusesASecondBurn) {
  VirtualBurner vb(dir_, "dvd+r");
  vb.b->SetFinalizeDisc(true);
  BurnTree(vb, "one", 10);
  const auto before = test::ReadFile(vb.disc);
  vb.Attach();
  Layout(*vb.b, "two", 20);
  EXPECT_FALSE(RunDiscJob(*vb.b));
  EXPECT_EQ(test::ReadFile(vb.disc), before);
}

// ---- faults ----------------------------------------------------------------------------------

// Watches (and may answer) the commands the job sends.
struct Tap {
  std::vector<std::array<uint8_t, 16>> cdbs;
  std::function<bool(TSRB_ExecSCSICmd&)> fail;  // true: answered with the sense it set
  std::function<void(const TSRB_ExecSCSICmd&)> seen;

  TTransportTap Make() {
    return [this](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) -> uint8_t {
      cdbs.push_back(srb.CDB);
      if (seen) seen(srb);
      if (fail && fail(srb)) return SS_ERR;
      return forward(srb);
    };
  }
  size_t Count(uint8_t opcode) const {
    size_t n = 0;
    for (const auto& c : cdbs) n += c[0] == opcode;
    return n;
  }
  static void SetSense(TSRB_ExecSCSICmd& srb, uint8_t key, uint8_t asc, uint8_t ascq) {
    srb.SenseArea.fill(0);
    srb.SenseArea[0] = 0x70;
    srb.SenseArea[2] = key;
    srb.SenseArea[7] = 10;
    srb.SenseArea[12] = asc;
    srb.SenseArea[13] = ascq;
    srb.SRB_TargStat = 2;
  }
  // A `fail` that answers every `opcode` command with that sense.
  static std::function<bool(TSRB_ExecSCSICmd&)> Refuse(uint8_t opcode, uint8_t key, uint8_t asc,
                                                        uint8_t ascq) {
    return [=](TSRB_ExecSCSICmd& srb) {
      if (srb.CDB[0] != opcode) return false;
      SetSense(srb, key, asc, ascq);
      return true;
    };
  }
};

TEST_F(DiscBurn, WriteFailureClosesTrackAndSessionAndKeepsItsOwnError) {
  VirtualBurner vb(dir_, "dvd+r");
  vb.Change([](vdrive::MediumState& m) { m.faults.writeErrorLba = 200; });
  Tap tap;
  bool sawFailedStatus = false;
  tap.seen = [&](const TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::CLOSE_TRACK_SESSION)
      sawFailedStatus = sawFailedStatus || vb.b->ComponentStatus() == CS_WRITE_FAILED;
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "one", 10, false);
  EXPECT_TRUE(sawFailedStatus);
  EXPECT_GE(tap.Count(op::CLOSE_TRACK_SESSION), 2u);
  // 03/0C/00 (write error), not whatever the closing commands answered.
  EXPECT_EQ(vb.b->ErrorString(), "Hardware Error 3072.");
}

TEST_F(DiscBurn, BusyAndNotReadyWritesAreRetried) {
  for (const char* profile : {"dvd+r", "cd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    Tap tap;
    int writes = 0;
    tap.fail = [&](TSRB_ExecSCSICmd& srb) {
      if (srb.CDB[0] != op::WRITE_10) return false;
      ++writes;
      if (writes == 2 || writes == 3) {
        Tap::SetSense(srb, 2, 0x04, 0x08);  // long write in progress
        return true;
      }
      if (writes == 4) {
        srb.SenseArea.fill(0);
        srb.SRB_TargStat = STATUS_BUSY;
        return true;
      }
      return false;
    };
    vb.b->Device.Setup.Tap = tap.Make();
    const uint32_t start = BurnTree(vb, "one", 10);
    EXPECT_EQ(test::LastSessionStart(vb.State()), start);
    ExpectDisc(vb, "one", 10);
  }
}

TEST_F(DiscBurn, WriteThatNeverReachesTheDriveFailsAtOnceWithItsOSReason) {
  struct Case {
    const char* what;
    uint8_t hostStatus;  // 0: the ioctl itself failed with `error`
    uint32_t error;
    int expected;
  };
  const Case cases[] = {
      {"drive unplugged", 0, ENODEV, ENODEV},
      {"ioctl error", 0, EIO, EIO},
      {"host adapter lost the target", 0x01, 0x01, EIO},  // DID_NO_CONNECT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VirtualBurner vb(dir_ / c.what, "dvd+r");
    Tap tap;
    tap.fail = [&](TSRB_ExecSCSICmd& srb) {
      if (srb.CDB[0] != op::WRITE_10) return false;
      srb.SenseArea.fill(0);
      srb.SRB_TargStat = 0;
      srb.SRB_HaStat = c.hostStatus;
      vb.b->Device.LastWinError = c.error;
      return true;
    };
    vb.b->Device.Setup.Tap = tap.Make();
    BurnTree(vb, "one", 10, false);
    EXPECT_EQ(tap.Count(op::WRITE_10), 1u);
    EXPECT_EQ(vb.b->LastOSError(), c.expected);
    EXPECT_NE(vb.b->ErrorNumber(), 0u);
  }
}

TEST_F(DiscBurn, ClosingWaitsWhileTheDriveIsBusyClosing) {
  for (const char* profile : {"cd-r", "dvd-rw-seq", "bd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    vb.Change([](vdrive::MediumState& m) { m.config.closePolls = 10; });
    int notReady = 0;
    vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
      const uint8_t status = forward(srb);
      notReady += status != SS_COMP && srb.SenseArea[12] == 0x04;
      return status;
    };
    const uint32_t start = BurnTree(vb, "one", 10);
    EXPECT_GE(notReady, 10);
    EXPECT_EQ(vb.State().pendingPolls, 0u) << "the job waited for the close to end";
    EXPECT_EQ(test::LastSessionStart(vb.State()), start);
    ExpectDisc(vb, "one", 10);
  }
}

TEST_F(DiscBurn, UnformattedDvdPlusRwIsFormattedOnceAndRetried) {
  VirtualBurner vb(dir_, "dvd+rw");
  vb.Change([](vdrive::MediumState& m) { m.faults.incompatibleFormat = true; });
  BurnTree(vb, "one", 10);
  EXPECT_TRUE(vb.State().formatted);
  ExpectDisc(vb, "one", 10);
}

TEST_F(DiscBurn, IncompatibleFormatLaterInTheBurnIsAFailure) {
  VirtualBurner vb(dir_, "dvd+rw");
  Tap tap;
  int writes = 0;
  tap.fail = [&](TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] != op::WRITE_10 || ++writes != 3) return false;
    Tap::SetSense(srb, 5, 0x30, 0x05);
    return true;
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "one", 10, false);
  EXPECT_EQ(tap.Count(op::FORMAT_UNIT), 0u);
  EXPECT_EQ(vb.b->ErrorNumber(), 0x3005u);
}

TEST_F(DiscBurn, NoStartAddressMeansNoWrite) {
  VirtualBurner vb(dir_, "cd-r");
  Tap tap;
  tap.fail = Tap::Refuse(op::READ_TRACK_INFORMATION, 5, 0x20, 0x00);
  vb.b->Device.Setup.Tap = tap.Make();
  vb.b->CDFiles.FirstWritableSector = 12345;  // left from an earlier job
  Layout(*vb.b, "one", 10);
  EXPECT_FALSE(RunDiscJob(*vb.b));
  EXPECT_EQ(tap.Count(op::WRITE_10), 0u);
  EXPECT_EQ(vb.b->ErrorNumber(), 0x2000u);
}

TEST_F(DiscBurn, FailedCacheFlushFailsTheJob) {
  VirtualBurner vb(dir_, "dvd+r");
  Tap tap;
  bool writing = false;
  tap.fail = [&](TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::WRITE_10) writing = true;
    if (srb.CDB[0] != op::SYNCHRONIZE_CACHE || !writing) return false;
    Tap::SetSense(srb, 3, 0x0C, 0x09);  // write error, loss of streaming
    return true;
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "one", 10, false);
  EXPECT_EQ(vb.b->ErrorNumber(), 0x0C09u);
}

TEST_F(DiscBurn, DriveThatStaysNotReadyFailsWithoutHanging) {
  VirtualBurner vb(dir_, "cd-r");
  Tap tap;
  bool written = false;
  tap.fail = [&](TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::WRITE_10) written = true;
    const uint8_t o = srb.CDB[0];
    if (!written || o == op::WRITE_10) return false;
    if (o != op::READ_DISC_INFORMATION && o != op::TEST_UNIT_READY && o != op::SYNCHRONIZE_CACHE)
      return false;
    Tap::SetSense(srb, 2, 0x04, 0x01);
    return true;
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "one", 10, false);
  EXPECT_EQ(vb.b->ErrorNumber(), 0x0401u);
  EXPECT_LT(tap.Count(op::READ_DISC_INFORMATION), 400u) << "the waits are bounded";
}

TEST_F(DiscBurn, AbortMidwayStopsClosesAndReportsTheAbort) {
  VirtualBurner vb(dir_, "dvd+r");
  Tap tap;
  int writes = 0;
  tap.seen = [&](const TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::WRITE_10 && ++writes == 3) vb.b->AbortOperation();
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "one", 10, false);
  EXPECT_LT(vb.b->BlocksWritten(), vb.b->CDFiles.TotalImageSize);
  EXPECT_GE(tap.Count(op::CLOSE_TRACK_SESSION), 1u);
  EXPECT_EQ(vb.b->ErrorNumber(), ERR_ABORTED);
}

TEST_F(DiscBurn, GrowingAbortedHalfwayKeepsTheFirstVolume) {
  VirtualBurner vb(dir_, "dvd+rw");
  BurnTree(vb, "one", 10);
  const uint32_t firstSize = vb.b->CDFiles.TotalImageSize;
  const auto firstVolume = test::Sectors(vb.disc, 0, firstSize);
  vb.Attach();
  Tap tap;
  int writes = 0;
  tap.seen = [&](const TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::WRITE_10 && ++writes == 2) vb.b->AbortOperation();
  };
  vb.b->Device.Setup.Tap = tap.Make();
  BurnTree(vb, "two", 20, false);
  EXPECT_EQ(test::Sectors(vb.disc, 0, firstSize), firstVolume);
  ExpectDisc(vb, "one", 10);
}

// A disc that holds data but no volume that can be read is not blank: appending would write
// over it from sector 0.
TEST_F(DiscBurn, GrowingOverAVolumeThatCannotBeReadIsRefused) {
  struct Case {
    const char* what;
    std::function<void(VirtualBurner&)> spoil;
  };
  const std::vector<Case> cases = {
      {"read error at sector 16",  // on a disc whose other descriptors are gone as well
       [](VirtualBurner& vb) {
         std::fstream f(vb.disc, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(17 * 2048);
         f.write(std::string(15 * 2048, '\0').data(), 15 * 2048);
         f.close();
         vb.Change([](vdrive::MediumState& m) { m.faults.readErrorLba = 16; });
       }},
      {"a volume in another format",
       [](VirtualBurner& vb) {
         std::fstream f(vb.disc, std::ios::in | std::ios::out | std::ios::binary);
         const std::string other(32768, '\0');
         f.seekp(16 * 2048);
         f.write(other.data(), std::streamsize(other.size()));
         f.seekp(16 * 2048);
         f.write("\0BEA01\x01", 7);  // what a UDF-only disc holds there
       }},
  };
  for (const char* profile : {"dvd+rw", "bd-re", "dvd-ram", "dvd-rw-ro"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(profile) + ": " + c.what);
      VirtualBurner vb(dir_ / profile / c.what, profile);
      BurnTree(vb, "one", 10);
      c.spoil(vb);
      const auto before = test::Sectors(vb.disc, 0, 64);
      vb.Attach();
      Layout(*vb.b, "two", 20);
      EXPECT_FALSE(vb.b->Burn());
      EXPECT_EQ(vb.b->CDFiles.ErrorNumber, 0x3001u);
      EXPECT_EQ(vb.b->ComponentStatus(), 0);
      EXPECT_EQ(test::Sectors(vb.disc, 0, 64), before);
    }
  }
}

TEST_F(DiscBurn, VanishingSourceFileFailsTheJobNamingIt) {
  VirtualBurner vb(dir_, "dvd+r");
  Layout(*vb.b, "one", 10);
  fs::remove(dir_ / "one" / "music" / "track01.raw");
  EXPECT_FALSE(RunDiscJob(*vb.b));
  const std::string error = vb.b->ErrorString();
  EXPECT_NE(error.find("track01.raw"), std::string::npos) << error;
  EXPECT_EQ(vb.b->ComponentStatus(), CS_IDLE);
}

// ---- the disc a burn leaves, and the next burn -------------------------------------------------

// The program dies after `writes` WRITEs: nothing it would have sent later (the flush, the
// closes) reaches the drive, which keeps what it recorded with the track still open.
void KillAfterWrites(VirtualBurner& vb, int writes) {
  auto sent = std::make_shared<int>(0);
  vb.b->Device.Setup.Tap = [sent, writes](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
    if (*sent >= writes) {
      Tap::SetSense(srb, 2, 0x3A, 0x00);
      return uint8_t{SS_ERR};
    }
    *sent += srb.CDB[0] == op::WRITE_10;
    return forward(srb);
  };
}

TEST_F(DiscBurn, BurnAfterAnInterruptedOneGoesWhereReadersLook) {
  for (const char* profile : {"cd-r", "dvd-r", "dvd+r", "dvd+r-dl", "bd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    // What the drive recorded before the program died stays on the disc; the small tree would
    // otherwise never leave the drive's cache.
    vb.Change([](vdrive::MediumState& m) { m.config.cacheBlocks = 0; });
    KillAfterWrites(vb, 3);
    BurnTree(vb, "one", 10, false);
    vb.Attach();  // the next run of the program
    const auto killed = vb.State();
    ASSERT_EQ(StateOf(killed), (DiscState{0, 1, 1})) << "one open session, partly written";
    ASSERT_GT(killed.tracks[0].written, 0u);
    ASSERT_NE(killed.tracks[0].state, vdrive::TrackState::Complete);

    const uint32_t second = BurnTree(vb, "two", 20);
    const auto m = vb.State();
    EXPECT_EQ(StateOf(m), (DiscState{2, 1, 0})) << "the broken session closed, then the new one";
    EXPECT_EQ(test::LastSessionStart(m), second);
    ExpectDisc(vb, "two", 20);
  }
}

TEST_F(DiscBurn, AppendingToASequentialDiscClosesTheTrackItWrote) {
  for (const char* profile : {"dvd-rw-seq", "dvd-r", "cd-r"}) {
    SCOPED_TRACE(profile);
    VirtualBurner vb(dir_ / profile, profile);
    // A blank sequential DVD-RW is quick-formatted; a drive that refuses the format leaves it
    // sequential, and the first session is written incrementally.
    Tap tap;
    tap.fail = Tap::Refuse(op::FORMAT_UNIT, 5, 0x24, 0x00);
    vb.b->Device.Setup.Tap = tap.Make();
    const uint32_t first = BurnTree(vb, "one", 10);
    vb.Attach();
    ASSERT_EQ(StateOf(vb.State()), (DiscState{1, 1, 0}));
    ASSERT_EQ(vb.State().profile->name, std::string(profile));

    const uint32_t second = BurnTree(vb, "two", 20);
    EXPECT_EQ(StateOf(vb.State()), (DiscState{2, 1, 0}));
    EXPECT_GT(second, first);
    ExpectDisc(vb, "two", 20, false, {{first, "one", 10}});
  }
}

TEST_F(DiscBurn, DiscIsFinalizedUnlessMultisession) {
  for (const char* profile : {"cd-r", "dvd-r", "dvd+r", "dvd+r-dl", "bd-r"}) {
    for (const bool finalize : {false, true}) {
      SCOPED_TRACE(std::string(profile) + (finalize ? " finalized" : " multisession"));
      VirtualBurner vb(dir_ / profile / (finalize ? "final" : "open"), profile);
      vb.b->SetFinalizeDisc(finalize);
      BurnTree(vb, "one", 10);
      EXPECT_EQ(StateOf(vb.State()), finalize ? (DiscState{1, 2, 3}) : (DiscState{1, 1, 0}));
      ExpectDisc(vb, "one", 10);
    }
  }
}

TEST_F(DiscBurn, GrowingStartsOnTheMediumsWriteUnit) {
  // A volume that another program made, of a size that does not end on an ECC block (this
  // program's own layouts are whole packets). It reaches the disc as an image burn.
  test::MakeTree(dir_ / "one", 10);
  const fs::path iso = dir_ / "one.iso";
  uint32_t volume = 0;
  for (int pad = 0; volume == 0 || volume % 16 == 0; ++pad) {
    if (pad > 0) test::WriteFile(dir_ / "one" / ("pad" + std::to_string(pad)), test::Pattern(2048, 1));
    fs::remove(iso);
    const std::string cmd = "xorriso -outdev '" + iso.string() + "' -padding 0 -map '" +
                            (dir_ / "one").string() + "' / >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const auto pvd = test::Sectors(iso, 16, 1);
    volume = uint32_t(pvd[80] | pvd[81] << 8 | pvd[82] << 16 | uint32_t(pvd[83]) << 24);
  }
  struct Case {
    const char* profile;
    uint32_t unit;  // blocks a new session's start is rounded up to
  };
  for (const Case& c : {Case{"dvd-rw-ro", 16}, Case{"dvd+rw", 1}, Case{"dvd-ram", 1},
                        Case{"bd-re", 1}}) {
    SCOPED_TRACE(c.profile);
    VirtualBurner vb(dir_ / c.profile, c.profile);
    TCDFiles& cd = vb.b->CDFiles;
    cd.BurnISOImage = true;
    cd.ISOImage = ::open(iso.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(cd.ISOImage, 0);
    cd.ISOImageBytes = int64_t(fs::file_size(iso));
    cd.TotalImageSize = uint32_t(BytesToBlocks(fs::file_size(iso)));
    ASSERT_TRUE(RunDiscJob(*vb.b)) << vb.b->ErrorString();
    vb.Attach();
    const uint32_t second = BurnTree(vb, "two", 20);
    EXPECT_EQ(second, (volume + c.unit - 1) / c.unit * c.unit) << "after " << volume;
    EXPECT_EQ(StateOf(vb.State()), (DiscState{1, 2, 3}));
    ExpectDisc(vb, "two", 20);
  }
}

// ---- image files -----------------------------------------------------------------------------

TEST_F(DiscBurn, ImageOfUnevenLengthHasItsLastSectorPadded) {
  VirtualBurner vb(dir_, "dvd+r");
  const auto image = test::Pattern(100000, 7);
  test::WriteFile(dir_ / "in.iso", image);
  TCDFiles& cd = vb.b->CDFiles;
  cd.BurnISOImage = true;
  cd.ISOImage = ::open((dir_ / "in.iso").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(cd.ISOImage, 0);
  cd.ISOImageBytes = int64_t(image.size());
  cd.TotalImageSize = uint32_t(BytesToBlocks(image.size()));
  Tap tap;
  uint32_t sent = 0;
  tap.seen = [&](const TSRB_ExecSCSICmd& srb) {
    if (srb.CDB[0] == op::WRITE_10) sent += uint32_t(srb.CDB[7]) << 8 | srb.CDB[8];
  };
  vb.b->Device.Setup.Tap = tap.Make();
  ASSERT_TRUE(RunDiscJob(*vb.b)) << vb.b->ErrorString();
  EXPECT_EQ(vb.b->BlocksWritten(), 49u);
  EXPECT_EQ(sent, 49u);
  auto disc = test::Sectors(vb.disc, 0, 49);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), disc.begin()));
  EXPECT_TRUE(std::all_of(disc.begin() + long(image.size()), disc.end(),
                          [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace torvik
