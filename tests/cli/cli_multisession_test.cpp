// torvik-cli burn --multisession on an appendable disc: the new session lists the files of
// the last one too (new files of the same path win), --no-import opts out; ls and info show
// what the disc holds.
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

class CliMultisession : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = torvik::testing::FreshScratchDir("cli-multisession"); }
  void TearDown() override { fs::remove_all(dir_); }
  torvik::testing::CommandResult Cli(const std::string& args) const {
    return RunCommand("cd " + Quote(dir_.string()) + " && " + Quote(kCli) +
                      " --virtual-drive disc.img " + args + " </dev/null");
  }
  void Write(const std::string& rel, const std::string& bytes) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << bytes;
  }
  static bool Lists(const std::string& out, const std::string& line) {
    return out.find(line) != std::string::npos;
  }
  fs::path dir_;
};

TEST_F(CliMultisession, LaterSessionsListEarlierFiles) {
  ASSERT_EQ(Cli("vdisc create disc.img --profile cd-r").status, 0);
  Write("one/keep.txt", "kept");
  Write("one/docs/old.txt", "old contents");
  Write("two/docs/old.txt", "new contents!");
  Write("two/fresh.bin", std::string(3000, 'f'));
  Write("three/last.txt", "last");

  auto r = Cli("burn -q --multisession --volume-id FIRST one");
  ASSERT_EQ(r.status, 0) << r.out;
  r = Cli("burn -q --multisession --volume-id SECOND two");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "Session 1 of the disc imported: 2 files, 1 folders.")) << r.out;

  r = Cli("ls --device vd0");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "Session 2")) << r.out;
  EXPECT_TRUE(Lists(r.out, "Volume: SECOND (Joliet)")) << r.out;
  EXPECT_TRUE(Lists(r.out, "           4  ")) << "keep.txt carried over\n" << r.out;
  EXPECT_TRUE(Lists(r.out, "/keep.txt")) << r.out;
  EXPECT_TRUE(Lists(r.out, "          13  ")) << "the replaced file has its new size\n" << r.out;
  EXPECT_TRUE(Lists(r.out, "/docs/old.txt")) << r.out;
  EXPECT_TRUE(Lists(r.out, "/fresh.bin")) << r.out;
  EXPECT_TRUE(Lists(r.out, "3 files, 1 folders")) << r.out;

  r = Cli("ls --device vd0 --session 1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "Volume: FIRST")) << r.out;
  EXPECT_TRUE(Lists(r.out, "2 files, 1 folders")) << r.out;

  r = Cli("info --device vd0");
  EXPECT_TRUE(Lists(r.out, "VolumeLabel: SECOND")) << r.out;

  // Opting out: the new session lists only its own files.
  r = Cli("burn -q --multisession --no-import three");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(Lists(r.out, "imported")) << r.out;
  r = Cli("ls --device vd0");
  EXPECT_TRUE(Lists(r.out, "1 files, 0 folders")) << r.out;

  // The session that closes the disc lists what came before it too.
  r = Cli("burn -q two");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "Session 3 of the disc imported")) << r.out;
}

TEST_F(CliMultisession, LsOfAnImageAndOfBadBytes) {
  Write("src/a/b.txt", "bee");
  ASSERT_EQ(Cli("build-iso img.iso src").status, 0);
  auto r = Cli("ls img.iso");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "/a/b.txt")) << r.out;
  Write("junk.iso", std::string(40000, '\x01'));
  r = Cli("ls junk.iso");
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_TRUE(Lists(r.out, "No ISO 9660 volume descriptor")) << r.out;
}

}  // namespace
}  // namespace torvik
