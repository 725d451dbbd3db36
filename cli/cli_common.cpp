#include "cli_common.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>

namespace torvik::cli {

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) { gInterrupted = true; }

}  // namespace

int Fail(const std::string& message) {
  std::fprintf(stderr, "torvik-cli: %s\n", message.c_str());
  return 1;
}

InterruptGuard::InterruptGuard() {
  gInterrupted = false;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, &oldInt_);
  ::sigaction(SIGTERM, &sa, &oldTerm_);
}

InterruptGuard::~InterruptGuard() {
  ::sigaction(SIGINT, &oldInt_, nullptr);
  ::sigaction(SIGTERM, &oldTerm_, nullptr);
}

bool InterruptGuard::Interrupted() { return gInterrupted; }

bool OpenDrive(TBrenvik& burner, const GlobalOptions& global, const std::string& id,
               std::string* error) {
  for (const std::string& path : global.virtualDrives) burner.AddVirtualDrive(path);
  if (!burner.InitializeASPI(false, "", global.logFile) || burner.DeviceCount() == 0) {
    *error = "no optical drive found";
    return false;
  }
  for (uint8_t i = 0; i < burner.DeviceCount(); ++i) {
    if (id.empty() || burner.Device.Devices[i].DriveLetter == id) {
      burner.SelectDevice(i);
      return true;
    }
  }
  *error = "no drive " + id + " (see torvik-cli drives)";
  return false;
}

std::string AddSources(TBrenvik& burner, const std::vector<std::string>& paths, bool savePath,
                       bool warn) {
  // The layout says why an insertion was refused.
  auto refused = [&](const std::string& what) {
    const std::string& why = burner.CDFiles.LastInsertError;
    return "cannot add " + what + " to the disc layout" + (why.empty() ? "" : ": " + why);
  };
  for (const std::string& path : paths) {
    struct stat ps {};
    if (::stat(path.c_str(), &ps) != 0) return path + ": no such file or folder";
    burner.CDFiles.LastInsertError.clear();
    if (S_ISDIR(ps.st_mode)) {
      if (!burner.InsertDir("\\", path, "*.*", true, savePath)) return refused("folder " + path);
    } else if (S_ISREG(ps.st_mode)) {
      if (!burner.InsertFile("\\", path)) return refused("file " + path);
    } else {
      return path + " is neither a file nor a folder";
    }
    // Entries left out on the way (names the disc cannot hold) are worth a word.
    if (warn && !burner.CDFiles.LastInsertError.empty())
      std::fprintf(stderr, "torvik-cli: %s\n", burner.CDFiles.LastInsertError.c_str());
  }
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
