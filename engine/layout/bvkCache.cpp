#include "layout/bvkCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "layout/bvkUDFBridge.h"
#include "platform/bvkText.h"

namespace torvik {
namespace {

// Source files are read in pieces this large, straight into consecutive packets of the ring.
constexpr uint32_t kReadPiece = 1u << 20;
// Below this a file is read with one call anyway; the read-ahead hint would only cost a call.
constexpr int64_t kAdviseFrom = 1 << 20;

// Reads exactly `n` bytes unless the file ends or fails first; returns the bytes read. A read
// that failed leaves its errno in *osError; a file that simply ended leaves 0 there.
size_t ReadFully(int fd, uint8_t* dst, size_t n, int* osError) {
  size_t done = 0;
  *osError = 0;
  while (done < n) {
    const ssize_t r = ::read(fd, dst + done, n - done);
    if (r > 0) {
      done += size_t(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      if (r < 0) *osError = errno;
      break;
    }
  }
  return done;
}

// The producer's side of the ring, run on the producer thread.
class TProducer {
 public:
  TProducer(TCDFiles& cd, void* sender) : cd_(cd), sender_(sender) {}

  void Run() {
    const bool ok = cd_.BurnISOImage ? StreamImageFile() : StreamLayout();
    if (ok) {
      std::lock_guard lock(cd_.CriticalSection);
      cd_.AllQueued = true;
      cd_.CanStart = true;
      cd_.QueueChanged.notify_all();
    }
    CloseDir();
    // In build mode the image belongs to the write thread; only a source image is closed here.
    if (cd_.BurnISOImage && cd_.ISOImage >= 0) {
      ::close(cd_.ISOImage);
      cd_.ISOImage = -1;
    }
    End();
  }

 private:
  // ---- output into the ring ---------------------------------------------------------------

  // A writable span at the stream position: at least the rest of the current packet, and as
  // many following free packets as lie next to it in memory. Waits while the ring is full;
  // false on abort.
  bool Reserve(uint8_t*& dst, uint32_t& span) {
    if (cd_.Aborted) return false;
    const int64_t packet = int64_t(pos_ / kPacketSize);
    bool releaseHeader = false;
    if (packet >= freeLimit_) {
      std::unique_lock lock(cd_.CriticalSection);
      while (packet >= cd_.PacketsReleased + cd_.CacheSlots && !cd_.Aborted) {
        // A full cache is the consumer's cue to start, and whatever run it waits for is there.
        cd_.CanStart = true;
        cd_.QueueChanged.notify_all();
        cd_.ProducerWaiting = true;
        cd_.QueueChanged.wait(lock);
        cd_.ProducerWaiting = false;
      }
      if (cd_.Aborted) return false;
      freeLimit_ = cd_.PacketsReleased + cd_.CacheSlots;
      releaseHeader = headerHeld_ && cd_.PacketsReleased >= headerPackets_;
    }
    if (releaseHeader) ReleaseHeader();
    const int64_t slot = packet % cd_.CacheSlots;
    const int64_t end = std::min(freeLimit_, packet + (cd_.CacheSlots - slot));
    const uint32_t offset = uint32_t(pos_ % kPacketSize);
    span = uint32_t(std::min<int64_t>((end - packet) * kPacketSize - offset, INT32_MAX));
    dst = cd_.CacheMemory.get() + slot * kPacketSize + offset;
    return true;
  }

  // `n` bytes have been written at the span; queue every packet they completed.
  void Commit(uint32_t n, int32_t fileId) {
    pos_ += n;
    const int64_t complete = int64_t(pos_ / kPacketSize);
    if (complete > published_) Publish(complete - published_, kPacketSize, fileId);
  }

  void Publish(int64_t count, uint32_t lastSize, int32_t fileId,
               const uint8_t* external = nullptr) {
    std::lock_guard lock(cd_.CriticalSection);
    for (int64_t i = 0; i < count; ++i) {
      TCachePacket& p = cd_.Packets[size_t((published_ + i) % cd_.CacheSlots)];
      p.Size = int32_t(i + 1 == count ? lastSize : kPacketSize);
      p.FileId = fileId;
      p.External = external != nullptr ? external + i * int64_t(kPacketSize) : nullptr;
    }
    published_ += count;
    cd_.PacketsPublished = published_;
    cd_.PacketCount += int32_t(count);
    cd_.BytesAvailable += (count - 1) * int64_t(kPacketSize) + lastSize;
    if (cd_.ConsumerWaiting && cd_.PacketsPublished - cd_.PacketsTaken >= cd_.ConsumerWants)
      cd_.QueueChanged.notify_all();
  }

  // Queues `count` whole packets of bytes that stay where they are, for the consumer to write
  // from there: the header is as large as the ring on big layouts, and copying it would hold
  // it in memory twice. Their slots are counted as used all the same, so the ring's bound on
  // queued packets holds. The bytes must stay valid until the consumer hands the packets back.
  bool PublishInPlace(const uint8_t* src, int64_t count) {
    while (count > 0) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const int64_t n = std::min<int64_t>(count, span / kPacketSize);
      pos_ += uint64_t(n) * kPacketSize;
      Publish(n, kPacketSize, 0, src);
      src += n * int64_t(kPacketSize);
      count -= n;
    }
    return true;
  }

  // Frees the header once the consumer no longer needs any of it.
  void ReleaseHeader() {
    headerHeld_ = false;
    std::vector<uint8_t>().swap(cd_.isom);
  }

  bool PutBytes(const uint8_t* src, uint64_t n) {
    while (n > 0) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const uint32_t k = uint32_t(std::min<uint64_t>(n, span));
      std::memcpy(dst, src, k);
      Commit(k, 0);
      src += k;
      n -= k;
    }
    return true;
  }

  // Zero bytes up to stream offset `target`. Data already past it means the layout and the
  // stream disagree; that is never papered over.
  bool PadTo(uint64_t target) {
    if (pos_ > target) {
      FailStream(cd_, 1, u"");
      return false;
    }
    while (pos_ < target) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const uint32_t k = uint32_t(std::min<uint64_t>(target - pos_, span));
      std::memset(dst, 0, k);
      Commit(k, 0);
    }
    return true;
  }

  // ---- sources ----------------------------------------------------------------------------

  // `size` bytes of a source file, zero-padded to whole sectors. A file that cannot be opened,
  // fails to read or has become shorter fails the job naming it; so does a source replaced by
  // a folder (EISDIR) or a FIFO (opened without blocking, it reads as empty).
  bool StreamSourceFile(const std::string& path, const std::u16string& displayName, int64_t size,
                        int32_t fileId) {
    const int fd = OpenSource(path);
    if (fd < 0) {
      const int osError = errno;
      FailStream(cd_, 2, displayName, osError);
      return false;
    }
    cd_.ReadingFile = fileId;
    cd_.VerifySize += uint32_t(BytesToBlocks(uint64_t(size)));
    if (size >= kAdviseFrom) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    bool ok = true;
    uint64_t remaining = uint64_t(size);
    while (remaining > 0) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) {
        ok = false;
        break;
      }
      const uint32_t want = uint32_t(std::min<uint64_t>({remaining, span, kReadPiece}));
      int osError = 0;
      if (ReadFully(fd, dst, want, &osError) != want) {
        FailStream(cd_, 2, displayName, osError);
        ok = false;
        break;
      }
      remaining -= want;
      uint32_t n = want;
      if (remaining == 0) n = PadSectorTail(dst, want);
      Commit(n, fileId);
    }
    ::close(fd);
    return ok;
  }

  // Files of one folder come one after the other, so the folder is opened once and each file
  // relative to it: the kernel walks the path once per folder instead of once per file.
  int OpenSource(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return ::open(path.c_str(), kFlags);
    const std::string_view dir(path.data(), slash);
    if (dirFd_ < 0 || dir != dirPath_) {
      CloseDir();
      dirPath_.assign(dir);
      dirFd_ = ::open(dirPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dirFd_ < 0) return ::open(path.c_str(), kFlags);
    }
    return ::openat(dirFd_, path.c_str() + slash + 1, kFlags);
  }

  void CloseDir() {
    if (dirFd_ >= 0) ::close(dirFd_);
    dirFd_ = -1;
    dirPath_.clear();
  }

  // A memory file: its data callback fills pieces of at most the rest of the current packet.
  // A callback that delivers less than the file still holds fails the job.
  bool StreamMemoryFile(TFileEntry& e) {
    cd_.ReadingFile = e.FileId;
    cd_.VerifySize += uint32_t(BytesToBlocks(uint64_t(e.FileSize)));
    uint64_t done = 0;
    const uint64_t size = uint64_t(e.FileSize);
    while (done < size) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const uint32_t room = std::min<uint32_t>(span, kPacketSize - uint32_t(pos_ % kPacketSize));
      const uint64_t left = size - done;
      const uint32_t piece = uint32_t(std::min<uint64_t>(room, BytesToBlocks(left) * kSectorSize));
      const uint32_t real = uint32_t(std::min<uint64_t>(piece, left));
      std::memset(dst, 0, piece);
      uint32_t delivered = piece;
      bool threw = false;
      try {
        e.mfcbFunction(sender_, &e, uint32_t(done), dst, delivered);
      } catch (...) {
        threw = true;
      }
      if (threw || delivered < real) {
        FailStream(cd_, 2, e.LongName);
        return false;
      }
      if (real < piece) std::memset(dst + real, 0, piece - real);
      done += real;
      Commit(piece, e.FileId);
    }
    return true;
  }

  // Zeroes the rest of the sector after a file's last byte; returns the padded length.
  static uint32_t PadSectorTail(uint8_t* dst, uint32_t n) {
    const uint32_t padded = uint32_t(BytesToBlocks(n) * kSectorSize);
    std::memset(dst + n, 0, padded - n);
    return padded;
  }

  // ---- the two modes ------------------------------------------------------------------------

  bool StreamLayout() {
    // Header: its whole packets are written from isom itself, only a partial last one goes
    // through the ring. A large layout's header can be big, so its memory goes as soon as the
    // consumer has handed its packets back (at the latest when the stream ends).
    const uint64_t headerBytes =
        std::min<uint64_t>(uint64_t(std::max(cd_.IsoHeaderSize, 0)), cd_.isom.size());
    headerPackets_ = int64_t(headerBytes / kPacketSize);
    headerHeld_ = headerPackets_ > 0;
    if (!PublishInPlace(cd_.isom.data(), headerPackets_)) return false;
    const uint64_t inPlace = uint64_t(headerPackets_) * kPacketSize;
    if (!PutBytes(cd_.isom.data() + inPlace, headerBytes - inPlace)) return false;
    if (!headerHeld_) std::vector<uint8_t>().swap(cd_.isom);

    if (!cd_.BootImage.empty()) {
      if (!PadTo(uint64_t(cd_.BootImageLocation) * kSectorSize)) return false;
      if (!StreamSourceFile(cd_.BootImage, Utf16FromNativePath(cd_.BootImage),
                            cd_.BootImageSize, 0))
        return false;
    }

    if (cd_.UDFBridge && !StreamUDFFileStructures()) return false;

    // File data in address order: that is the order Prepare laid it out in, whatever the order
    // of Files. Entries without sectors of their own (directories, empty files, imported
    // files, files sharing another's data) are not read.
    std::vector<TFileEntry*> data;
    const int32_t n = std::min<int32_t>(cd_.NoOfFiles, cd_.FileCounter());
    for (int32_t i = 0; i < n; ++i) {
      TFileEntry& e = *cd_.Files[size_t(i)];
      if (e.DirRecord || e.FileSize <= 0 || e.Imported || e.ReferenceEntry) continue;
      if (e.Path.empty() && !e.mfcbFunction) continue;
      e.FileId = i;
      data.push_back(&e);
    }
    std::stable_sort(data.begin(), data.end(),
                     [](const TFileEntry* a, const TFileEntry* b) { return a->Address < b->Address; });

    for (TFileEntry* e : data) {
      if (!PadTo((uint64_t(cd_.FirstDataSector) + e->Address) * kSectorSize)) return false;
      const bool ok = e->mfcbFunction
                          ? StreamMemoryFile(*e)
                          : StreamSourceFile(e->Path.Native(), e->Path.Wide(), e->FileSize,
                                             e->FileId);
      if (!ok) return false;
    }

    // Zero sectors to the end of the last packet; with the UDF bridge its last sector holds
    // the closing anchor.
    const uint64_t total = uint64_t(cd_.TotalImageSize) * kSectorSize;
    if (total % kPacketSize != 0 || total == 0) {
      FailStream(cd_, 1, u"");
      return false;
    }
    if (cd_.UDFBridge) {
      if (!PadTo(total - kSectorSize)) return false;
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      std::memset(dst, 0, kSectorSize);
      WriteAnchorVolumeDescriptorPointer(cd_, dst, cd_.TotalImageSize - 1);
      Commit(kSectorSize, 0);
    }
    return PadTo(total);
  }

  bool StreamUDFFileStructures() {
    uint32_t remaining = cd_.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures;
    while (remaining > 0) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const uint32_t k = std::min({remaining, span / kSectorSize, kSectorsPerPacket});
      std::memset(dst, 0, size_t(k) * kSectorSize);
      if (!WriteUDFFileStructureBlocks(cd_, dst, k)) {
        // The generator ran dry before the sectors Prepare counted: the UDF tree would point
        // into garbage.
        FailStream(cd_, 1, u"");
        return false;
      }
      Commit(k * kSectorSize, 0);
      remaining -= k;
    }
    return true;
  }

  bool StreamImageFile() {
    const std::u16string name = Utf16FromNativePath(cd_.ISOFileName);
    if (cd_.ISOImage < 0) {
      FailStream(cd_, 2, name);
      return false;
    }
    ::posix_fadvise(cd_.ISOImage, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t remaining = uint64_t(std::max<int64_t>(cd_.ISOImageBytes, 0));
    while (remaining > 0) {
      uint8_t* dst;
      uint32_t span;
      if (!Reserve(dst, span)) return false;
      const uint32_t want = uint32_t(std::min<uint64_t>({remaining, span, kReadPiece}));
      int osError = 0;
      if (ReadFully(cd_.ISOImage, dst, want, &osError) != want) {
        FailStream(cd_, 2, name, osError);
        return false;
      }
      remaining -= want;
      Commit(want, 0);
    }
    // The last piece keeps its length; the writer decides how to finish a partial sector.
    if (pos_ % kPacketSize != 0) Publish(1, uint32_t(pos_ % kPacketSize), 0);
    return true;
  }

  // ---- end of the thread --------------------------------------------------------------------

  // Waits until the consumer has handed back everything it took (all of the stream, or after
  // an abort whatever it holds), then frees the ring on this thread.
  void End() {
    std::unique_lock lock(cd_.CriticalSection);
    if (cd_.Aborted) cd_.Finished = true;
    cd_.QueueChanged.notify_all();
    cd_.ProducerWaiting = true;
    cd_.QueueChanged.wait(lock, [&] {
      if (cd_.Aborted) return cd_.PacketsTaken == cd_.PacketsReleased;
      return cd_.PacketsReleased == cd_.PacketsPublished;
    });
    cd_.ProducerWaiting = false;
    cd_.Finished = true;
    if (headerHeld_) ReleaseHeader();
    cd_.CacheMemory.reset();
    cd_.PacketCount = 0;
    cd_.BytesAvailable = 0;
    cd_.CacheThreadTerminated = true;
    cd_.QueueChanged.notify_all();
  }

  TCDFiles& cd_;
  void* sender_;
  int dirFd_ = -1;
  std::string dirPath_;
  uint64_t pos_ = 0;         // stream bytes produced
  int64_t published_ = 0;    // packets queued so far
  int64_t freeLimit_ = 0;    // first packet number known not to be free yet
  int64_t headerPackets_ = 0;  // packets queued in place from isom (the stream's first ones)
  bool headerHeld_ = false;    // isom is still needed by packets queued in place
};

}  // namespace

TCacheThread::TCacheThread(TCDFiles& cd) : FCDFiles(cd) {
  const int32_t packets = int32_t(std::clamp(cd.CacheSize, kMinCacheSize, kMaxCacheSize) /
                                  kPacketSize);
  cd.MaxPackets = std::min(packets, kMaxCachePackets);
  // The packet being filled takes a slot of its own, so at most MaxPackets are ever queued.
  cd.CacheSlots = cd.MaxPackets;
  // Not zero-filled: every byte is written before it is queued, and untouched pages of a
  // large cache cost nothing for a small image.
  cd.CacheMemory.reset(new uint8_t[size_t(cd.CacheSlots) * kPacketSize]);
  cd.Packets.assign(size_t(cd.CacheSlots), TCachePacket{});
  cd.PacketsPublished = cd.PacketsTaken = cd.PacketsReleased = 0;
  cd.PacketCount = 0;
  cd.BytesAvailable = 0;
  cd.AllQueued = false;
  cd.CanStart = false;
  cd.Finished = false;
  cd.RemainingBlocks = cd.BurnISOImage ? int64_t(BytesToBlocks(uint64_t(cd.ISOImageBytes)))
                                       : int64_t(cd.TotalImageSize);
  cd.NoOfFiles = cd.FileCounter();
  cd.VerifySize = 0;
  cd.ReadingFile = 0;
  cd.CacheThreadTerminated = false;
  if (!cd.BurnISOImage) cd.StreamUsed = true;
  try {
    FThread = std::thread([this] { Execute(); });
  } catch (...) {
    cd.CacheMemory.reset();
    cd.CacheThreadTerminated = true;
    throw;
  }
}

TCacheThread::~TCacheThread() {
  // Joining a producer that waits for a consumer which will never come would hang.
  bool running;
  {
    std::lock_guard lock(FCDFiles.CriticalSection);
    running = !FCDFiles.CacheThreadTerminated;
  }
  if (running) SignalAbort(FCDFiles);
  Join();
}

void TCacheThread::Join() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TCacheThread::Execute() { TProducer(FCDFiles, this).Run(); }

int64_t TakePackets(TCDFiles& cd, TPacketRun& run, int32_t maxPackets) {
  run = TPacketRun{};
  std::unique_lock lock(cd.CriticalSection);
  // Wait for a whole run rather than waking for every packet: fewer, larger writes.
  const int32_t wants = std::clamp(maxPackets, 1, std::max(cd.CacheSlots, 1));
  auto ready = [&] {
    return cd.Aborted || cd.Finished || cd.AllQueued ||
           cd.PacketsPublished - cd.PacketsTaken >= wants;
  };
  if (!ready()) {
    cd.ConsumerWants = wants;
    cd.ConsumerWaiting = true;
    cd.QueueChanged.wait(lock, ready);
    cd.ConsumerWaiting = false;
  }
  if (cd.Aborted || cd.Finished || cd.PacketsPublished == cd.PacketsTaken) return 0;
  const int64_t slot = cd.PacketsTaken % cd.CacheSlots;
  const int64_t most = std::min<int64_t>({cd.PacketsPublished - cd.PacketsTaken,
                                           std::max(maxPackets, 1), cd.CacheSlots - slot});
  // A run is contiguous memory: packets in the ring's blocks, or packets queued in place that
  // follow each other; it ends where the kind changes.
  const uint8_t* const inPlace = cd.Packets[size_t(slot)].External;
  int64_t count = 0, bytes = 0, blocks = 0;
  for (; count < most; ++count) {
    const TCachePacket& p = cd.Packets[size_t(slot + count)];
    const uint8_t* expected = inPlace != nullptr ? inPlace + count * int64_t(kPacketSize) : nullptr;
    if (p.External != expected) break;
    bytes += p.Size;
    blocks += int64_t(BytesToBlocks(uint64_t(p.Size)));
    run.FileId = p.FileId;
  }
  run.Data = inPlace != nullptr ? inPlace : cd.CacheMemory.get() + slot * kPacketSize;
  run.Size = uint32_t(bytes);
  run.Packets = int32_t(count);
  cd.PacketsTaken += count;
  cd.PacketCount -= int32_t(count);
  cd.BytesAvailable -= bytes;
  cd.RemainingBlocks -= blocks;
  cd.WritingFile = run.FileId;
  return bytes;
}

void ReleasePackets(TCDFiles& cd, const TPacketRun& run) {
  if (run.Packets <= 0) return;
  std::lock_guard lock(cd.CriticalSection);
  cd.PacketsReleased += run.Packets;
  if (cd.ProducerWaiting) cd.QueueChanged.notify_all();
}

void WaitForCanStart(TCDFiles& cd) {
  std::unique_lock lock(cd.CriticalSection);
  cd.QueueChanged.wait(lock, [&] { return cd.CanStart || cd.Finished || cd.Aborted; });
}

void WaitForCacheThreadTerminated(TCDFiles& cd) {
  std::unique_lock lock(cd.CriticalSection);
  cd.QueueChanged.wait(lock, [&] { return bool(cd.CacheThreadTerminated); });
}

void SignalAbort(TCDFiles& cd) {
  std::lock_guard lock(cd.CriticalSection);
  cd.Aborted = true;
  cd.QueueChanged.notify_all();
}

void FailStream(TCDFiles& cd, uint32_t errorNumber, std::u16string fileName, int osError) {
  std::lock_guard lock(cd.CriticalSection);
  uint32_t none = 0;
  if (cd.ErrorNumber.compare_exchange_strong(none, errorNumber)) {
    cd.ErrorFileName = std::move(fileName);
    cd.ErrorOSCode = osError;
  }
  cd.Aborted = true;
  cd.Finished = true;
  cd.QueueChanged.notify_all();
}

}  // namespace torvik
