// torvik-cli must never lose a file without a word nor harm the user's own files: sources that
// would share a disc path are refused, an output that is one of the inputs is refused, an image
// is replaced only by a complete one (a failure or a signal leaves the earlier one), and what
// was left out or why a job failed is said.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/run_command.h"
#include "platform/run_unprivileged.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using torvik::testing::CommandResult;
using torvik::testing::HaveTool;
using torvik::testing::RunCommand;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string CliPath() {
  const char* c = std::getenv("TORVIK_CLI");
  return c ? c : "torvik-cli";
}

std::string Bytes(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(seed + char(i * 7));
  return s;
}

class CliSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TORVIK_TEST_TMP");
    dir_ = (base && *base ? fs::path(base) : fs::temp_directory_path()) /
           ("cli-safety-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Write(const std::string& rel, const std::string& bytes) {
    const fs::path p = dir_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& rel) const {
    std::ifstream f(dir_ / rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // torvik-cli run in the scratch folder, so that messages show the short relative paths.
  CommandResult Cli(const std::string& args) const {
    return RunCommand("cd " + Quote(dir_.string()) + " && " + Quote(CliPath()) + " " + args);
  }

  // The image's paths as a reader other than ours lists them ("/sub/x.txt").
  std::string Listing(const std::string& image) const {
    return RunCommand("isoinfo -f -J -i " + Quote((dir_ / image).string())).out;
  }

  // Names in the folder that belong to no test: temporary files left behind.
  std::vector<std::string> Leftovers(const std::string& rel = ".") const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_ / rel))
      if (e.path().filename().string().starts_with(".")) out.push_back(e.path().filename());
    return out;
  }

  fs::path dir_;
};

// ---- two sources, one disc path ------------------------------------------------------------

TEST_F(CliSafety, SourcesThatWouldShareADiscPathAreRefusedNamingBoth) {
  Write("m1/x.txt", "one");
  Write("m2/x.txt", "two");
  Write("m2/X.TXT", "TWO");
  Write("m1/sub/a.txt", "a1");
  Write("m2/sub/A.txt", "a2");
  Write("m2/sub/b.txt", "b");
  Write("f/x.txt/inner.txt", "a folder named like the file");
  struct Case {
    std::string sources;
    std::string who;    // both sources as the user gave them; empty: accepted
    std::string where;  // the disc path (its case is that of either source)
  };
  const std::vector<Case> cases = {
      {"m1/x.txt m2/x.txt", "m1/x.txt and m2/x.txt", "/x.txt"},
      {"m1/x.txt m2/X.TXT", "m1/x.txt and m2/X.TXT", "/x.txt"},
      {"m1/sub m2/sub", "m1/sub/a.txt and m2/sub/A.txt", "/a.txt"},
      {"m1 m2", "m1/sub/a.txt and m2/sub/A.txt", "/sub/a.txt"},
      {"m1/x.txt f", "m1/x.txt and the folder f/x.txt", "/x.txt"},
      {"f m1/x.txt", "the folder f/x.txt and the file m1/x.txt", "/x.txt"},
      // The same files reached twice lose nothing.
      {"m1 m1", "", ""},
      {"m1/x.txt m1/x.txt", "", ""},
  };
  const auto lower = [](std::string s) {
    for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "out.iso");
    const auto r = Cli("build-iso -q out.iso " + c.sources);
    if (c.who.empty()) {
      EXPECT_EQ(r.status, 0) << c.sources << "\n" << r.out;
      continue;
    }
    EXPECT_NE(r.status, 0) << c.sources;
    const std::string line = c.who + " would both be " + c.where + " on the disc";
    EXPECT_NE(lower(r.out).find(lower(line)), std::string::npos) << c.sources << "\n" << r.out;
    EXPECT_NE(r.out.find(c.who + " would both be /"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir_ / "out.iso")) << c.sources << ": nothing is written";
  }
}

TEST_F(CliSafety, FoldersThatMergeStayFine) {
  Write("m1/sub/a.txt", "a");
  Write("m2/sub/b.txt", "b");
  const auto r = Cli("build-iso -q out.iso m1 m2");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string list = Listing("out.iso");
  for (const char* path : {"/sub/a.txt\n", "/sub/b.txt\n"})
    EXPECT_NE(list.find(path), std::string::npos) << path << "\n" << list;
}

TEST_F(CliSafety, BurnRefusesAClashBeforeTheDiscIsTouched) {
  Write("m1/x.txt", "one");
  Write("m2/x.txt", "two");
  ASSERT_EQ(Cli("vdisc create drive --profile cd-r --drive cd").status, 0);
  const auto r = Cli("--virtual-drive drive burn --device vd0 -q m1/x.txt m2/x.txt");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("m1/x.txt and m2/x.txt would both be /x.txt on the disc"),
            std::string::npos)
      << r.out;
  const auto show = Cli("vdisc show drive");
  EXPECT_NE(show.out.find("Disc status:  blank"), std::string::npos) << show.out;
}

// ---- the output and the inputs -------------------------------------------------------------

TEST_F(CliSafety, AnOutputThatIsOneOfTheInputsIsRefusedAndLeftAlone) {
  const std::string data = Bytes(5000, 'd');
  Write("s/data.bin", data);
  Write("s/other.txt", "other");
  Write("boot.img", Bytes(2048, 'b'));
  fs::create_symlink("s/data.bin", dir_ / "link-to-data");
  fs::create_symlink("data.bin", dir_ / "s" / "data-link.iso");
  fs::create_hard_link(dir_ / "s/data.bin", dir_ / "hard.bin");
  struct Case {
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"s/data.bin s/data.bin", "s/data.bin is the source file s/data.bin"},
      {"link-to-data s/data.bin", "link-to-data is the source file s/data.bin"},
      {"hard.bin s/data.bin", "hard.bin is the source file s/data.bin"},
      {"link-to-data s", "link-to-data is a link to s/data.bin, a file the image is made of"},
      {"s/data-link.iso s", "s/data-link.iso is a link to s/data.bin, a file the image"},
      {"--boot boot.img boot.img s/other.txt", "boot.img is the source file boot.img"},
  };
  for (const Case& c : cases) {
    const auto r = Cli("build-iso --force " + c.args);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(Read("s/data.bin"), data) << c.args;
    EXPECT_TRUE(fs::is_symlink(dir_ / "link-to-data")) << c.args;
    EXPECT_EQ(Read("boot.img"), Bytes(2048, 'b')) << c.args;
    EXPECT_TRUE(Leftovers().empty() && Leftovers("s").empty()) << c.args;
  }
}

// Rebuilding an image inside the folder it is made of: the earlier image is left out of the
// scan each time instead of being read into the new one (or clashing with it).
TEST_F(CliSafety, AnImageRebuiltInsideItsSourceFolderIsNotPartOfItself) {
  Write("d/a.txt", "a");
  Write("d/sub/b.txt", "b");
  uintmax_t firstSize = 0;
  for (int run = 1; run <= 3; ++run) {
    const auto r = Cli("build-iso --force -q d/out.iso d");
    ASSERT_EQ(r.status, 0) << "run " << run << "\n" << r.out;
    const std::string list = Listing("d/out.iso");
    EXPECT_NE(list.find("/a.txt\n"), std::string::npos) << list;
    EXPECT_NE(list.find("/sub/b.txt\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("out.iso"), std::string::npos) << "run " << run << "\n" << list;
    if (run == 1) firstSize = fs::file_size(dir_ / "d/out.iso");
    EXPECT_EQ(fs::file_size(dir_ / "d/out.iso"), firstSize) << "run " << run;
    EXPECT_TRUE(Leftovers("d").empty()) << "run " << run;
  }
}

// The image replaces an output that is a link at the link's target; the link stays.
TEST_F(CliSafety, AnOutputLinkKeepsPointingAtTheNewImage) {
  Write("src/a.txt", "a");
  Write("images/real.iso", "old");
  fs::create_symlink("images/real.iso", dir_ / "out.iso");
  const auto r = Cli("build-iso --force -q out.iso src");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::is_symlink(dir_ / "out.iso"));
  EXPECT_NE(Listing("images/real.iso").find("/a.txt"), std::string::npos);
  EXPECT_TRUE(Leftovers("images").empty());
}

// ---- a failed or interrupted build keeps the earlier image ---------------------------------

// The write fails part-way through: a file-size limit makes the image too large to finish.
TEST_F(CliSafety, AFailedForcedBuildLeavesTheEarlierImage) {
  Write("src/big.bin", Bytes(1 << 20, 'x'));
  Write("out.iso", "the earlier image");
  const auto r = RunCommand("cd " + Quote(dir_.string()) + " && trap '' XFSZ && ulimit -f 256 && " +
                            Quote(CliPath()) + " build-iso --force -q out.iso src");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("building out.iso failed: Error creating file \\out.iso\\. (File too large)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Read("out.iso"), "the earlier image");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(CliSafety, ANewImageHasThePermissionsOfANewFile) {
  Write("src/a.txt", "a");
  struct Case {
    const char* mask;
    mode_t perms;
  };
  for (const Case& c : {Case{"022", 0644}, Case{"002", 0664}, Case{"077", 0600}}) {
    fs::remove(dir_ / "out.iso");
    const auto r = RunCommand("cd " + Quote(dir_.string()) + " && umask " + c.mask + " && " +
                              Quote(CliPath()) + " build-iso -q out.iso src");
    ASSERT_EQ(r.status, 0) << r.out;
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "out.iso").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.perms) << "umask " << c.mask;
  }
}

// Starts torvik-cli with stdout and stderr on a pseudo-terminal, so that it draws its progress
// bar: the bar's first line says the job is under way.
class TerminalRun {
 public:
  TerminalRun(const fs::path& cwd, const std::vector<std::string>& args) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const std::string slave = ::ptsname(master_);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      const int s = ::open(slave.c_str(), O_RDWR);
      const int null = ::open("/dev/null", O_RDONLY);
      if (s < 0 || null < 0 || ::chdir(cwd.c_str()) != 0) _exit(127);
      ::dup2(null, 0);
      ::dup2(s, 1);
      ::dup2(s, 2);
      std::vector<char*> argv;
      const std::string cli = CliPath();
      argv.push_back(const_cast<char*>(cli.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(cli.c_str(), argv.data());
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (master_ >= 0) ::close(master_);
  }

  bool Started() const { return pid_ > 0; }
  // Reads what the program prints until `text` shows up; false when it ended first.
  bool WaitFor(const std::string& text) {
    while (output_.find(text) == std::string::npos)
      if (!ReadSome()) return false;
    return true;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Reads to the end of the output, then returns the exit status (-1: killed by a signal).
  int Wait() {
    while (ReadSome()) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Output() const { return output_; }

 private:
  bool ReadSome() {
    char buf[4096];
    ssize_t n;
    do {
      n = ::read(master_, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;  // EIO once the program has closed the terminal
    output_.append(buf, size_t(n));
    return true;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
};

// Closing the terminal (SIGHUP), a reader going away (SIGPIPE), kill and Ctrl-C all abort the
// job cleanly: the earlier image stays and the temporary file goes. The sources are sparse files
// of nearly 4 GiB each, so the build is still running when its progress bar first shows.
TEST_F(CliSafety, ASignalDuringTheBuildKeepsTheEarlierImage) {
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
    fs::create_directories(dir_ / "src");
    std::ofstream(dir_ / "src" / name);
    fs::resize_file(dir_ / "src" / name, (uintmax_t(4) << 30) - 4096);
  }
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGPIPE}) {
    Write("out.iso", "the earlier image");
    TerminalRun run(dir_, {"build-iso", "--force", "--cache-mb", "2", "out.iso", "src"});
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitFor(" MiB/s")) << strsignal(sig) << "\n" << run.Output();
    run.Signal(sig);
    EXPECT_EQ(run.Wait(), 1) << strsignal(sig) << "\n" << run.Output();
    EXPECT_NE(run.Output().find("Aborted by the user."), std::string::npos) << run.Output();
    EXPECT_EQ(Read("out.iso"), "the earlier image") << strsignal(sig);
    EXPECT_TRUE(Leftovers().empty()) << strsignal(sig);
  }
}

// Output to a reader that is gone: the messages are lost, the image is not.
TEST_F(CliSafety, AClosedOutputPipeDoesNotKillTheJob) {
  Write("src/a.txt", "a");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    if (::chdir(dir_.c_str()) != 0) _exit(127);
    const std::string cli = CliPath();
    // --cache-mb 1 makes a warning, written before the job; the summary comes after it.
    ::execl(cli.c_str(), cli.c_str(), "build-iso", "--cache-mb", "1", "out.iso", "src",
            static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(Listing("out.iso").find("/a.txt"), std::string::npos);
}

// ---- what was left out, and why a job failed -----------------------------------------------

TEST_F(CliSafety, WhatAScanLeftOutIsAWarningEachAndCounted) {
  Write("src/a.txt", "a");
  fs::create_directories(dir_ / "elsewhere");
  ASSERT_EQ(::mkfifo((dir_ / "src/pipe").c_str(), 0644), 0);
  fs::create_symlink("nowhere", dir_ / "src/dangling");
  fs::create_symlink("../elsewhere", dir_ / "src/folder-link");
  const auto r = Cli("build-iso --cache-mb 1000 out.iso src");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* line : {"torvik-cli: warning: left out src/pipe: FIFO\n",
                           "torvik-cli: warning: left out src/dangling: dangling link\n",
                           "torvik-cli: warning: left out src/folder-link: link to a folder\n",
                           "torvik-cli: warning: --cache-mb 1000 is outside 2..624; using 624\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  EXPECT_NE(r.out.find(" MiB/s), 4 warnings\n"), std::string::npos) << r.out;
}

TEST_F(CliSafety, TheErrorLineSaysWhatTheSystemReported) {
  Write("src/a.txt", Bytes(300000, 'a'));
  struct Case {
    std::string args;
    std::string message;
  };
  std::vector<Case> cases = {
      {"missing/out.iso src",
       "Error creating file \\missing/out.iso\\. (No such file or directory)"},
  };
  if (::access("/dev/full", W_OK) == 0)
    cases.push_back({"--force /dev/full src",
                     "building /dev/full failed: Error creating file \\/dev/full\\. (No space "
                     "left on device)"});
  for (const Case& c : cases) {
    const auto r = Cli("build-iso " + c.args);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
  }
}

TEST_F(CliSafety, AnUnreadableSourceFailsWithPermissionDenied) {
  Write("src/secret.txt", "secret");
  ASSERT_EQ(::chmod((dir_ / "src/secret.txt").c_str(), 0), 0);
  const std::string command = "cd " + Quote(dir_.string()) + " && " + Quote(CliPath()) +
                              " build-iso --force /dev/null src";
  const std::string expected =
      "building /dev/null failed: Error opening file \\src/secret.txt\\. (Permission denied)";
  bool passed = false;
  ASSERT_TRUE(RunUnprivileged(
      [&] {
        const auto r = RunCommand(command);
        if (r.status == 0 || r.out.find(expected) == std::string::npos) {
          std::fprintf(stderr, "%s\n", r.out.c_str());
          return false;
        }
        return true;
      },
      passed));
  EXPECT_TRUE(passed);
}

// ---- paths and labels ----------------------------------------------------------------------

TEST_F(CliSafety, SavePathFoldsDotAndDotDot) {
  Write("a/b/c/f.txt", "f");
  const std::string abs = (dir_ / "a").string();
  struct Case {
    std::string source;
    std::string expected;  // a path of the image
  };
  const std::vector<Case> cases = {
      {"a/../a/b/./c", "/a/b/c/f.txt\n"},
      {"./a/b/c/", "/a/b/c/f.txt\n"},
      {"a/b/c/..", "/a/b/c/f.txt\n"},  // the folder a/b, with c below it
      {"a", "/a/b/c/f.txt\n"},
      {abs + "/b/../b/c", abs + "/b/c/f.txt\n"},
      {"a/b/c/../../../a/b", "/a/b/c/f.txt\n"},
      {"../" + dir_.filename().string() + "/a/b", "/" + dir_.filename().string() + "/a/b/c/f.txt\n"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "out.iso");
    const auto r = Cli("build-iso -q --save-path out.iso " + Quote(c.source));
    ASSERT_EQ(r.status, 0) << c.source << "\n" << r.out;
    const std::string list = Listing("out.iso");
    EXPECT_NE(list.find(c.expected), std::string::npos) << c.source << "\n" << list;
    EXPECT_EQ(list.find(".."), std::string::npos) << c.source << "\n" << list;
  }
}

TEST_F(CliSafety, ALabelWithControlCharactersIsRefused) {
  Write("src/a.txt", "a");
  struct Case {
    std::string label;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"a\tb", false},          {"line\nbreak", false},   {"del\x7f", false},
      {"nel\xC2\x85", false},   {"c1\xC2\x9F", false},    {"\x01", false},
      {"Photos 2024", true},     {"\xC3\x86r\xC3\xB8 \xC3\xB1", true},
      {"nbsp\xC2\xA0ok", true},
  };
  const std::string refusal = "the volume label may not hold control characters";
  for (const Case& c : cases) {
    fs::remove(dir_ / "out.iso");
    const auto build = RunCommand("cd " + Quote(dir_.string()) + " && " + Quote(CliPath()) +
                                  " build-iso -q --volume-id " + Quote(c.label) + " out.iso src");
    if (c.accepted) {
      EXPECT_EQ(build.status, 0) << c.label << "\n" << build.out;
      continue;
    }
    EXPECT_NE(build.status, 0) << c.label;
    EXPECT_NE(build.out.find(refusal), std::string::npos) << c.label << "\n" << build.out;
    EXPECT_FALSE(fs::exists(dir_ / "out.iso")) << c.label;
    // burn checks the label before it looks for a drive; a drive id that cannot exist keeps a
    // real drive out of it should that check ever fail.
    const auto burn = RunCommand("cd " + Quote(dir_.string()) + " && " + Quote(CliPath()) +
                                 " burn -q --device no-such-drive --volume-id " + Quote(c.label) +
                                 " src");
    EXPECT_NE(burn.status, 0) << c.label;
    EXPECT_NE(burn.out.find(refusal), std::string::npos) << c.label << "\n" << burn.out;
  }
}

}  // namespace
}  // namespace torvik
