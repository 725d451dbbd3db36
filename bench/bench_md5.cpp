// TMD5Stream's throughput against md5sum's over the same 256 MiB (from the page cache).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "burner/bvkMD5.h"

namespace {

constexpr size_t kBytes = size_t(256) << 20;

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(kBytes);
    std::mt19937_64 rng(7);
    for (size_t i = 0; i + 8 <= d.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(d.data() + i, &v, 8);
    }
    return d;
  }();
  return data;
}

void BM_TMD5Stream(benchmark::State& state) {
  const auto& d = Data();
  for (auto _ : state) {
    torvik::TMD5Stream md5;
    for (size_t at = 0; at < d.size(); at += 65536) md5.Write(d.data() + at, 65536);
    benchmark::DoNotOptimize(md5.DigestString());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}
BENCHMARK(BM_TMD5Stream)->Unit(benchmark::kMillisecond)->UseRealTime();

// md5sum over a file holding the same bytes, already in the page cache.
void BM_Md5sum(benchmark::State& state) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("torvik-md5-" + std::to_string(::getpid()));
  {
    std::ofstream f(file, std::ios::binary);
    f.write(reinterpret_cast<const char*>(Data().data()), std::streamsize(kBytes));
  }
  const std::string cmd = "md5sum '" + file.string() + "' >/dev/null";
  if (std::system(cmd.c_str()) != 0) state.SkipWithError("md5sum failed");
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("md5sum failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
  std::filesystem::remove(file);
}
BENCHMARK(BM_Md5sum)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
