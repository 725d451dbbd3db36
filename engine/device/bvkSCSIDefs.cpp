#include "device/bvkSCSIDefs.h"

#include <algorithm>
#include <cstdio>
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

struct TSenseCode {
  uint8_t key, asc, ascq;
  std::string_view meaning;
};

// The codes optical drives report in practice. Key 0 where drives differ (30/00).
constexpr TSenseCode kSenseCodes[] = {
    {2, 0x04, 0x00, "logical unit not ready"},
    {2, 0x04, 0x01, "becoming ready"},
    {2, 0x04, 0x04, "format in progress"},
    {2, 0x04, 0x07, "operation in progress"},
    {2, 0x04, 0x08, "long write in progress"},
    {3, 0x0C, 0x00, "write error"},
    {3, 0x11, 0x00, "unrecovered read error"},
    {5, 0x20, 0x00, "invalid command operation code"},
    {5, 0x21, 0x00, "logical block address out of range"},
    {5, 0x21, 0x02, "invalid address for write"},
    {5, 0x24, 0x00, "invalid field in CDB"},
    {5, 0x26, 0x00, "invalid field in parameter list"},
    {7, 0x27, 0x00, "write protected"},
    {6, 0x28, 0x00, "medium may have changed"},
    {6, 0x29, 0x00, "power on or reset"},
    {5, 0x2C, 0x00, "command sequence error"},
    {0, 0x30, 0x00, "incompatible medium installed"},
    {3, 0x30, 0x01, "cannot read medium, unknown format"},
    {5, 0x30, 0x02, "cannot read medium, incompatible format"},
    {5, 0x30, 0x05, "cannot write medium, incompatible format"},
    {2, 0x3A, 0x00, "medium not present"},
    {2, 0x3A, 0x01, "medium not present, tray closed"},
    {2, 0x3A, 0x02, "medium not present, tray open"},
    {5, 0x53, 0x02, "medium removal prevented"},
    {5, 0x63, 0x00, "end of user area on track"},
    {5, 0x64, 0x00, "illegal mode for this track"},
    {5, 0x64, 0x01, "invalid packet size"},
    {5, 0x72, 0x00, "session fixation error"},
    {5, 0x72, 0x03, "session fixation error, incomplete track in session"},
    {5, 0x72, 0x04, "empty or partially written reserved track"},
    {5, 0x72, 0x05, "no more track reservations allowed"},
};

const TSenseCode* FindSense(uint8_t asc, uint8_t ascq) {
  for (const TSenseCode& c : kSenseCodes)
    if (c.asc == asc && c.ascq == ascq) return &c;
  return nullptr;
}

}  // namespace

std::string_view SenseMeaning(uint8_t asc, uint8_t ascq) {
  if (const TSenseCode* c = FindSense(asc, ascq)) return c->meaning;
  // Qualifiers a drive adds (a vendor's progress states, tray states) keep the ASC's meaning.
  switch (asc) {
    case 0x04: return "logical unit not ready";
    case 0x3A: return "medium not present";
    case 0x0C: return "write error";
    case 0x11: return "unrecovered read error";
    case 0x72: return "session fixation error";
    default: return {};
  }
}

uint8_t UsualSenseKey(uint8_t asc, uint8_t ascq) {
  if (const TSenseCode* c = FindSense(asc, ascq)) return c->key;
  return asc == 0x04 || asc == 0x3A ? 2 : 0;
}

std::string SenseText(uint8_t key, uint8_t asc, uint8_t ascq) {
  char code[16];
  std::snprintf(code, sizeof code, "%02X/%02X/%02X", key, asc, ascq);
  std::string text = code;
  const std::string_view meaning = SenseMeaning(asc, ascq);
  if (!meaning.empty()) text += " " + std::string(meaning);
  return text;
}

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
