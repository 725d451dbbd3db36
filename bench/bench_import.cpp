// Session import at scale: a session of 100,000 entries (99,000 files in 1,000 folders) read
// back from its header bytes and put into an empty layout. Goal: under 1 s.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "layout/bvkISO9660.h"
#include "layout/bvkISO9660Reader.h"
#include "layout/bvkTree.h"

namespace {

using namespace torvik;
using Clock = std::chrono::steady_clock;

constexpr int kFolders = 1000;
constexpr int kEntries = 100000;

double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

std::u16string Text(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The session as written: its header holds every directory; file data is never read.
std::unique_ptr<TCDFiles> MakeSession() {
  auto cd = std::make_unique<TCDFiles>();
  ClearAll(*cd);
  TWin32FindDataW fd;
  fd.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  fd.ftLastWriteTime = 132682320000000000ULL;
  const TGetDataEvent noData = [](void*, pFileEntry, uint32_t, void*, uint32_t& size) { size = 0; };
  for (int d = 0; d < kFolders; ++d) CreateDirW(*cd, u"\\", Text("Folder " + std::to_string(d)));
  for (int i = 0; i < kEntries - kFolders; ++i) {
    fd.cFileName = Text("Document number " + std::to_string(i) + ".txt");
    fd.SetFileSize(uint64_t(1000 + i % 5000));
    InsertMemoryFileW(*cd, u"\\Folder " + Text(std::to_string(i % kFolders)), fd, noData);
  }
  Prepare(*cd);
  BuildISOHeader(*cd);
  return cd;
}

void BM_Import100k(benchmark::State& state) {
  const auto session = MakeSession();
  const std::vector<uint8_t>& header = session->isom;
  const uint32_t end = session->TotalImageSize;
  const TSectorReader read = [&header, end](uint32_t lba, uint8_t* out) {
    if (lba >= end) return false;
    if (size_t(lba + 1) * 2048 <= header.size())
      std::memcpy(out, &header[size_t(lba) * 2048], 2048);
    else
      std::memset(out, 0, 2048);
    return true;
  };
  for (auto _ : state) {
    auto cd = std::make_unique<TCDFiles>();
    ClearAll(*cd);
    const double c0 = CpuMs();
    const auto t0 = Clock::now();
    TISOTree tree;
    std::string error;
    const bool readOk = ReadISOSession(read, 0, end, tree, error);
    const auto t1 = Clock::now();
    const bool imported = readOk && ImportISOTree(*cd, cd->RootDir, tree);
    const auto t2 = Clock::now();
    const double c2 = CpuMs();
    if (!imported) state.SkipWithError(error.empty() ? cd->LastInsertError.c_str() : error.c_str());
    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    state.counters["read_ms"] = ms(t0, t1);
    state.counters["insert_ms"] = ms(t1, t2);
    state.counters["total_ms"] = ms(t0, t2);
    state.counters["total_cpu_ms"] = c2 - c0;
    std::printf("import of %zu entries: read %6.1f ms, insert %6.1f ms, total %6.1f ms wall "
                "(%6.1f ms cpu)\n",
                tree.Nodes.size(), ms(t0, t1), ms(t1, t2), ms(t0, t2), c2 - c0);
  }
}

BENCHMARK(BM_Import100k)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
