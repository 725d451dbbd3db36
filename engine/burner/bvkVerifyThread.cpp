#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscJobs.h"
#include "burner/bvkMD5.h"
#include "device/bvkMMC.h"

namespace torvik {

std::string SourceDigest(const std::string& path, const std::atomic<bool>& aborted) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<uint8_t> buffer(kPacketSize);
  TMD5Stream md5;
  std::string digest;
  while (true) {
    // Whole pieces, so a short read means the end of the file.
    size_t got = 0;
    while (got < buffer.size()) {
      const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ::close(fd);
        return {};
      }
      if (n == 0) break;
      got += size_t(n);
    }
    if (got > 0) md5.Write(buffer.data(), got);
    if (got < buffer.size()) break;
    if (aborted) {
      ::close(fd);
      return {};
    }
  }
  ::close(fd);
  return md5.DigestString();
}

bool TVerifyDiscThread::Checks(const TFileEntry& e) {
  // A reference's data is the file it refers to, which is checked in its own right.
  return !e.Path.empty() && !e.Imported && e.DirRecord == nullptr && e.ReferenceEntry == nullptr;
}

TVerifyDiscThread::TVerifyDiscThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice& Device,
                                     bool StopAtMismatch, bool EventOnAllFiles)
    : FOwner(Owner),
      FCDFiles(CDFiles),
      FDevice(Device),
      StopOnMismatch(StopAtMismatch),
      FireVerifyEventOnAllFiles(EventOnAllFiles) {
  FThread = std::thread([this] { Execute(); });
}

std::string TVerifyDiscThread::DiscDigest(uint32_t lba, int64_t size, uint8_t* buffer) {
  TCDFiles& cd = FCDFiles;
  TMD5Stream md5;
  uint64_t remaining = uint64_t(size);
  while (remaining > 0) {
    const uint32_t piece = uint32_t(std::min<uint64_t>(remaining, kPacketSize));
    const uint32_t sectors = uint32_t(BytesToBlocks(piece));
    if (!Read10(FDevice, lba, uint16_t(sectors), buffer)) {
      // The rest of the file counts as done: progress must still reach its total.
      cd.VerifyProgress += uint32_t(BytesToBlocks(remaining));
      return "-";
    }
    md5.Write(buffer, piece);
    cd.VerifyProgress += sectors;
    lba += sectors;
    remaining -= piece;
    if (cd.Aborted && remaining > 0) return {};  // unfinished: never equal to a digest
  }
  return md5.DigestString();
}

void TVerifyDiscThread::Execute() {
  TCDFiles& cd = FCDFiles;
  const size_t count = cd.Files.size();

  // The sources are hashed on a second thread, ahead of the disc reads and in the same order,
  // so a file's two digests take the time of the slower one rather than of both.
  std::vector<char> needsSource(count, 0);
  for (size_t i = 0; i < count; ++i) {
    const TFileEntry& e = *cd.Files[i];
    needsSource[i] = Checks(e) && e.FileSize > 0 && e.Hash.empty();
  }
  std::vector<std::string> sourceDigests(count);
  std::mutex lock;
  std::condition_variable hashed;
  size_t hashedUpTo = 0;  // entries below this index are done
  bool stop = false;
  std::thread hasher([&] {
    for (size_t i = 0; i < count; ++i) {
      if (needsSource[i]) {
        {
          std::lock_guard l(lock);
          if (stop) break;
        }
        if (cd.Aborted) break;
        std::string digest = SourceDigest(cd.Files[i]->Path.Native(), cd.Aborted);
        std::lock_guard l(lock);
        sourceDigests[i] = std::move(digest);
      }
      std::lock_guard l(lock);
      hashedUpTo = i + 1;
      hashed.notify_all();
    }
    std::lock_guard l(lock);
    stop = true;  // nothing more comes: a waiter past hashedUpTo gives up
    hashed.notify_all();
  });

  std::vector<uint8_t> buffer(kPacketSize);
  bool failed = false;
  for (size_t i = 0; i < count; ++i) {
    TFileEntry& e = *cd.Files[i];
    if (!Checks(e)) continue;
    bool mismatch = false;
    if (e.FileSize == 0) {
      e.Hash = "-";  // an empty file has no data to compare
    } else {
      const uint32_t lba = e.Address + cd.FirstDataSector + cd.FirstWritableSector;
      const std::string disc = DiscDigest(lba, e.FileSize, buffer.data());
      if (needsSource[i]) {
        std::unique_lock l(lock);
        hashed.wait(l, [&] { return hashedUpTo > i || stop; });
        if (hashedUpTo > i && !sourceDigests[i].empty()) e.Hash = sourceDigests[i];
      }
      // A source that could not be read fails its file, as does a changed one.
      mismatch = e.Hash.empty() || disc != e.Hash.str();
    }
    failed = failed || mismatch;
    if (mismatch || FireVerifyEventOnAllFiles)
      FOwner.Complete(WM_VERIFY_DONE, uint64_t(i), mismatch ? -1 : 0, this);
    if (cd.Aborted) break;
    if (mismatch && StopOnMismatch) break;
  }
  {
    std::lock_guard l(lock);
    stop = true;
  }
  hasher.join();

  {
    std::lock_guard l(cd.CriticalSection);
    // Files never reached (an abort, a stop at the first mismatch) are not verified.
    if (cd.Aborted) {
      failed = true;
      cd.ErrorNumber = ERR_ABORTED;
    }
    cd.ComponentStatus = CS_IDLE;
  }
  FOwner.Complete(WM_VERIFY_DONE, uint64_t(int64_t(-1)), failed ? -1 : 0, this);
}

}  // namespace torvik
