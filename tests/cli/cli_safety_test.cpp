// torvik-cli must never lose a file without a word nor harm the user's own files: sources that
// would share a disc path and outputs that are inputs are refused before anything is written,
// an image is replaced only by a complete one, and what was left out or why a job failed is said.
#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/run_command.h"
#include "common/scratch_dir.h"
#include "platform/run_unprivileged.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using torvik::testing::CommandResult;
using torvik::testing::RunCommand;

const std::string kCli = std::getenv("TORVIK_CLI") ? std::getenv("TORVIK_CLI") : "torvik-cli";

using torvik::testing::Quote;

class CliSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = torvik::testing::FreshScratchDir("cli-safety");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& rel, const std::string& bytes) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& rel) const {
    std::ifstream f(dir_ / rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  // torvik-cli run in the scratch folder (after `prefix`), so messages show relative paths.
  CommandResult Cli(const std::string& args, const std::string& prefix = "") const {
    return RunCommand("cd " + Quote(dir_.string()) + " && " + prefix + Quote(kCli) + " " + args);
  }
  // The image's paths as an independent reader lists them ("/sub/x.txt").
  std::string Listing(const std::string& image) const {
    return RunCommand("isoinfo -f -J -i " + Quote((dir_ / image).string())).out;
  }
  // Temporary files left behind in a folder.
  bool NoLeftovers(const std::string& rel = ".") const {
    for (const auto& e : fs::directory_iterator(dir_ / rel))
      if (e.path().filename().string().starts_with(".")) return false;
    return true;
  }

  fs::path dir_;
};

TEST_F(CliSafety, SourcesThatWouldShareADiscPathAreRefusedNamingBoth) {
  for (const char* f : {"m1/x.txt", "m2/x.txt", "m2/X.TXT", "m1/sub/a.txt", "m2/sub/A.txt",
                        "m3/sub/c.txt", "f/x.txt/inner.txt"})
    Write(f, f);
  ASSERT_EQ(Cli("vdisc create drive --profile cd-r --drive cd").status, 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"m1/x.txt m2/x.txt", "m1/x.txt and m2/x.txt would both be /x.txt on the disc"},
      {"m1/x.txt m2/X.TXT", "m1/x.txt and m2/X.TXT would both be /"},
      {"m1/sub m2/sub", "m1/sub/a.txt and m2/sub/A.txt would both be /"},
      {"m1 m2", "m1/sub/a.txt and m2/sub/A.txt would both be /sub/a.txt on the disc"},
      {"m1/x.txt f", "m1/x.txt and the folder f/x.txt would both be /x.txt on the disc"},
      {"f m1/x.txt", "the folder f/x.txt and the file m1/x.txt would both be /x.txt on the"},
      {"m1 m1", ""},  // the same files reached twice lose nothing
      {"m1 m3", ""},  // folders merge
  };
  for (const auto& [sources, message] : cases) {
    fs::remove(dir_ / "out.iso");
    const auto r = Cli("build-iso -q out.iso " + sources);
    EXPECT_EQ(r.status == 0, message.empty()) << sources << "\n" << r.out;
    EXPECT_NE(r.out.find(message), std::string::npos) << sources << "\n" << r.out;
    EXPECT_EQ(fs::exists(dir_ / "out.iso"), message.empty()) << sources;
  }
  EXPECT_NE(Listing("out.iso").find("/sub/c.txt"), std::string::npos);
  const auto burn = Cli("--virtual-drive drive burn --device vd0 -q m1/x.txt m2/x.txt");
  EXPECT_NE(burn.out.find(cases[0].second), std::string::npos) << burn.out;
  EXPECT_NE(Cli("vdisc show drive").out.find("Disc status:  blank"), std::string::npos);
}

TEST_F(CliSafety, AnOutputThatIsOneOfItsInputsIsRefusedAndLeftAlone) {
  Write("s/data.bin", "data");
  Write("boot.img", std::string(2048, 'b'));
  fs::create_symlink("s/data.bin", dir_ / "link");
  fs::create_symlink("data.bin", dir_ / "s/link.iso");
  fs::create_hard_link(dir_ / "s/data.bin", dir_ / "hard.bin");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"s/data.bin s/data.bin", "s/data.bin is the source file s/data.bin"},
      {"link s/data.bin", "link is the source file s/data.bin"},
      {"hard.bin s/data.bin", "hard.bin is the source file s/data.bin"},
      {"--boot boot.img boot.img s/data.bin", "boot.img is the source file boot.img"},
      {"link s", "link is a link to s/data.bin, a file the image is made of"},
      {"s/link.iso s", "s/link.iso is a link to s/data.bin, a file the image is made of"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = Cli("build-iso --force " + args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_NE(r.out.find(message), std::string::npos) << args << "\n" << r.out;
    EXPECT_EQ(Read("s/data.bin"), "data") << args;
    EXPECT_EQ(Read("boot.img"), std::string(2048, 'b')) << args;
    EXPECT_TRUE(fs::is_symlink(dir_ / "link") && NoLeftovers() && NoLeftovers("s")) << args;
  }
}

// The earlier image inside the folder being scanned is left out, not read into the new one;
// an output that is a link gets the new image at its target. The image is created as any new
// file is (0666 less the umask), not as the private temporary file it was written to.
TEST_F(CliSafety, AnImageRebuiltInsideItsSourceFolderIsNotPartOfItself) {
  Write("d/a.txt", "a");
  Write("images/real.iso", "old");
  fs::create_symlink("images/real.iso", dir_ / "link.iso");
  // Only the image being replaced is left out, not any image in the folder.
  for (const auto& [output, listing] : std::vector<std::pair<std::string, std::string>>{
           {"d/out.iso", "/a.txt\n"}, {"d/out.iso", "/a.txt\n"}, {"link.iso", "/a.txt\n/out.iso\n"}}) {
    const auto r = Cli("build-iso --force -q " + output + " d", "umask 027 && ");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Listing(output), listing) << output;
    EXPECT_EQ(fs::status(dir_ / output).permissions(), fs::perms(0640)) << output;
    EXPECT_TRUE(NoLeftovers("d") && NoLeftovers("images")) << output;
  }
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.iso"));
}

TEST_F(CliSafety, AFailedBuildSaysWhyAndKeepsTheEarlierImage) {
  Write("src/big.bin", std::string(1 << 20, 'x'));
  struct Case {
    std::string prefix, args, message;
  };
  const std::vector<Case> cases = {
      {"", "missing/out.iso src", "Error creating file \\missing/out.iso\\. (No such file or"},
      {"", "--force /dev/full src", "Error creating file \\/dev/full\\. (No space left on device)"},
      // A file-size limit makes the write fail part-way through.
      {"trap '' XFSZ && ulimit -f 256 && ", "--force out.iso src",
       "building out.iso failed: Error creating file \\out.iso\\. (File too large)"},
  };
  for (const Case& c : cases) {
    Write("out.iso", "the earlier image");
    const auto r = Cli("build-iso -q " + c.args, c.prefix);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(Read("out.iso"), "the earlier image") << c.args;
    EXPECT_TRUE(NoLeftovers()) << c.args;
  }
  ASSERT_EQ(::chmod((dir_ / "src/big.bin").c_str(), 0), 0);
  bool passed = false;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        return Cli("build-iso --force /dev/null src").out.find(
                   "Error opening file \\src/big.bin\\. (Permission denied)") != std::string::npos;
      },
      passed));
  EXPECT_TRUE(passed);
}

// Closing the terminal, a reader going away, kill and Ctrl-C abort the job cleanly. torvik-cli
// runs on a pseudo-terminal so that it draws its progress bar; the signal goes once the bar
// shows, while the job works through sparse sources of nearly 4 GiB each.
TEST_F(CliSafety, ASignalDuringTheBuildKeepsTheEarlierImage) {
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
    Write("src/" + std::string(name), "");
    fs::resize_file(dir_ / "src" / name, (uintmax_t(4) << 30) - 4096);
  }
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGPIPE}) {
    Write("out.iso", "the earlier image");
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      if (::chdir(dir_.c_str()) == 0)
        ::execl(kCli.c_str(), kCli.c_str(), "build-iso", "--force", "--cache-mb", "2", "out.iso",
                "src", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string out;
    char buf[4096];
    bool sent = false;
    for (ssize_t n; (n = ::read(terminal, buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;  // EIO: the program has ended
      out.append(buf, size_t(n));
      if (!sent && out.find(" MiB/s") != std::string::npos) sent = ::kill(pid, sig) == 0;
    }
    ::close(terminal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << strsignal(sig) << "\n" << out;
    EXPECT_NE(out.find("Aborted by the user."), std::string::npos) << strsignal(sig) << out;
    EXPECT_EQ(Read("out.iso"), "the earlier image") << strsignal(sig);
    EXPECT_TRUE(NoLeftovers()) << strsignal(sig);
  }
}

// Messages to a reader that is gone are lost; the image is not.
TEST_F(CliSafety, AClosedOutputPipeDoesNotKillTheJob) {
  Write("src/a.txt", "a");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    // --cache-mb 1 gives a warning before the job; the summary follows it.
    if (::chdir(dir_.c_str()) == 0)
      ::execl(kCli.c_str(), kCli.c_str(), "build-iso", "--cache-mb", "1", "out.iso", "src",
              static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Listing("out.iso"), "/a.txt\n");
}

TEST_F(CliSafety, WhatAScanLeftOutIsAWarningEachAndCounted) {
  Write("src/a.txt", "a");
  ASSERT_EQ(::mkfifo((dir_ / "src/pipe").c_str(), 0644), 0);
  fs::create_symlink("nowhere", dir_ / "src/dangling");
  fs::create_directory_symlink("..", dir_ / "src/up");
  const auto r = Cli("build-iso --cache-mb 1000 out.iso src");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* line : {"warning: left out src/pipe: FIFO\n",
                           "warning: left out src/dangling: dangling link\n",
                           "warning: left out src/up: link to a folder\n",
                           "warning: --cache-mb 1000 is outside 2..624; using 624\n",
                           " MiB/s), 4 warnings\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
}

TEST_F(CliSafety, SavePathFoldsDotAndDotDotAndLabelsHoldNoControlCharacters) {
  Write("a/b/c/f.txt", "f");
  const std::string up = "../" + dir_.filename().string();
  const std::vector<std::pair<std::string, std::string>> paths = {
      {"a/../a/b/./c", "/a/b/c/f.txt"}, {"./a/b/c/..", "/a/b/c/f.txt"}, {"a", "/a/b/c/f.txt"},
      {dir_.string() + "/a/b/../b", dir_.string() + "/a/b/c/f.txt"},
      {up + "/a/b", up.substr(2) + "/a/b/c/f.txt"}};
  for (const auto& [source, path] : paths) {
    ASSERT_EQ(Cli("build-iso -q --force --save-path out.iso " + Quote(source)).status, 0);
    const std::string listing = Listing("out.iso");
    EXPECT_NE(listing.find(path + "\n"), std::string::npos) << source << "\n" << listing;
    EXPECT_EQ(listing.find(".."), std::string::npos) << source << "\n" << listing;
  }
  const std::string refusal = "the volume label may not hold control characters";
  for (const std::string label : {"a\tb", "new\nline", "del\x7f", "nel\xC2\x85", "\xC2\x9F"}) {
    const auto build = Cli("build-iso -q --volume-id " + Quote(label) + " new.iso a");
    EXPECT_TRUE(build.status != 0 && build.out.find(refusal) != std::string::npos) << label;
    EXPECT_FALSE(fs::exists(dir_ / "new.iso")) << label;
    // burn looks at the label before it looks for a drive (and this one has none).
    const auto burn = Cli("burn -q --device none --volume-id " + Quote(label) + " a");
    EXPECT_NE(burn.out.find(refusal), std::string::npos) << label << burn.out;
  }
  for (const std::string label : {"Photos 2024", "\xC3\x86r\xC3\xB8", "nbsp\xC2\xA0"})
    EXPECT_EQ(Cli("build-iso -q --force --volume-id " + Quote(label) + " out.iso a").status, 0);
}

}  // namespace
}  // namespace torvik
