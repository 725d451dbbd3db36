#include "device/bvkMMC.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "device/bvkSGIO.h"

namespace torvik {

namespace {

struct Cmd {
  TSRB_ExecSCSICmd srb;

  Cmd(uint8_t opcode, uint8_t cdbLen, uint8_t flags = SRB_FLAGS_NONE, uint8_t* buffer = nullptr,
      uint32_t length = 0) {
    srb.SRB_Flags = flags;
    srb.SRB_CDBLen = cdbLen;
    srb.SRB_BufLen = buffer != nullptr ? length : 0;
    srb.SRB_BufPointer = buffer;
    srb.CDB[0] = opcode;
  }
  uint8_t& operator[](size_t i) { return srb.CDB[i]; }
  void Be16At(size_t i, uint32_t v) { PutBe16(&srb.CDB[i], v); }
  void Be32At(size_t i, uint32_t v) { PutBe32(&srb.CDB[i], v); }
  bool Completed(TSCSIDevice& d) { return ExecSCSICommand(d, srb) == SS_COMP; }
  bool NotFailed(TSCSIDevice& d) {
    const uint8_t s = ExecSCSICommand(d, srb);
    return s == SS_COMP || s == SS_PENDING;
  }
};

uint32_t Ticks(TSCSIDevice& d) {
  if (d.Setup.TickCount) return d.Setup.TickCount();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int64_t PerfCounter(TSCSIDevice& d) {
  if (d.Setup.PerfCounter) return d.Setup.PerfCounter();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint16_t AverageSpeed(double size, double totalMs) {
  if (totalMs / 1000 <= 0) return 0;
  const double v = std::round((size / 1024) / (totalMs / 1000));
  return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

void SetMultiSession(TModePage05& p, bool on) {
  p.TrackMode() = static_cast<uint8_t>((p.TrackMode() & 0x3F) | (on ? 0xC0 : 0x00));
}
void SetFixedPacket(TModePage05& p, bool on) {
  p.TrackMode() = static_cast<uint8_t>((p.TrackMode() & ~0x20) | (on ? 0x20 : 0));
}
void SetLow(uint8_t& b, uint8_t nibble) { b = static_cast<uint8_t>((b & 0xF0) | nibble); }

}  // namespace

bool TestUnitReady(TSCSIDevice& d) { return Cmd(op::TEST_UNIT_READY, 6).Completed(d); }

bool RezeroUnit(TSCSIDevice& d) { return Cmd(op::REZERO_UNIT, 6).Completed(d); }

bool FormatUnit(TSCSIDevice& d, uint8_t cdb1, uint8_t* list, uint32_t length) {
  Cmd c(op::FORMAT_UNIT, 6, SRB_FLAGS_OUT, list, length);
  c[1] = cdb1;
  return c.NotFailed(d);
}

bool Inquiry(TSCSIDevice& d, uint8_t* buffer) {
  Cmd c(op::INQUIRY, 6, SRB_FLAGS_IN, buffer, 64);
  c[4] = 0x40;
  return c.Completed(d);
}

bool LoadMedium(TSCSIDevice& d, bool Immediate) {
  Cmd c(op::START_STOP_UNIT, 6);
  c[1] = Immediate ? 1 : 0;
  c[4] = 0x03;
  return c.Completed(d);
}

bool EjectMedium(TSCSIDevice& d, bool Immediate) {
  Cmd c(op::START_STOP_UNIT, 6);
  c[1] = Immediate ? 1 : 0;
  c[4] = 0x02;
  return c.Completed(d);
}

bool LockMedium(TSCSIDevice& d) {
  Cmd c(op::PREVENT_ALLOW, 6);
  c[4] = 0x01;
  return c.Completed(d);
}

bool UnlockMedium(TSCSIDevice& d) { return Cmd(op::PREVENT_ALLOW, 6).Completed(d); }

bool ReadFormatCapacities(TSCSIDevice& d) {
  std::fill_n(d.tmpBuffer.begin(), 124, 0);
  Cmd c(op::READ_FORMAT_CAPACITIES, 10, SRB_FLAGS_IN, d.tmpBuffer.data(), 124);
  c[8] = 0x7C;
  return c.Completed(d);
}

bool Read10(TSCSIDevice& d, uint32_t LBA, uint16_t blocks, uint8_t* buffer) {
  std::unique_lock<std::mutex> lock(d.SpeedLock);
  d.bmRStart = Ticks(d);
  // Seed from the capabilities page we already have; a fresh detection per read would cost
  // a dozen commands each time.
  if (d.bmAvgReadSpeed == 0) d.bmAvgReadSpeed = d.ModePage2A.CurReadSpeed;
  const int64_t start = PerfCounter(d);
  d.bmRSize += double(blocks) * kBlockSize;
  lock.unlock();

  Cmd c(op::READ_10, 10, SRB_FLAGS_IN, buffer, uint32_t{blocks} * kBlockSize);
  c.Be32At(2, LBA);
  c.Be16At(7, blocks);
  const bool ok = c.Completed(d);

  lock.lock();
  d.bmRStop = Ticks(d);
  d.bmRTotal += d.bmRStop - d.bmRStart;
  d.bmAvgReadSpeed = AverageSpeed(d.bmRSize, d.bmRTotal);
  ++d.bmRCounter;
  lock.unlock();
  AddSpeedSample(d, int64_t{blocks} * kBlockSize, PerfCounter(d) - start);
  return ok;
}

bool Write10(TSCSIDevice& d, uint32_t LBA, uint16_t blocks, uint32_t bytes, uint8_t* buffer) {
  std::unique_lock<std::mutex> lock(d.SpeedLock);
  d.bmWStart = Ticks(d);
  if (d.bmAvgWriteSpeed == 0) d.bmAvgWriteSpeed = d.ModePage2A.CurWriteSpeed;
  const int64_t start = PerfCounter(d);
  d.bmWSize += bytes;
  lock.unlock();

  Cmd c(op::WRITE_10, 10, SRB_FLAGS_OUT, buffer, bytes);
  c.Be32At(2, LBA);
  c.Be16At(7, blocks);
  const bool ok = c.Completed(d);

  AddSpeedSample(d, bytes, PerfCounter(d) - start);
  lock.lock();
  d.bmWStop = Ticks(d);
  d.bmWTotal += d.bmWStop - d.bmWStart;
  d.bmAvgWriteSpeed = AverageSpeed(d.bmWSize, d.bmWTotal);
  ++d.bmWCounter;
  return ok;
}

bool SynchronizeCache(TSCSIDevice& d, bool Immediate) {
  Cmd c(op::SYNCHRONIZE_CACHE, 10);
  c[1] = Immediate ? 0x02 : 0;
  return c.NotFailed(d);
}

bool ReadTocPmaAtip(TSCSIDevice& d, uint8_t format, uint8_t number, uint8_t length,
                    uint8_t* buffer, bool MSF) {
  Cmd c(op::READ_TOC_PMA_ATIP, 10, SRB_FLAGS_IN, buffer, length);
  c[1] = MSF ? 0x02 : 0;
  c[2] = format;
  c[6] = number;
  c[8] = length;
  return c.Completed(d);
}

bool GetConfiguration(TSCSIDevice& d, uint16_t feature, uint8_t* buffer, uint16_t length) {
  Cmd c(op::GET_CONFIGURATION, 10, SRB_FLAGS_IN, buffer, length);
  c[1] = 0x02;
  c.Be16At(2, feature);
  c.Be16At(7, length);
  return c.Completed(d);
}

bool GetConfiguration(TSCSIDevice& d, uint16_t feature, uint16_t length) {
  std::vector<uint8_t> reply(length, 0);
  const bool ok = GetConfiguration(d, feature, reply.data(), length);
  d.ConfigHeader = TConfigHeader::Parse(reply.data(), reply.size());
  return ok;
}

bool ReadDiscInformation(TSCSIDevice& d, uint8_t* buffer, uint16_t length) {
  Cmd c(op::READ_DISC_INFORMATION, 10, SRB_FLAGS_IN, buffer, length);
  c.Be16At(7, length);
  return c.Completed(d);
}

bool ReadDiscInformation(TSCSIDevice& d) {
  uint8_t reply[TDiscInformation::kSize] = {};
  const bool ok = ReadDiscInformation(d, reply, sizeof reply);
  if (ok) d.DiscInformation = TDiscInformation::Parse(reply, sizeof reply);
  return ok;
}

bool ReadTrackInformation(TSCSIDevice& d, uint8_t track) {
  uint8_t reply[TTrackInformation::kSize] = {};
  Cmd c(op::READ_TRACK_INFORMATION, 10, SRB_FLAGS_IN, reply, sizeof reply);
  c[1] = 0x01;
  c[5] = track;
  c[8] = 0x26;
  const bool ok = c.Completed(d);
  if (ok) d.TrackInformation = TTrackInformation::Parse(reply, sizeof reply);
  return ok;
}

bool ReserveTrack(TSCSIDevice& d, uint32_t blocks) {
  Cmd c(op::RESERVE_TRACK, 10);
  c.Be32At(5, blocks);
  return c.Completed(d);
}

bool ModeSelect10(TSCSIDevice& d, uint8_t* buffer, uint16_t length) {
  Cmd c(op::MODE_SELECT_10, 10, SRB_FLAGS_OUT, buffer, length);
  c[1] = 0x10;
  c.Be16At(7, length);
  return c.NotFailed(d);
}

bool ModeSense10(TSCSIDevice& d, uint8_t page, bool defaults, uint8_t* buffer, uint16_t length) {
  Cmd c(op::MODE_SENSE_10, 10, SRB_FLAGS_IN, buffer, length);
  c[2] = static_cast<uint8_t>(page | (defaults ? 0x80 : 0));
  c.Be16At(7, length);
  return c.NotFailed(d);
}

bool CloseTrackSession(TSCSIDevice& d, bool Immediate, uint8_t function, uint8_t b3, uint8_t b4,
                       uint8_t b5) {
  Cmd c(op::CLOSE_TRACK_SESSION, 10);
  c[1] = Immediate ? 1 : 0;
  c[2] = function;
  c[3] = b3;
  c[4] = b4;
  c[5] = b5;
  return c.NotFailed(d);
}

bool CloseTrackOrSession(TSCSIDevice& d, bool track, bool Immediate, uint8_t number) {
  Cmd c(op::CLOSE_TRACK_SESSION, 10);
  c[1] = Immediate ? 1 : 0;
  c[2] = track ? 1 : 2;
  c[5] = number;
  return c.Completed(d);
}

bool ReadBufferCapacity(TSCSIDevice& d) {
  uint8_t reply[32] = {};
  Cmd c(op::READ_BUFFER_CAPACITY, 10, SRB_FLAGS_IN, reply, sizeof reply);
  c[8] = 0x20;
  const bool ok = c.Completed(d);
  if (ok) {
    d.DeviceBufferSize = Be32(&reply[4]);
    d.DeviceBufferPosition = Be32(&reply[8]);
  }
  return ok;
}

bool Blank(TSCSIDevice& d, bool Quick) {
  Cmd c(op::BLANK, 12);
  c[1] = static_cast<uint8_t>(0x10 | (Quick ? 1 : 0));
  return c.NotFailed(d);
}

bool SetStreaming(TSCSIDevice& d, uint8_t* buffer, uint16_t length) {
  Cmd c(op::SET_STREAMING, 12, SRB_FLAGS_OUT, buffer, length);
  c.Be16At(9, length);
  return c.Completed(d);
}

bool SetCDSpeed(TSCSIDevice& d, uint16_t read, uint16_t write) {
  Cmd c(op::SET_CD_SPEED, 12);
  c[1] = 0x01;
  c.Be16At(2, read == 0 ? 0xFFFF : read);
  c.Be16At(4, write == 0 ? 0xFFFF : write);
  return c.Completed(d);
}

bool SendDVDStructure(TSCSIDevice& d, uint8_t format, uint8_t* buffer, uint16_t length) {
  Cmd c(op::SEND_DVD_STRUCTURE, 12, SRB_FLAGS_OUT, buffer, length);
  c[7] = format;
  c.Be16At(8, length);
  return c.Completed(d);
}

namespace {
bool Tray(TSCSIDevice& d, bool open) {
  if (!d.ASPIInitialized || d.HaID == kNoAddress) return false;
  if (d.DriveIsVirtual) return open ? EjectMedium(d, false) : LoadMedium(d, false);
  // The kernel refuses the eject (EBUSY) while another program has the drive open; the
  // reason is kept for the caller.
  d.TargetBusy = false;
  const int fd = sgio::OpenDrive(d.DrivePath, false);
  if (fd < 0) {
    d.LastWinError = static_cast<uint32_t>(errno);
    return false;
  }
  const bool ok = sgio::Tray(fd, open);
  d.LastWinError = ok ? 0 : static_cast<uint32_t>(errno);
  ::close(fd);
  return ok;
}
}  // namespace

bool OpenTray(TSCSIDevice& d) { return Tray(d, true); }
bool CloseTray(TSCSIDevice& d) { return Tray(d, false); }

uint8_t GetLastTrackNumber(TSCSIDevice& d) {
  return ReadDiscInformation(d) ? d.DiscInformation.LastTrackOfLastSession : 0;
}

size_t ModePageOffset(const uint8_t* reply, size_t n) {
  if (n < 8) return 0;
  const size_t offset = 8 + size_t{Be16(&reply[6])};
  return offset + 2 <= n ? offset : 0;
}

bool SetWriteParameters(TSCSIDevice& d, bool TestWrite, bool BurnProof, TMedium medium,
                        bool MultiSession) {
  constexpr uint16_t kSenseLength = 512;
  TModePage05& p = d.ModePage05;
  p.b.fill(0);
  uint8_t* reply = d.tmpBuffer.data();
  std::fill_n(reply, kSenseLength, 0);
  if (!ModeSense10(d, 0x05, false, reply, kSenseLength)) return false;

  // The page follows the header and however many block descriptors the drive put there.
  const size_t offset = ModePageOffset(reply, kSenseLength);
  if (offset == 0 || (reply[offset] & 0x3F) != 0x05) return false;
  const size_t pageLen = std::min<size_t>({reply[offset + 1], p.b.size() - 2,
                                           kSenseLength - offset - 2});

  std::copy(kWriteParametersTemplate.begin(), kWriteParametersTemplate.end(), p.b.begin());
  p.PageCode() = 0x05;
  p.PageLen() = static_cast<uint8_t>(pageLen);
  SetLow(p.WriteType(), 1);  // track at once
  SetLow(p.DBType(), 8);     // mode 1, 2048 bytes
  p.SessionFormat() = 0;
  SetLow(p.TrackMode(), 4);

  switch (medium) {
    case mtDDCDR:
    case mtDDCDRW:
      SetLow(p.WriteType(), 2);
      SetLow(p.TrackMode(), 5);
      break;
    case mtDVDR:
    case mtDVDRW:
    case mtDVDRWRO:
    case mtDVDRWSR:
      SetLow(p.WriteType(), 0);
      SetLow(p.TrackMode(), 5);
      break;
    default:
      break;
  }
  if (!TestWrite) SetMultiSession(p, MultiSession);

  if (medium == mtDVDR) {
    SetMultiSession(p, true);
    SetFixedPacket(p, true);
    p.SetPacketSize(16);
    p.LinkSize() = 16;
    p.WriteType() |= 0x20;
  } else if (medium == mtDVDRWRO || medium == mtDVDRWSR) {
    SetMultiSession(p, true);
    SetFixedPacket(p, false);
    p.SetPacketSize(16);
    p.LinkSize() = 16;
    p.WriteType() |= 0x20;
  }
  SetLow(p.DBType(), 8);

  if (medium == mtDVDPLUSR || medium == mtDVDPLUSRW) {
    SetLow(p.WriteType(), 2);
    SetLow(p.TrackMode(), 4);
    p.Res6() = 0;
    p.WriteType() |= 0x20;
    p.LinkSize() = 16;
    if (medium == mtDVDPLUSRW) {
      SetFixedPacket(p, false);
      p.SetPacketSize(0);
    } else if (MultiSession) {
      SetFixedPacket(p, true);
      p.SetPacketSize(16);
    } else {
      SetFixedPacket(p, false);
      p.SetPacketSize(0);
      p.LinkSize() = 0;
    }
  }
  if (medium == mtDVDPLUSRDL) {
    SetLow(p.WriteType(), 2);
    SetLow(p.TrackMode(), 4);
    p.Res6() = 0;
    p.WriteType() |= 0x20;
    p.LinkSize() = 0;
    SetFixedPacket(p, false);
    p.SetPacketSize(0);
    SetMultiSession(p, MultiSession);
  } else if (BurnProof && (d.ModePage2A.OtherInfo & 0x80) != 0) {
    p.WriteType() |= 0x40;
  }
  p.SetPauseLength(150);
  if (TestWrite) p.WriteType() |= 0x10;

  std::copy_n(p.b.begin(), pageLen, reply + offset);
  // The mode data length is reserved in MODE SELECT; drives reject a non-zero value.
  reply[0] = reply[1] = 0;
  return ModeSelect10(d, reply, static_cast<uint16_t>(pageLen + offset + 2));
}

bool SetDeviceSpeed(TSCSIDevice& d, uint16_t ReadSpeed, uint16_t WriteSpeed) {
  d.ReadSpeed = ReadSpeed;
  d.WriteSpeed = WriteSpeed;
  return SetCDSpeed(d, ReadSpeed, WriteSpeed);
}

bool SetStreamingPerformance(TSCSIDevice& d, uint32_t EndLBA, uint32_t ReadSize,
                             uint32_t ReadTime, uint32_t WriteSize, uint32_t WriteTime) {
  uint8_t desc[28] = {};
  PutBe32(&desc[8], EndLBA);
  PutBe32(&desc[12], ReadSize);
  PutBe32(&desc[16], ReadTime);
  PutBe32(&desc[20], WriteSize);
  PutBe32(&desc[24], WriteTime);
  return SetStreaming(d, desc, sizeof desc);
}

void FormatTimestamp(std::time_t t, char out[14]) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::memcpy(out, text, 14);
}

bool SendTimestamp(TSCSIDevice& d) {
  uint8_t list[22] = {0x00, 0x14};
  const auto now = d.Setup.Clock ? d.Setup.Clock() : std::chrono::system_clock::now();
  FormatTimestamp(std::chrono::system_clock::to_time_t(now), reinterpret_cast<char*>(&list[8]));
  return SendDVDStructure(d, 0x0F, list, sizeof list);
}

uint16_t AverageReadSpeed(TSCSIDevice& d) { return d.bmAvgReadSpeed; }
uint16_t AverageWriteSpeed(TSCSIDevice& d) { return d.bmAvgWriteSpeed; }

void ResetSpeedSamples(TSCSIDevice& d) {
  std::lock_guard<std::mutex> lock(d.SpeedLock);
  d.qTime.fill(0);
  d.qBytes.fill(0);
  d.qIndex = 0;
  d.QPFreq = 1000.0 / d.Setup.PerfFrequency;
}

void AddSpeedSample(TSCSIDevice& d, int64_t bytes, int64_t ticks) {
  std::lock_guard<std::mutex> lock(d.SpeedLock);
  if (d.qIndex >= kSpeedSamples || d.qIndex < 0) d.qIndex = 0;
  d.qTime[static_cast<size_t>(d.qIndex)] = ticks;
  d.qBytes[static_cast<size_t>(d.qIndex)] = bytes;
  ++d.qIndex;
}

namespace {
uint64_t InstantSpeedLocked(const TSCSIDevice& d) {
  double ms = 0;
  double bytes = 0;
  for (int i = 0; i < kSpeedSamples; ++i) {
    ms += double(d.qTime[static_cast<size_t>(i)]) * d.QPFreq;
    bytes += double(d.qBytes[static_cast<size_t>(i)]);
  }
  if (ms <= 0 || bytes <= 0) return 0;
  return static_cast<uint64_t>(std::ceil(bytes / ms * 1000));
}

uint16_t ToKBps(uint64_t bytesPerSecond) {
  return static_cast<uint16_t>(std::min<uint64_t>((bytesPerSecond + 1023) / 1024, 65535));
}
}  // namespace

uint64_t InstantSpeed(TSCSIDevice& d) {
  std::lock_guard<std::mutex> lock(d.SpeedLock);
  return InstantSpeedLocked(d);
}

uint16_t BMWriteSpeed(TSCSIDevice& d) {
  std::lock_guard<std::mutex> lock(d.SpeedLock);
  const uint16_t previous = d.bmWriteSpeed;
  d.bmWriteSpeed = ToKBps(InstantSpeedLocked(d));
  return previous;
}

uint16_t BMReadSpeed(TSCSIDevice& d) {
  std::lock_guard<std::mutex> lock(d.SpeedLock);
  const uint16_t previous = d.bmReadSpeed;
  d.bmReadSpeed = ToKBps(InstantSpeedLocked(d));
  return previous;
}

}  // namespace torvik
