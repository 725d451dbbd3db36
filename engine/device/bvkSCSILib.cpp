#include "device/bvkSCSILib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "device/bvkSGIO.h"
#include "device/bvkVirtualLeg.h"

namespace torvik {

namespace {

constexpr const char* kLogFirstLine = "PeloraBurner\r\n";

struct NameRow {
  uint8_t Opcode;
  const char* Name;
};

// Names are padded to 22 characters so the log's columns line up.
constexpr NameRow kCommandNames[] = {
    {0x00, "TEST UNIT READY       "}, {0x01, "REWIND UNIT           "},
    {0x03, "REQUEST SENSE         "}, {0x04, "FORMAT UNIT           "},
    {0x12, "INQUIRY               "}, {0x1B, "START STOP UNIT       "},
    {0x1E, "PREVENT/ALLOW REMOVAL "}, {0x23, "READ FORMAT CAPACITIES"},
    {0x25, "READ CAPACITY         "}, {0x28, "READ (10)             "},
    {0x2A, "WRITE (10)            "}, {0x2B, "SEEK (10)             "},
    {0x2E, "WRITE AND VERIFY (10) "}, {0x2F, "VERIFY (10)           "},
    {0x35, "SYNCHRONIZE CACHE     "}, {0x42, "READ SUB-CHANNEL      "},
    {0x43, "READ TOC/PMA/ATIP     "}, {0x45, "PLAY AUDIO (10)       "},
    {0x46, "GET CONFIGURATION     "}, {0x47, "PLAY AUDIO MSF        "},
    {0x4A, "GET EVENT/STATUS NOTIF"}, {0x4B, "PAUSE/RESUME          "},
    {0x4E, "STOP PLAY/SCAN        "}, {0x51, "READ DISC INFORMATION "},
    {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK         "},
    {0x54, "SEND OPC INFORMATION  "}, {0x55, "MODE SELECT (10)      "},
    {0x58, "REPAIR TRACK          "}, {0x5A, "MODE SENSE (10)       "},
    {0x5B, "CLOSE TRACK/SESSION   "}, {0x5C, "READ BUFFER CAPACITY  "},
    {0x5D, "SEND CUE SHEET        "}, {0xA1, "BLANK                 "},
    {0xA2, "SEND EVENT            "}, {0xA3, "SEND KEY              "},
    {0xA4, "REPORT KEY            "}, {0xA5, "PLAY AUDIO (12)       "},
    {0xA6, "LOAD/UNLOAD CD/DVD    "}, {0xA7, "SET READ AHEAD        "},
    {0xA8, "READ (12)             "}, {0xAA, "WRITE (12)            "},
    {0xAC, "GET PERFORMANCE       "}, {0xAD, "READ DVD STRUCTURE    "},
    {0xB6, "SET STREAMING         "}, {0xB9, "READ CD MSF           "},
    {0xBA, "SCAN                  "}, {0xBB, "SET CD SPEED          "},
    {0xBD, "MECHANISM STATUS      "}, {0xBE, "READ CD               "},
    {0xBF, "SEND DVD STRUCTURE    "},
};

void Log(TSCSIDevice& d, const std::string& text) {
  if (d.fdbg == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), d.fdbg);
  std::fflush(d.fdbg);
}

// Zeroes the record but keeps the user's burn options and the setup.
void ResetRecord(TSCSIDevice& d) {
  CloseDeviceHandle(d);
  CloseDebugLog(d);
  const bool burnProof = d.BurnProof;
  const bool finalize = d.FinalizeDisc;
  auto fresh = std::make_unique<TSCSIDeviceState>();
  static_cast<TSCSIDeviceState&>(d) = std::move(*fresh);
  // A zero-filled record: the address fields read 0 until a drive is selected.
  d.BurnProof = burnProof;
  d.FinalizeDisc = finalize;
  d.TestWrite = false;
  d.DriveLetter.clear();
  d.DeviceBufferSize = 0;
  d.DeviceBufferPosition = 0;
  d.bmAvgWriteSpeed = 0;
  d.bmAvgReadSpeed = 0;
}

std::string SanitizedField(const uint8_t* reply, size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to; ++i) s.push_back(reply[i] < 0x20 ? ' ' : static_cast<char>(reply[i]));
  return s;
}

// INQUIRY during enumeration and selection: 64 bytes into the work buffer.
uint8_t SendInquiry(TSCSIDevice& d, bool direct) {
  TSRB_ExecSCSICmd srb;
  srb.SRB_Flags = SRB_FLAGS_IN;
  srb.SRB_CDBLen = 6;
  srb.SRB_BufLen = 64;
  srb.SRB_BufPointer = d.tmpBuffer.data();
  srb.SRB_SenseLen = SENSE_LEN;
  srb.CDB[0] = op::INQUIRY;
  srb.CDB[4] = 0x40;
  std::fill_n(d.tmpBuffer.begin(), 64, 0);
  return direct ? SendPassThrough(d, srb) : ExecSCSICommand(d, srb);
}

struct Pending {
  TDeviceEntry Entry;
  bool HasAddress = false;
  std::string Vendor, Product, Rev;
};

void MakeCurrent(TSCSIDevice& d, const TDeviceEntry& e) {
  CloseDeviceHandle(d);
  d.DriveLetter = e.DriveLetter;
  d.DrivePath = e.Path;
  d.DriveIsVirtual = e.Virtual;
}

// Sends INQUIRY to the current drive and fills the entry's identity and name line.
void IdentifyDrive(TSCSIDevice& d, Pending& p) {
  const uint8_t status = SendInquiry(d, true);
  if (status == SS_COMP && d.tmpBuffer[0] == 5) {
    const std::string all = SanitizedField(d.tmpBuffer.data(), 8, 48);
    p.Vendor = all.substr(0, 8);
    p.Product = all.substr(8, 16);
    p.Rev = all.substr(24, 4);
  }
  TDeviceEntry& e = p.Entry;
  e.Name = FormatNameLine(e.HaID, e.Target, e.Lun, e.DriveLetter, p.Vendor, p.Product, p.Rev);
  Log(d, e.Name);
  CloseDeviceHandle(d);
  Log(d, ")\r\n");
}

void EnumerateRealDrives(TSCSIDevice& d, std::vector<Pending>& found) {
  for (const sgio::TFoundDrive& f : sgio::EnumerateOpticalDrives(d.Setup.SysfsRoot)) {
    if (f.DeviceType != 5) {
      Log(d, f.Id + ": ( " + std::to_string(f.DeviceType) + ")\r\n");
      continue;
    }
    Pending p;
    p.Entry.DriveLetter = f.Id;
    p.Entry.Path = (std::filesystem::path(d.Setup.DevRoot) / f.Id).string();
    p.Entry.DeviceType = 5;
    p.HasAddress = f.HasAddress;
    if (f.HasAddress) {
      p.Entry.HaID = static_cast<uint8_t>(std::min(f.Host, 254));
      p.Entry.Target = static_cast<uint8_t>(std::min(f.Target, 254));
      p.Entry.Lun = static_cast<uint8_t>(std::min(f.Lun, 254));
    }
    // Probe that the node opens at all; failures are logged and the drive is skipped.
    int fd = sgio::OpenDrive(p.Entry.Path, true);
    if (fd < 0) {
      Log(d, "System Error Code: " + std::to_string(errno) + "\r\n");
      fd = sgio::OpenDrive(p.Entry.Path, false);
      if (fd < 0) {
        Log(d, "System Error Code: " + std::to_string(errno) + "\r\n");
        continue;
      }
    }
    ::close(fd);
    MakeCurrent(d, p.Entry);
    Log(d, f.Id + ": 5 - ( ");
    IdentifyDrive(d, p);
    found.push_back(std::move(p));
  }
}

void EnumerateVirtualDrives(TSCSIDevice& d, std::vector<Pending>& found) {
  int n = 0;
  for (const std::string& path : d.Setup.VirtualDrives) {
    Pending p;
    p.Entry.DriveLetter = "vd" + std::to_string(n++);
    p.Entry.Path = path;
    p.Entry.Virtual = true;
    p.Entry.DeviceType = 5;
    MakeCurrent(d, p.Entry);
    std::string error;
    if (!vleg::Open(d, &error)) {
      Log(d, p.Entry.DriveLetter + ": ( " + error + ")\r\n");
      continue;
    }
    Log(d, p.Entry.DriveLetter + ": 5 - ( ");
    IdentifyDrive(d, p);
    found.push_back(std::move(p));
  }
}

}  // namespace

TSCSIDevice::~TSCSIDevice() { CloseDevice(*this); }

std::string FormatNameLine(int ha, int target, int lun, const std::string& id,
                           const std::string& vendor, const std::string& product,
                           const std::string& rev) {
  char line[128];
  std::snprintf(line, sizeof line, "%d:%d:%d,%s: %s %s %s ", ha, target, lun, id.c_str(),
                vendor.c_str(), product.c_str(), rev.c_str());
  return line;
}

void RegisterVirtualDrive(TSCSIDevice& d, const std::string& path) {
  d.Setup.VirtualDrives.push_back(path);
}

std::string DefaultDiagLogPath() {
  std::string base;
  if (const char* x = std::getenv("XDG_CACHE_HOME"); x != nullptr && *x == '/') {
    base = x;
  } else if (const char* h = std::getenv("HOME"); h != nullptr && *h != 0) {
    base = std::string(h) + "/.cache";
  } else {
    base = "/tmp";
  }
  const std::string dir = base + "/torvik";
  ::mkdir(base.c_str(), 0700);
  ::mkdir(dir.c_str(), 0700);
  return dir + "/bvkeng.elg";
}

bool OpenDebugLog(TSCSIDevice& d, const std::string& path) {
  CloseDebugLog(d);
  // Never follow a planted symbolic link: the log lives in a folder others might write to.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  d.fdbg = ::fdopen(fd, "wb");
  if (d.fdbg == nullptr) {
    ::close(fd);
    return false;
  }
  Log(d, kLogFirstLine);
  return true;
}

bool CloseDebugLog(TSCSIDevice& d) {
  if (d.fdbg == nullptr) return false;
  std::fclose(d.fdbg);
  d.fdbg = nullptr;
  return true;
}

bool InitializeDevices(TSCSIDevice& d, bool DoNotUseSPTI, const std::string& /*ASPIDLLPath*/,
                       const std::string& LogPath) {
  ResetRecord(d);
  if (!LogPath.empty()) OpenDebugLog(d, LogPath);
  for (const NameRow& r : kCommandNames) d.cn[r.Opcode] = r.Name;
  d.NoOfDevices = 0;
  d.DoNotUseSPTI = DoNotUseSPTI;
  d.QPFreq = 1000.0 / d.Setup.PerfFrequency;

  // There is no ASPI layer on Linux: without the pass-through there is no transport.
  if (DoNotUseSPTI) return false;

  std::vector<Pending> found;
  EnumerateRealDrives(d, found);
  EnumerateVirtualDrives(d, found);
  if (found.empty()) return false;

  // Drives that could not tell their address follow the addressed ones, numbered above the
  // highest real host adapter; the handle alone reaches them, the number is only their identity.
  int highest = -1;
  for (const Pending& p : found)
    if (p.HasAddress) highest = std::max<int>(highest, p.Entry.HaID);
  for (const Pending& p : found) {
    if (!p.HasAddress || d.NoOfDevices >= kMaxDevices) continue;
    d.Devices[d.NoOfDevices++] = p.Entry;
  }
  for (const Pending& p : found) {
    if (p.HasAddress || d.NoOfDevices >= kMaxDevices) continue;
    TDeviceEntry e = p.Entry;
    e.HaID = static_cast<uint8_t>(std::min(++highest, 254));
    e.Target = 0;
    e.Lun = 0;
    e.Name = FormatNameLine(e.HaID, 0, 0, e.DriveLetter, p.Vendor, p.Product, p.Rev);
    d.Devices[d.NoOfDevices++] = e;
  }
  d.ASPIInitialized = true;
  d.UsingSPTI = true;
  return true;
}

void CloseDeviceHandle(TSCSIDevice& d) {
  if (d.Handle >= 0) {
    ::close(d.Handle);
    d.Handle = -1;
  }
  vleg::Close(d);
}

void CloseDevice(TSCSIDevice& d) {
  CloseDebugLog(d);
  CloseDeviceHandle(d);
}

bool SelectDevice(TSCSIDevice& d, uint8_t index) {
  d.HaID = d.Target = d.Lun = kNoAddress;
  d.DeviceType = kNoAddress;
  d.DriveLetter = "?";
  {
    std::lock_guard<std::mutex> lock(d.SpeedLock);
    d.bmWTotal = d.bmWSize = d.bmRTotal = d.bmRSize = 0;
  }
  if (index >= d.NoOfDevices) {
    CloseDeviceHandle(d);
    d.DrivePath.clear();
    return false;
  }
  const TDeviceEntry& e = d.Devices[index];
  d.HaID = e.HaID;
  d.Target = e.Target;
  d.Lun = e.Lun;
  d.DeviceType = e.DeviceType;
  d.SelectedDevice = index;
  MakeCurrent(d, e);
  const bool ok = SendInquiry(d, false) == SS_COMP;
  if (ok) {
    d.Vendor.assign(reinterpret_cast<const char*>(&d.tmpBuffer[8]), 8);
    d.ProductID.assign(reinterpret_cast<const char*>(&d.tmpBuffer[16]), 16);
  }
  DetectCapabilities(d);
  return ok;
}

bool SelectDeviceByLetter(TSCSIDevice& d, const std::string& id) {
  if (id.empty()) return false;
  bool result = false;
  for (uint8_t i = 0; i < d.NoOfDevices; ++i)
    if (d.Devices[i].DriveLetter == id) result = SelectDevice(d, i);
  return result;
}

std::string GetDeviceName(const TSCSIDevice& d, uint8_t index) {
  return index < d.NoOfDevices ? d.Devices[index].Name : std::string();
}

namespace {

uint8_t SendToTransport(TSCSIDevice& d, TSRB_ExecSCSICmd& srb) {
  uint8_t status = SS_ERR;
  if (d.DriveIsVirtual) {
    status = vleg::Send(d, srb);
  } else {
    if (d.Handle < 0 && !d.DrivePath.empty()) {
      d.Handle = sgio::OpenDrive(d.DrivePath, true);
      if (d.Handle < 0) d.Handle = sgio::OpenDrive(d.DrivePath, false);
    }
    if (d.Handle < 0) {
      d.LastWinError = static_cast<uint32_t>(d.DrivePath.empty() ? ENODEV : errno);
      srb.SenseArea.fill(0);
      srb.SRB_Status = SS_ERR;
      status = SS_ERR;
    } else {
      const sgio::TCompletion c = sgio::Execute(d.Handle, srb);
      d.LastWinError = c.LastError;
      status = c.Status;
    }
  }
  if (d.CloseFH && !d.Claimed) CloseDeviceHandle(d);
  return status;
}

}  // namespace

bool ClaimDrive(TSCSIDevice& d) {
  if (d.Claimed) return true;
  if (d.DriveIsVirtual) {
    if (!vleg::Claim(d, nullptr)) {
      // Busy is the only way a drive that opened can refuse the claim.
      d.LastWinError = d.VDrive ? EBUSY : ENODEV;
      return false;
    }
  } else {
    if (d.DrivePath.empty()) {
      d.LastWinError = ENODEV;
      return false;
    }
    // The handle the queries used may be a shared one; the job's own is exclusive.
    if (d.Handle >= 0) ::close(d.Handle);
    d.Handle = sgio::OpenDriveExclusive(d.DrivePath);
    if (d.Handle < 0) {
      d.LastWinError = static_cast<uint32_t>(errno);
      return false;
    }
  }
  d.Claimed = true;
  // Not every drive can lock its tray; the job does not depend on it.
  LockMedium(d);
  return true;
}

void ReleaseDrive(TSCSIDevice& d) {
  if (!d.Claimed) return;
  UnlockMedium(d);
  d.Claimed = false;
  if (d.DriveIsVirtual) vleg::Release(d);
  // The next command opens the drive the ordinary way again.
  CloseDeviceHandle(d);
}

uint8_t SendPassThrough(TSCSIDevice& d, TSRB_ExecSCSICmd& srb) {
  if (!d.Setup.Tap) return SendToTransport(d, srb);
  const TSendFunction forward = [&d](TSRB_ExecSCSICmd& r) { return SendToTransport(d, r); };
  return srb.SRB_Status = d.Setup.Tap(srb, forward);
}

uint8_t ExecSCSICommand(TSCSIDevice& d, TSRB_ExecSCSICmd& srb) {
  if (!d.ASPIInitialized || d.HaID == kNoAddress || d.Target == kNoAddress) {
    srb.SRB_Status = SS_ERR;
    return SS_ERR;
  }
  srb.SRB_HaId = d.HaID;
  srb.SRB_Target = d.Target;
  srb.SRB_Lun = d.Lun;
  srb.SRB_SenseLen = SENSE_LEN;
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  // Some drives take the write address from the drive's own next writable address only.
  if (d.TV && srb.CDB[0] == op::WRITE_10) srb.CDB[2] = srb.CDB[3] = 0;

  // A drive that answers BUSY, or reports a unit attention (a reset, a medium change, changed
  // parameters) instead of running the command, has not run it: it is sent again at once, a few
  // times. Otherwise a query would leave its reply unfilled and the job would go on from stale
  // facts. Longer waits (a write the drive cannot take yet) are the callers' own.
  constexpr int kResends = 3;
  uint8_t sent = SS_ERR;
  for (int attempt = 0;; ++attempt) {
    sent = SendPassThrough(d, srb);
    const bool busy = sent != SS_PENDING && sent != SS_COMP && srb.SRB_TargStat == STATUS_BUSY;
    const bool attention = sent != SS_PENDING && sent != SS_COMP &&
                           srb.SRB_TargStat == 2 && (srb.SenseArea[2] & 0x0F) == 6;
    if ((!busy && !attention) || attempt == kResends) break;
    srb.SenseArea.fill(0);
    srb.SRB_TargStat = 0;
  }
  srb.SRB_Status = sent;

  if (d.fdbg != nullptr) Log(d, FormatLogLine(d, srb));
  d.TargetBusy = sent != SS_PENDING && sent != SS_COMP && srb.SRB_TargStat == STATUS_BUSY;
  d.LastHostStatus = sent != SS_PENDING && sent != SS_COMP ? srb.SRB_HaStat : 0;
  d.LastSenseInfo = TSENSE::FromBytes(srb.SenseArea.data());
  if (d.LastSenseInfo.AddSenseCode != 0) {
    d.DeviceError = uint32_t{d.LastSenseInfo.AddSenseCode} * 256 + d.LastSenseInfo.AddSenQual;
    d.LastErrorSense = d.LastSenseInfo;
  }
  return srb.SRB_Status;
}

std::string FormatLogLine(const TSCSIDevice& d, const TSRB_ExecSCSICmd& srb) {
  std::string line;
  char buf[160];
  // Buffers off a 4-byte boundary cost some host adapters a bounce copy; worth seeing in the log.
  if (reinterpret_cast<uintptr_t>(srb.SRB_BufPointer) % 4 != 0) line += "- NAL ->  ";

  const auto now = d.Setup.Clock ? d.Setup.Clock() : std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  const int milli = static_cast<int>(((ms % 1000) + 1000) % 1000);
  const uint8_t opcode = srb.CDB[0];
  // Precision pads with zeros, as the log has always been written ("%0.2d" and friends).
  std::snprintf(buf, sizeof buf, "%.2d:%.2d:%.3d %s (%.2x) {%.2x:%.2x} - %.1x:%.1x:%.1x <%.2x> [%.5x] ",
                tm.tm_min, tm.tm_sec, milli, d.cn[opcode].c_str(), opcode, srb.SRB_Flags,
                srb.SRB_CDBLen, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun, srb.SRB_Status,
                srb.SRB_BufLen);
  line += buf;
  for (int i = 1; i <= 15; ++i) {
    std::snprintf(buf, sizeof buf, "%.2x ", srb.CDB[static_cast<size_t>(i)]);
    line += buf;
  }
  line += "| ";
  if (srb.SRB_BufPointer != nullptr) {
    const uint32_t n = std::min<uint32_t>(100, srb.SRB_BufLen);
    for (uint32_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%.2x ", srb.SRB_BufPointer[i]);
      line += buf;
    }
  }
  std::snprintf(buf, sizeof buf, "%.2x:%.2x", srb.SenseArea[12], srb.SenseArea[13]);
  line += buf;
  if (d.UsingSPTI) line += ", " + std::to_string(d.LastWinError);
  line += "\r\n";
  return line;
}

}  // namespace torvik
