// Shared set-up for the layout tree tests: a fresh layout per test, memory-file find data, and
// a scratch folder on disk.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "layout/bvkTree.h"
#include "platform/bvkText.h"
#include "platform/bvkTime.h"
#include "../platform/run_unprivileged.h"

namespace torvik {

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearAll(cd); }
  void TearDown() override {
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  static TWin32FindDataW Mem(std::u16string_view name, uint64_t size = 1,
                             std::u16string_view alt = {}) {
    TWin32FindDataW fd;
    fd.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    fd.ftLastWriteTime = kFileTimeUnixEpoch + 16000000000000000ull;  // 2020-09-13
    fd.SetFileSize(size);
    fd.cFileName.assign(name);
    fd.cAlternateFileName.assign(alt);
    return fd;
  }
  pFileEntry AddMem(std::u16string_view dest, std::u16string_view name, uint64_t size = 1,
                    std::u16string_view alt = {}) {
    return InsertMemoryFileW(cd, dest, Mem(name, size, alt), nullptr);
  }

  // A scratch folder of this test; created on first use.
  const std::string& Scratch() {
    if (dir_.empty()) {
      const char* base = std::getenv("TORVIK_TEST_TMP");
      dir_ = std::string(base ? base : "/tmp") + "/tree-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
    }
    return dir_;
  }
  std::string Path(const std::string& rel) { return Scratch() + "/" + rel; }
  std::string Write(const std::string& rel, const std::string& data, int64_t mtime = 1600000000) {
    const std::string p = Path(rel);
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << data;
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, p.c_str(), times, 0);
    return p;
  }
  std::string MakeDir(const std::string& rel) {
    std::filesystem::create_directories(Path(rel));
    return Path(rel);
  }

  // Long names of a folder's list, in list order.
  static std::vector<std::u16string> ListNames(pDirEntry d) {
    std::vector<std::u16string> out;
    for (pFileEntry e = d->Files; e != nullptr; e = e->NextFile) out.push_back(e->LongName);
    return out;
  }
  static std::vector<std::string> ShortNames(pDirEntry d) {
    std::vector<std::string> out;
    for (pFileEntry e = d->Files; e != nullptr; e = e->NextFile) out.push_back(e->ShortName);
    return out;
  }

  TCDFiles cd;
  std::string dir_;
};

}  // namespace torvik
