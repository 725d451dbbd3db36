// The disc jobs besides writing: erasing a rewritable disc (TEraseThread) and verifying the
// files of the layout last written against their sources (TVerifyDiscThread). Each runs on a
// thread of its own and reports through the component's completion (Complete), so the caller
// stays responsive; the component joins the thread when the next job starts or it goes away.
#pragma once

#include <cstdint>
#include <thread>

#include "device/bvkSCSILib.h"
#include "layout/bvkTreeTypes.h"

namespace torvik {

class TBrenvik;

// A job's thread. Derived classes start it at the end of their constructor and join it at the
// start of their destructor, before their own members go.
class TDiscJobThread {
 public:
  virtual ~TDiscJobThread() = default;
  TDiscJobThread(const TDiscJobThread&) = delete;
  TDiscJobThread& operator=(const TDiscJobThread&) = delete;
  void Join() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
  }
  std::thread::id Id() const { return FThread.get_id(); }

 protected:
  TDiscJobThread() = default;
  std::thread FThread;
};

// FORMAT UNIT parameter lists of the erase (the DVD+RW one also starts the background format
// of a new disc before a burn): header 00 82 00 08 (format options valid,
// immediate, descriptor length 8) and one format descriptor.
extern const uint8_t kEraseFormatDVDRAM[12];  // 2,236,704 blocks, type 00h (full format)
extern const uint8_t kFormatListDVDPlusRW[12];  // 2,295,104 blocks, type 26h
extern const uint8_t kEraseFormatBDRE[12];    // type 30h subtype 0, parameter 001000h

// Makes a rewritable disc blank or reusable: BLANK on CD-RW and DVD-RW (and whatever else is
// not named below), FORMAT UNIT and/or an overwrite of the first blocks with zeros on DVD+RW,
// DVD-RAM and BD-RE. ComponentStatus is 2 while it runs (3 during a full DVD+RW erase's
// overwrite) and 0 afterwards; exactly one erase-done event reports the outcome. Every wait is
// bounded by the device's limits and ends on an abort.
class TEraseThread : public TDiscJobThread {
 public:
  TEraseThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice& Device);
  ~TEraseThread() override { Join(); }

 private:
  void Execute();
  bool Erase();
  enum class TPoll { DiscInformation, TestUnitReady };
  bool WaitWhileNotReady(TPoll poll);
  bool Overwrite(uint32_t packets);
  bool Format(const uint8_t (&list)[12]);
  void Fail();

  TBrenvik& FOwner;
  TCDFiles& FCDFiles;
  TSCSIDevice& FDevice;
  uint32_t FError = 0;  // the first failure's error number
};

// Reads every file of the layout last written back from the disc and compares its MD5 digest
// with its source's. One verify-done event per checked file (or per failed one, when
// FireVerifyEventOnAllFiles is false), in layout order, then a final one with FileId -1 whose
// Failed covers mismatches, unreadable sectors, sources that cannot be read and files left
// unchecked after an abort or a stop at the first mismatch. The sources are hashed on a second
// thread while the disc is read.
class TVerifyDiscThread : public TDiscJobThread {
 public:
  TVerifyDiscThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice& Device, bool StopOnMismatch,
                    bool FireVerifyEventOnAllFiles);
  ~TVerifyDiscThread() override { Join(); }

  // Whether the entry is one verification checks: a file with a source on disk, not imported,
  // holding its own data (not a reference to another file's).
  static bool Checks(const TFileEntry& e);

 private:
  void Execute();
  // The digest of `size` bytes of the disc from `lba`, or "-" when a read fails.
  std::string DiscDigest(uint32_t lba, int64_t size, uint8_t* buffer);

  TBrenvik& FOwner;
  TCDFiles& FCDFiles;
  TSCSIDevice& FDevice;
  bool StopOnMismatch;
  bool FireVerifyEventOnAllFiles;
};

// The digest text of a source file, read in 64 KiB pieces; empty when it cannot be opened or
// read, or when `aborted` is seen.
std::string SourceDigest(const std::string& path, const std::atomic<bool>& aborted);

}  // namespace torvik
