// Medium types and the capability record: what the drive can do and which disc it holds.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace torvik {

// Ordinals are stored and compared by callers; keep the order.
enum TMedium : uint8_t {
  mtUNKNOWN = 0,
  mtCDROM,
  mtCDR,
  mtCDRW,
  mtDVDROM,
  mtDVDR,
  mtDVDRAM,
  mtDVDRW,  // never produced by detection; treated like the two DVD-RW modes where named
  mtDVDRWRO,
  mtDVDRWSR,
  mtDVDPLUSRW,
  mtDVDPLUSR,
  mtDVDPLUSRDL,
  mtBDROM,
  mtBDRSR,
  mtBDRRR,
  mtBDRE,
  mtHDDVDROM,
  mtHDDVDR,
  mtHDDVDRAM,
  mtDDCDROM,
  mtDDCDR,
  mtDDCDRW,
};

constexpr int kMediumCount = mtDDCDRW + 1;

// One name per medium, in ordinal order, so a report can index it with any TMedium value.
constexpr std::array<std::string_view, kMediumCount> kMediumNames = {
    "mtUNKNOWN",  "mtCDROM",  "mtCDR",      "mtCDRW",    "mtDVDROM",   "mtDVDR",
    "mtDVDRAM",   "mtDVDRW",  "mtDVDRWRO",  "mtDVDRWSR", "mtDVDPLUSRW", "mtDVDPLUSR",
    "mtDVDPLUSRDL", "mtBDROM", "mtBDRSR",   "mtBDRRR",   "mtBDRE",     "mtHDDVDROM",
    "mtHDDVDR",   "mtHDDVDRAM", "mtDDCDROM", "mtDDCDR",  "mtDDCDRW"};

inline std::string_view MediumName(TMedium m) {
  return static_cast<unsigned>(m) < kMediumNames.size() ? kMediumNames[m] : kMediumNames[0];
}

// The medium for an MMC current profile; anything unknown (and 0, no disc) is mtUNKNOWN.
TMedium MediumFromProfile(uint16_t profile);

// Capability record, filled by DetectCapabilities.
struct TDC {
  bool Read_CDR = false;
  bool Read_CDRW = false;
  bool Read_Method2 = false;
  bool Read_DVDR = false;
  bool Read_DVDRW = false;
  bool Read_DVDRAM = false;
  bool Read_DVDPLUSR = false;
  bool Read_DVDPLUSRDL = false;
  bool Read_DVDPLUSRW = false;
  bool Read_DVDROM = false;
  bool Read_BDROM = false;
  bool Read_BDR = false;
  bool Read_BDRE = false;
  bool Read_HDDVDROM = false;
  bool Read_HDDVDR = false;
  bool Read_HDDVDRAM = false;
  bool Write_CDR = false;
  bool Write_CDRW = false;
  bool Write_DVDR = false;
  bool Write_DVDRW = false;
  bool Write_DVDRAM = false;
  bool Write_DVDPLUSR = false;
  bool Write_DVDPLUSRDL = false;
  bool Write_DVDPLUSRW = false;
  bool Write_BDR = false;
  bool Write_BDRE = false;
  bool Write_HDDVDR = false;
  bool Write_HDDVDRAM = false;
  bool TestWrite = false;
  bool UnderRunProtection = false;
};

// Capability ids of DeviceCan.
constexpr uint8_t READ_CDR = 1;
constexpr uint8_t READ_CDRW = 2;
constexpr uint8_t READ_DVDRAM = 3;
constexpr uint8_t READ_DVDR = 4;
constexpr uint8_t READ_DVDRW = 5;
constexpr uint8_t READ_DVDPLUSR = 6;
constexpr uint8_t READ_DVDPLUSRW = 7;
constexpr uint8_t READ_DVDPLUSRDL = 8;
constexpr uint8_t READ_HDDVDROM = 9;
constexpr uint8_t READ_HDDVDR = 10;
constexpr uint8_t READ_HDDVDRAM = 11;
constexpr uint8_t READ_BDROM = 12;
constexpr uint8_t READ_BDR = 13;
constexpr uint8_t READ_BDRE = 14;
constexpr uint8_t WRITE_CDR = 21;
constexpr uint8_t WRITE_CDRW = 22;
constexpr uint8_t WRITE_DVDRAM = 23;
constexpr uint8_t WRITE_DVDR = 24;
constexpr uint8_t WRITE_DVDRW = 25;
constexpr uint8_t WRITE_DVDPLUSR = 26;
constexpr uint8_t WRITE_DVDPLUSRW = 27;
constexpr uint8_t WRITE_DVDPLUSRDL = 28;
constexpr uint8_t WRITE_HDDVDR = 29;
constexpr uint8_t WRITE_HDDVDRAM = 30;
constexpr uint8_t WRITE_BDR = 31;
constexpr uint8_t WRITE_BDRE = 32;
constexpr uint8_t DC_TEST_WRITE = 41;
constexpr uint8_t DC_UNDERRUNPROTECTION = 42;
constexpr uint8_t DC_OPEN_DIAG_LOG = 72;
constexpr uint8_t DC_CLOSE_DIAG_LOG = 73;
constexpr uint8_t DC_SET_TV = 77;

}  // namespace torvik
