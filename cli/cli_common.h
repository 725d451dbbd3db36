// Pieces every torvik-cli command shares: error output, signal handling, opening a drive and
// following a write job to its end.
#pragma once

#include <csignal>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "commands.h"

namespace torvik::cli {

// Prints "torvik-cli: MESSAGE" on stderr and returns the failing exit status.
int Fail(const std::string& message);

// While alive, Ctrl-C, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (a reader of our
// output went away) only raise a flag, so a running job can be aborted cleanly (the component
// ends its threads, a drive gets its track and session closed, a half image is removed) instead
// of the process dying with half an image or an open track. Guards nest: only the outermost
// one installs the handlers and starts with a clear flag, so a signal that comes while an
// outer guard prepares a job is not forgotten by the job's own guard.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  static bool Interrupted();

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction old_[std::size(kSignals)] {};
  bool outermost_ = false;
};

// Registers the --virtual-drive paths with the component; false with the reason when one of
// them cannot be a drive (its folder does not exist, its state file is unreadable).
bool AddVirtualDrives(TBrenvik& burner, const GlobalOptions& global, std::string* error);

// Brings up the device table (real drives, then the --virtual-drive ones) and selects the drive
// with short id `id`, or the first one when `id` is empty.
bool OpenDrive(TBrenvik& burner, const GlobalOptions& global, const std::string& id,
               std::string* error);

// The component's text for the last failure, followed by the OS's reason when an OS call
// failed: "Error creating file \x.iso\. (No space left on device)".
std::string JobError(TBrenvik& burner);

class ProgressBar;

struct TJobResult {
  bool Started = false;  // false: the component refused to start (no event follows)
  bool Failed = false;   // the write-done event's WriteFailed
  double Seconds = 0;
};

// Starts a write job with `start` and follows it to its write-done event, calling `draw`
// about ten times a second while the bar is on a terminal. Ctrl-C aborts the job; the call
// returns only once the job's threads have ended.
TJobResult RunWriteJob(TBrenvik& burner, bool quiet, const std::function<bool()>& start,
                       const std::function<void(ProgressBar&)>& draw);

// Verifies the layout just burned (or one whose addresses verify took from the disc) against
// its sources: prints every file that differs or cannot be read by its disc path, then
// "N files verified, N failed". `failedBefore` are failures found before reading (a file the
// disc lacks), printed first. Returns the exit status: 0 only when every file matched.
int RunVerify(TBrenvik& burner, bool stopOnMismatch, bool quiet,
              const std::vector<std::string>& failedBefore = {});

// --dedup: runs the component's duplicate search over the filled layout (before Prepare),
// warns about every source it could not read (those keep their own data), and with `summary`
// prints how many files now share another's data and the bytes that saves. `quiet`: no
// progress line. Ctrl-C aborts it. Empty text, or why it did not complete.
class TWarnings;
std::string FindDuplicates(TBrenvik& burner, bool quiet, bool summary, TWarnings& warnings);

// The boot image option: empty text when accepted (or none given), otherwise why not.
std::string UseBootImage(TBrenvik& burner, const std::string& path);

}  // namespace torvik::cli
