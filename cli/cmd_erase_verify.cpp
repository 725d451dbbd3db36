// erase, verify: blanking or reformatting a rewritable disc, and reading a burned disc back
// against its sources. burn --verify uses the same verification right after writing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscJobs.h"
#include "cli_common.h"
#include "commands.h"
#include "device/bvkCapabilities.h"
#include "sources.h"

namespace torvik::cli {

namespace {

struct EraseOptions {
  std::string device;
  bool full = false;
  bool yes = false;
  bool quiet = false;
};

struct VerifyOptions {
  std::string device;
  std::vector<std::string> paths;
  bool stopOnMismatch = false;
  bool quiet = false;
};

std::string Clock(double seconds) {
  const long s = long(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ldmin %02lds", s / 60, s % 60);
  return text;
}

// Follows a started erase or verification until `done`, aborting on Ctrl-C and calling `draw`
// about four times a second while stderr is a terminal.
void FollowJob(TBrenvik& burner, TCompletionQueue& completions, const bool& done,
               const std::function<void(double)>& draw, bool quiet) {
  const bool show = !quiet && ::isatty(STDERR_FILENO);
  const auto begin = std::chrono::steady_clock::now();
  bool abortRequested = false;
  while (!done) {
    completions.WaitAndDispatchFor(250);
    if (InterruptGuard::Interrupted() && !abortRequested) {
      burner.AbortOperation();
      abortRequested = true;
    }
    if (!done && show)
      draw(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  // The final event is posted just before the job's thread ends; the queue must outlive it.
  burner.WaitForJob();
  completions.DispatchPending();
  if (show) std::fprintf(stderr, "\r\033[K");
}

// The name people know a disc by.
std::string DiscName(TMedium m) {
  switch (m) {
    case mtCDROM: return "CD-ROM";
    case mtCDR: return "CD-R";
    case mtCDRW: return "CD-RW";
    case mtDVDROM: return "DVD-ROM";
    case mtDVDR: return "DVD-R";
    case mtDVDRAM: return "DVD-RAM";
    case mtDVDRW:
    case mtDVDRWRO:
    case mtDVDRWSR: return "DVD-RW";
    case mtDVDPLUSRW: return "DVD+RW";
    case mtDVDPLUSR: return "DVD+R";
    case mtDVDPLUSRDL: return "DVD+R DL";
    case mtBDROM: return "BD-ROM";
    case mtBDRSR:
    case mtBDRRR: return "BD-R";
    case mtBDRE: return "BD-RE";
    default: return std::string(MediumName(m));
  }
}

// What an erase of this medium does while the component reports status 2.
const char* ErasePhase(TMedium m, bool full) {
  switch (m) {
    case mtCDRW:
    case mtDVDRW:
    case mtDVDRWRO:
    case mtDVDRWSR:
      return "blanking";
    case mtDVDRAM:
      return full ? "formatting" : "overwriting";
    default:
      return "formatting";
  }
}

int RunErase(const GlobalOptions& global, const EraseOptions& o) {
  TBrenvik burner;
  std::string error;
  if (!OpenDrive(burner, global, o.device, &error)) return Fail(error);
  const std::string drive = "Optical drive  (" + burner.Device.DriveLetter + ")";
  const TMedium medium = burner.DiscIs();
  if (!burner.TestUnitReady() || medium == mtUNKNOWN) {
    const TSENSE& s = burner.Device.LastSenseInfo;
    if (burner.Device.TargetBusy)
      return Fail("The " + drive + " is busy: another program is using it.");
    if (s.AddSenseCode == 0x04)
      return Fail("The " + drive + " is not ready (" +
                  SenseText(s.SenseKey, s.AddSenseCode, s.AddSenQual) +
                  "). Wait until it has finished and try again.");
    return Fail("The selected " + drive + " is empty. Please insert a rewritable disc and try again.");
  }
  if (!burner.Erasable())
    return Fail("The disc in " + drive + " cannot be erased: a " + DiscName(medium) +
                " is written once and cannot be made blank again.");
  if (!o.yes && ::isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "Erase the %s in %s? Everything on it will be lost. [y/N] ",
                 DiscName(medium).c_str(), drive.c_str());
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
      return Fail("erase cancelled; the disc is unchanged");
  }

  TCompletionQueue completions(burner);
  burner.SetCompletionSink(&completions);
  bool done = false, failed = false;
  burner.SetOnEraseDone([&](void*, uint8_t, bool f) {
    done = true;
    failed = f;
  });
  InterruptGuard interrupts;
  const auto begin = std::chrono::steady_clock::now();
  if (!burner.EraseDisc(!o.full)) {
    std::string why = "Erase failed: " + JobError(burner);
    if (burner.LastOSError() == EBUSY)
      why += "\ntorvik-cli: another program is using the drive; wait until it has finished";
    return Fail(why);
  }
  FollowJob(
      burner, completions, done,
      [&](double seconds) {
        const char* phase = burner.ComponentStatus() == CS_ERASE_OVERWRITE
                                ? "overwriting"
                                : ErasePhase(medium, o.full);
        std::fprintf(stderr, "\rErasing: %s, %s\033[K", phase, Clock(seconds).c_str());
        std::fflush(stderr);
      },
      o.quiet);
  burner.SetCompletionSink(nullptr);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (failed) return Fail("Erase failed after " + Clock(seconds) + ": " + JobError(burner));
  std::printf("Erase done. Elapsed time: %s.\n", Clock(seconds).c_str());
  return 0;
}

// The disc path of every file entry, by file id ("/docs/a.txt").
std::vector<std::string> DiscPaths(const TCDFiles& cd) {
  std::vector<std::string> paths(cd.Files.size());
  for (const auto& dir : cd.Dirs) {
    std::u16string prefix;
    for (const TDirEntry* d = dir.get(); d->Parent && d->Parent != d; d = d->Parent)
      prefix = u"\\" + d->LongName + prefix;
    for (pFileEntry e = dir->Files; e; e = e->NextFile)
      if (e->FileIndex >= 0 && size_t(e->FileIndex) < paths.size())
        paths[size_t(e->FileIndex)] = DiscPathForMessage(prefix + u"\\" + e->LongName);
  }
  return paths;
}

// A file of the disc's last session: where its data starts and how long it is.
struct DiscFile {
  uint32_t sector = 0;
  int64_t size = 0;
};

// The files of the last session by disc path, read from the disc's own directories (so every
// session's files, carried over or new, are found where they are). False when no session with
// a readable volume is there.
bool ReadDiscTree(TBrenvik& burner, std::map<std::string, DiscFile>* files) {
  burner.ClearAll();
  if (burner.ImportSession(0, "\\") == 0) return false;
  const std::vector<std::string> paths = DiscPaths(burner.CDFiles);
  for (const auto& e : burner.CDFiles.Files)
    if (!e->DirRecord && e->FileIndex >= 0)
      (*files)[paths[size_t(e->FileIndex)]] = {e->Imported ? e->Address : 0, e->FileSize};
  burner.ClearAll();
  return true;
}

}  // namespace

int RunVerify(TBrenvik& burner, bool stopOnMismatch, bool quiet,
              const std::vector<std::string>& failedBefore) {
  const std::vector<std::string> paths = DiscPaths(burner.CDFiles);
  for (const std::string& why : failedBefore) std::printf("FAILED: %s\n", why.c_str());
  TCompletionQueue completions(burner);
  burner.SetCompletionSink(&completions);
  bool done = false, failed = false;
  size_t checked = 0, failures = 0;
  const bool show = !quiet && ::isatty(STDERR_FILENO);
  burner.SetOnVerifyDone([&](void*, uint8_t, int32_t id, bool f) {
    if (id < 0) {
      done = true;
      failed = f;
      return;
    }
    ++checked;
    if (!f) return;
    ++failures;
    if (show) std::fprintf(stderr, "\r\033[K");
    const std::string path = size_t(id) < paths.size() ? paths[size_t(id)] : std::to_string(id);
    std::printf("FAILED: %s\n", path.c_str());
    std::fflush(stdout);
  });
  InterruptGuard interrupts;
  if (!burner.VerifyDisc(stopOnMismatch, true)) {
    burner.SetCompletionSink(nullptr);
    return Fail("Verification failed to start: " + JobError(burner));
  }
  FollowJob(
      burner, completions, done,
      [&](double seconds) {
        const uint32_t size = burner.VerifySize();
        const double pct = size ? 100.0 * burner.VerifyProgress() / size : 0.0;
        std::fprintf(stderr, "\rVerifying: %5.1f%%, %s\033[K", pct, Clock(seconds).c_str());
        std::fflush(stderr);
      },
      quiet);
  burner.SetCompletionSink(nullptr);
  size_t total = 0;
  for (const auto& e : burner.CDFiles.Files)
    if (TVerifyDiscThread::Checks(*e)) ++total;
  // Files the verification never reached (an abort, --stop-on-mismatch) failed to verify too.
  const size_t unchecked = total > checked ? total - checked : 0;
  const size_t failedAll = failures + unchecked + failedBefore.size();
  std::printf("%zu files verified, %zu failed\n", total + failedBefore.size(), failedAll);
  if (burner.CDFiles.ErrorNumber == ERR_ABORTED) return Fail("verification aborted");
  return failed || failedAll > 0 ? 1 : 0;
}

namespace {

int RunVerifyCommand(const GlobalOptions& global, const VerifyOptions& o) {
  TBrenvik burner;
  std::string error;
  if (!OpenDrive(burner, global, o.device, &error)) return Fail(error);
  if (!burner.TestUnitReady() || burner.DiscIs() == mtUNKNOWN)
    return Fail("The selected Optical drive  (" + burner.Device.DriveLetter +
                ") is empty. Please insert the disc to verify and try again.");
  std::map<std::string, DiscFile> onDisc;
  if (!ReadDiscTree(burner, &onDisc))
    return Fail("The disc in Optical drive  (" + burner.Device.DriveLetter +
                ") holds no ISO 9660 volume that could be read; nothing to verify (" +
                burner.ImportError() + ").");
  // The sources go where burn would put them on the disc; each file is then read back from
  // where the disc's directories say it is.
  TWarnings warnings;
  if (std::string why = AddSources(burner, o.paths, false, warnings); !why.empty())
    return Fail(why);
  if (burner.Prepare() == 0 || !burner.CDFiles.Prepared)
    return Fail("cannot lay out the files: " + burner.ErrorString());
  TCDFiles& cd = burner.CDFiles;
  const std::vector<std::string> paths = DiscPaths(cd);
  cd.FirstWritableSector = 0;  // the addresses below are the disc's own
  cd.FirstDataSector = 0;
  std::vector<std::string> failedBefore;
  for (const auto& e : cd.Files) {
    if (!TVerifyDiscThread::Checks(*e)) continue;
    const std::string& path = paths[size_t(e->FileIndex)];
    const auto it = onDisc.find(path);
    // A file the disc lacks, or holds with another length, differs whatever its first bytes
    // say; it is not read.
    if (it == onDisc.end() || it->second.size != e->FileSize) {
      failedBefore.push_back(path + (it == onDisc.end() ? " (not on the disc)"
                                                         : " (another size on the disc)"));
      e->Path.clear();
      continue;
    }
    e->Address = it->second.sector;
  }
  cd.WrittenToDrive = burner.Device.DriveLetter;
  cd.WrittenFileCount = cd.Files.size();
  return RunVerify(burner, o.stopOnMismatch, o.quiet, failedBefore);
}

}  // namespace

void AddEraseVerifyCommands(CLI::App& app, GlobalOptions& global, int& exitCode) {
  auto erase = std::make_shared<EraseOptions>();
  CLI::App* e = app.add_subcommand("erase", "Erase a rewritable disc (CD-RW, DVD±RW, DVD-RAM, BD-RE)");
  e->add_option("--device", erase->device, "Drive id (sr0, vd0; default: the first)")->type_name("ID");
  e->add_flag("--full", erase->full, "Erase the whole disc, not only what makes it reusable");
  e->add_flag("-y,--yes", erase->yes, "Do not ask for confirmation");
  e->add_flag("-q,--quiet", erase->quiet, "No progress line");
  e->callback([erase, &global, &exitCode] { exitCode = RunErase(global, *erase); });

  auto verify = std::make_shared<VerifyOptions>();
  CLI::App* v = app.add_subcommand(
      "verify", "Compare the disc with the folders and files burned to it (MD5 of every file)");
  v->add_option("PATH", verify->paths, "The folders and files given to burn")->required()->expected(1, -1);
  v->add_option("--device", verify->device, "Drive id (sr0, vd0; default: the first)")->type_name("ID");
  v->add_flag("--stop-on-mismatch", verify->stopOnMismatch, "Stop at the first file that differs");
  v->add_flag("-q,--quiet", verify->quiet, "No progress line");
  v->callback([verify, &global, &exitCode] { exitCode = RunVerifyCommand(global, *verify); });
}

}  // namespace torvik::cli
