// Duplicate search speed: fills a layout with the given folders, runs GenerateSmartReferences to
// its done event, and prints the wall time with what was found. With --list FILE it also writes
// the files the search had to read (those that share their size with another), NUL-separated,
// so that bench/dedup.sh can time md5sum over exactly the same files.
//
//   bench_dedup [--list FILE] FOLDER...
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkSmartReferences.h"

int main(int argc, char** argv) {
  using namespace torvik;
  std::string list;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list") == 0 && i + 1 < argc)
      list = argv[++i];
    else
      folders.push_back(argv[i]);
  }
  if (folders.empty()) {
    std::fprintf(stderr, "usage: bench_dedup [--list FILE] FOLDER...\n");
    return 2;
  }
  TBrenvik b;
  for (const std::string& f : folders)
    if (!b.InsertDir("\\", f, "*.*", true, true)) {
      std::fprintf(stderr, "cannot add %s\n", f.c_str());
      return 1;
    }

  // The files sharing a size with another are the ones the search reads.
  std::map<int64_t, std::vector<const TFileEntry*>> bySize;
  size_t candidates = 0;
  for (const auto& e : b.CDFiles.Files)
    if (IsSmartReferenceCandidate(*e)) {
      bySize[e->FileSize].push_back(e.get());
      ++candidates;
    }
  size_t read = 0;
  uint64_t readBytes = 0;
  std::FILE* out = list.empty() ? nullptr : std::fopen(list.c_str(), "wb");
  for (const auto& [size, group] : bySize) {
    if (group.size() < 2) continue;
    for (const TFileEntry* e : group) {
      ++read;
      readBytes += uint64_t(size);
      if (out) {
        const std::string path = e->Path.Native();
        std::fwrite(path.c_str(), 1, path.size() + 1, out);
      }
    }
  }
  if (out) std::fclose(out);

  TCompletionQueue q(b);
  b.SetCompletionSink(&q);
  bool failed = true;
  b.SetOnGenerateSmartReferencesDone([&](void*, bool f, int32_t) { failed = f; });
  const auto begin = std::chrono::steady_clock::now();
  if (!b.GenerateSmartReferences()) return 1;
  q.WaitAndDispatch();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  b.WaitForJob();
  size_t duplicates = 0;
  for (const auto& e : b.CDFiles.Files)
    if (e->ReferenceEntry) ++duplicates;
  std::printf("%.3f s: %zu candidates, %zu read (%.1f MiB), %zu duplicates, %llu bytes saved, "
              "%zu unreadable%s\n",
              seconds, candidates, read, double(readBytes) / 1048576.0, duplicates,
              static_cast<unsigned long long>(b.SmartReferencesSaved()),
              b.SmartReferencesSkipped().size(), failed ? ", FAILED" : "");
  return failed ? 1 : 0;
}
