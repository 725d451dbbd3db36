// The device record: transport state, device table, the selected drive, last sense data, the
// work buffer, MMC reply records, capabilities, speeds and benchmark fields.
//
// Every command reaches a drive through ExecSCSICommand. Two transports sit behind it on Linux:
// SG_IO on /dev/srN and the file-backed virtual drive. A tap may be put in between to watch or
// answer commands (tests, diagnostics).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/bvkDeviceTypes.h"
#include "device/bvkSCSIDefs.h"

namespace torvik {

namespace vdrive {
class VirtualDrive;
}
// Lets the record hold the virtual drive without its definition.
struct TVirtualDriveDeleter {
  void operator()(vdrive::VirtualDrive* v) const;
};

constexpr size_t kMaxDevices = 26;
constexpr uint8_t kNoAddress = 255;
constexpr int kSpeedSamples = 64;

// One row of the device table.
struct TDeviceEntry {
  std::string DriveLetter;  // short id: "sr0", or "vd0" for a virtual drive
  std::string Path;         // /dev/sr0, or the virtual drive's file
  bool Virtual = false;
  uint8_t DeviceType = 0;
  uint8_t HaID = 0;
  uint8_t Target = 0;
  uint8_t Lun = 0;
  std::string Name;  // "%d:%d:%d,%s: %s %s %s ", at most 127 characters
};

// Sends one request to the transport and returns its SRB status.
using TSendFunction = std::function<uint8_t(TSRB_ExecSCSICmd&)>;
// Sees every request on its way to the transport. `forward` sends it on; a tap that answers by
// itself fills the buffer, status and sense area and returns the status without forwarding.
using TTransportTap = std::function<uint8_t(TSRB_ExecSCSICmd& srb, const TSendFunction& forward)>;

// Settings that outlive InitializeDevices (which zeroes everything else).
struct TDeviceSetup {
  std::string SysfsRoot = "/sys";
  std::string DevRoot = "/dev";
  std::vector<std::string> VirtualDrives;  // enumerated after the real drives, in this order
  std::string DiagLogPath;                 // DeviceCan(72); empty = bvkeng.elg in the user folder
  TTransportTap Tap;
  std::function<std::chrono::system_clock::time_point()> Clock;  // log time stamps
  std::function<uint32_t()> TickCount;                            // milliseconds
  std::function<int64_t()> PerfCounter;                           // ticks of PerfFrequency
  double PerfFrequency = 1e9;                                     // ticks per second
  // How long the jobs wait for a drive: the poll interval while it reports "not ready", and the
  // limits after which a format or blank, or a close or cache flush, counts as failed. Tests
  // shorten them.
  uint32_t NotReadyPollMs = 5000;
  uint32_t LongOperationLimitMs = 4u * 3600u * 1000u;
  uint32_t CloseLimitMs = 15u * 60u * 1000u;
  // The pause before a write that found the drive busy (or not ready) is sent again.
  uint32_t RetryPollMs = 100;
};

// Everything InitializeDevices resets to zero.
struct TSCSIDeviceState {
  int Handle = -1;  // file descriptor of the selected real drive
  std::array<uint8_t, kWorkBufferSize> tmpBuffer{};
  std::array<std::string, 256> cn{};
  std::array<TDeviceEntry, kMaxDevices> Devices{};
  uint8_t NoOfDevices = 0;
  std::string DriveLetter = "?";  // short id of the current drive
  std::string DrivePath;          // where the current drive is opened
  bool DriveIsVirtual = false;
  uint8_t DeviceType = 0;
  uint32_t LastWinError = 0;
  uint8_t LastHostStatus = 0;  // host adapter status of the last failed command (0: none)
  bool CloseFH = false;
  bool DoNotUseSPTI = false;
  bool ASPIInitialized = false;
  bool UsingSPTI = false;
  uint8_t SelectedDevice = 0;
  uint8_t HaID = 0, Target = 0, Lun = 0;
  std::string Vendor, ProductID, ProductRev;
  TSENSE LastSenseInfo{};
  bool TargetBusy = false;
  uint32_t DeviceError = 0;  // ASC * 256 + ASCQ of the last failing command
  TSENSE LastErrorSense{};   // that command's sense, with the key DeviceError leaves out
  bool TV = false;

  // Command layer
  TTrackInformation TrackInformation{};
  TDiscInformation DiscInformation{}, BGFDI{};
  TConfigHeader ConfigHeader{};
  double bmWStart = 0, bmWStop = 0, bmWTotal = 0, bmWSize = 0;
  uint16_t bmWCounter = 0, bmWriteSpeed = 0;
  double bmRStart = 0, bmRStop = 0, bmRTotal = 0, bmRSize = 0;
  uint8_t bmRCounter = 0;
  uint16_t bmReadSpeed = 0;
  TModePage2A ModePage2A{};
  TModePage05 ModePage05{};
  uint16_t WriteSpeed = 0, ReadSpeed = 0;
  bool BurnProof = true;
  bool TestWrite = false;
  bool FinalizeDisc = false;
  std::array<int64_t, kSpeedSamples> qTime{}, qBytes{};
  int qIndex = 0;
  double QPFreq = 0;

  // Erase request and error texts of the component (set and read by the burner).
  bool QuickErase = false;
  std::function<void(void* Sender, uint8_t DeviceId, bool EraseFailed)> cbEraseDone;
  std::string ErrStr;
  std::u16string ErrStrW;

  // Capabilities and medium
  TDC dc{};
  uint16_t MaxReadSpeed = 0, CurReadSpeed = 0, MaxWriteSpeed = 0, CurWriteSpeed = 0;
  TMedium Medium = mtUNKNOWN;
};

struct TSCSIDevice : TSCSIDeviceState {
  TSCSIDevice() = default;
  ~TSCSIDevice();
  TSCSIDevice(const TSCSIDevice&) = delete;
  TSCSIDevice& operator=(const TSCSIDevice&) = delete;

  // Read by the progress display while the write thread refreshes them.
  std::atomic<uint32_t> DeviceBufferSize{0};
  std::atomic<uint32_t> DeviceBufferPosition{0};
  std::atomic<uint16_t> bmAvgWriteSpeed{0};
  std::atomic<uint16_t> bmAvgReadSpeed{0};
  std::mutex SpeedLock;  // the sample ring and the BM* values: written by workers, read by the UI

  std::FILE* fdbg = nullptr;
  std::unique_ptr<vdrive::VirtualDrive, TVirtualDriveDeleter> VDrive;  // open virtual drive of the current entry
  TDeviceSetup Setup;
  // A writing job holds the current drive for itself (see ClaimDrive); its handle stays open.
  bool Claimed = false;
};

// ---- transport and device table ----

// Adds a virtual drive to be enumerated by the next InitializeDevices.
void RegisterVirtualDrive(TSCSIDevice& d, const std::string& path);
bool InitializeDevices(TSCSIDevice& d, bool DoNotUseSPTI, const std::string& ASPIDLLPath,
                       const std::string& LogPath);
bool SelectDevice(TSCSIDevice& d, uint8_t index);
bool SelectDeviceByLetter(TSCSIDevice& d, const std::string& id);
std::string GetDeviceName(const TSCSIDevice& d, uint8_t index);
uint8_t ExecSCSICommand(TSCSIDevice& d, TSRB_ExecSCSICmd& srb);

// Holds the current drive for a job that writes to the disc: a real drive is opened with
// O_EXCL, so no other burner or mount can take it, a virtual one is claimed, and in both the
// medium is locked in so the tray stays shut until ReleaseDrive. False with LastWinError set
// (EBUSY while another program holds the drive).
bool ClaimDrive(TSCSIDevice& d);
// Lets go of a claim: the medium may be removed again and other programs may use the drive.
// Harmless without one, so every way out of a job can call it.
void ReleaseDrive(TSCSIDevice& d);
uint8_t SendPassThrough(TSCSIDevice& d, TSRB_ExecSCSICmd& srb);
void CloseDeviceHandle(TSCSIDevice& d);
void CloseDevice(TSCSIDevice& d);

// The debug log: (re)opens it with its first line; false when the file cannot be created.
bool OpenDebugLog(TSCSIDevice& d, const std::string& path);
bool CloseDebugLog(TSCSIDevice& d);
// The log line ExecSCSICommand writes for a finished request.
std::string FormatLogLine(const TSCSIDevice& d, const TSRB_ExecSCSICmd& srb);
// bvkeng.elg in the per-user folder ($XDG_CACHE_HOME/torvik or ~/.cache/torvik).
std::string DefaultDiagLogPath();

// The name line of a table entry.
std::string FormatNameLine(int ha, int target, int lun, const std::string& id,
                           const std::string& vendor, const std::string& product,
                           const std::string& rev);

}  // namespace torvik
