// Scratch folders and small file helpers for the burner tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace torvik::test {

namespace fs = std::filesystem;

// A fresh folder below TORVIK_TEST_TMP (or the system's temporary folder), removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TORVIK_TEST_TMP");
    fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "burner-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (info) name += std::string("-") + info->name();
    path_ = root / name;
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& s) const { return path_ / s; }

 private:
  fs::path path_;
};

// Deterministic content: byte i of a file with `seed` is a function of both.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = uint8_t(x >> 16);
  }
  return v;
}

inline void WriteFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace torvik::test
