#include "emulator/VirtualMedium.h"

#include <algorithm>

namespace torvik::vdrive {

namespace {

// Capacities are the figures of real 80-minute CDs, 4.7/8.5 GB DVDs and 25 GB BDs.
const std::vector<ProfileInfo> kProfiles = {
    {"cd-r", "CD-R", 0x0009, MediumKind::CD, Recording::Sequential, false, true, 359849},
    {"cd-rw", "CD-RW", 0x000A, MediumKind::CD, Recording::Sequential, true, true, 359849},
    {"dvd-r", "DVD-R", 0x0011, MediumKind::DVD, Recording::Sequential, false, true, 2295104},
    {"dvd-ram", "DVD-RAM", 0x0012, MediumKind::DVD, Recording::Overwritable, true, false, 2236704},
    {"dvd-rw-ro", "DVD-RW restricted overwrite", 0x0013, MediumKind::DVD, Recording::Overwritable,
     true, false, 2295104},
    {"dvd-rw-seq", "DVD-RW sequential", 0x0014, MediumKind::DVD, Recording::Sequential, true, true,
     2295104},
    {"dvd+rw", "DVD+RW", 0x001A, MediumKind::DVD, Recording::Overwritable, true, false, 2295104},
    {"dvd+r", "DVD+R", 0x001B, MediumKind::DVD, Recording::Sequential, false, false, 2295104},
    {"dvd+r-dl", "DVD+R DL", 0x002B, MediumKind::DVD, Recording::Sequential, false, false, 4173824},
    {"bd-r", "BD-R SRM", 0x0041, MediumKind::BD, Recording::Sequential, false, false, 12219392},
    {"bd-re", "BD-RE", 0x0043, MediumKind::BD, Recording::Overwritable, true, false, 12219392},
    {"cd-rom", "CD-ROM", 0x0008, MediumKind::CD, Recording::ReadOnly, false, false, 0},
    {"dvd-rom", "DVD-ROM", 0x0010, MediumKind::DVD, Recording::ReadOnly, false, false, 0},
    {"bd-rom", "BD-ROM", 0x0040, MediumKind::BD, Recording::ReadOnly, false, false, 0},
};

constexpr uint32_t kBdRawReference = 12219392;

bool IsDvdMinusFamily(uint16_t code) { return code == 0x0011 || code == 0x0014; }
bool IsDvdRw(uint16_t code) { return code == 0x0013 || code == 0x0014; }

// ECC block (DVD) or cluster (BD) that track ends are padded to.
uint32_t Granule(MediumKind kind) {
  switch (kind) {
    case MediumKind::CD: return 1;
    case MediumKind::DVD: return 16;
    case MediumKind::BD: return 32;
  }
  return 1;
}

uint64_t RoundUp(uint64_t value, uint32_t granule) {
  return (value + granule - 1) / granule * granule;
}

// Lead-out, lead-in and pre-gap between sessions. The CD figures are what drives report; DVD
// borders and +R/BD session closures vary by drive, these are typical sizes.
uint32_t SessionGap(const ProfileInfo& p, uint16_t closedSession) {
  switch (p.kind) {
    case MediumKind::CD: return closedSession == 1 ? 11400 : 6900;
    case MediumKind::DVD:
      if (IsDvdMinusFamily(p.code)) return closedSession == 1 ? 16384 : 4096;
      return closedSession == 1 ? 4096 : 2048;
    case MediumKind::BD: return 4096;
  }
  return 0;
}

// Space a new session needs before the drive rather finalizes the disc: a minimum CD track,
// or the 65 ECC blocks below which DVD+R drives finalize on their own.
uint32_t MinimumSessionRoom(const ProfileInfo& p) {
  switch (p.kind) {
    case MediumKind::CD: return 300;
    case MediumKind::DVD: return p.code == 0x001B || p.code == 0x002B ? 65 * 16 : 16;
    case MediumKind::BD: return 32;
  }
  return 0;
}

bool IsSimulating(const MediumState& m) {
  return m.wp.testWrite && m.profile->simulation;
}

uint64_t TrackEnd(const MediumState& m, const Track& t) {
  return uint64_t(t.start) + view::TrackSize(m, t);
}

// Closes one track: an incomplete track gets its final size (CD TAO adds the two run-out
// blocks, DVD and BD pad to their ECC unit), a reservation is padded to its full size. A new
// invisible track follows a closed invisible one while the disc has room.
void CloseTrackAt(MediumState& m, size_t index) {
  Track& t = m.tracks[index];
  if (t.state == TrackState::Complete) return;
  if (t.state == TrackState::Reserved) {
    t.written = t.size;
    t.state = TrackState::Complete;
    return;
  }
  if (t.written == 0) return;  // closing a blank track changes nothing
  uint64_t size = t.written;
  if (m.profile->kind == MediumKind::CD && !t.incremental) size += 2;
  size = RoundUp(size, Granule(m.profile->kind));
  size = std::min<uint64_t>(size, m.capacity - t.start);
  t.size = static_cast<uint32_t>(size);
  t.state = TrackState::Complete;
  const uint16_t session = t.session;
  const uint64_t next = uint64_t(t.start) + t.size;
  if (next < m.capacity) {
    Track invisible;
    invisible.session = session;
    invisible.start = static_cast<uint32_t>(next);
    m.tracks.insert(m.tracks.begin() + static_cast<std::ptrdiff_t>(index) + 1, invisible);
  }
}

void ResetSequential(MediumState& m) {
  m.tracks.assign(1, Track{});
  m.finalized = false;
  m.simActive = false;
}

}  // namespace

const std::vector<ProfileInfo>& Profiles() { return kProfiles; }

const ProfileInfo* FindProfile(std::string_view name) {
  for (const auto& p : kProfiles)
    if (name == p.name) return &p;
  return nullptr;
}

const ProfileInfo* FindProfile(uint16_t code) {
  for (const auto& p : kProfiles)
    if (p.code == code) return &p;
  return nullptr;
}

const char* DriveClassName(DriveClass drive) {
  switch (drive) {
    case DriveClass::CD: return "cd";
    case DriveClass::DVD: return "dvd";
    case DriveClass::BD: return "bd";
  }
  return "bd";
}

std::optional<DriveClass> ParseDriveClass(std::string_view name) {
  if (name == "cd") return DriveClass::CD;
  if (name == "dvd") return DriveClass::DVD;
  if (name == "bd") return DriveClass::BD;
  return std::nullopt;
}

bool DriveSupports(DriveClass drive, MediumKind kind) {
  return static_cast<int>(kind) <= static_cast<int>(drive);
}

MediumState BlankMedium(const ProfileInfo& profile, uint32_t capacity, const DriveConfig& config) {
  MediumState m;
  m.profile = &profile;
  m.capacity = capacity ? capacity : profile.capacity;
  m.config = config;
  switch (profile.recording) {
    case Recording::Sequential:
      ResetSequential(m);
      if (profile.kind == MediumKind::CD) {
        m.wp.writeType = 1;
      } else if (IsDvdMinusFamily(profile.code)) {
        m.wp.writeType = 0;
        m.wp.trackMode = 5;
        m.wp.fixedPacket = true;
        m.wp.packetSize = 16;
        m.wp.linkSize = 16;
        m.wp.linkSizeValid = true;
      } else {
        m.wp.multiSession = 3;  // page 05h is not part of +R and BD-R recording
      }
      break;
    case Recording::Overwritable:
      // DVD-RAM and DVD-RW restricted overwrite come formatted; a BD-RE is taken as it leaves a
      // quick default format, since the write sequences never format it first. DVD+RW is sold
      // unformatted and formats itself on the first write.
      if (profile.code == 0x0012 || profile.code == 0x0013) {
        m.formatted = true;
        m.formattedSize = m.capacity;
      } else if (profile.code == 0x0043) {
        m.formatted = true;
        m.formattedSize = view::BdReDefaultCapacity(m.capacity);
      }
      break;
    case Recording::ReadOnly: {
      Track t;
      t.state = TrackState::Complete;
      t.size = m.capacity;
      t.written = m.capacity;
      m.tracks.assign(1, t);
      m.finalized = true;
      break;
    }
  }
  return m;
}

namespace view {

uint32_t BdReDefaultCapacity(uint32_t raw) {
  return raw - static_cast<uint32_t>(uint64_t(raw) * 393216 / kBdRawReference / 32 * 32);
}
uint32_t BdReMaxSpareCapacity(uint32_t raw) {
  return raw - static_cast<uint32_t>(uint64_t(raw) * 655360 / kBdRawReference / 32 * 32);
}
uint32_t BdReMinSpareCapacity(uint32_t raw) {
  return raw - static_cast<uint32_t>(uint64_t(raw) * 131072 / kBdRawReference / 32 * 32);
}

uint32_t TrackSize(const MediumState& m, const Track& t) {
  if (t.state == TrackState::Invisible) return t.start < m.capacity ? m.capacity - t.start : 0;
  return t.size;
}

uint32_t TrackNwa(const MediumState&, const Track& t) { return t.start + t.written; }

bool TrackWritable(const MediumState& m, const Track& t) {
  if (m.finalized || m.profile->recording != Recording::Sequential) return false;
  if (t.state == TrackState::Invisible) return uint64_t(t.start) + t.written < m.capacity;
  if (t.state == TrackState::Reserved) return t.written < t.size;
  return false;
}

const Track* InvisibleTrack(const MediumState& m) {
  if (m.finalized || m.tracks.empty() || m.tracks.back().state != TrackState::Invisible)
    return nullptr;
  return &m.tracks.back();
}

uint16_t SessionCount(const MediumState& m) {
  if (m.profile->recording != Recording::Sequential || m.tracks.empty()) return 1;
  return m.tracks.back().session;
}

uint16_t FirstTrackOfLastSession(const MediumState& m) {
  if (m.profile->recording != Recording::Sequential) return 1;
  const uint16_t last = SessionCount(m);
  for (size_t i = 0; i < m.tracks.size(); ++i)
    if (m.tracks[i].session == last) return static_cast<uint16_t>(i + 1);
  return 1;
}

uint16_t LastTrackOfLastSession(const MediumState& m) {
  if (m.profile->recording != Recording::Sequential) return 1;
  return static_cast<uint16_t>(std::max<size_t>(m.tracks.size(), 1));
}

uint16_t CompleteSessions(const MediumState& m) {
  if (m.profile->recording != Recording::Sequential) return DiscStatus(m) == 0 ? 0 : 1;
  const uint16_t sessions = SessionCount(m);
  return m.finalized ? sessions : static_cast<uint16_t>(sessions - 1);
}

uint8_t DiscStatus(const MediumState& m) {
  switch (m.profile->recording) {
    case Recording::ReadOnly: return 2;
    case Recording::Overwritable:
      if (!m.formatted) return 0;
      return m.intermediate ? 1 : 2;
    case Recording::Sequential:
      if (m.finalized) return 2;
      if (m.tracks.size() == 1 && m.tracks[0].state == TrackState::Invisible &&
          m.tracks[0].written == 0)
        return 0;
      return 1;
  }
  return 3;
}

uint8_t LastSessionState(const MediumState& m) {
  switch (m.profile->recording) {
    case Recording::ReadOnly: return 3;
    case Recording::Overwritable:
      if (!m.formatted) return 0;
      return m.intermediate ? 1 : 3;
    case Recording::Sequential: {
      if (m.finalized) return 3;
      const uint16_t last = SessionCount(m);
      for (const auto& t : m.tracks)
        if (t.session == last && (t.state != TrackState::Invisible || t.written != 0)) return 1;
      return 0;
    }
  }
  return 0;
}

uint32_t LastRecordedBlock(const MediumState& m) {
  switch (m.profile->recording) {
    case Recording::ReadOnly: return m.capacity ? m.capacity - 1 : 0;
    case Recording::Overwritable: return m.formatted && m.formattedSize ? m.formattedSize - 1 : 0;
    case Recording::Sequential: {
      uint64_t end = 0;
      for (const auto& t : m.tracks) {
        const uint64_t e = t.state == TrackState::Complete ? uint64_t(t.start) + t.size
                                                            : uint64_t(t.start) + t.written;
        if (t.state == TrackState::Complete || t.written) end = std::max(end, e);
      }
      return end ? static_cast<uint32_t>(end - 1) : 0;
    }
  }
  return 0;
}

bool Readable(const MediumState& m, uint32_t lba, uint32_t blocks) {
  const uint64_t end = uint64_t(lba) + blocks;
  switch (m.profile->recording) {
    case Recording::ReadOnly: return end <= m.capacity;
    case Recording::Overwritable: return m.formatted && end <= m.formattedSize;
    case Recording::Sequential:
      for (const auto& t : m.tracks) {
        const uint64_t recorded =
            t.state == TrackState::Complete ? t.size : uint64_t(t.written);
        if (lba >= t.start && end <= t.start + recorded) return true;
      }
      return false;
  }
  return false;
}

}  // namespace view

namespace transition {

Sense Write(MediumState& m, uint32_t lba, uint32_t blocks, bool* store) {
  *store = false;
  const ProfileInfo& p = *m.profile;
  if (p.recording == Recording::ReadOnly) return sense::kIncompatibleFormat;
  if (blocks == 0) return sense::kGood;
  const uint64_t end = uint64_t(lba) + blocks;

  if (m.wp.testWrite) {
    // Only media with a simulation mode can test-write; elsewhere a drive would burn for real,
    // which is never what a host that asked for a test wants.
    if (!p.simulation) return sense::kIllegalTrackMode;
    if (m.finalized) return sense::kInvalidWriteAddress;
    if (!m.simActive) {
      const Track* target = nullptr;
      for (const auto& t : m.tracks)
        if (view::TrackWritable(m, t) && view::TrackNwa(m, t) == lba) target = &t;
      if (!target) return sense::kInvalidWriteAddress;
      m.simActive = true;
      m.simNwa = lba;
    }
    if (lba != m.simNwa) return sense::kInvalidWriteAddress;
    if (end > m.capacity) return sense::kEndOfUserArea;
    m.simNwa = static_cast<uint32_t>(end);
    return sense::kGood;
  }

  if (p.recording == Recording::Overwritable) {
    switch (p.code) {
      case 0x001A:
        if (m.faults.incompatibleFormat) return sense::kIncompatibleFormat;
        if (!m.formatted) {  // DVD+RW drives start the background format on the first write
          m.formatted = true;
          m.formattedSize = m.capacity;
        }
        break;
      case 0x0043:
        if (!m.formatted) return sense::kIncompatibleFormat;
        break;
      case 0x0013:
        // Restricted overwrite records whole ECC blocks; past the formatted area an
        // intermediate disc grows only by writing on from its end.
        if (lba % 16 != 0) return sense::kInvalidWriteAddress;
        if (end > m.capacity) return sense::kLbaOutOfRange;
        if (end <= m.formattedSize) break;
        if (!m.intermediate || lba > m.formattedSize) return sense::kInvalidWriteAddress;
        m.formattedSize = static_cast<uint32_t>(end);
        *store = true;
        return sense::kGood;
      default: break;
    }
    if (end > m.formattedSize) return sense::kLbaOutOfRange;
    *store = true;
    return sense::kGood;
  }

  // Sequential media.
  if (m.finalized) return sense::kInvalidWriteAddress;
  if (p.kind == MediumKind::CD && (m.wp.writeType == 2 || m.wp.writeType == 3))
    return sense::kSequenceError;  // session at once needs a cue sheet, which this drive lacks
  if (IsDvdMinusFamily(p.code)) {
    if (m.wp.writeType == 1 || m.wp.writeType == 3) return sense::kIllegalTrackMode;
    if (m.wp.writeType == 0 && !m.incrementalAllowed) return sense::kIllegalTrackMode;
  }
  Track* target = nullptr;
  for (auto& t : m.tracks)
    if (view::TrackWritable(m, t) && view::TrackNwa(m, t) == lba) target = &t;
  if (!target) return sense::kInvalidWriteAddress;
  if (IsDvdMinusFamily(p.code) && m.wp.writeType == 2 && target->state != TrackState::Reserved)
    return sense::kSequenceError;  // disc at once writes into a reservation only
  const uint64_t limit = target->state == TrackState::Reserved
                             ? uint64_t(target->start) + target->size
                             : uint64_t(m.capacity);
  if (end > limit) return sense::kEndOfUserArea;
  target->written += blocks;
  target->incremental =
      m.wp.writeType == 0 && (p.kind == MediumKind::CD || IsDvdMinusFamily(p.code));
  *store = true;
  return sense::kGood;
}

Sense SynchronizeCache(MediumState& m) {
  const ProfileInfo& p = *m.profile;
  if (p.recording != Recording::Sequential || IsSimulating(m) || m.finalized)
    return sense::kGood;
  if (p.kind == MediumKind::CD && m.wp.writeType == 1) {
    // In track at once the drive writes the run-out and closes the track once its cache is
    // flushed, which is why hosts need no explicit CLOSE TRACK on CD.
    for (size_t i = 0; i < m.tracks.size(); ++i) {
      const Track& t = m.tracks[i];
      if ((t.state == TrackState::Invisible && t.written) ||
          (t.state == TrackState::Reserved && t.written == t.size)) {
        CloseTrackAt(m, i);
        break;
      }
    }
  } else if (IsDvdMinusFamily(p.code) && m.wp.writeType == 2) {
    // Disc at once: a fully written reservation ends the single session and the disc.
    for (size_t i = 0; i < m.tracks.size(); ++i) {
      if (m.tracks[i].state == TrackState::Reserved && m.tracks[i].written == m.tracks[i].size) {
        CloseTrackAt(m, i);
        while (!m.tracks.empty() && m.tracks.back().state == TrackState::Invisible &&
               m.tracks.back().written == 0)
          m.tracks.pop_back();
        m.finalized = true;
        break;
      }
    }
  }
  return sense::kGood;
}

Sense CloseTrackSession(MediumState& m, uint8_t function, uint16_t number) {
  const ProfileInfo& p = *m.profile;
  if (p.recording == Recording::ReadOnly) return sense::kIncompatibleFormat;
  if (p.recording == Recording::Overwritable) {
    switch (p.code) {
      case 0x001A:
        if (function == 3 && !m.formatted) return sense::kInvalidField;
        return function <= 3 ? sense::kGood : sense::kInvalidField;
      case 0x0013:
        if (function == 1) return sense::kGood;
        if (function == 2) {
          m.intermediate = false;  // closing ends the intermediate state of a quick format
          return sense::kGood;
        }
        return sense::kInvalidField;
      default:
        return function == 1 || function == 2 ? sense::kGood : sense::kInvalidField;
    }
  }

  bool valid = function == 1 || function == 2;
  if (p.code == 0x001B) valid = valid || function == 5 || function == 6;
  if (p.code == 0x002B) valid = valid || (function >= 4 && function <= 6);
  if (p.code == 0x0041) valid = valid || function == 6;
  if (!valid) return sense::kInvalidField;

  if (IsSimulating(m)) {  // a test write closes without touching the medium
    m.simActive = false;
    return sense::kGood;
  }
  if (m.finalized) return sense::kGood;

  if (function == 1) {
    if (number == 0xFF) {
      for (size_t i = 0; i < m.tracks.size(); ++i) {
        const Track& t = m.tracks[i];
        if (t.state == TrackState::Reserved ||
            (t.state == TrackState::Invisible && t.written)) {
          CloseTrackAt(m, i);
          break;
        }
      }
      return sense::kGood;
    }
    if (number == 0 || number > m.tracks.size()) return sense::kInvalidField;
    CloseTrackAt(m, number - 1u);
    return sense::kGood;
  }

  // Session close and finalization.
  bool finalize = function == 5 || function == 6;
  if (function == 2 || function == 4) {
    // Only CD and DVD-R take their write parameters from page 05h; +R and BD-R have none, so
    // a session close leaves them appendable and finalizing is a close function of its own.
    const bool followsPage05 = p.kind == MediumKind::CD || IsDvdMinusFamily(p.code);
    finalize = followsPage05 && m.wp.multiSession != 3;
  }
  const uint16_t session = view::SessionCount(m);
  const bool implicitClose = p.code == 0x001B || p.code == 0x002B || p.kind == MediumKind::BD;
  for (size_t i = 0; i < m.tracks.size(); ++i) {
    const Track& t = m.tracks[i];
    if (t.session != session) continue;
    const bool open = t.state == TrackState::Reserved ||
                      (t.state == TrackState::Invisible && t.written);
    if (!open) continue;
    if (implicitClose) {
      CloseTrackAt(m, i);
    } else if (t.state == TrackState::Reserved && t.written == 0) {
      return sense::kEmptyReservation;
    } else {
      return sense::kIncompleteTrack;
    }
  }
  bool hasData = false;
  for (const auto& t : m.tracks)
    if (t.session == session && t.state == TrackState::Complete) hasData = true;
  if (!hasData) {
    // Closing an empty session is a no-op, unless it is the host's way of finalizing a disc
    // that already holds sessions.
    if (finalize && session > 1) {
      while (!m.tracks.empty() && m.tracks.back().session == session) m.tracks.pop_back();
      m.finalized = true;
    }
    return sense::kGood;
  }
  while (!m.tracks.empty() && m.tracks.back().state == TrackState::Invisible) m.tracks.pop_back();
  const uint64_t end = TrackEnd(m, m.tracks.back());
  const uint64_t next = end + SessionGap(p, session);
  if (finalize || next + MinimumSessionRoom(p) > m.capacity) {
    m.finalized = true;
    return sense::kGood;
  }
  Track invisible;
  invisible.session = static_cast<uint16_t>(session + 1);
  invisible.start = static_cast<uint32_t>(next);
  m.tracks.push_back(invisible);
  return sense::kGood;
}

Sense ReserveTrack(MediumState& m, uint32_t blocks) {
  const ProfileInfo& p = *m.profile;
  if (p.recording != Recording::Sequential) return sense::kIncompatibleFormat;
  if (blocks == 0) return sense::kInvalidField;
  if (IsSimulating(m)) return sense::kGood;
  if (m.finalized || m.tracks.empty()) return sense::kSequenceError;
  Track& inv = m.tracks.back();
  if (inv.state != TrackState::Invisible || inv.written != 0) return sense::kSequenceError;
  const uint64_t size = RoundUp(blocks, Granule(p.kind));
  if (inv.start + size > m.capacity) return sense::kInvalidField;
  Track reserved;
  reserved.session = inv.session;
  reserved.state = TrackState::Reserved;
  reserved.start = inv.start;
  reserved.size = static_cast<uint32_t>(size);
  inv.start = static_cast<uint32_t>(inv.start + size);
  const bool full = inv.start >= m.capacity;
  const auto at = m.tracks.end() - 1;
  m.tracks.insert(at, reserved);
  if (full) m.tracks.pop_back();
  return sense::kGood;
}

Sense Blank(MediumState& m, uint8_t type, bool* truncate) {
  *truncate = false;
  const uint16_t code = m.profile->code;
  if (code != 0x000A && !IsDvdRw(code)) return sense::kIncompatibleFormat;
  if (type > 1) return sense::kInvalidField;
  if (IsDvdRw(code)) {
    m.profile = FindProfile(uint16_t{0x0014});
    // A minimal blank leaves a DVD-RW that only disc at once can write.
    m.incrementalAllowed = type == 0;
    m.wp.writeType = 0;
  }
  m.formatted = false;
  m.formattedSize = 0;
  m.intermediate = false;
  ResetSequential(m);
  *truncate = true;
  return sense::kGood;
}

Sense Format(MediumState& m, uint8_t type, uint32_t blocks, uint32_t parameter,
             bool* truncate) {
  *truncate = false;
  const uint32_t cap = m.capacity;
  switch (m.profile->code) {
    case 0x0013:
    case 0x0014: {
      const bool restricted = m.profile->code == 0x0013;
      switch (type) {
        case 0x00:
          m.formattedSize = cap;
          m.intermediate = false;
          *truncate = true;
          break;
        case 0x10:
          if (blocks == 0 || blocks > cap) return sense::kInvalidParameter;
          m.formattedSize = static_cast<uint32_t>(std::min<uint64_t>(RoundUp(blocks, 16), cap));
          m.intermediate = false;
          *truncate = true;
          break;
        case 0x15:
          if (blocks > cap) return sense::kInvalidParameter;
          m.formattedSize = blocks;
          m.intermediate = true;
          *truncate = true;
          break;
        case 0x11:
        case 0x13: {
          // Growing is only offered once the last border is complete.
          if (!restricted || m.intermediate) return sense::kInvalidParameter;
          const uint64_t add = RoundUp(blocks, 16);
          if (m.formattedSize >= cap && add == 0) return sense::kGood;
          m.formattedSize = static_cast<uint32_t>(std::min<uint64_t>(m.formattedSize + add, cap));
          m.intermediate = type == 0x13;
          break;
        }
        default: return sense::kInvalidParameter;
      }
      m.profile = FindProfile(uint16_t{0x0013});
      m.formatted = true;
      m.finalized = false;
      m.tracks.clear();
      m.simActive = false;
      return sense::kGood;
    }
    case 0x001A:
      if (type != 0x26 || (blocks != 0xFFFFFFFFu && blocks != cap) || parameter != 0)
        return sense::kInvalidParameter;
      m.formatted = true;
      m.formattedSize = cap;
      m.faults.incompatibleFormat = false;
      return sense::kGood;
    case 0x0012:
      if (type != 0x00 || blocks != cap) return sense::kInvalidParameter;
      m.formatted = true;
      m.formattedSize = cap;
      *truncate = true;
      return sense::kGood;
    case 0x0043: {
      uint32_t size = 0;
      if (type == 0x00) {
        size = view::BdReDefaultCapacity(cap);
      } else if (type == 0x30 && blocks >= view::BdReMaxSpareCapacity(cap) &&
                 blocks <= view::BdReMinSpareCapacity(cap)) {
        size = blocks;
      } else if (type == 0x31) {
        size = cap;
      } else {
        return sense::kInvalidParameter;
      }
      m.formatted = true;
      m.formattedSize = size;
      *truncate = true;
      return sense::kGood;
    }
    case 0x0041:
      if (type != 0x00 && type != 0x32) return sense::kInvalidParameter;
      if (view::DiscStatus(m) != 0) return sense::kSequenceError;
      m.formatted = true;
      return sense::kGood;
    default: return sense::kCannotFormat;
  }
}

}  // namespace transition

}  // namespace torvik::vdrive
