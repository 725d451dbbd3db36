#include "cli_common.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "device/bvkSCSIDefs.h"
#include "emulator/VirtualDrive.h"
#include "platform/bvkText.h"
#include "progress.h"
#include "sources.h"

namespace torvik::cli {

namespace {

std::atomic<bool> gInterrupted{false};
int gGuardDepth = 0;

// While a starter runs (it may wait hours for a format) the job loop cannot look at
// gInterrupted, so the handler raises the component's abort flag itself. A lock-free atomic
// store is all a signal handler may do here.
std::atomic<std::atomic<bool>*> gStarterAbort{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free &&
              std::atomic<std::atomic<bool>*>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  gInterrupted = true;
  if (std::atomic<bool>* abort = gStarterAbort.load()) abort->store(true);
}

}  // namespace

int Fail(const std::string& message) {
  std::fprintf(stderr, "torvik-cli: %s\n", message.c_str());
  return 1;
}

InterruptGuard::InterruptGuard() {
  // Only the CLI's main thread creates guards.
  outermost_ = gGuardDepth++ == 0;
  if (!outermost_) return;
  gInterrupted = false;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &sa, &old_[i]);
}

InterruptGuard::~InterruptGuard() {
  --gGuardDepth;
  if (!outermost_) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
}

bool InterruptGuard::Interrupted() { return gInterrupted; }

bool AddVirtualDrives(TBrenvik& burner, const GlobalOptions& global, std::string* error) {
  for (const std::string& path : global.virtualDrives) {
    // The device table leaves out a drive it cannot open and says why only in the log; a path
    // the user named deserves the reason.
    std::string why;
    if (!vdrive::VirtualDrive::Open(path, &why)) {
      *error = "cannot use the virtual drive: " + why;
      return false;
    }
    burner.AddVirtualDrive(path);
  }
  return true;
}

bool OpenDrive(TBrenvik& burner, const GlobalOptions& global, const std::string& id,
               std::string* error) {
  if (!AddVirtualDrives(burner, global, error)) return false;
  if (!burner.InitializeASPI(false, "", global.logFile) || burner.DeviceCount() == 0) {
    *error = "no optical drive found";
    return false;
  }
  for (uint8_t i = 0; i < burner.DeviceCount(); ++i) {
    if (id.empty() || burner.Device.Devices[i].DriveLetter == id) {
      burner.SelectDevice(i);
      // A real drive is polled every few seconds during a format or blank so it can work
      // undisturbed; a virtual one has nothing to be disturbed.
      if (burner.Device.DriveIsVirtual) burner.Device.Setup.NotReadyPollMs = 100;
      return true;
    }
  }
  *error = "no drive " + id + " (see torvik-cli drives)";
  return false;
}

std::string JobError(TBrenvik& burner) { return burner.ErrorDescription(); }

TJobResult RunWriteJob(TBrenvik& burner, bool quiet, const std::function<bool()>& start,
                       const std::function<void(ProgressBar&)>& draw) {
  TJobResult result;
  TCompletionQueue completions(burner);
  burner.SetCompletionSink(&completions);
  bool done = false;
  burner.SetOnWriteDone([&](void*, uint8_t, bool writeFailed) {
    done = true;
    result.Failed = writeFailed;
  });
  InterruptGuard interrupts;
  const auto begin = std::chrono::steady_clock::now();
  gStarterAbort = &burner.CDFiles.Aborted;
  result.Started = start();
  gStarterAbort = nullptr;
  if (result.Started) {
    ProgressBar bar(!quiet);
    bool abortRequested = false;
    while (!done) {
      completions.WaitAndDispatchFor(bar.Active() ? 100 : 250);
      if (InterruptGuard::Interrupted() && !abortRequested) {
        burner.AbortOperation();
        abortRequested = true;
      }
      if (!done && bar.Active()) draw(bar);
    }
    // The event is posted just before the write thread ends; the queue it posted to must
    // outlive that thread.
    burner.WaitForJob();
    // A draw callback may have written its own line; clear whatever is there.
    if (bar.Active()) std::fprintf(stderr, "\r\033[K");
    bar.Finish();
  }
  burner.SetCompletionSink(nullptr);
  burner.SetOnWriteDone(nullptr);
  result.Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return result;
}

std::string FindDuplicates(TBrenvik& burner, bool quiet, bool summary, TWarnings& warnings) {
  TCompletionQueue completions(burner);
  burner.SetCompletionSink(&completions);
  bool done = false, failed = false;
  burner.SetOnGenerateSmartReferencesDone([&](void*, bool f, int32_t) {
    done = true;
    failed = f;
  });
  InterruptGuard interrupts;
  const bool started = burner.GenerateSmartReferences();
  if (started) {
    const bool show = !quiet && ::isatty(STDERR_FILENO);
    bool abortRequested = false;
    while (!done) {
      completions.WaitAndDispatchFor(show ? 100 : 250);
      if (InterruptGuard::Interrupted() && !abortRequested) {
        burner.AbortOperation();
        abortRequested = true;
      }
      if (!done && show) {
        const uint32_t size = burner.SmartReferencesSize();
        const double pct = size ? 100.0 * burner.SmartReferencesProgress() / size : 0.0;
        std::fprintf(stderr, "\rFinding duplicates: %5.1f%%\033[K", pct);
        std::fflush(stderr);
      }
    }
    // The event is posted just before the thread ends; the queue must outlive it.
    burner.WaitForJob();
    completions.DispatchPending();
    if (show) std::fprintf(stderr, "\r\033[K");
  }
  burner.SetCompletionSink(nullptr);
  burner.SetOnGenerateSmartReferencesDone(nullptr);
  if (!started) return "duplicate detection did not start: " + JobError(burner);
  if (failed) return "duplicate detection failed: " + JobError(burner);
  for (const std::u16string& path : burner.SmartReferencesSkipped())
    warnings.Warn("cannot read " + Utf16ToUtf8(path) +
                  " in full; it is left out of duplicate detection");
  size_t duplicates = 0;
  for (const auto& e : burner.CDFiles.Files)
    if (e->ReferenceEntry) ++duplicates;
  if (summary)
    std::printf("Duplicates: %zu %s another file's data, %llu bytes saved\n", duplicates,
                duplicates == 1 ? "file shares" : "files share",
                static_cast<unsigned long long>(burner.SmartReferencesSaved()));
  return {};
}

std::string UseBootImage(TBrenvik& burner, const std::string& path) {
  if (path.empty()) return {};
  burner.SetBootImage(path);
  if (burner.BootImage() == path) return {};
  return "cannot use " + path +
         " as boot image: it must be a readable file of 2048 (no emulation), 1228800, 1474560 "
         "or 2949120 bytes";
}

}  // namespace torvik::cli
