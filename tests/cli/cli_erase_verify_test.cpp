// torvik-cli erase, verify and burn --verify on virtual drives: what they print, what they
// refuse, and exit statuses a script can trust.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/run_command.h"
#include "common/scratch_dir.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using torvik::testing::Quote;
using torvik::testing::RunCommand;

const std::string kCli = std::getenv("TORVIK_CLI") ? std::getenv("TORVIK_CLI") : "torvik-cli";

class CliEraseVerify : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = torvik::testing::FreshScratchDir("cli-erase-verify"); }
  void TearDown() override { fs::remove_all(dir_); }
  torvik::testing::CommandResult Cli(const std::string& args) const {
    return RunCommand("cd " + Quote(dir_.string()) + " && " + Quote(kCli) + " " + args +
                      " </dev/null");
  }
  void Write(const std::string& rel, const std::string& bytes) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << bytes;
  }
  fs::path dir_;
};

TEST_F(CliEraseVerify, ADeduplicatedBurnVerifiesTheFileThatHoldsTheData) {
  Write("src/a.bin", std::string(70000, 'a'));
  Write("src/copy/a.bin", std::string(70000, 'a'));
  Write("src/other.bin", std::string(70000, 'o'));
  ASSERT_EQ(Cli("vdisc create disc.img --profile dvd+rw --polls 0").status, 0);
  const std::string drive = "--virtual-drive disc.img ";
  auto r = Cli(drive + "burn --dedup --verify -q src");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Duplicates: 1 file shares another file's data, 71680 bytes saved"),
            std::string::npos)
      << r.out;
  // The copy has no data of its own to read back; the file that holds it is checked.
  EXPECT_NE(r.out.find("2 files verified, 0 failed"), std::string::npos) << r.out;
  // Read back by the disc's own directories, the copy has the right bytes too.
  r = Cli(drive + "verify -q src");
  EXPECT_NE(r.out.find("3 files verified, 0 failed"), std::string::npos) << r.out;
}

TEST_F(CliEraseVerify, BurnVerifyEraseOnAVirtualDrive) {
  Write("src/docs/a.txt", std::string(100000, 'a'));
  Write("src/b.bin", std::string(65536, 'b'));
  Write("src/empty", "");
  ASSERT_EQ(Cli("vdisc create disc.img --profile dvd+rw --polls 0").status, 0);
  const std::string drive = "--virtual-drive disc.img ";

  auto r = Cli(drive + "burn --verify -q src");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("3 files verified, 0 failed"), std::string::npos) << r.out;
  // A later session that carries the first one over: both trees are found where it lists them.
  Write("more/c.txt", "c");
  ASSERT_EQ(Cli(drive + "burn --multisession -q more").status, 0);
  r = Cli(drive + "verify -q src more");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("4 files verified, 0 failed"), std::string::npos) << r.out;

  // A changed source and a missing one fail by their disc paths; the rest still pass.
  Write("src/docs/a.txt", std::string(100000, 'A'));
  r = Cli(drive + "verify -q src");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("FAILED: /docs/a.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 files verified, 1 failed"), std::string::npos) << r.out;
  Write("src/new.txt", "n");
  r = Cli(drive + "verify -q src");
  EXPECT_NE(r.out.find("FAILED: /new.txt (not on the disc)"), std::string::npos) << r.out;
  r = Cli(drive + "verify -q --stop-on-mismatch src/docs src/b.bin");
  EXPECT_EQ(r.status, 1) << r.out;

  // Not on a terminal, erase does not ask; afterwards nothing is left to verify.
  r = Cli(drive + "erase -q");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Erase done."), std::string::npos) << r.out;
  r = Cli(drive + "verify -q src");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("holds no ISO 9660 volume"), std::string::npos) << r.out;

  // A disc smaller than the area a full erase overwrites is overwritten whole.
  ASSERT_EQ(Cli("vdisc create small.img --profile dvd+rw --polls 0 --capacity 20000").status, 0);
  r = Cli("--virtual-drive small.img erase --full -q");
  EXPECT_EQ(r.status, 0) << r.out;

  // Write-once discs are refused with the reason; a drive's refusal is an error, not a success.
  ASSERT_EQ(Cli("vdisc create cd.img --profile cd-r").status, 0);
  r = Cli("--virtual-drive cd.img erase --yes");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("a CD-R is written once"), std::string::npos) << r.out;
  ASSERT_EQ(Cli("vdisc create rw.img --profile cd-rw").status, 0);
  std::ofstream(dir_ / "rw.img.state", std::ios::app) << "fault_not_ready=100000000\n";
  r = Cli("--virtual-drive rw.img erase --yes");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("is not ready (02/04/01"), std::string::npos) << r.out;
  ASSERT_EQ(Cli("vdisc create rw2.img --profile cd-rw").status, 0);
  std::ofstream(dir_ / "rw2.img.state", std::ios::app) << "fault_reject=0xA1 5 0x24 0\n";
  r = Cli("--virtual-drive rw2.img erase --yes");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Erase failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("05/24/00"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace torvik
