// Layout at full scale: 200,000 memory files, spread over 1,000 folders or all in one, then
// Prepare and the header. Goals: each case under 1 s, peak memory under 300 MB.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "layout/bvkISO9660.h"
#include "layout/bvkTree.h"

namespace {

using namespace torvik;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 200000;

// Peak resident set size of the process in MiB (VmHWM).
double PeakMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// Starts a fresh peak: freed memory goes back to the system and VmHWM restarts from the
// current resident size, so each case reports its own peak.
void ResetPeak() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Process CPU time in ms: on a shared, loaded machine wall time overstates the work done.
double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

std::u16string Text(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void FillLayout(TCDFiles& cd, int folders) {
  ClearAll(cd);
  std::vector<std::u16string> paths;
  for (int d = 0; d < folders; ++d) {
    const std::u16string name = Text("Folder " + std::to_string(d));
    CreateDirW(cd, u"\\", name);
    paths.push_back(u"\\" + name);
  }
  if (folders == 0) paths.push_back(u"\\");
  TWin32FindDataW fd;
  fd.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  fd.ftLastWriteTime = 132682320000000000ULL;
  const TGetDataEvent noData = [](void*, pFileEntry, uint32_t, void*, uint32_t& size) { size = 0; };
  for (int i = 0; i < kFiles; ++i) {
    fd.cFileName = Text("Document number " + std::to_string(i) + ".txt");
    fd.SetFileSize(uint64_t(1000 + i % 5000));
    InsertMemoryFileW(cd, paths[size_t(i) % paths.size()], fd, noData);
  }
}

void RunCase(benchmark::State& state, int folders) {
  for (auto _ : state) {
    auto cd = std::make_unique<TCDFiles>();
    ResetPeak();
    const double c0 = CpuMs();
    const auto t0 = Clock::now();
    FillLayout(*cd, folders);
    const auto t1 = Clock::now();
    const double c1 = CpuMs();
    const uint32_t sectors = Prepare(*cd);
    const auto t2 = Clock::now();
    const double c2 = CpuMs();
    const bool built = BuildISOHeader(*cd);
    const auto t3 = Clock::now();
    const double c3 = CpuMs();
    const double peak = PeakMiB();
    if (!built || !cd->Prepared) state.SkipWithError("layout not built");
    benchmark::DoNotOptimize(sectors);

    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    state.counters["insert_ms"] = ms(t0, t1);
    state.counters["prepare_ms"] = ms(t1, t2);
    state.counters["header_ms"] = ms(t2, t3);
    state.counters["total_ms"] = ms(t0, t3);
    state.counters["total_cpu_ms"] = c3 - c0;
    state.counters["peak_MiB"] = peak;
    state.counters["header_MiB"] = double(cd->isom.size()) / (1 << 20);
    std::printf("%-20s wall/cpu ms: insert %6.1f/%6.1f  prepare %6.1f/%6.1f  header %5.1f/%5.1f"
                "  total %6.1f/%6.1f | peak %5.1f MiB, header %4.1f MiB, %u sectors\n",
                folders ? "200k files/1000 dirs" : "200k files/1 dir", ms(t0, t1), c1 - c0,
                ms(t1, t2), c2 - c1, ms(t2, t3), c3 - c2, ms(t0, t3), c3 - c0, peak,
                double(cd->isom.size()) / (1 << 20), cd->TotalImageSize);
  }
}

void BM_Layout200kSpread(benchmark::State& state) { RunCase(state, 1000); }
void BM_Layout200kOneFolder(benchmark::State& state) { RunCase(state, 0); }

BENCHMARK(BM_Layout200kSpread)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Layout200kOneFolder)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
