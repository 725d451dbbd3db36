#include "burner/bvkWriteThread.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscWriter.h"
#include "device/bvkSCSILib.h"
#include "layout/bvkCache.h"
#include "platform/bvkText.h"

namespace torvik {
namespace {

// The image file gets writes of up to this many packets (2 MiB); smaller caches hand over a
// quarter of their packets at a time so the producer keeps room to work ahead.
constexpr int32_t kMaxPacketsPerWrite = 32;

// On failure *osError is the write's errno; a write of 0 bytes, which no errno explains, is
// reported as a full device, the one case in which regular files and devices do that.
bool WriteFully(int fd, const uint8_t* p, size_t n, int* osError) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= size_t(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      *osError = w < 0 ? errno : ENOSPC;
      return false;  // a full disk gives ENOSPC, or a write of 0: never report it as done
    }
  }
  return true;
}

}  // namespace

TWriteThread::TWriteThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice* Device)
    : FOwner(Owner), FCDFiles(CDFiles), FDevice(Device) {
  FThread = std::thread([this] { Execute(); });
}

TWriteThread::~TWriteThread() { Join(); }

void TWriteThread::Join() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TWriteThread::Execute() {
  TCDFiles& cd = FCDFiles;
  WaitForCanStart(cd);

  // The starter has set the status to writing; an abort may have changed it to 7 already,
  // and that must stay visible until the job is over.
  ErrorInBurn = false;
  cd.BlocksWritten = 0;

  if (cd.SaveToISOImage) {
    WriteImage();
  } else if (FDevice) {
    ErrorInBurn = !TDiscWriter(cd, *FDevice).Run();
    ReleaseDrive(*FDevice);
  } else {
    // A disc job without a drive: nothing may look as if it had been written.
    FailStream(cd, ERR_NOT_PREPARED, u"");
    ErrorInBurn = true;
  }
  uint16_t writing = CS_WRITING;
  cd.ComponentStatus.compare_exchange_strong(writing, CS_CLOSING);

  if (cd.SaveToISOImage && cd.ISOImage >= 0) {
    // close() can be the first to report a failed delayed write (NFS, quotas).
    if (::close(cd.ISOImage) != 0 && !ErrorInBurn) {
      const int osError = errno;
      FailStream(cd, ERR_CREATE_FILE, Utf16FromNativePath(cd.ISOFileName), osError);
      ErrorInBurn = true;
    }
    cd.ISOImage = -1;
  }

  WaitForCacheThreadTerminated(cd);

  bool failed;
  {
    std::lock_guard lock(cd.CriticalSection);
    failed = ErrorInBurn || cd.Aborted || cd.ErrorNumber != 0;
    // What verification may compare: a layout that really went to this drive's disc.
    const bool layoutOnDisc =
        !failed && FDevice && !cd.SaveToISOImage && !cd.BurnISOImage && !FDevice->TestWrite;
    cd.WrittenToDrive = layoutOnDisc ? FDevice->DriveLetter : std::string();
    cd.WrittenFileCount = cd.Files.size();
    cd.ComponentStatus = CS_IDLE;
  }
  // Outside the lock: a handler that runs here may call back into the component.
  FOwner.Complete(WM_WRITE_DONE, 0, failed ? 1 : 0, this);
}

bool TWriteThread::WriteImage() {
  TCDFiles& cd = FCDFiles;
  const int32_t perWrite = std::clamp(cd.MaxPackets / 4, 1, kMaxPacketsPerWrite);
  TPacketRun run;
  while (TakePackets(cd, run, perWrite) > 0) {
    int osError = 0;
    const bool ok = WriteFully(cd.ISOImage, run.Data, run.Size, &osError);
    ReleasePackets(cd, run);
    if (!ok) {
      // The first error stays: an abort already requested keeps its number.
      FailStream(cd, ERR_CREATE_FILE, Utf16FromNativePath(cd.ISOFileName), osError);
      uint16_t writing = CS_WRITING;
      cd.ComponentStatus.compare_exchange_strong(writing, CS_WRITE_FAILED);
      ErrorInBurn = true;
      return false;
    }
    cd.BlocksWritten += run.Size / kSectorSize;
  }
  return true;
}

}  // namespace torvik
