// Image files: arbitrary bytes mounted with MountISOImage into a layout that already holds
// entries, under ReplaceFile on or off.
//
// Input: the image from sector 16 on (sectors 0-15, the system area, are zeros and not part of
// the input, so small inputs reach the descriptors). The first input byte doubles as a switch:
// its bit 0 sets ReplaceFile. The image is handed over as a memory file (/proc/self/fd/N), so
// the whole path of MountISOImage runs, open and pread included.
//
// A mount that fails must leave the layout exactly as it was; one that succeeds must keep every
// entry. Either breach aborts the target.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "layout/bvkTree.h"

namespace {

using namespace torvik;

constexpr size_t kSystemArea = 16 * 2048;

struct Snapshot {
  std::vector<std::u16string> names;
  std::vector<uint32_t> addresses;
  std::vector<int64_t> sizes;
  size_t dirs = 0;
};

Snapshot Take(const TCDFiles& cd) {
  Snapshot s;
  for (const auto& e : cd.Files) {
    s.names.push_back(e->LongName);
    s.addresses.push_back(e->Address);
    s.sizes.push_back(e->FileSize);
  }
  s.dirs = cd.Dirs.size();
  return s;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "image target: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TBrenvik* burner = new TBrenvik;
  static const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || ftruncate(fd, off_t(kSystemArea + size)) != 0) return 0;
  if (size > 0 && pwrite(fd, data, size, off_t(kSystemArea)) != ssize_t(size)) return 0;

  TBrenvik& b = *burner;
  b.ClearAll();
  b.SetReplaceFile(size > 0 && (data[0] & 1) != 0);
  // Entries a crafted image may meet by name: a file of the root, a folder with a file.
  TWin32FindDataW f;
  f.cFileName = u"A.TXT";
  f.SetFileSize(3);
  b.InsertMemoryFileW(u"\\", f, [](void*, pFileEntry, uint32_t, void*, uint32_t& n) { n = 0; });
  b.CreateDirW(u"\\", u"DIR");
  f.cFileName = u"b";
  b.InsertMemoryFileW(u"\\DIR", f, [](void*, pFileEntry, uint32_t, void*, uint32_t& n) { n = 0; });
  const Snapshot before = Take(b.CDFiles);

  const bool mounted = b.MountISOImage(path);
  Check(b.ComponentStatus() == CS_IDLE, "status not idle after the mount");
  const Snapshot after = Take(b.CDFiles);
  if (!mounted) {
    Check(after.names == before.names && after.addresses == before.addresses &&
              after.sizes == before.sizes && after.dirs == before.dirs,
          "a failed mount changed the layout");
    Check(!b.ImportError().empty(), "a failed mount without a reason");
  } else {
    Check(after.names.size() >= before.names.size() && after.dirs >= before.dirs,
          "a mount lost entries");
    // The mounted layout must still lay out.
    b.Prepare();
  }
  return 0;
}
