// torvik-cli drives / info / eject / load against a virtual drive.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>

#include "emulator/VirtualDrive.h"
#include "fake_drive.h"
#include "common/run_command.h"

namespace torvik::test {
namespace {

// The CLI also lists the machine's real drives; every command below names vd0.
using CliRun = torvik::testing::CommandResult;
CliRun Cli(const std::string& args) {
  return torvik::testing::RunCli(args);
}

TEST(CliDevice, InfoReportOfAVirtualDrive) {
  if (std::getenv("TORVIK_CLI") == nullptr) GTEST_SKIP() << "TORVIK_CLI not set";
  const std::string dir = ScratchDir("cli");
  std::string error;
  ASSERT_TRUE(vdrive::VirtualDrive::Create(dir + "/drive", "cd-rw", {}, &error)) << error;
  const std::string vd = "--virtual-drive " + dir + "/drive ";

  const CliRun drives = Cli(vd + "drives");
  EXPECT_EQ(drives.status, 0);
  EXPECT_NE(drives.out.find(",vd0: "), std::string::npos) << drives.out;

  const CliRun info = Cli(vd + "--log " + dir + "/dev.log info --device vd0");
  EXPECT_EQ(info.status, 0) << info.out;
  for (const char* line :
       {"Is TestUnitReady? True\n\nDISC IN DRIVE IS mtCDRW\n", "IS DISC Erasable? True\n",
        "IS DISC Writable? True\n", "SessionsOnDisc: 0\n",
        "GetTotalBlocksOnDisc: 702.83 MB\n", "GetFreeBlocksOnDisc: 702.83 MB\n",
        "DEVICE CAPABLE OF DC_TEST_WRITE? True\n", "DEVICE CAPABLE OF WRITE_HDDVDRAM? False\n"})
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  EXPECT_NE(info.out.find("GetDeviceMaxReadSpeed:  "), std::string::npos);
  EXPECT_NE(info.out.find(" KB/s\n"), std::string::npos);

  EXPECT_EQ(Cli(vd + "eject --device vd0").status, 0);
  EXPECT_NE(Cli(vd + "info --device vd0").out.find("DISC IN DRIVE IS mtUNKNOWN"), std::string::npos);
  EXPECT_EQ(Cli(vd + "load --device vd0").status, 0);
  EXPECT_NE(Cli(vd + "info --device vd0").out.find("DISC IN DRIVE IS mtCDRW"), std::string::npos);

  const CliRun unknown = Cli(vd + "info --device nosuch");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.out.find("no drive nosuch"), std::string::npos);
}

// A drive path in a folder that does not exist is refused with its name; in an existing folder
// a path without files is a drive with a blank disc, which vdisc create can still set up.
TEST(CliDevice, VirtualDrivePathMustBeInAnExistingFolder) {
  if (std::getenv("TORVIK_CLI") == nullptr) GTEST_SKIP() << "TORVIK_CLI not set";
  const std::string dir = ScratchDir("clipath");
  const std::string missing = dir + "/no/such/disc";
  for (const char* command : {"drives", "burn-image --device vd0 x.iso"}) {
    const CliRun r = Cli("--virtual-drive " + missing + " " + command);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.out.find(missing + ": the folder " + dir + "/no/such does not exist"),
              std::string::npos)
        << command << "\n" << r.out;
  }
  const CliRun fresh = Cli("--virtual-drive " + dir + "/disc drives");
  EXPECT_EQ(fresh.status, 0) << fresh.out;
  EXPECT_NE(fresh.out.find(",vd0: "), std::string::npos) << fresh.out;
  EXPECT_EQ(Cli("vdisc create " + dir + "/disc --profile cd-r").status, 0);
}

}  // namespace
}  // namespace torvik::test
