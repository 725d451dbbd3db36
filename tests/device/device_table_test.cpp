// The device table, selection, ExecSCSICommand's bookkeeping and the device log.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fake_drive.h"

namespace torvik::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(DeviceTable, EnumeratesOpticalDrivesAddressedFirst) {
  FakeSysfs fs("enum");
  fs.Add("sr2", 5, "");                  // cannot tell its address
  fs.Add("sr0", 5, "3:0:2:1");           // address from the device link
  fs.Add("sr1", 4, "4:0:0:0");           // not optical
  fs.Add("sr10", 5, "1:0:0:0", false);   // address only under scsi_device/
  fs.Add("sda", 0, "0:0:0:0");
  FakeDrive drive;
  TSCSIDevice d;
  d.Setup.SysfsRoot = fs.root;
  d.Setup.DevRoot = fs.dev;
  d.Setup.Tap = drive.Tap();
  d.Setup.Clock = [] { return std::chrono::system_clock::time_point(std::chrono::milliseconds(61005)); };
  const std::string log = fs.root + "/../device.log";
  ASSERT_TRUE(InitializeDevices(d, false, "", log));
  ASSERT_EQ(d.NoOfDevices, 3);
  EXPECT_EQ(d.Devices[0].DriveLetter, "sr0");
  EXPECT_EQ(d.Devices[1].DriveLetter, "sr10");
  EXPECT_EQ(d.Devices[2].DriveLetter, "sr2");
  EXPECT_EQ(GetDeviceName(d, 0), "3:2:1,sr0: TORVIK   Fake Writer      1.00 ");
  EXPECT_EQ(GetDeviceName(d, 1), "1:0:0,sr10: TORVIK   Fake Writer      1.00 ");
  // Numbered above the highest real host adapter, target and LUN 0.
  EXPECT_EQ(GetDeviceName(d, 2), "4:0:0,sr2: TORVIK   Fake Writer      1.00 ");
  EXPECT_EQ(d.Devices[2].HaID, 4);
  EXPECT_EQ(GetDeviceName(d, 3), "");
  EXPECT_TRUE(d.ASPIInitialized);
  EXPECT_TRUE(d.UsingSPTI);
  // After enumeration the last visited drive is current and commands reach it.
  EXPECT_EQ(d.DriveLetter, "sr10");
  EXPECT_EQ(d.HaID, 0);
  drive.log.clear();
  EXPECT_TRUE(TestUnitReady(d));
  EXPECT_EQ(drive.log.size(), 1u);
  CloseDevice(d);
  EXPECT_EQ(ReadFile(log),
            "PeloraBurner\r\n"
            "sr0: 5 - ( 3:2:1,sr0: TORVIK   Fake Writer      1.00 )\r\n"
            "sr1: ( 4)\r\n"
            "sr2: 5 - ( 0:0:0,sr2: TORVIK   Fake Writer      1.00 )\r\n"
            "sr10: 5 - ( 1:0:0,sr10: TORVIK   Fake Writer      1.00 )\r\n"
            "01:01:005 TEST UNIT READY        (00) {40:06} - 0:0:0 <01> [00000] "
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 00:00, 0\r\n");
}

TEST(DeviceTable, InquiryFieldsAreSanitisedAndEmptyForOtherTypes) {
  FakeSysfs fs("inq");
  fs.Add("sr0", 5, "0:0:0:0");
  fs.Add("sr1", 5, "0:0:1:0");
  FakeDrive drive;
  drive.vendor = std::string("AB\x01\x1f" "CDEF", 8);
  int n = 0;
  drive.overrides[op::INQUIRY] = [&](const Sent& s) {
    Reply r = drive.Model(s);
    if (n++ == 1) r.data[0] = 0x25;  // qualifier set: not a usable drive
    return r;
  };
  TSCSIDevice d;
  d.Setup.SysfsRoot = fs.root;
  d.Setup.DevRoot = fs.dev;
  d.Setup.Tap = drive.Tap();
  ASSERT_TRUE(InitializeDevices(d, false, "", ""));
  EXPECT_EQ(GetDeviceName(d, 0), "0:0:0,sr0: AB  CDEF Fake Writer      1.00 ");
  EXPECT_EQ(GetDeviceName(d, 1), "0:1:0,sr1:    ");
}

TEST(DeviceTable, NoDriveOrNoPassThroughMeansNoTransport) {
  FakeSysfs fs("none");
  fs.Add("sr0", 5, "0:0:0:0");
  TSCSIDevice d;
  d.Setup.SysfsRoot = fs.root + "/missing";
  EXPECT_FALSE(InitializeDevices(d, false, "", ""));
  EXPECT_EQ(d.NoOfDevices, 0);
  EXPECT_FALSE(d.ASPIInitialized);
  // Asking for ASPI on Linux: there is none.
  d.Setup.SysfsRoot = fs.root;
  EXPECT_FALSE(InitializeDevices(d, true, "", ""));
  EXPECT_EQ(d.NoOfDevices, 0);
}

TEST(DeviceTable, UnopenableNodeIsSkippedAndLogged) {
  FakeSysfs fs("unopenable");
  fs.Add("sr0", 5, "0:0:0:0");
  std::filesystem::remove(fs.dev + "/sr0");
  TSCSIDevice d;
  d.Setup.SysfsRoot = fs.root;
  d.Setup.DevRoot = fs.dev;
  const std::string log = fs.root + "/../device.log";
  EXPECT_FALSE(InitializeDevices(d, false, "", log));
  CloseDevice(d);
  EXPECT_EQ(ReadFile(log), "PeloraBurner\r\nSystem Error Code: 2\r\nSystem Error Code: 2\r\n");
}

TEST(DeviceTable, InitialisationKeepsBurnOptionsOnly) {
  FakeRig rig("keep");
  rig.d.BurnProof = false;
  rig.d.FinalizeDisc = true;
  rig.d.TestWrite = true;
  rig.d.CloseFH = true;
  rig.d.DeviceError = 0x2400;
  ASSERT_TRUE(InitializeDevices(rig.d, false, "", ""));
  EXPECT_FALSE(rig.d.BurnProof);
  EXPECT_TRUE(rig.d.FinalizeDisc);
  EXPECT_FALSE(rig.d.TestWrite);
  EXPECT_FALSE(rig.d.CloseFH);
  EXPECT_EQ(rig.d.DeviceError, 0u);
  EXPECT_EQ(rig.d.cn.size(), 256u);
  EXPECT_EQ(rig.d.cn[0x2A], "WRITE (10)            ");
  EXPECT_EQ(rig.d.cn[0x02], "");
  for (const std::string& name : rig.d.cn) EXPECT_TRUE(name.empty() || name.size() == 22) << name;
  EXPECT_EQ(rig.d.tmpBuffer.size(), 65536u);
}

TEST(DeviceTable, SelectingBeyondTheTableLeavesNoDriveAndRefusesCommands) {
  FakeRig rig("beyond");
  EXPECT_FALSE(SelectDevice(rig.d, rig.d.NoOfDevices));
  EXPECT_EQ(rig.d.HaID, kNoAddress);
  EXPECT_EQ(rig.d.Target, kNoAddress);
  EXPECT_EQ(rig.d.DriveLetter, "?");
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_FALSE(Read10(rig.d, 0, 1, rig.d.tmpBuffer.data()));
  TSRB_ExecSCSICmd srb;
  srb.SRB_CDBLen = 6;
  EXPECT_EQ(ExecSCSICommand(rig.d, srb), SS_ERR);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_TRUE(rig.drive.log.empty());
  // A valid selection brings the drive back.
  EXPECT_TRUE(SelectDevice(rig.d, 0));
  EXPECT_TRUE(TestUnitReady(rig.d));
}

TEST(DeviceTable, SelectByShortId) {
  FakeRig rig("byid");
  EXPECT_FALSE(SelectDeviceByLetter(rig.d, "sr7"));
  EXPECT_FALSE(SelectDeviceByLetter(rig.d, ""));
  EXPECT_TRUE(SelectDeviceByLetter(rig.d, "sr0"));
  EXPECT_EQ(rig.d.Vendor, "TORVIK  ");
  EXPECT_EQ(rig.d.ProductID, "Fake Writer     ");
  EXPECT_EQ(rig.d.HaID, 1);
  // Selection runs a capability detection.
  EXPECT_TRUE(rig.d.dc.Write_CDR);
  EXPECT_FALSE(rig.drive.WithOpcode(op::MODE_SENSE_10).empty());
}

TEST(DeviceTable, SenseBookkeeping) {
  FakeRig rig("sense");
  rig.drive.overrides[op::TEST_UNIT_READY] = [](const Sent&) { return Reply::Fail(2, 0x3A, 1); };
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_EQ(rig.d.DeviceError, 0x3A01u);
  EXPECT_EQ(rig.d.LastSenseInfo.SenseKey, 2);
  EXPECT_EQ(rig.d.LastSenseInfo.AddSenseCode, 0x3A);
  EXPECT_FALSE(rig.d.TargetBusy);

  // A success clears the last sense but keeps the last error.
  rig.drive.overrides.clear();
  EXPECT_TRUE(TestUnitReady(rig.d));
  EXPECT_TRUE(rig.d.LastSenseInfo.IsZero());
  EXPECT_EQ(rig.d.DeviceError, 0x3A01u);

  // A failure with ASC 0 leaves DeviceError alone; busy is recorded.
  rig.drive.overrides[op::TEST_UNIT_READY] = [](const Sent&) {
    Reply r = Reply::Fail(0, 0, 0);
    r.targetStatus = STATUS_BUSY;
    return r;
  };
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_TRUE(rig.d.TargetBusy);
  EXPECT_EQ(rig.d.DeviceError, 0x3A01u);
}

TEST(DeviceTable, ExecFillsAddressAndAppliesWriteAddressQuirk) {
  FakeRig rig("tv");
  TSRB_ExecSCSICmd seen;
  rig.d.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction&) {
    seen = srb;
    return uint8_t{SS_COMP};
  };
  uint8_t buf[2048];
  Write10(rig.d, 0x12345678, 1, 2048, buf);
  EXPECT_EQ(seen.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(seen.SRB_SenseLen, 24);
  EXPECT_EQ(seen.SRB_HaId, 1);
  EXPECT_EQ(seen.CDB[2], 0x12);
  EXPECT_FALSE(DeviceCan(rig.d, DC_SET_TV));
  EXPECT_TRUE(rig.d.TV);
  Write10(rig.d, 0x12345678, 1, 2048, buf);
  EXPECT_EQ(seen.CDB[2], 0);
  EXPECT_EQ(seen.CDB[3], 0);
  EXPECT_EQ(seen.CDB[4], 0x56);
  Read10(rig.d, 0x12345678, 1, buf);  // only WRITE (10) is affected
  EXPECT_EQ(seen.CDB[2], 0x12);
}

TEST(DeviceTable, TapCanForwardToTheTransport) {
  FakeRig rig("forward");
  int forwarded = 0;
  rig.d.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& next) {
    ++forwarded;
    return next(srb);
  };
  // The fake node is a plain file: SG_IO fails with an errno, never a completion.
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_EQ(forwarded, 1);
  EXPECT_NE(rig.d.LastWinError, 0u);
  EXPECT_GE(rig.d.Handle, 0);
  rig.d.CloseFH = true;
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_EQ(rig.d.Handle, -1);
}

class DeviceLog : public ::testing::Test {
 protected:
  FakeRig rig{"log"};
  std::string path;

  void SetUp() override {
    path = rig.dir + "/cmd.log";
    rig.d.Setup.Clock = [] {
      // 12:34:56.789 UTC
      return std::chrono::system_clock::time_point(std::chrono::milliseconds(
          ((12LL * 60 + 34) * 60 + 56) * 1000 + 789));
    };
    ASSERT_TRUE(OpenDebugLog(rig.d, path));
  }
  std::string Lines() {
    CloseDebugLog(rig.d);
    return ReadFile(path);
  }
};

TEST_F(DeviceLog, SixByteCommandShowsFifteenCdbBytes) {
  rig.d.LastWinError = 0;
  TestUnitReady(rig.d);
  EXPECT_EQ(Lines(),
            "PeloraBurner\r\n"
            "34:56:789 TEST UNIT READY        (00) {40:06} - 1:0:0 <01> [00000] "
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 00:00, 0\r\n");
}

TEST_F(DeviceLog, DataIsCutAtHundredBytesAndSenseIsShown) {
  std::vector<uint8_t> buf(65536 + 4, 0xEE);
  rig.drive.overrides[op::WRITE_10] = [](const Sent&) { return Reply::Fail(3, 0x0C, 0x00); };
  Write10(rig.d, 0x20, 32, 65536, buf.data());
  const std::string text = Lines();
  std::string expected =
      "PeloraBurner\r\n"
      "34:56:789 WRITE (10)             (2a) {50:0a} - 1:0:0 <04> [10000] "
      "00 00 00 00 20 00 00 20 00 00 00 00 00 00 00 | ";
  for (int i = 0; i < 100; ++i) expected += "ee ";
  expected += "0c:00, 0\r\n";
  EXPECT_EQ(text, expected);
}

TEST_F(DeviceLog, MisalignedBufferIsMarked) {
  alignas(8) uint8_t buf[64 + 1] = {};
  TSRB_ExecSCSICmd srb;
  srb.SRB_Flags = SRB_FLAGS_IN;
  srb.SRB_CDBLen = 6;
  srb.SRB_BufLen = 2;
  srb.SRB_BufPointer = buf + 1;
  srb.CDB[0] = 0x03;
  ExecSCSICommand(rig.d, srb);
  EXPECT_EQ(Lines(),
            "PeloraBurner\r\n"
            "- NAL ->  34:56:789 REQUEST SENSE          (03) {48:06} - 1:0:0 <01> [00002] "
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 00 00 00:00, 0\r\n");
}

TEST(DiagLog, OpenAndCloseThroughDeviceCan) {
  FakeRig rig("diag");
  rig.d.Setup.DiagLogPath = rig.dir + "/bvkeng.elg";
  EXPECT_FALSE(DeviceCan(rig.d, DC_CLOSE_DIAG_LOG));
  EXPECT_TRUE(DeviceCan(rig.d, DC_OPEN_DIAG_LOG));
  EXPECT_TRUE(TestUnitReady(rig.d));
  EXPECT_TRUE(DeviceCan(rig.d, DC_CLOSE_DIAG_LOG));
  EXPECT_FALSE(DeviceCan(rig.d, DC_CLOSE_DIAG_LOG));
  const std::string text = ReadFile(rig.d.Setup.DiagLogPath);
  EXPECT_EQ(text.rfind("PeloraBurner\r\n", 0), 0u);
  EXPECT_NE(text.find("TEST UNIT READY"), std::string::npos);
  // A planted link is not followed.
  const std::string link = rig.dir + "/link.elg";
  std::filesystem::create_symlink(rig.dir + "/victim", link);
  rig.d.Setup.DiagLogPath = link;
  EXPECT_FALSE(DeviceCan(rig.d, DC_OPEN_DIAG_LOG));
  EXPECT_FALSE(std::filesystem::exists(rig.dir + "/victim"));
}

}  // namespace
}  // namespace torvik::test
