// The medium model of the virtual drive: profiles, capacities, drive configuration, injected
// faults, and the session/track state machine that WRITE, CLOSE, RESERVE, BLANK and FORMAT move.
// Everything here is plain data plus pure transitions; file I/O and the SCSI framing live in
// VirtualDrive.cpp, so the rules can be reasoned about (and tested) without a drive around them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvik::vdrive {

constexpr uint32_t kBlockSize = 2048;

enum class MediumKind : uint8_t { CD, DVD, BD };

// The three recording models the emulation knows.
enum class Recording : uint8_t {
  Sequential,    // sessions and tracks, writes only at a next writable address
  Overwritable,  // one formatted track, random writes inside it
  ReadOnly,      // pressed disc holding an image
};

struct ProfileInfo {
  const char* name;         // command-line name, e.g. "dvd+r"
  const char* description;  // human name, e.g. "DVD+R"
  uint16_t code;            // MMC profile number
  MediumKind kind;
  Recording recording;
  bool erasable;            // erasable bit of READ DISC INFORMATION
  bool simulation;          // the medium supports test writes (page 05h test-write bit)
  uint32_t capacity;        // default capacity in blocks
};

const std::vector<ProfileInfo>& Profiles();
const ProfileInfo* FindProfile(std::string_view name);
const ProfileInfo* FindProfile(uint16_t code);

// Sense key, additional sense code and qualifier; all zero means success.
struct Sense {
  uint8_t key = 0, asc = 0, ascq = 0;
  bool Ok() const { return key == 0 && asc == 0 && ascq == 0; }
  bool operator==(const Sense&) const = default;
};

namespace sense {
constexpr Sense kGood{};
constexpr Sense kInvalidOpcode{5, 0x20, 0};
constexpr Sense kInvalidField{5, 0x24, 0};
constexpr Sense kInvalidParameter{5, 0x26, 0};
constexpr Sense kLbaOutOfRange{5, 0x21, 0};
constexpr Sense kInvalidWriteAddress{5, 0x21, 2};
constexpr Sense kEndOfUserArea{5, 0x63, 0};
constexpr Sense kIllegalTrackMode{5, 0x64, 0};
constexpr Sense kIncompleteTrack{5, 0x72, 3};
constexpr Sense kEmptyReservation{5, 0x72, 4};
constexpr Sense kSequenceError{5, 0x2C, 0};
constexpr Sense kIncompatibleFormat{5, 0x30, 5};
constexpr Sense kCannotFormat{5, 0x30, 6};
constexpr Sense kRemovalPrevented{5, 0x53, 2};
constexpr Sense kSavingNotSupported{5, 0x39, 0};
constexpr Sense kBecomingReady{2, 0x04, 1};
constexpr Sense kFormatInProgress{2, 0x04, 4};
constexpr Sense kOperationInProgress{2, 0x04, 7};
constexpr Sense kNoMediumTrayClosed{2, 0x3A, 1};
constexpr Sense kNoMediumTrayOpen{2, 0x3A, 2};
constexpr Sense kPowerOnReset{6, 0x29, 0};
constexpr Sense kReadError{3, 0x11, 0};
}  // namespace sense

// Which kind of drive the medium sits in.
enum class DriveClass : uint8_t { CD, DVD, BD };

struct DriveConfig {
  DriveClass drive = DriveClass::BD;
  bool writer = true;              // a burner; false makes a read-only drive
  bool getConfiguration = true;    // answers GET CONFIGURATION (old drives do not)
  bool page05 = true;              // has the write parameters page
  bool page30 = true;              // has the vendor page 30h
  bool testWrite = true;           // can simulate writes
  bool underrunProtection = true;  // BUF bit in page 2Ah and the features
  bool blockDescriptor = false;    // MODE SENSE puts a block descriptor before the page
  uint32_t longOpPolls = 3;        // not-ready answers after an immediate BLANK/FORMAT
  uint32_t closePolls = 0;         // not-ready answers of 51h/52h after an immediate CLOSE
  uint32_t writeSpeedLimit = 0;    // KB/s; 0 writes as fast as the files allow
  // Blocks of WRITE data the drive holds before recording them, as a real drive's buffer does:
  // recorded by SYNCHRONIZE CACHE, by a close (which flushes first) or when the cache is full;
  // lost if the drive loses power first. 0 records every WRITE at once.
  uint32_t cacheBlocks = 2048;
};

// Commands with this operation code are refused with this sense.
struct CommandFault {
  uint8_t opcode = 0;
  Sense sense{5, 0x24, 0};
};

// A CLOSE TRACK/SESSION with this close function fails with this sense.
struct CloseFault {
  uint8_t function = 2;
  Sense sense{3, 0x72, 0};
};

struct Faults {
  std::optional<uint32_t> writeErrorLba;  // a WRITE covering it fails with writeErrorSense
  Sense writeErrorSense{3, 0x0C, 0};
  std::optional<uint32_t> readErrorLba;   // a READ covering it fails with 03/11/00
  uint32_t busy = 0;                      // commands answered BUSY
  uint32_t notReady = 0;                  // medium commands answered 02/04/01
  bool unitAttention = false;             // next command gets 06/29/00
  bool incompatibleFormat = false;        // DVD+RW writes get 05/30/05 until formatted
  // Flushing cached data fails with this sense; the data is lost, as when a drive cannot
  // record its buffer.
  std::optional<Sense> flushError;
  std::optional<CloseFault> closeError;
  // Every command with this operation code is refused with this sense (a drive that will not
  // BLANK or FORMAT this disc, say).
  std::optional<CommandFault> reject;
};

enum class TrackState : uint8_t { Invisible, Reserved, Complete };

struct Track {
  uint16_t session = 1;
  TrackState state = TrackState::Invisible;
  uint32_t start = 0;
  uint32_t size = 0;      // reserved or final size; an invisible track runs to the disc's end
  uint32_t written = 0;   // blocks recorded from start
  bool incremental = false;
};

// Mode page 05h as the drive keeps it.
struct WriteParameters {
  uint8_t writeType = 1;     // 0 packet/incremental, 1 TAO, 2 SAO/DAO, 3 raw
  uint8_t multiSession = 0;  // 0 finalize, 1 finalize (B0 = FF), 3 keep appendable
  bool testWrite = false;
  bool bufe = false;
  bool linkSizeValid = false;
  bool fixedPacket = false;
  uint8_t trackMode = 4;
  uint8_t dataBlockType = 8;
  uint8_t linkSize = 0;
  uint8_t sessionFormat = 0;
  uint32_t packetSize = 0;
  uint16_t pauseLength = 150;
};

enum class PendingOp : uint8_t { None, Format, Blank, Close };

struct MediumState {
  const ProfileInfo* profile = nullptr;  // current profile (DVD-RW moves between 13h and 14h)
  uint32_t capacity = 0;                 // blocks on the disc
  std::string image;                     // read-only media: the image the disc was made from
  bool mediumPresent = true;
  bool trayOpen = false;
  bool prevent = false;
  bool finalized = false;
  // Overwritable media.
  bool formatted = false;
  uint32_t formattedSize = 0;
  bool intermediate = false;         // DVD-RW quick format not yet closed
  bool incrementalAllowed = true;    // DVD-RW: feature 0021h after a full (not minimal) blank
  std::vector<Track> tracks;         // sequential and read-only media
  WriteParameters wp;
  uint16_t readSpeed = 0xFFFF;       // as set by SET CD SPEED / SET STREAMING, FFFFh = maximum
  uint16_t writeSpeed = 0xFFFF;
  PendingOp pending = PendingOp::None;
  uint32_t pendingPolls = 0;
  uint32_t pendingTotal = 0;
  bool simActive = false;            // a test write is in progress
  uint32_t simNwa = 0;
  DriveConfig config;
  Faults faults;
};

const char* DriveClassName(DriveClass drive);
std::optional<DriveClass> ParseDriveClass(std::string_view name);
bool DriveSupports(DriveClass drive, MediumKind kind);

// A fresh blank medium of the profile (capacity 0 = the profile's default).
MediumState BlankMedium(const ProfileInfo& profile, uint32_t capacity, const DriveConfig& config);

// Read-only views the reply builders share.
namespace view {
uint8_t DiscStatus(const MediumState& m);        // 0 blank, 1 appendable, 2 complete, 3 other
uint8_t LastSessionState(const MediumState& m);  // 0 empty, 1 incomplete, 3 complete
uint16_t SessionCount(const MediumState& m);
uint16_t FirstTrackOfLastSession(const MediumState& m);
uint16_t LastTrackOfLastSession(const MediumState& m);
uint16_t CompleteSessions(const MediumState& m);
uint32_t TrackSize(const MediumState& m, const Track& t);
uint32_t TrackNwa(const MediumState& m, const Track& t);
bool TrackWritable(const MediumState& m, const Track& t);
const Track* InvisibleTrack(const MediumState& m);
uint32_t LastRecordedBlock(const MediumState& m);  // READ CAPACITY's address (0 on blank)
bool Readable(const MediumState& m, uint32_t lba, uint32_t blocks);
// User capacity of the BD-RE formats: default, with the largest and with the smallest spare area.
uint32_t BdReDefaultCapacity(uint32_t raw);
uint32_t BdReMaxSpareCapacity(uint32_t raw);
uint32_t BdReMinSpareCapacity(uint32_t raw);
}  // namespace view

// Transitions. Each returns the sense to report; on failure the state is unchanged.
// `truncate` is set when the recorded data is gone and the sector file must be emptied.
namespace transition {
Sense Write(MediumState& m, uint32_t lba, uint32_t blocks, bool* store);
Sense SynchronizeCache(MediumState& m);
Sense CloseTrackSession(MediumState& m, uint8_t function, uint16_t number);
Sense ReserveTrack(MediumState& m, uint32_t blocks);
Sense Blank(MediumState& m, uint8_t type, bool* truncate);
Sense Format(MediumState& m, uint8_t type, uint32_t blocks, uint32_t parameter, bool* truncate);
}  // namespace transition

}  // namespace torvik::vdrive
