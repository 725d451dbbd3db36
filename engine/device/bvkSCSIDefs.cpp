#include "device/bvkSCSIDefs.h"

#include <algorithm>
#include <cstring>

#include "device/bvkDeviceTypes.h"

namespace torvik {

namespace {

// A reply copied into a zeroed scratch of the record's size: fields the drive did not send (its
// own length field says how much it sent) read as zero, never as stale or foreign bytes.
template <size_t N>
std::array<uint8_t, N> Bounded(const uint8_t* b, size_t n, size_t replyLength) {
  std::array<uint8_t, N> a{};
  std::memcpy(a.data(), b, std::min({n, N, replyLength}));
  return a;
}

}  // namespace

TSENSE TSENSE::FromBytes(const uint8_t* b) {
  TSENSE s;
  s.ErrorCode = b[0];
  s.SegmentNum = b[1];
  s.SenseKey = b[2];
  s.InfoByte0 = b[3];
  s.InfoByte1 = b[4];
  s.InfoByte2 = b[5];
  s.InfoByte3 = b[6];
  s.AddSenLen = b[7];
  s.ComSpecInf0 = b[8];
  s.ComSpecInf1 = b[9];
  s.ComSpecInf2 = b[10];
  s.ComSpecInf3 = b[11];
  s.AddSenseCode = b[12];
  s.AddSenQual = b[13];
  s.FieldRepUCode = b[14];
  s.SenKeySpec15 = b[15];
  s.SenKeySpec16 = b[16];
  s.SenKeySpec17 = b[17];
  std::memcpy(s.AddSenseBytes.data(), b + 18, 14);
  return s;
}

bool TSENSE::IsZero() const {
  const uint8_t head[] = {ErrorCode,    SegmentNum,   SenseKey,     InfoByte0,     InfoByte1,
                          InfoByte2,    InfoByte3,    AddSenLen,    ComSpecInf0,   ComSpecInf1,
                          ComSpecInf2,  ComSpecInf3,  AddSenseCode, AddSenQual,    FieldRepUCode,
                          SenKeySpec15, SenKeySpec16, SenKeySpec17};
  return std::all_of(std::begin(head), std::end(head), [](uint8_t v) { return v == 0; }) &&
         std::all_of(AddSenseBytes.begin(), AddSenseBytes.end(), [](uint8_t v) { return v == 0; });
}

TDiscInformation TDiscInformation::Parse(const uint8_t* b, size_t n) {
  const size_t len = n >= 2 ? size_t{Be16(b)} + 2 : 0;
  const auto a = Bounded<kSize>(b, n, len);
  TDiscInformation r;
  r.DataLen = Be16(&a[0]);
  r.info = a[2];
  r.FirstTrack = a[3];
  r.Sessions = a[4];
  r.FirstTrackOfLastSession = a[5];
  r.LastTrackOfLastSession = a[6];
  r.info2 = a[7];
  r.DiscType = a[8];
  r.Resvd1 = a[9];
  r.Resvd2 = a[10];
  r.Resvd3 = a[11];
  std::memcpy(r.DiscIdentification.data(), &a[12], 4);
  std::memcpy(r.Resvd4.data(), &a[16], 48);
  return r;
}

TTrackInformation TTrackInformation::Parse(const uint8_t* b, size_t n) {
  const size_t len = n >= 2 ? size_t{Be16(b)} + 2 : 0;
  const auto a = Bounded<kSize>(b, n, len);
  TTrackInformation r;
  r.DataLength = Be16(&a[0]);
  r.TrackNumber = a[2];
  r.SessionNumber = a[3];
  r.Reserved1 = a[4];
  r.info1 = a[5];
  r.info2 = a[6];
  r.Reserved2 = a[7];
  r.TrackStartAddress = Be32(&a[8]);
  r.NextWritableAddress = Be32(&a[12]);
  r.FreeBlocks = Be32(&a[16]);
  r.FixedPacketSize = Be32(&a[20]);
  r.TrackSize = Be32(&a[24]);
  r.LastRecordedAddress = Be32(&a[28]);
  r.TrackNumber2 = a[32];
  r.SessionNumber2 = a[33];
  r.Res3 = a[34];
  r.Res4 = a[35];
  r.Res5 = a[36];
  r.Res6 = a[37];
  return r;
}

TConfigHeader TConfigHeader::Parse(const uint8_t* b, size_t n) {
  const size_t len = n >= 4 ? size_t{Be32(b)} + 4 : 0;
  const auto a = Bounded<kSize>(b, n, len);
  TConfigHeader r;
  r.DataLength = Be32(&a[0]);
  r.Reseverd1 = Be16(&a[4]);
  r.CurrentProfile = Be16(&a[6]);
  r.FeatureCode = Be16(&a[8]);
  r.Version = a[10];
  r.AdditionalLength = a[11];
  r.info = a[12];
  std::memcpy(r.OtherData.data(), &a[13], r.OtherData.size());
  return r;
}

void TModePage2A::ParsePage(const uint8_t* b, size_t n) {
  std::array<uint8_t, 64> a{};
  std::memcpy(a.data(), b, std::min<size_t>(n, a.size()));
  PageCode = a[0];
  PageLen = a[1];
  ReadInfo = a[2];
  WriteInfo = a[3];
  OtherInfo = a[4];
  CDDASupported = a[5];
  Lock = a[6];
  SepChanVol = a[7];
  MaxReadSpeed = Be16(&a[8]);
  NumVolLevels = Be16(&a[10]);
  BufferSize = Be16(&a[12]);
  CurReadSpeed = Be16(&a[14]);
  Reserved16 = a[16];
  BCK = a[17];
  MaxWriteSpeed = Be16(&a[18]);
  CurWriteSpeed = Be16(&a[20]);
  std::memcpy(Others.data(), &a[22], 42);
}

TMedium MediumFromProfile(uint16_t profile) {
  switch (profile) {
    case 0x0008: return mtCDROM;
    case 0x0009: return mtCDR;
    case 0x000A: return mtCDRW;
    case 0x0010: return mtDVDROM;
    case 0x0011: return mtDVDR;
    case 0x0012: return mtDVDRAM;
    case 0x0013: return mtDVDRWRO;
    case 0x0014: return mtDVDRWSR;
    case 0x001A: return mtDVDPLUSRW;
    case 0x001B: return mtDVDPLUSR;
    case 0x002B: return mtDVDPLUSRDL;
    case 0x0040: return mtBDROM;
    case 0x0041: return mtBDRSR;
    case 0x0042: return mtBDRRR;
    case 0x0043: return mtBDRE;
    case 0x0050: return mtHDDVDROM;
    case 0x0051: return mtHDDVDR;
    case 0x0052: return mtHDDVDRAM;
    case 0x0020: return mtDDCDROM;
    case 0x0021: return mtDDCDR;
    case 0x0022: return mtDDCDRW;
    default: return mtUNKNOWN;
  }
}

}  // namespace torvik
