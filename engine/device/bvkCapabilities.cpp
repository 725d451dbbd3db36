#include "device/bvkCapabilities.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "device/bvkMMC.h"
#include "device/bvkSGIO.h"

namespace torvik {

namespace {

constexpr uint16_t kCapSenseLength = 128;

// Finds page 2Ah in the MODE SENSE reply in tmpBuffer and copies it into ModePage2A; false when
// the reply holds no such page.
bool TakeCapabilitiesPage(TSCSIDevice& d) {
  const uint8_t* reply = d.tmpBuffer.data();
  const size_t offset = ModePageOffset(reply, kCapSenseLength);
  if (offset == 0 || (reply[offset] & 0x3F) != 0x2A) return false;
  // Only the bytes the page says it has; the rest of the record stays zero.
  const size_t n = std::min<size_t>({size_t{reply[offset + 1]} + 2, 64, kCapSenseLength - offset});
  const uint16_t maxR = d.ModePage2A.DeviceMaxReadSpeed, maxW = d.ModePage2A.DeviceMaxWriteSpeed;
  d.ModePage2A = TModePage2A{};
  d.ModePage2A.ParsePage(reply + offset, n);
  d.ModePage2A.DeviceMaxReadSpeed = maxR;
  d.ModePage2A.DeviceMaxWriteSpeed = maxW;
  return true;
}

bool SenseCapabilities(TSCSIDevice& d, bool defaults) {
  std::fill_n(d.tmpBuffer.begin(), kCapSenseLength, 0);
  return ModeSense10(d, 0x2A, defaults, d.tmpBuffer.data(), kCapSenseLength);
}

// A feature counts when the drive answered and either no disc is loaded or the descriptor it
// returned is the one asked for (drives may answer with a different feature, see GET
// CONFIGURATION with RT=2).
bool HasFeature(TSCSIDevice& d, uint16_t feature, bool profileZeroCounts) {
  if (!GetConfiguration(d, feature, 112)) return false;
  const TConfigHeader& h = d.ConfigHeader;
  return (profileZeroCounts && h.CurrentProfile == 0) || h.FeatureCode == feature;
}

uint32_t ClampedSub(uint32_t a, uint32_t b) { return a > b ? a - b : 0; }

}  // namespace

bool DetectCapabilities(TSCSIDevice& d) {
  d.ModePage2A = TModePage2A{};
  d.dc = TDC{};
  d.MaxReadSpeed = d.CurReadSpeed = d.MaxWriteSpeed = d.CurWriteSpeed = 0;
  const bool defaults = SenseCapabilities(d, true);
  if (defaults) {
    TakeCapabilitiesPage(d);
    d.ModePage2A.DeviceMaxReadSpeed = d.ModePage2A.MaxReadSpeed;
    d.ModePage2A.DeviceMaxWriteSpeed = d.ModePage2A.MaxWriteSpeed;
  }

  // Current values; when the drive refuses them the default page stands. Some drives refuse
  // the default values (05/24/00) and answer only the current ones: those then stand for both,
  // or such a drive would seem to read and write nothing.
  const bool current = SenseCapabilities(d, false) && TakeCapabilitiesPage(d);
  if (!defaults) {
    if (!current) return false;
    d.ModePage2A.DeviceMaxReadSpeed = d.ModePage2A.MaxReadSpeed;
    d.ModePage2A.DeviceMaxWriteSpeed = d.ModePage2A.MaxWriteSpeed;
  }
  const TModePage2A& p = d.ModePage2A;
  d.MaxReadSpeed = p.MaxReadSpeed;
  d.CurReadSpeed = p.CurReadSpeed;
  d.MaxWriteSpeed = p.MaxWriteSpeed;
  d.CurWriteSpeed = p.CurWriteSpeed;

  TDC& c = d.dc;
  c.Read_CDR = p.ReadInfo & 0x01;
  c.Read_CDRW = p.ReadInfo & 0x02;
  c.Read_Method2 = p.ReadInfo & 0x04;
  c.Read_DVDROM = p.ReadInfo & 0x08;
  c.Read_DVDR = p.ReadInfo & 0x10;
  c.Read_DVDRAM = p.ReadInfo & 0x20;
  c.Write_CDR = p.WriteInfo & 0x01;
  c.Write_CDRW = p.WriteInfo & 0x02;
  c.TestWrite = p.WriteInfo & 0x04;
  c.Write_DVDR = p.WriteInfo & 0x10;
  c.Write_DVDRAM = p.WriteInfo & 0x20;
  c.UnderRunProtection = p.OtherInfo & 0x80;

  std::fill_n(d.tmpBuffer.begin(), kCapSenseLength, 0);
  if (ModeSense10(d, 0x30, true, d.tmpBuffer.data(), kCapSenseLength)) c.UnderRunProtection = true;

  if (HasFeature(d, 0x2A, true)) {
    c.Read_DVDPLUSR = c.Read_DVDPLUSRW = true;
    if (d.ConfigHeader.info & 0x01) c.Write_DVDPLUSR = c.Write_DVDPLUSRW = true;
  }
  if (HasFeature(d, 0x3B, false)) {
    c.Read_DVDPLUSRDL = true;
    if (d.ConfigHeader.info & 0x01) c.Write_DVDPLUSRDL = true;
  }
  if (HasFeature(d, 0x2F, true) && (d.ConfigHeader.info & 0x02))
    c.Read_DVDRW = c.Write_DVDRW = true;
  if (HasFeature(d, 0x40, true)) c.Read_BDROM = c.Read_BDR = c.Read_BDRE = true;
  if (HasFeature(d, 0x41, true)) c.Write_BDR = c.Write_BDRE = true;
  if (HasFeature(d, 0x50, true)) c.Read_HDDVDROM = c.Read_HDDVDR = c.Read_HDDVDRAM = true;
  if (HasFeature(d, 0x51, true)) c.Write_HDDVDR = c.Write_HDDVDRAM = true;
  return true;
}

TMedium GetMedium(TSCSIDevice& d) {
  if (GetConfiguration(d, 0, TConfigHeader::kSize))
    return MediumFromProfile(d.ConfigHeader.CurrentProfile);

  // Drives without GET CONFIGURATION: a CD drive still reads the ATIP of a recordable disc.
  uint8_t* atip = d.tmpBuffer.data();
  std::fill_n(atip, 30, 0);
  if (ReadTocPmaAtip(d, 4, 0, 30, atip, true) && Be16(atip) + 2 >= 7) {
    if ((atip[6] & 0x80) == 0) return mtCDROM;
    return (atip[6] & 0x40) ? mtCDRW : mtCDR;
  }
  if (ReadDiscInformation(d)) return d.DiscInformation.Erasable() ? mtCDRW : mtCDR;
  return TestUnitReady(d) ? mtCDROM : mtUNKNOWN;
}

bool DeviceCan(TSCSIDevice& d, uint8_t id) {
  const TDC& c = d.dc;
  switch (id) {
    case READ_CDR: return c.Read_CDR;
    case READ_CDRW: return c.Read_CDRW;
    case READ_DVDRAM: return c.Read_DVDRAM;
    case READ_DVDR: return c.Read_DVDR;
    case READ_DVDRW: return c.Read_DVDRW;
    case READ_DVDPLUSR: return c.Read_DVDPLUSR;
    case READ_DVDPLUSRW: return c.Read_DVDPLUSRW;
    case READ_DVDPLUSRDL: return c.Read_DVDPLUSRDL;
    case READ_HDDVDROM: return c.Read_HDDVDROM;
    case READ_HDDVDR: return c.Read_HDDVDR;
    case READ_HDDVDRAM: return c.Read_HDDVDRAM;
    case READ_BDROM: return c.Read_BDROM;
    case READ_BDR: return c.Read_BDR;
    case READ_BDRE: return c.Read_BDRE;
    case WRITE_CDR: return c.Write_CDR;
    case WRITE_CDRW: return c.Write_CDRW;
    case WRITE_DVDRAM: return c.Write_DVDRAM;
    case WRITE_DVDR: return c.Write_DVDR;
    case WRITE_DVDRW: return c.Write_DVDRW;
    case WRITE_DVDPLUSR: return c.Write_DVDPLUSR;
    case WRITE_DVDPLUSRW: return c.Write_DVDPLUSRW;
    case WRITE_DVDPLUSRDL: return c.Write_DVDPLUSRDL;
    case WRITE_HDDVDR: return c.Write_HDDVDR;
    case WRITE_HDDVDRAM: return c.Write_HDDVDRAM;
    case WRITE_BDR: return c.Write_BDR;
    case WRITE_BDRE: return c.Write_BDRE;
    case DC_TEST_WRITE: return c.TestWrite;
    case DC_UNDERRUNPROTECTION: return c.UnderRunProtection;
    case DC_OPEN_DIAG_LOG:
      return OpenDebugLog(d, d.Setup.DiagLogPath.empty() ? DefaultDiagLogPath()
                                                         : d.Setup.DiagLogPath);
    case DC_CLOSE_DIAG_LOG: return CloseDebugLog(d);
    case DC_SET_TV: d.TV = true; return false;
    default: return false;
  }
}

bool Writable(TSCSIDevice& d) {
  const TMedium m = GetMedium(d);
  if (m == mtDVDRAM || m == mtDVDPLUSRW || m == mtDVDRWRO || m == mtBDRE) return true;
  if (ReadDiscInformation(d)) {
    const uint8_t status = d.DiscInformation.DiscStatus();
    if (status == 0 || status == 1) return true;
    if (status == 2) return false;
  }
  SetWriteParameters(d, d.TestWrite, d.BurnProof, m, false);
  if (!ReadTrackInformation(d, 255) &&
      !ReadTrackInformation(
          d, static_cast<uint8_t>(d.DiscInformation.LastTrackOfLastSession + 1)))
    return false;
  return d.TrackInformation.FreeBlocks != 0;
}

bool DriveWritesMedium(TSCSIDevice& d, TMedium m) {
  // The disc may have changed since the drive was selected, and the features count only for
  // the loaded one.
  DetectCapabilities(d);
  switch (m) {
    case mtCDR: return DeviceCan(d, WRITE_CDR);
    case mtCDRW: return DeviceCan(d, WRITE_CDRW);
    case mtDVDR: return DeviceCan(d, WRITE_DVDR);
    case mtDVDRAM: return DeviceCan(d, WRITE_DVDRAM);
    case mtDVDRW:
    case mtDVDRWRO:
    case mtDVDRWSR: return DeviceCan(d, WRITE_DVDRW);
    case mtDVDPLUSRW: return DeviceCan(d, WRITE_DVDPLUSRW);
    case mtDVDPLUSR: return DeviceCan(d, WRITE_DVDPLUSR);
    case mtDVDPLUSRDL: return DeviceCan(d, WRITE_DVDPLUSRDL);
    case mtBDRSR:
    case mtBDRRR: return DeviceCan(d, WRITE_BDR);
    case mtBDRE: return DeviceCan(d, WRITE_BDRE);
    case mtHDDVDR: return DeviceCan(d, WRITE_HDDVDR);
    case mtHDDVDRAM: return DeviceCan(d, WRITE_HDDVDRAM);
    default: return false;  // pressed discs, and media the engine has no way to write
  }
}

int DriveWriteAccessError(const TSCSIDevice& d) {
  // The virtual drive is a pair of files the job opens itself; only a real node can be open to
  // us for reading alone, which SG_IO then allows for queries but not for WRITE (10).
  if (d.DriveIsVirtual || d.DrivePath.empty()) return 0;
  const int fd = sgio::OpenDrive(d.DrivePath, true);
  if (fd < 0) return errno != 0 ? errno : EACCES;
  ::close(fd);
  return 0;
}

bool Erasable(TSCSIDevice& d) {
  const TMedium m = GetMedium(d);
  if (m == mtDVDRAM || m == mtDVDRW || m == mtDVDRWRO || m == mtDVDRWSR || m == mtDVDPLUSRW)
    return true;
  return ReadDiscInformation(d) && d.DiscInformation.Erasable();
}

bool DeviceIsBurner(const TSCSIDevice& d) { return d.ModePage2A.WriteInfo != 0; }

int GetSessionCount(TSCSIDevice& d) {
  if (ReadDiscInformation(d)) {
    // Drives count the empty session a blank or appendable disc offers; callers want the
    // sessions that hold data.
    if (d.DiscInformation.LastSessionState() == 0 && d.DiscInformation.Sessions > 0)
      --d.DiscInformation.Sessions;
    return d.DiscInformation.Sessions;
  }
  return GetMedium(d) == mtDVDRAM ? 1 : 0;
}

uint32_t GetFormattedCapacity(TSCSIDevice& d) {
  if (!ReadFormatCapacities(d)) return 0;
  const uint8_t* r = d.tmpBuffer.data();
  // Only descriptors inside the capacity list the drive announced are looked at.
  const size_t listEnd = std::min<size_t>(4 + size_t{r[3]}, 124);
  for (size_t k = 0; k < 4; ++k) {
    const size_t at = 4 + 8 * k;
    if (at + 8 > listEnd) break;
    if (r[at + 4] == 0 && r[at + 5] == 0 && r[at + 6] == 0x08 && r[at + 7] == 0) return Be32(&r[at]);
  }
  return listEnd >= 12 ? Be32(&r[4]) : 0;
}

uint32_t GetVolumeSpaceSize(TSCSIDevice& d) {
  SetWriteParameters(d, d.TestWrite, d.BurnProof, GetMedium(d), false);
  static constexpr uint8_t kStandardId[5] = {'C', 'D', '0', '0', '1'};
  std::vector<uint8_t> sector(kBlockSize);
  bool havePrimary = false;
  uint32_t primary = 0;
  // A supplementary (Joliet) descriptor wins over the primary one, as both describe the same
  // volume; one pass finds either.
  for (uint32_t lba = 16; lba < 32; ++lba) {
    std::fill(sector.begin(), sector.end(), 0xFF);
    if (!Read10(d, lba, 1, sector.data())) continue;
    if (std::memcmp(&sector[1], kStandardId, 5) != 0) continue;
    if (sector[0] == 2) return Le32(&sector[80]);
    if (sector[0] == 1 && !havePrimary) {
      havePrimary = true;
      primary = Le32(&sector[80]);
    }
  }
  return primary;
}

uint32_t GetFreeBlocks(TSCSIDevice& d) {
  if (!Writable(d)) return 0;
  const TMedium m = GetMedium(d);
  SetWriteParameters(d, false, false, m, false);
  if (ReadDiscInformation(d) && ReadTrackInformation(d, d.DiscInformation.LastTrackOfLastSession)) {
    const uint32_t trackSize = d.TrackInformation.TrackSize;
    const uint32_t freeBlocks = d.TrackInformation.FreeBlocks;
    if (trackSize == 0xFFFFFFFFu) return 0;
    // Restricted overwrite holds a volume like DVD+RW; formatted capacity minus the track size
    // would be 0 on every fully formatted disc.
    if (m == mtDVDRWRO)
      return ClampedSub(std::max(GetFormattedCapacity(d), trackSize), GetVolumeSpaceSize(d));
    if (m == mtDVDRAM || m == mtDVDPLUSRW || m == mtBDRE)
      return ClampedSub(trackSize, GetVolumeSpaceSize(d));
    return std::max(trackSize, freeBlocks);
  }
  if (m == mtDVDRAM || m == mtDVDPLUSRW)
    return ClampedSub(GetFormattedCapacity(d), GetVolumeSpaceSize(d));
  return 0;
}

uint32_t GetTotalBlocks(TSCSIDevice& d) {
  SetWriteParameters(d, false, false, GetMedium(d), false);
  if (ReadDiscInformation(d) && ReadTrackInformation(d, d.DiscInformation.LastTrackOfLastSession)) {
    const TTrackInformation& t = d.TrackInformation;
    // A fixed-packet track that is still blank is the invisible track of an incremental disc:
    // it runs to the end of the disc, where the formatted capacity is only what is recorded.
    if ((t.info2 & 0x10) == 0 || (t.info2 & 0x40) != 0) {
      const uint64_t total = uint64_t{t.TrackSize} + t.TrackStartAddress;
      return static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu));
    }
    if (t.TrackSize == 0xFFFFFFFFu) return 0;
  }
  return GetFormattedCapacity(d);
}

uint16_t GetDeviceMaxReadSpeed(TSCSIDevice& d) {
  DetectCapabilities(d);
  return d.ModePage2A.DeviceMaxReadSpeed;
}
uint16_t GetDeviceMaxWriteSpeed(TSCSIDevice& d) {
  DetectCapabilities(d);
  return d.ModePage2A.DeviceMaxWriteSpeed;
}
uint16_t GetCurrentReadSpeed(TSCSIDevice& d) {
  DetectCapabilities(d);
  return d.ModePage2A.CurReadSpeed;
}
uint16_t GetMaxWriteSpeed(TSCSIDevice& d) {
  DetectCapabilities(d);
  return d.ModePage2A.MaxWriteSpeed;
}
uint16_t GetCurrentWriteSpeed(TSCSIDevice& d) {
  DetectCapabilities(d);
  return d.ModePage2A.CurWriteSpeed;
}

}  // namespace torvik
