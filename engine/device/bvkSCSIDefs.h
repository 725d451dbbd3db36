// SCSI/MMC wire constants, the request block every command travels in, fixed-format sense data,
// and the reply records the command layer keeps in the device record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace torvik {

// Opcodes the engine sends.
namespace op {
constexpr uint8_t TEST_UNIT_READY = 0x00;
constexpr uint8_t REZERO_UNIT = 0x01;
constexpr uint8_t FORMAT_UNIT = 0x04;
constexpr uint8_t INQUIRY = 0x12;
constexpr uint8_t START_STOP_UNIT = 0x1B;
constexpr uint8_t PREVENT_ALLOW = 0x1E;
constexpr uint8_t READ_FORMAT_CAPACITIES = 0x23;
constexpr uint8_t READ_10 = 0x28;
constexpr uint8_t WRITE_10 = 0x2A;
constexpr uint8_t SYNCHRONIZE_CACHE = 0x35;
constexpr uint8_t READ_TOC_PMA_ATIP = 0x43;
constexpr uint8_t GET_CONFIGURATION = 0x46;
constexpr uint8_t READ_DISC_INFORMATION = 0x51;
constexpr uint8_t READ_TRACK_INFORMATION = 0x52;
constexpr uint8_t RESERVE_TRACK = 0x53;
constexpr uint8_t MODE_SELECT_10 = 0x55;
constexpr uint8_t MODE_SENSE_10 = 0x5A;
constexpr uint8_t CLOSE_TRACK_SESSION = 0x5B;
constexpr uint8_t READ_BUFFER_CAPACITY = 0x5C;
constexpr uint8_t BLANK = 0xA1;
constexpr uint8_t SET_STREAMING = 0xB6;
constexpr uint8_t SET_CD_SPEED = 0xBB;
constexpr uint8_t SEND_DVD_STRUCTURE = 0xBF;
}  // namespace op

// SRB values.
constexpr uint8_t SC_EXEC_SCSI_CMD = 2;
constexpr uint8_t SS_PENDING = 0;
constexpr uint8_t SS_COMP = 1;
constexpr uint8_t SS_ERR = 4;
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;
constexpr uint8_t SRB_FLAGS_NONE = 0x40;
constexpr uint8_t SRB_FLAGS_IN = 0x48;
constexpr uint8_t SRB_FLAGS_OUT = 0x50;
constexpr uint8_t SENSE_LEN = 24;
constexpr uint8_t STATUS_BUSY = 8;

constexpr uint32_t kBlockSize = 2048;
constexpr size_t kWorkBufferSize = 65536;

// The execute-command request block. The sense area holds fixed-format sense data.
struct TSRB_ExecSCSICmd {
  uint8_t SRB_Cmd = 0;
  uint8_t SRB_Status = 0;
  uint8_t SRB_HaId = 0;
  uint8_t SRB_Flags = 0;
  uint8_t SRB_Target = 0;
  uint8_t SRB_Lun = 0;
  uint32_t SRB_BufLen = 0;
  uint8_t* SRB_BufPointer = nullptr;
  uint8_t SRB_SenseLen = 0;
  uint8_t SRB_CDBLen = 0;
  uint8_t SRB_HaStat = 0;
  uint8_t SRB_TargStat = 0;
  std::array<uint8_t, 16> CDB{};
  std::array<uint8_t, 32> SenseArea{};
};

// Fixed-format sense data (70h), 32 bytes.
struct TSENSE {
  uint8_t ErrorCode = 0;
  uint8_t SegmentNum = 0;
  uint8_t SenseKey = 0;
  uint8_t InfoByte0 = 0, InfoByte1 = 0, InfoByte2 = 0, InfoByte3 = 0;
  uint8_t AddSenLen = 0;
  uint8_t ComSpecInf0 = 0, ComSpecInf1 = 0, ComSpecInf2 = 0, ComSpecInf3 = 0;
  uint8_t AddSenseCode = 0;
  uint8_t AddSenQual = 0;
  uint8_t FieldRepUCode = 0;
  uint8_t SenKeySpec15 = 0, SenKeySpec16 = 0, SenKeySpec17 = 0;
  std::array<uint8_t, 14> AddSenseBytes{};

  static TSENSE FromBytes(const uint8_t* b);  // 32 bytes
  bool IsZero() const;
};

// ---- sense codes ----
// MMC's meaning of an ASC/ASCQ pair in lower case ("write error"). A pair the table lacks gets
// the meaning of its ASC where one fits every qualifier ("logical unit not ready" for 04/xx),
// otherwise an empty text.
std::string_view SenseMeaning(uint8_t asc, uint8_t ascq);
// The sense key drives report with this ASC/ASCQ; 0 where it varies or is not known.
uint8_t UsualSenseKey(uint8_t asc, uint8_t ascq);
// "03/0C/00 write error": key, ASC and ASCQ in hex, then the meaning when one is known.
std::string SenseText(uint8_t key, uint8_t asc, uint8_t ascq);

// ---- big-endian helpers (all wire fields of MMC are big-endian) ----
inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// READ DISC INFORMATION reply (64 bytes requested).
struct TDiscInformation {
  uint16_t DataLen = 0;
  uint8_t info = 0;  // bit 4 erasable; bits 3-2 last-session state; bits 1-0 disc status
  uint8_t FirstTrack = 0;
  uint8_t Sessions = 0;
  uint8_t FirstTrackOfLastSession = 0;
  uint8_t LastTrackOfLastSession = 0;
  uint8_t info2 = 0;
  uint8_t DiscType = 0;
  uint8_t Resvd1 = 0, Resvd2 = 0, Resvd3 = 0;
  std::array<uint8_t, 4> DiscIdentification{};
  std::array<uint8_t, 48> Resvd4{};

  static constexpr size_t kSize = 64;
  // Reads the reply; bytes beyond the reply's own length read as zero.
  static TDiscInformation Parse(const uint8_t* b, size_t n);
  uint8_t DiscStatus() const { return info & 3; }
  uint8_t LastSessionState() const { return (info >> 2) & 3; }
  bool Erasable() const { return (info & 0x10) != 0; }
};

// READ TRACK INFORMATION reply; multi-byte fields in native order.
struct TTrackInformation {
  uint16_t DataLength = 0;
  uint8_t TrackNumber = 0;
  uint8_t SessionNumber = 0;
  uint8_t Reserved1 = 0;
  uint8_t info1 = 0;
  uint8_t info2 = 0;  // bit 7 reserved, bit 6 blank, bit 5 packet, bit 4 fixed packet
  uint8_t Reserved2 = 0;
  uint32_t TrackStartAddress = 0;
  uint32_t NextWritableAddress = 0;
  uint32_t FreeBlocks = 0;
  uint32_t FixedPacketSize = 0;
  uint32_t TrackSize = 0;
  uint32_t LastRecordedAddress = 0;
  uint8_t TrackNumber2 = 0;
  uint8_t SessionNumber2 = 0;
  uint8_t Res3 = 0, Res4 = 0, Res5 = 0, Res6 = 0;

  static constexpr size_t kSize = 38;
  static TTrackInformation Parse(const uint8_t* b, size_t n);
};

// GET CONFIGURATION reply: header plus the first feature descriptor.
struct TConfigHeader {
  uint32_t DataLength = 0;
  uint16_t Reseverd1 = 0;
  uint16_t CurrentProfile = 0;
  uint16_t FeatureCode = 0;  // 0 when the reply carries no descriptor
  uint8_t Version = 0;
  uint8_t AdditionalLength = 0;
  uint8_t info = 0;
  std::array<uint8_t, 101> OtherData{};

  static constexpr size_t kSize = 114;
  static TConfigHeader Parse(const uint8_t* b, size_t n);
};

// Capabilities page 2Ah (first 64 bytes), speeds and buffer size in native order once parsed.
struct TModePage2A {
  uint8_t PageCode = 0;
  uint8_t PageLen = 0;
  uint8_t ReadInfo = 0;
  uint8_t WriteInfo = 0;
  uint8_t OtherInfo = 0;
  uint8_t CDDASupported = 0;
  uint8_t Lock = 0;
  uint8_t SepChanVol = 0;
  uint16_t MaxReadSpeed = 0;
  uint16_t NumVolLevels = 0;
  uint16_t BufferSize = 0;
  uint16_t CurReadSpeed = 0;
  uint8_t Reserved16 = 0;
  uint8_t BCK = 0;
  uint16_t MaxWriteSpeed = 0;
  uint16_t CurWriteSpeed = 0;
  std::array<uint8_t, 50> Others{};
  uint16_t DeviceMaxReadSpeed = 0;
  uint16_t DeviceMaxWriteSpeed = 0;

  // The page bytes (n of them, at most 64 used); the two Device* values are left alone.
  void ParsePage(const uint8_t* b, size_t n);
};

// Write parameters page 05h, kept as the bytes that are sent.
struct TModePage05 {
  std::array<uint8_t, 72> b{};

  uint8_t& PageCode() { return b[0]; }
  uint8_t& PageLen() { return b[1]; }
  uint8_t& WriteType() { return b[2]; }
  uint8_t& TrackMode() { return b[3]; }
  uint8_t& DBType() { return b[4]; }
  uint8_t& LinkSize() { return b[5]; }
  uint8_t& Res6() { return b[6]; }
  uint8_t& Init_App_Code() { return b[7]; }
  uint8_t& SessionFormat() { return b[8]; }
  uint32_t PacketSize() const { return Be32(&b[10]); }
  void SetPacketSize(uint32_t v) { PutBe32(&b[10], v); }
  uint16_t PauseLength() const { return Be16(&b[14]); }
  void SetPauseLength(uint16_t v) { PutBe16(&b[14], v); }
};

// The 32-byte start of every write-parameters page the engine sends.
constexpr std::array<uint8_t, 32> kWriteParametersTemplate = {
    0x05, 0x32, 0x42, 0xC4, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x96,
    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0};

}  // namespace torvik
