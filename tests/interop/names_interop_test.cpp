// Trees a Linux user really has — names that differ only by case, names that are not UTF-8,
// names longer than any disc hierarchy holds, characters a disc name cannot hold — built into
// images by torvik-cli and extracted by independent readers: every source file must come back
// with its own bytes, from every hierarchy each reader looks at.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/run_command.h"
#include "common/scratch_dir.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using torvik::testing::HaveTool;
using torvik::testing::RunCli;
using torvik::testing::RunCommand;

using torvik::testing::Quote;

// The contents of every regular file below root, sorted. Each test file holds its own relative
// path, so this is also the list of files that came back, whatever names they came back under.
std::vector<std::string> Contents(const fs::path& root) {
  std::vector<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    if (!it->is_regular_file()) continue;
    std::ifstream f(it->path(), std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct Reader {
  const char* name;
  const char* tool;
  const char* command;  // %I: the image, %D: the folder to extract into
};

const Reader kReaders[] = {
    {"osirrox (Joliet)", "osirrox", "osirrox -indev %I -extract / %D"},
    {"osirrox (ISO 9660)", "osirrox", "osirrox -read_fs ecma119 -indev %I -extract / %D"},
    {"bsdtar", "bsdtar", "bsdtar -xf %I -C %D"},
    {"7z (ISO)", "7z", "cd %D && 7z x -tiso -y %I"},
    {"7z (UDF)", "7z", "cd %D && 7z x -tudf -y %I"},
};

std::string Expand(std::string command, const std::string& image, const std::string& dir) {
  for (size_t p; (p = command.find("%I")) != std::string::npos;) command.replace(p, 2, Quote(image));
  for (size_t p; (p = command.find("%D")) != std::string::npos;) command.replace(p, 2, Quote(dir));
  return command;
}

class NamesInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = torvik::testing::FreshScratchDir("names");
  }
  void TearDown() override {
    RunCommand("chmod -R u+rwX " + Quote(dir_.string()));
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

struct Tree {
  const char* what;
  std::vector<std::string> files;  // relative paths (bytes); each file holds its own path
};

TEST_F(NamesInteropTest, EveryReaderGetsEveryFileBack) {
  const std::string L240 = std::string(240, 'L') + ".txt";
  const std::string shared = std::string(120, 's');
  const std::vector<Tree> trees = {
      {"names that differ only by case",
       {"readme.txt", "README.TXT", "ReadMe.txt", "Photos/a.txt", "photos/b.txt", "data",
        "Data/c.txt", "\xCF\x83.txt", "\xCF\x82.txt", "K.txt", "\xE2\x84\xAA.txt"}},
      {"names that are not UTF-8",
       {"caf\xE9.txt", "caf\xE8.txt", "caf\xEF\xBF\xBD.txt", "caf\xC3\xA9.txt", "dir\xFF/x"}},
      {"names longer than the hierarchies hold",
       {L240, std::string(218, 'n'), std::string(230, 'F') + "/inside.txt", shared + "1.txt",
        shared + "2.txt"}},
      {"characters a disc name cannot hold",
       {"back\\slash.txt", "back_slash.txt", "a:b;c*?.txt", "x<>|\".txt", "two..dots"}},
      {"names that are not 8.3 names",
       {"IMG_20240101_000001.jpg", "IMG_20240101_000002.jpg", "My Documents/notes.txt"}},
  };
  for (const Tree& tree : trees) {
    SCOPED_TRACE(tree.what);
    const fs::path src = dir_ / "src", image = dir_ / "out.iso";
    fs::remove_all(src);
    std::vector<std::string> expected;
    for (const std::string& f : tree.files) {
      fs::create_directories((src / f).parent_path());
      std::ofstream(src / f, std::ios::binary) << f;
      expected.push_back(f);
    }
    std::sort(expected.begin(), expected.end());

    // With ISO 9660:1999 the primary descriptor's tree carries the long names instead.
    for (const char* options : {"--udf --iso9660-1999", "--udf"}) {
      SCOPED_TRACE(options);
      const auto built = RunCli(std::string("build-iso -q --force ") + options + " " +
                                Quote(image.string()) + " " + Quote(src.string()));
      ASSERT_EQ(built.status, 0) << built.out;
      EXPECT_EQ(built.out.find("warning"), std::string::npos) << built.out;

      for (const Reader& r : kReaders) {
        if (!HaveTool(r.tool)) continue;
        SCOPED_TRACE(r.name);
        const fs::path out = dir_ / "out";
        RunCommand("chmod -R u+rwX " + Quote(out.string()));
        fs::remove_all(out);
        fs::create_directories(out);
        const auto read = RunCommand(Expand(r.command, image.string(), out.string()));
        ASSERT_EQ(read.status, 0) << read.out;
        RunCommand("chmod -R u+rwX " + Quote(out.string()));
        EXPECT_EQ(Contents(out), expected);
      }
    }
  }

  // The primary hierarchy's short names keep their type.
  if (HaveTool("isoinfo")) {
    const auto listing = RunCommand("isoinfo -l -i " + Quote((dir_ / "out.iso").string()));
    EXPECT_NE(listing.out.find("IMG_20~1.JPG"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("IMG_20~2.JPG"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("MYDOCU~1"), std::string::npos) << listing.out;
  }
}

}  // namespace
}  // namespace torvik
