// The image stream: a producer thread turns the prepared layout (header, boot image, UDF file
// structures, file data) or an existing image file into 64 KiB packets, queued in a bounded
// ring that one consumer (the write thread) drains in order.
#pragma once

#include <cstdint>
#include <thread>

#include "layout/bvkTreeTypes.h"

namespace torvik {

constexpr int32_t kMaxCachePackets = 9999;   // the ring never queues more
constexpr uint32_t kMinCacheSize = 2u << 20;
constexpr uint32_t kMaxCacheSize = 624u << 20;

// The producer. Creating it sets the stream state up on the caller's thread (the ring is
// allocated here, so a failure to get the memory throws std::bad_alloc before any thread runs)
// and starts the thread. The thread frees the ring and sets CacheThreadTerminated itself, once
// the consumer has handed back every packet it took, so nothing depends on the owner's thread.
//
// Layout mode (BurnISOImage false) needs a prepared layout with its header in isom; the header
// memory is released once it has been queued. Image-file mode (BurnISOImage true) reads the open
// descriptor ISOImage, ISOImageBytes long, and closes it at the end; the starter sets
// TotalImageSize to BytesToBlocks(ISOImageBytes) beforehand.
//
// The caller clears Aborted and ErrorNumber before creating it; the producer never clears them,
// so an abort requested right after the start is not lost.
class TCacheThread {
 public:
  explicit TCacheThread(TCDFiles& CDFiles);
  ~TCacheThread();  // aborts the stream if it still runs, then joins
  TCacheThread(const TCacheThread&) = delete;
  TCacheThread& operator=(const TCacheThread&) = delete;

  bool CanStart() const { return FCDFiles.CanStart.load(); }
  void Join();
  std::thread::id Id() const { return FThread.get_id(); }

 private:
  void Execute();

  TCDFiles& FCDFiles;
  std::thread FThread;
};

// Packets handed to the consumer: Packets neighbouring ring slots, Size bytes from Data. Only
// the stream's last packet may be shorter than 64 KiB (image-file mode).
struct TPacketRun {
  const uint8_t* Data = nullptr;
  uint32_t Size = 0;
  int32_t Packets = 0;
  int32_t FileId = 0;  // of the last packet
};

// Consumer side. Takes up to maxPackets of the oldest queued packets, waiting until that many
// are queued (or the stream has queued its last packet). Returns the run's byte count, or 0 at the end of the stream (all
// taken, or the stream was aborted or failed). The bytes stay valid until ReleasePackets.
int64_t TakePackets(TCDFiles& cd, TPacketRun& run, int32_t maxPackets);
void ReleasePackets(TCDFiles& cd, const TPacketRun& run);

// Blocks until the producer has filled the cache (or queued everything), or the stream ended.
void WaitForCanStart(TCDFiles& cd);
// Blocks until the producer has ended and released the ring.
void WaitForCacheThreadTerminated(TCDFiles& cd);

// Raises Aborted and wakes every thread waiting on the stream, so the abort is seen at once.
void SignalAbort(TCDFiles& cd);

// Records a job failure: the first error number (with the file it names and the errno of the
// OS call that failed, 0 when none did) wins, and Aborted is raised so both threads stop.
void FailStream(TCDFiles& cd, uint32_t errorNumber, std::u16string fileName, int osError = 0);

}  // namespace torvik
