// A scratch folder per test: below $TORVIK_TEST_TMP (CTest sets it inside the build tree) or the
// system's temporary folder, named after the process and the running test so that parallel
// test programs never share one.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace torvik::testing {

// The folder `prefix`-PID-TESTNAME, emptied and created.
inline std::filesystem::path FreshScratchDir(const std::string& prefix) {
  const char* base = std::getenv("TORVIK_TEST_TMP");
  const std::filesystem::path dir =
      (base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
      (prefix + "-" + std::to_string(::getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace torvik::testing
