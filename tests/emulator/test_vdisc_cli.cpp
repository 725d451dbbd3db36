// torvik-cli vdisc: the commands a person uses on a virtual drive, run as a separate process so
// that the file pair is what carries the state between it and the drive in this test.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "vdrive_test_util.h"
#include "common/run_command.h"

namespace torvik::vdrive::testing {
namespace {

using CliRun = torvik::testing::CommandResult;
CliRun Cli(const std::string& args) { return torvik::testing::RunCli(args); }

class VdiscCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("TORVIK_CLI");
    if (!cli || !std::filesystem::exists(cli)) GTEST_SKIP() << "torvik-cli not built";
    dir_ = ScratchDir();
  }
  std::string dir_;
};

TEST_F(VdiscCli, CreateShowEjectLoad) {
  const std::string disc = dir_ + "/disc";
  CliRun r = Cli("vdisc create " + disc + " --profile dvd+r --capacity 100000");
  ASSERT_EQ(r.status, 0) << r.out;

  std::string error;
  Driver d(VirtualDrive::Open(disc, &error));
  ASSERT_TRUE(d.drive) << error;
  ASSERT_TRUE(d.Write(0, 64).Good());
  ASSERT_TRUE(d.Close(1, 1).Good());
  ASSERT_TRUE(d.Close(2, 0).Good());

  r = Cli("vdisc show " + disc);
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* expected :
       {"DVD+R (profile 001Bh), 100,000 blocks", "appendable", "Sessions:     2 (1 complete)",
        "start 0, size 64, written 64, complete", "Next writable address: 4,160",
        "Free blocks:  95,840", "Faults:       none"})
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;

  ASSERT_TRUE(d.Prevent(true).Good());
  r = Cli("vdisc eject " + disc);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("prevented"), std::string::npos) << r.out;
  EXPECT_TRUE(d.Tur().Good());
  r = Cli("vdisc eject --force " + disc);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.Tur().SenseText(), "02/3A/02") << "the drive sees the other process's eject";
  EXPECT_EQ(Cli("vdisc load " + disc).status, 0);
  EXPECT_TRUE(d.Tur().Good());

  Faults busy;
  busy.busy = 3;
  ASSERT_TRUE(d.drive->SetFaults(busy, &error));
  r = Cli("vdisc show " + disc);
  EXPECT_NE(r.out.find("busy for 3 commands"), std::string::npos) << r.out;
}

TEST_F(VdiscCli, ErrorsGoToStderrWithAFailingStatus) {
  const struct {
    std::string args;
    const char* message;
  } cases[] = {
      {"vdisc create " + dir_ + "/a --profile floppy", "unknown profile"},
      {"vdisc create " + dir_ + "/a --profile bd-re --drive dvd", "cannot hold"},
      {"vdisc create " + dir_ + "/a --profile dvd-rom", "--image"},
      {"vdisc create " + dir_ + "/a --profile cd-r --drive tape", "unknown drive"},
      {"vdisc show " + dir_ + "/missing", "no virtual drive"},
      {"vdisc eject " + dir_ + "/missing", "no virtual drive"},
  };
  for (const auto& c : cases) {
    CliRun r = Cli(c.args);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
  }
}

TEST_F(VdiscCli, ReadOnlyDiscFromAnImage) {
  std::ofstream(dir_ + "/image.iso", std::ios::binary) << std::string(4096, 'x');
  CliRun r = Cli("vdisc create " + dir_ + "/rom --profile dvd-rom --image " + dir_ + "/image.iso");
  ASSERT_EQ(r.status, 0) << r.out;
  r = Cli("vdisc show " + dir_ + "/rom");
  EXPECT_NE(r.out.find("DVD-ROM (profile 0010h), 2 blocks"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("complete"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace torvik::vdrive::testing
