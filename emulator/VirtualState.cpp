#include "emulator/VirtualState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace torvik::vdrive {

namespace {

const char* TrackStateName(TrackState s) {
  switch (s) {
    case TrackState::Invisible: return "invisible";
    case TrackState::Reserved: return "reserved";
    case TrackState::Complete: return "complete";
  }
  return "invisible";
}

const char* PendingName(PendingOp op) {
  switch (op) {
    case PendingOp::None: return "none";
    case PendingOp::Format: return "format";
    case PendingOp::Blank: return "blank";
    case PendingOp::Close: return "close";
  }
  return "none";
}

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// Numbers accept decimal or 0x-prefixed hexadecimal, so sense codes can be written as people
// know them.
bool ToU64(const std::string& s, uint64_t max, uint64_t* out) {
  int base = 10;
  const char* b = s.data();
  const char* e = s.data() + s.size();
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    b += 2;
  }
  uint64_t v = 0;
  auto r = std::from_chars(b, e, v, base);
  if (r.ec != std::errc() || r.ptr != e || v > max) return false;
  *out = v;
  return true;
}

template <typename T>
bool ToNum(const std::string& s, T* out) {
  uint64_t v = 0;
  if (!ToU64(s, static_cast<uint64_t>(static_cast<T>(~T{0})), &v)) return false;
  *out = static_cast<T>(v);
  return true;
}

bool ToBool(const std::string& s, bool* out) {
  if (s == "1" || s == "yes" || s == "true") {
    *out = true;
    return true;
  }
  if (s == "0" || s == "no" || s == "false") {
    *out = false;
    return true;
  }
  return false;
}

std::string Hex(uint8_t v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "0x";
  s += digits[v >> 4];
  s += digits[v & 15];
  return s;
}

}  // namespace

std::string SerializeState(const MediumState& m) {
  std::ostringstream o;
  o << "# Torvik virtual drive state\n";
  o << "profile=" << m.profile->name << "\n";
  o << "capacity=" << m.capacity << "\n";
  if (!m.image.empty()) o << "image=" << m.image << "\n";
  o << "medium=" << (m.mediumPresent ? 1 : 0) << "\n";
  o << "tray=" << (m.trayOpen ? "open" : "closed") << "\n";
  o << "prevent=" << (m.prevent ? 1 : 0) << "\n";
  o << "finalized=" << (m.finalized ? 1 : 0) << "\n";
  o << "formatted=" << (m.formatted ? 1 : 0) << "\n";
  o << "formatted_size=" << m.formattedSize << "\n";
  o << "intermediate=" << (m.intermediate ? 1 : 0) << "\n";
  o << "incremental=" << (m.incrementalAllowed ? 1 : 0) << "\n";
  const WriteParameters& w = m.wp;
  o << "# write type, multisession, test, BUFE, LS_V, FP, track mode, block type, link size,"
       " session format, packet size, pause\n";
  o << "write_parameters=" << int(w.writeType) << ' ' << int(w.multiSession) << ' '
    << int(w.testWrite) << ' ' << int(w.bufe) << ' ' << int(w.linkSizeValid) << ' '
    << int(w.fixedPacket) << ' ' << int(w.trackMode) << ' ' << int(w.dataBlockType) << ' '
    << int(w.linkSize) << ' ' << int(w.sessionFormat) << ' ' << w.packetSize << ' '
    << w.pauseLength << "\n";
  o << "read_speed=" << m.readSpeed << "\n";
  o << "write_speed=" << m.writeSpeed << "\n";
  o << "pending=" << PendingName(m.pending) << ' ' << m.pendingPolls << ' ' << m.pendingTotal
    << "\n";
  o << "simulation=" << (m.simActive ? 1 : 0) << ' ' << m.simNwa << "\n";
  o << "# track=session state start size written incremental\n";
  for (const auto& t : m.tracks)
    o << "track=" << t.session << ' ' << TrackStateName(t.state) << ' ' << t.start << ' '
      << t.size << ' ' << t.written << ' ' << (t.incremental ? 1 : 0) << "\n";
  const DriveConfig& c = m.config;
  o << "drive=" << DriveClassName(c.drive) << "\n";
  o << "writer=" << int(c.writer) << "\n";
  o << "get_configuration=" << int(c.getConfiguration) << "\n";
  o << "page05=" << int(c.page05) << "\n";
  o << "page30=" << int(c.page30) << "\n";
  o << "test_write=" << int(c.testWrite) << "\n";
  o << "underrun_protection=" << int(c.underrunProtection) << "\n";
  o << "block_descriptor=" << int(c.blockDescriptor) << "\n";
  o << "long_op_polls=" << c.longOpPolls << "\n";
  o << "close_polls=" << c.closePolls << "\n";
  o << "write_speed_limit=" << c.writeSpeedLimit << "\n";
  o << "cache_blocks=" << c.cacheBlocks << "\n";
  const Faults& f = m.faults;
  o << "# faults: fault_write_error=LBA KEY ASC ASCQ, fault_read_error=LBA,\n"
    << "# fault_flush_error=KEY ASC ASCQ, fault_close_error=FUNCTION KEY ASC ASCQ,\n"
    << "# fault_reject=OPCODE KEY ASC ASCQ\n";
  if (f.writeErrorLba)
    o << "fault_write_error=" << *f.writeErrorLba << ' ' << Hex(f.writeErrorSense.key) << ' '
      << Hex(f.writeErrorSense.asc) << ' ' << Hex(f.writeErrorSense.ascq) << "\n";
  if (f.readErrorLba) o << "fault_read_error=" << *f.readErrorLba << "\n";
  o << "fault_busy=" << f.busy << "\n";
  o << "fault_not_ready=" << f.notReady << "\n";
  o << "fault_unit_attention=" << int(f.unitAttention) << "\n";
  o << "fault_incompatible_format=" << int(f.incompatibleFormat) << "\n";
  if (f.flushError)
    o << "fault_flush_error=" << Hex(f.flushError->key) << ' ' << Hex(f.flushError->asc) << ' '
      << Hex(f.flushError->ascq) << "\n";
  if (f.closeError)
    o << "fault_close_error=" << int(f.closeError->function) << ' '
      << Hex(f.closeError->sense.key) << ' ' << Hex(f.closeError->sense.asc) << ' '
      << Hex(f.closeError->sense.ascq) << "\n";
  if (f.reject)
    o << "fault_reject=" << Hex(f.reject->opcode) << ' ' << Hex(f.reject->sense.key) << ' '
      << Hex(f.reject->sense.asc) << ' ' << Hex(f.reject->sense.ascq) << "\n";
  return o.str();
}

bool ParseState(const std::string& text, const ProfileInfo& fallbackProfile, MediumState* out,
                std::string* error) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  const ProfileInfo* profile = &fallbackProfile;
  uint32_t capacity = 0;
  auto fail = [&](const std::string& what) {
    if (error) *error = "state line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    // A line ends at its CRs too (a file converted to CRLF twice ends its lines in CR CR LF):
    // a value that kept one would be written back with it and read back without it.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key=value");
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "profile") {
      profile = FindProfile(value);
      if (!profile) return fail("unknown profile '" + value + "'");
    } else if (key == "capacity") {
      if (!ToNum(value, &capacity)) return fail("bad capacity");
    }
    entries.emplace_back(std::move(key), std::move(value));
  }

  MediumState m = BlankMedium(*profile, capacity, DriveConfig{});
  bool sawTrack = false;
  lineNo = 0;
  for (const auto& [key, value] : entries) {
    ++lineNo;
    const auto w = Words(value);
    bool ok = true;
    if (key == "profile" || key == "capacity") {
      continue;
    } else if (key == "image") {
      m.image = value;
    } else if (key == "medium") {
      ok = ToBool(value, &m.mediumPresent);
    } else if (key == "tray") {
      ok = value == "open" || value == "closed";
      m.trayOpen = value == "open";
    } else if (key == "prevent") {
      ok = ToBool(value, &m.prevent);
    } else if (key == "finalized") {
      ok = ToBool(value, &m.finalized);
    } else if (key == "formatted") {
      ok = ToBool(value, &m.formatted);
    } else if (key == "formatted_size") {
      ok = ToNum(value, &m.formattedSize);
    } else if (key == "intermediate") {
      ok = ToBool(value, &m.intermediate);
    } else if (key == "incremental") {
      ok = ToBool(value, &m.incrementalAllowed);
    } else if (key == "write_parameters") {
      WriteParameters& p = m.wp;
      ok = w.size() == 12 && ToNum(w[0], &p.writeType) && ToNum(w[1], &p.multiSession) &&
           ToBool(w[2], &p.testWrite) && ToBool(w[3], &p.bufe) &&
           ToBool(w[4], &p.linkSizeValid) && ToBool(w[5], &p.fixedPacket) &&
           ToNum(w[6], &p.trackMode) && ToNum(w[7], &p.dataBlockType) &&
           ToNum(w[8], &p.linkSize) && ToNum(w[9], &p.sessionFormat) &&
           ToNum(w[10], &p.packetSize) && ToNum(w[11], &p.pauseLength);
    } else if (key == "read_speed") {
      ok = ToNum(value, &m.readSpeed);
    } else if (key == "write_speed") {
      ok = ToNum(value, &m.writeSpeed);
    } else if (key == "pending") {
      ok = w.size() == 3 && ToNum(w[1], &m.pendingPolls) && ToNum(w[2], &m.pendingTotal);
      if (ok) {
        if (w[0] == "none") m.pending = PendingOp::None;
        else if (w[0] == "format") m.pending = PendingOp::Format;
        else if (w[0] == "blank") m.pending = PendingOp::Blank;
        else if (w[0] == "close") m.pending = PendingOp::Close;
        else ok = false;
      }
    } else if (key == "simulation") {
      ok = w.size() == 2 && ToBool(w[0], &m.simActive) && ToNum(w[1], &m.simNwa);
    } else if (key == "track") {
      if (!sawTrack) m.tracks.clear();
      sawTrack = true;
      Track t;
      ok = w.size() == 6 && ToNum(w[0], &t.session) && ToNum(w[2], &t.start) &&
           ToNum(w[3], &t.size) && ToNum(w[4], &t.written) && ToBool(w[5], &t.incremental) &&
           t.session >= 1;
      if (ok) {
        if (w[1] == "invisible") t.state = TrackState::Invisible;
        else if (w[1] == "reserved") t.state = TrackState::Reserved;
        else if (w[1] == "complete") t.state = TrackState::Complete;
        else ok = false;
      }
      if (ok) m.tracks.push_back(t);
    } else if (key == "drive") {
      auto d = ParseDriveClass(value);
      ok = d.has_value();
      if (ok) m.config.drive = *d;
    } else if (key == "writer") {
      ok = ToBool(value, &m.config.writer);
    } else if (key == "get_configuration") {
      ok = ToBool(value, &m.config.getConfiguration);
    } else if (key == "page05") {
      ok = ToBool(value, &m.config.page05);
    } else if (key == "page30") {
      ok = ToBool(value, &m.config.page30);
    } else if (key == "test_write") {
      ok = ToBool(value, &m.config.testWrite);
    } else if (key == "underrun_protection") {
      ok = ToBool(value, &m.config.underrunProtection);
    } else if (key == "block_descriptor") {
      ok = ToBool(value, &m.config.blockDescriptor);
    } else if (key == "long_op_polls") {
      ok = ToNum(value, &m.config.longOpPolls);
    } else if (key == "close_polls") {
      ok = ToNum(value, &m.config.closePolls);
    } else if (key == "write_speed_limit") {
      ok = ToNum(value, &m.config.writeSpeedLimit);
    } else if (key == "cache_blocks") {
      ok = ToNum(value, &m.config.cacheBlocks);
    } else if (key == "fault_flush_error") {
      Sense x;
      ok = w.size() == 3 && ToNum(w[0], &x.key) && ToNum(w[1], &x.asc) && ToNum(w[2], &x.ascq);
      if (ok) m.faults.flushError = x;
    } else if (key == "fault_close_error") {
      CloseFault x;
      ok = w.size() == 4 && ToNum(w[0], &x.function) && x.function <= 7 &&
           ToNum(w[1], &x.sense.key) && ToNum(w[2], &x.sense.asc) && ToNum(w[3], &x.sense.ascq);
      if (ok) m.faults.closeError = x;
    } else if (key == "fault_reject") {
      CommandFault x;
      ok = w.size() == 4 && ToNum(w[0], &x.opcode) && ToNum(w[1], &x.sense.key) &&
           ToNum(w[2], &x.sense.asc) && ToNum(w[3], &x.sense.ascq);
      if (ok) m.faults.reject = x;
    } else if (key == "fault_write_error") {
      uint32_t lba = 0;
      ok = w.size() == 4 && ToNum(w[0], &lba) && ToNum(w[1], &m.faults.writeErrorSense.key) &&
           ToNum(w[2], &m.faults.writeErrorSense.asc) &&
           ToNum(w[3], &m.faults.writeErrorSense.ascq);
      if (ok) m.faults.writeErrorLba = lba;
    } else if (key == "fault_read_error") {
      uint32_t lba = 0;
      ok = ToNum(value, &lba);
      if (ok) m.faults.readErrorLba = lba;
    } else if (key == "fault_busy") {
      ok = ToNum(value, &m.faults.busy);
    } else if (key == "fault_not_ready") {
      ok = ToNum(value, &m.faults.notReady);
    } else if (key == "fault_unit_attention") {
      ok = ToBool(value, &m.faults.unitAttention);
    } else if (key == "fault_incompatible_format") {
      ok = ToBool(value, &m.faults.incompatibleFormat);
    } else {
      if (error) *error = "unknown state key '" + key + "'";
      return false;
    }
    if (!ok) {
      if (error) *error = "bad value for '" + key + "': " + value;
      return false;
    }
  }
  // Tracks must follow each other on the disc; a hand-edited file that breaks this would make
  // every address computation meaningless.
  for (size_t i = 0; i < m.tracks.size(); ++i) {
    const Track& t = m.tracks[i];
    const uint64_t end = uint64_t(t.start) + (t.state == TrackState::Invisible ? t.written : t.size);
    if (end > m.capacity || t.written > (t.state == TrackState::Invisible ? m.capacity : t.size) ||
        (i > 0 && t.start < m.tracks[i - 1].start) ||
        (t.state == TrackState::Invisible && i + 1 != m.tracks.size())) {
      if (error) *error = "track " + std::to_string(i + 1) + " does not fit the disc";
      return false;
    }
  }
  if (m.profile->recording == Recording::Sequential && m.tracks.empty() && !m.finalized) {
    if (error) *error = "an open sequential disc needs at least one track";
    return false;
  }
  if (m.formattedSize > m.capacity) {
    if (error) *error = "formatted size exceeds the capacity";
    return false;
  }
  *out = std::move(m);
  return true;
}

bool LoadStateFile(const std::string& statePath, const ProfileInfo& fallbackProfile,
                   MediumState* out, bool* missing, std::string* error) {
  *missing = false;
  std::ifstream in(statePath, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) {
      *missing = true;
      return true;
    }
    if (error) *error = statePath + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string parseError;
  if (!ParseState(text.str(), fallbackProfile, out, &parseError)) {
    if (error) *error = statePath + ": " + parseError;
    return false;
  }
  return true;
}

bool SaveStateFile(const std::string& statePath, const MediumState& m, std::string* error) {
  const std::string text = SerializeState(m);
  const std::string tmp = statePath + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = tmp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = tmp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(tmp.c_str(), statePath.c_str()) != 0) {
    if (error) *error = statePath + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace torvik::vdrive
