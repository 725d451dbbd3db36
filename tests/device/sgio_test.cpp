// The Linux SG_IO leg: header construction, the completion rule and sense conversion.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>

#include "device/bvkSGIO.h"
#include "fake_drive.h"

namespace torvik::test {
namespace {

TEST(SgioHeader, DirectionLengthsAndTimeout) {
  struct Case {
    uint8_t flags;
    uint32_t length;
    bool withBuffer;
    int direction;
    unsigned dxferLen;
  };
  const Case cases[] = {
      {SRB_FLAGS_IN, 64, true, SG_DXFER_FROM_DEV, 64},
      {SRB_FLAGS_OUT, 65536, true, SG_DXFER_TO_DEV, 65536},
      {SRB_FLAGS_NONE, 0, false, SG_DXFER_NONE, 0},
      // A length without a buffer moves nothing.
      {SRB_FLAGS_IN, 512, false, SG_DXFER_NONE, 0},
  };
  uint8_t data[65536];
  for (const Case& c : cases) {
    TSRB_ExecSCSICmd srb;
    srb.SRB_Flags = c.flags;
    srb.SRB_CDBLen = 10;
    srb.SRB_BufLen = c.length;
    srb.SRB_BufPointer = c.withBuffer ? data : nullptr;
    srb.CDB[0] = 0x28;
    uint8_t sense[32];
    sg_io_hdr h;
    sgio::BuildHeader(h, srb, sense);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, c.direction) << int(c.flags);
    EXPECT_EQ(h.dxfer_len, c.dxferLen);
    EXPECT_EQ(h.cmd_len, 10);
    EXPECT_EQ(h.cmdp, srb.CDB.data());
    EXPECT_EQ(h.sbp, sense);
    EXPECT_EQ(h.mx_sb_len, 32);
    EXPECT_EQ(h.timeout, 12000u * 1000u);
  }
}

TEST(SgioCompletion, OnlyAnAllClearReplyCompletes) {
  struct Case {
    const char* what;
    int ioctlResult, err;
    uint8_t status;
    uint16_t host, driver;
    uint8_t srbStatus;
    uint32_t lastError;
    uint8_t asc;  // sense copied on failure
  };
  const Case cases[] = {
      {"good", 0, 0, 0, 0, 0, SS_COMP, 0, 0},
      {"good with sense flag only", 0, 0, 0, 0, 0x08, SS_COMP, 0, 0},
      {"check condition", 0, 0, 2, 0, 0x08, SS_ERR, 0, 0x3A},
      {"busy", 0, 0, 8, 0, 0, SS_ERR, 0, 0x3A},
      {"host lost the device", 0, 0, 0, 1, 0, SS_ERR, 1, 0x3A},
      {"driver timeout", 0, 0, 0, 0, 0x06, SS_ERR, 0, 0x3A},
      {"ioctl refused", -1, EINVAL, 0, 0, 0, SS_ERR, EINVAL, 0},
  };
  for (const Case& c : cases) {
    sg_io_hdr h{};
    h.status = c.status;
    h.host_status = c.host;
    h.driver_status = c.driver;
    uint8_t sense[32] = {0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x01};
    h.sb_len_wr = 18;
    TSRB_ExecSCSICmd srb;
    srb.SRB_SenseLen = 24;
    const sgio::TCompletion r = sgio::Complete(h, c.ioctlResult, c.err, sense, srb);
    EXPECT_EQ(r.Status, c.srbStatus) << c.what;
    EXPECT_EQ(srb.SRB_Status, c.srbStatus) << c.what;
    EXPECT_EQ(r.LastError, c.lastError) << c.what;
    EXPECT_EQ(srb.SenseArea[12], c.asc) << c.what;
    if (c.ioctlResult == 0) {
      EXPECT_EQ(srb.SRB_TargStat, c.status) << c.what;
    }
  }
}

TEST(SgioCompletion, SenseIsTakenFromWrittenBytesOnly) {
  sg_io_hdr h{};
  h.status = 2;
  h.driver_status = 0x08;
  h.sb_len_wr = 3;  // the kernel wrote three bytes; the rest is stale
  uint8_t sense[32] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  TSRB_ExecSCSICmd srb;
  srb.SRB_SenseLen = 24;
  sgio::Complete(h, 0, 0, sense, srb);
  EXPECT_EQ(srb.SenseArea[2], 5);
  EXPECT_EQ(srb.SenseArea[12], 0);
}

TEST(SenseConversion, DescriptorFormatBecomesFixed) {
  // 72h: key 2, 04/04 (format in progress), sense-key-specific progress 40%.
  const uint8_t desc[] = {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 20,
                          0x02, 0x06, 0, 0, 0x80, 0x66, 0x66, 0,   // sense key specific
                          0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};  // information
  uint8_t fixed[24];
  sgio::SenseToFixed(desc, sizeof desc, fixed, sizeof fixed);
  EXPECT_EQ(fixed[0], 0xF0);  // 70h with the information-valid bit
  EXPECT_EQ(fixed[2], 2);
  EXPECT_EQ(fixed[7], 10);
  EXPECT_EQ(fixed[12], 0x04);
  EXPECT_EQ(fixed[13], 0x04);
  EXPECT_EQ(fixed[15], 0x80);
  EXPECT_EQ(fixed[16], 0x66);
  EXPECT_EQ(fixed[17], 0x66);
  EXPECT_EQ(fixed[5], 0x12);
  EXPECT_EQ(fixed[6], 0x34);
}

TEST(SenseConversion, BoundsAndPassThrough) {
  // A descriptor that claims more than was written is ignored, the header still converts.
  const uint8_t truncated[] = {0x73, 0x05, 0x24, 0x00, 0, 0, 0, 40, 0x02, 0x06, 0};
  uint8_t fixed[24];
  sgio::SenseToFixed(truncated, sizeof truncated, fixed, sizeof fixed);
  EXPECT_EQ(fixed[0], 0x71);
  EXPECT_EQ(fixed[2], 5);
  EXPECT_EQ(fixed[12], 0x24);
  EXPECT_EQ(fixed[15], 0);
  // Fixed format is copied as it is, cut to the output.
  uint8_t in[32];
  for (int i = 0; i < 32; ++i) in[i] = static_cast<uint8_t>(0x70 + i);
  in[0] = 0x70;
  sgio::SenseToFixed(in, 32, fixed, sizeof fixed);
  EXPECT_EQ(0, std::memcmp(in, fixed, sizeof fixed));
  // Nothing written: all zero.
  sgio::SenseToFixed(in, 0, fixed, sizeof fixed);
  for (uint8_t b : fixed) EXPECT_EQ(b, 0);
}

TEST(SysfsEnumeration, OrderTypeAndAddress) {
  FakeSysfs fs("sysfs");
  fs.Add("sr11", 5, "7:0:3:2");
  fs.Add("sr9", 5, "");
  fs.Add("sr1", 4, "2:1:0:0", false);
  fs.Add("sdb", 0, "0:0:0:0");
  const auto drives = sgio::EnumerateOpticalDrives(fs.root);
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].Id, "sr1");
  EXPECT_EQ(drives[0].DeviceType, 4);
  EXPECT_TRUE(drives[0].HasAddress);
  EXPECT_EQ(drives[0].Host, 2);
  EXPECT_EQ(drives[0].Channel, 1);
  EXPECT_EQ(drives[1].Id, "sr9");
  EXPECT_FALSE(drives[1].HasAddress);
  EXPECT_EQ(drives[2].Id, "sr11");
  EXPECT_EQ(drives[2].Host, 7);
  EXPECT_EQ(drives[2].Target, 3);
  EXPECT_EQ(drives[2].Lun, 2);
  EXPECT_TRUE(sgio::EnumerateOpticalDrives(fs.root + "/nothing").empty());
}

TEST(SgioTransport, OpenFailureIsReportedWithErrno) {
  FakeRig rig("sgioopen");
  rig.d.Setup.Tap = nullptr;
  std::filesystem::remove(rig.d.Devices[0].Path);
  CloseDeviceHandle(rig.d);
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_EQ(rig.d.LastWinError, static_cast<uint32_t>(ENOENT));
}

}  // namespace
}  // namespace torvik::test
