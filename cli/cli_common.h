// Pieces every torvik-cli command shares: error output, Ctrl-C handling, opening a drive and
// filling the layout from command-line paths.
#pragma once

#include <csignal>
#include <functional>

#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "commands.h"

namespace torvik::cli {

// Prints "torvik-cli: MESSAGE" on stderr and returns the failing exit status.
int Fail(const std::string& message);

// While alive, Ctrl-C and SIGTERM only raise a flag, so a running job can be aborted cleanly
// (the component ends its threads, a drive gets its track and session closed) instead of the
// process dying with half an image or an open track.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  static bool Interrupted();

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// Brings up the device table (real drives, then the --virtual-drive ones) and selects the drive
// with short id `id`, or the first one when `id` is empty.
bool OpenDrive(TBrenvik& burner, const GlobalOptions& global, const std::string& id,
               std::string* error);

// Adds each path the way the application fills its layout: a folder's contents (its whole
// subtree) go to the root of the disc, a file goes to the root. Returns an empty text or why
// a path could not be added. With `warn`, entries left out on the way are reported.
std::string AddSources(TBrenvik& burner, const std::vector<std::string>& paths, bool savePath,
                       bool warn);

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

// The boot image option: empty text when accepted (or none given), otherwise why not.
std::string UseBootImage(TBrenvik& burner, const std::string& path);

}  // namespace torvik::cli
