// The component's drive surface: forwarding plus the few answers it adds itself.
#include <gtest/gtest.h>

#include "burner/bvkCDBurner.h"
#include "emulator/VirtualDrive.h"
#include "fake_drive.h"

namespace torvik::test {
namespace {

class ComponentDevice : public ::testing::Test {
 protected:
  TBrenvik burner;
  FakeDrive drive;

  void SetUp() override {
    FakeSysfs fs("component");
    fs.Add("sr0", 5, "0:0:1:0");
    burner.Device.Setup.SysfsRoot = fs.root;
    burner.Device.Setup.DevRoot = fs.dev;
    burner.Device.Setup.Tap = drive.Tap();
    drive.m.pages[0x2A] = CapabilitiesPage(0x3F, 0x37, 0x80, 8467, 7056, 5540, 2822);
    drive.m.pages[0x05] = WriteParametersPage();
    ASSERT_TRUE(burner.InitializeASPI(false, "", ""));
  }
};

TEST_F(ComponentDevice, NoSelectionMeansNoDriveCommands) {
  EXPECT_EQ(burner.DeviceCount(), 1);
  EXPECT_FALSE(burner.SelectDevice(static_cast<uint8_t>(burner.DeviceCount())));
  EXPECT_EQ(burner.GetDeviceName(1), "");
  drive.log.clear();
  EXPECT_FALSE(burner.TestUnitReady());
  EXPECT_TRUE(burner.UnlockDrive());
  EXPECT_FALSE(burner.EjectMedium(true));
  EXPECT_EQ(burner.DiscIs(), mtUNKNOWN);
  EXPECT_TRUE(drive.log.empty());
}

TEST_F(ComponentDevice, FixedAnswersAndUnitConversions) {
  ASSERT_TRUE(burner.SelectDevice(0));
  EXPECT_EQ(burner.GetDeviceName(0), "0:1:0,sr0: TORVIK   Fake Writer      1.00 ");
  EXPECT_EQ(burner.ReadSpeed(), 7056);  // the drive's current speed, not the requested one
  drive.log.clear();
  burner.SetDeviceSpeed(0, 0);
  EXPECT_TRUE(burner.FlushCache());
  ASSERT_EQ(drive.log.size(), 2u);
  EXPECT_EQ(drive.log[0].cdb, (std::vector<uint8_t>{0xBB, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(drive.log[1].cdb[1], 0x02);  // flush with the immediate bit
  drive.overrides[op::TEST_UNIT_READY] = [](const Sent&) { return Reply::Fail(2, 0x3A, 0); };
  EXPECT_FALSE(burner.TestUnitReady());
  EXPECT_TRUE(burner.UnlockDrive());
}

TEST_F(ComponentDevice, BufferFill) {
  ASSERT_TRUE(burner.SelectDevice(0));
  struct Case {
    uint32_t size, blank, fill;
  };
  for (const Case& c : {Case{0x131800, 0x131800, 0}, Case{0x131800, 0x100000, 0x31800},
                        Case{0x1000, 0x2000, 0}, Case{0, 0, 0}}) {
    drive.overrides[op::READ_BUFFER_CAPACITY] = [c](const Sent&) {
      std::vector<uint8_t> r(12, 0);
      Be32(r, 4, c.size);
      Be32(r, 8, c.blank);
      return Reply::Data(r);
    };
    ASSERT_TRUE(ReadBufferCapacity(burner.Device));
    EXPECT_EQ(burner.DeviceBufferSize(), c.size);
    EXPECT_EQ(burner.DeviceBufferPosition(), c.fill);
  }
}

TEST_F(ComponentDevice, RecentThroughput) {
  ASSERT_TRUE(burner.SelectDevice(0));
  int64_t counter = 0;
  burner.Device.Setup.PerfFrequency = 1000;
  burner.Device.Setup.PerfCounter = [&counter] { return counter += 50; };
  ResetSpeedSamples(burner.Device);
  EXPECT_EQ(burner.BMWriteSpeed(), 0);
  std::vector<uint8_t> buf(65536);
  ASSERT_TRUE(Write10(burner.Device, 0, 32, 65536, buf.data()));
  EXPECT_EQ(burner.BMWriteSpeed(), 0);
  EXPECT_EQ(burner.BMWriteSpeed(), 1280);  // 64 KiB in 50 ms
  EXPECT_EQ(burner.BMReadSpeed(), 0);
  EXPECT_EQ(burner.BMReadSpeed(), 1280);
}

TEST(ComponentVirtualDrive, DiscQueriesThroughTheComponent) {
  const std::string dir = ScratchDir("component-vd");
  std::string error;
  ASSERT_TRUE(vdrive::VirtualDrive::Create(dir + "/drive", "cd-rw", {}, &error)) << error;
  TBrenvik burner;
  burner.Device.Setup.SysfsRoot = dir + "/no-sysfs";
  burner.AddVirtualDrive(dir + "/drive");
  ASSERT_TRUE(burner.InitializeASPI(false, "", ""));
  ASSERT_TRUE(burner.SelectDeviceByLetter("vd0"));
  EXPECT_EQ(burner.DiscIs(), mtCDRW);
  EXPECT_TRUE(burner.Writable());
  EXPECT_TRUE(burner.Erasable());
  EXPECT_EQ(burner.SessionsOnDisc(), 0);
  EXPECT_EQ(burner.FreeBlocksOnDisc(), 359849u);
  EXPECT_EQ(burner.TotalBlocksOnDisc(), 359849u);
  // With ASPI asked for there is no transport on Linux.
  EXPECT_FALSE(burner.InitializeASPI(true, "", ""));
  EXPECT_EQ(burner.DeviceCount(), 0);
}

}  // namespace
}  // namespace torvik::test
