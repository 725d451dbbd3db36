// The consumer of the image stream: takes the cache's packets in order and appends them to the
// image file being built, or hands the stream to TDiscWriter for a disc; then waits for the
// producer to release the cache and reports the end of the job through the write-done
// completion.
#pragma once

#include <cstdint>
#include <thread>

#include "device/bvkSCSILib.h"
#include "layout/bvkTreeTypes.h"

namespace torvik {

class TBrenvik;

class TWriteThread {
 public:
  // Starts the thread at once; it waits for the producer's CanStart before the first write,
  // so the first write finds a full cache. Device is null when an image file is built.
  TWriteThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice* Device);
  ~TWriteThread();  // joins
  TWriteThread(const TWriteThread&) = delete;
  TWriteThread& operator=(const TWriteThread&) = delete;

  void Join();
  std::thread::id Id() const { return FThread.get_id(); }

 private:
  void Execute();
  // Appends the packets to the image file; false (with the job failed) when a write fails.
  bool WriteImage();

  TBrenvik& FOwner;
  TCDFiles& FCDFiles;
  TSCSIDevice* FDevice;
  bool ErrorInBurn = false;
  std::thread FThread;
};

}  // namespace torvik
