#include "emulator/VirtualReplies.h"

#include <algorithm>
#include <cstring>

namespace torvik::vdrive {

namespace {

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}
uint32_t Get16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// 1x in kB/s, tenths for CD.
uint16_t Speed(MediumKind kind, unsigned factor) {
  switch (kind) {
    case MediumKind::CD: return uint16_t(factor * 1764 / 10);
    case MediumKind::DVD: return uint16_t(factor * 1385);
    case MediumKind::BD: return uint16_t(factor * 4495);
  }
  return 0;
}

MediumKind DriveKind(DriveClass d) { return static_cast<MediumKind>(static_cast<int>(d)); }

unsigned MaxWriteFactor(uint16_t code) {
  switch (code) {
    case 0x0009: return 48;
    case 0x000A: return 24;
    case 0x0011:
    case 0x001B: return 16;
    case 0x0012: return 5;
    case 0x0013:
    case 0x0014: return 6;
    case 0x001A:
    case 0x002B: return 8;
    case 0x0041: return 12;
    case 0x0043: return 2;
    default: return 0;
  }
}

unsigned MaxReadFactor(MediumKind kind) {
  switch (kind) {
    case MediumKind::CD: return 48;
    case MediumKind::DVD: return 16;
    case MediumKind::BD: return 8;
  }
  return 1;
}

uint16_t DriveMaxWrite(const DriveConfig& c) {
  if (!c.writer) return 0;
  switch (c.drive) {
    case DriveClass::CD: return Speed(MediumKind::CD, 48);
    case DriveClass::DVD: return Speed(MediumKind::DVD, 16);
    case DriveClass::BD: return Speed(MediumKind::BD, 12);
  }
  return 0;
}

uint16_t DriveMaxRead(const DriveConfig& c) {
  return Speed(DriveKind(c.drive), MaxReadFactor(DriveKind(c.drive)));
}

uint16_t CurrentWriteSpeed(const MediumState& m) {
  const auto speeds = WriteSpeeds(m);
  if (speeds.empty()) return 0;
  for (uint16_t s : speeds)
    if (s <= m.writeSpeed) return s;
  return speeds.back();  // drives round a too-low request up to their slowest speed
}

uint16_t CurrentReadSpeed(const MediumState& m) {
  return std::min(m.readSpeed, MediumLoaded(m) ? MediumMaxReadSpeed(m) : DriveMaxRead(m.config));
}

// (M, S, F) of an address; lead-in addresses below -150 wrap as MMC defines.
void PutMsf(Bytes& b, size_t at, int64_t lba) {
  int64_t frames = lba >= -150 ? lba + 150 : lba + 450150;
  if (frames < 0) frames = 0;
  b[at] = 0;
  b[at + 1] = uint8_t(std::min<int64_t>(frames / 4500, 255));
  b[at + 2] = uint8_t(frames / 75 % 60);
  b[at + 3] = uint8_t(frames % 75);
}

void PutAddress(Bytes& b, size_t at, int64_t lba, bool msf) {
  if (msf) PutMsf(b, at, lba);
  else Put32(b, at, static_cast<uint32_t>(lba));
}

constexpr int64_t kAtipLeadIn = -11634;  // 97:26:66, a common 80-minute CD-R lead-in start

struct FeatureBuilder {
  Bytes out;
  void Add(uint16_t code, uint8_t version, bool persistent, bool current, const Bytes& data) {
    const size_t at = out.size();
    out.resize(at + 4 + data.size());
    Put16(out, at, code);
    out[at + 2] = uint8_t(version << 2 | (persistent ? 0x02 : 0) | (current ? 0x01 : 0));
    out[at + 3] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 4));
  }
};

struct FeatureEntry {
  uint16_t code;
  size_t offset, size;
  bool current;
};

}  // namespace

uint16_t MediumMaxWriteSpeed(const MediumState& m) {
  if (!m.config.writer || !MediumLoaded(m)) return 0;
  return Speed(m.profile->kind, MaxWriteFactor(m.profile->code));
}

uint16_t MediumMaxReadSpeed(const MediumState& m) {
  return Speed(m.profile->kind, MaxReadFactor(m.profile->kind));
}

std::vector<uint16_t> WriteSpeeds(const MediumState& m) {
  std::vector<uint16_t> out;
  if (!m.config.writer) return out;
  const bool loaded = MediumLoaded(m);
  const MediumKind kind = loaded ? m.profile->kind : DriveKind(m.config.drive);
  const uint16_t max = loaded ? MediumMaxWriteSpeed(m) : DriveMaxWrite(m.config);
  static const unsigned cd[] = {48, 40, 32, 24, 16, 10, 8, 4};
  static const unsigned dvd[] = {16, 12, 8, 6, 5, 4, 2};
  static const unsigned bd[] = {12, 10, 8, 6, 4, 2};
  const unsigned* begin = kind == MediumKind::CD ? cd : kind == MediumKind::DVD ? dvd : bd;
  const size_t n = kind == MediumKind::CD ? std::size(cd)
                   : kind == MediumKind::DVD ? std::size(dvd)
                                             : std::size(bd);
  for (size_t i = 0; i < n; ++i) {
    const uint16_t s = Speed(kind, begin[i]);
    if (s <= max) out.push_back(s);
  }
  return out;
}

bool MediumLoaded(const MediumState& m) {
  return m.mediumPresent && !m.trayOpen && DriveSupports(m.config.drive, m.profile->kind);
}

uint16_t CurrentProfile(const MediumState& m) { return MediumLoaded(m) ? m.profile->code : 0; }

Bytes Inquiry() {
  Bytes b(36, 0);
  b[0] = 0x05;  // CD/DVD device
  b[1] = 0x80;  // removable
  b[2] = 0x05;
  b[3] = 0x02;
  b[4] = 31;
  std::memcpy(&b[8], "TORVIK  ", 8);
  std::memcpy(&b[16], "Virtual Burner  ", 16);
  std::memcpy(&b[32], "1.00", 4);
  return b;
}

Reply Configuration(const MediumState& m, uint8_t rt, uint16_t startingFeature) {
  if (rt > 2) return {sense::kInvalidField, {}};
  const uint16_t code = CurrentProfile(m);
  const bool loaded = code != 0;
  const MediumKind kind = m.profile->kind;
  const DriveClass drive = m.config.drive;
  const bool dvdDrive = drive != DriveClass::CD;
  const bool bdDrive = drive == DriveClass::BD;
  const bool writer = m.config.writer;
  const uint8_t buf = m.config.underrunProtection ? 0x40 : 0;
  const uint8_t test = m.config.testWrite ? 0x04 : 0;
  auto is = [&](std::initializer_list<uint16_t> codes) {
    return loaded && std::find(codes.begin(), codes.end(), code) != codes.end();
  };
  const uint32_t blocking = !loaded ? 1 : kind == MediumKind::CD ? 1 : kind == MediumKind::DVD ? 16 : 32;

  FeatureBuilder fb;
  std::vector<FeatureEntry> entries;
  // Features of the drive itself are persistent; those of a medium come and go with it.
  auto add = [&](uint16_t c, uint8_t version, bool current, const Bytes& data) {
    const size_t at = fb.out.size();
    const bool persistent = c <= 0x0003 || c == 0x001D || c == 0x001E || c == 0x001F ||
                            c == 0x0040 || c >= 0x0100;
    fb.Add(c, version, persistent, current, data);
    entries.push_back({c, at, fb.out.size() - at, current});
  };

  // Profile list: every medium this drive recognises, newest first as drives list them.
  Bytes profiles;
  std::vector<const ProfileInfo*> known;
  for (const auto& p : Profiles())
    if (DriveSupports(drive, p.kind)) known.push_back(&p);
  std::sort(known.begin(), known.end(),
            [](const ProfileInfo* a, const ProfileInfo* b) { return a->code > b->code; });
  for (const ProfileInfo* p : known) {
    profiles.push_back(uint8_t(p->code >> 8));
    profiles.push_back(uint8_t(p->code));
    profiles.push_back(p->code == code ? 1 : 0);
    profiles.push_back(0);
  }
  add(0x0000, 0, true, profiles);
  add(0x0001, 2, true, {0, 0, 0, 2, 0x01, 0, 0, 0});
  add(0x0002, 1, true, {0x02, 0, 0, 0});
  add(0x0003, 0, true, {0x29, 0, 0, 0});
  Bytes rr(8, 0);
  Put32(rr, 0, kBlockSize);
  Put16(rr, 4, blocking);
  rr[6] = 0x01;
  add(0x0010, 0, loaded, rr);
  add(0x001D, 0, loaded && kind == MediumKind::CD, {});
  add(0x001E, 2, loaded && kind == MediumKind::CD, {0, 0, 0, 0});
  if (dvdDrive) add(0x001F, 1, loaded && kind == MediumKind::DVD, {0, 0, 0, 0});
  if (writer) {
    if (dvdDrive) {
      Bytes rw(12, 0);
      const bool current = loaded && m.profile->recording == Recording::Overwritable && m.formatted;
      Put32(rw, 0, current && m.formattedSize ? m.formattedSize - 1 : 0);
      Put32(rw, 4, kBlockSize);
      Put16(rw, 8, blocking);
      rw[10] = 0x01;
      add(0x0020, 1, current, rw);
    }
    const bool incremental = is({0x0009, 0x000A, 0x0011}) || (is({0x0014}) && m.incrementalAllowed);
    add(0x0021, 1, incremental,
        {0x01, 0x00, uint8_t(m.config.underrunProtection ? 1 : 0), 1,
         uint8_t(kind == MediumKind::CD || !loaded ? 7 : 16), 0, 0, 0});
    if (dvdDrive) {
      add(0x0023, 0, is({0x0012, 0x0013, 0x0014, 0x001A, 0x0041, 0x0043}),
          bdDrive ? Bytes{0x03, 0, 0, 0, 0, 0, 0, 0} : Bytes{0, 0, 0, 0});
      add(0x0024, 0, is({0x0012, 0x0043}), {0x80, 0, 0, 0});
      add(0x0026, 0, is({0x0013}), {});
    }
    add(0x0027, 0, is({0x000A}), {0, 0, 0, 0});
    if (dvdDrive) {
      add(0x002A, 1, is({0x001A}), {0x01, 0, 0, 0});
      add(0x002B, 0, is({0x001B}), {0x01, 0, 0, 0});
    }
    add(0x002D, 2, is({0x0009, 0x000A}), {uint8_t(buf | test | 0x02), 0, 0x00, 0x01});
    if (dvdDrive) {
      add(0x002F, 1, is({0x0011, 0x0014}), {uint8_t(buf | test | 0x02), 0, 0, 0});
      add(0x003B, 0, is({0x002B}), {0x01, 0, 0, 0});
    }
  }
  if (bdDrive) {
    Bytes bdRead(28, 0);
    Put16(bdRead, 4, 0x0006);   // BD-RE class 0, versions 1 and 2
    Put16(bdRead, 12, 0x0002);  // BD-R class 0
    Put16(bdRead, 20, 0x0002);  // BD-ROM class 0
    add(0x0040, 1, loaded && kind == MediumKind::BD, bdRead);
    if (writer) {
      Bytes bdWrite(20, 0);
      Put16(bdWrite, 4, 0x0006);
      Put16(bdWrite, 12, 0x0002);
      add(0x0041, 2, is({0x0041, 0x0043}), bdWrite);
    }
  }
  add(0x0100, 0, true, {});
  add(0x0105, 0, true, {0, 0, 0, 0});
  add(0x0107, 4, true, {0x1F, 0, 0, 0});

  Bytes out(8, 0);
  Put16(out, 6, code);
  for (const auto& e : entries) {
    const bool take = rt == 0   ? e.code >= startingFeature
                      : rt == 1 ? e.code >= startingFeature && e.current
                                : e.code == startingFeature;
    if (take)
      out.insert(out.end(), fb.out.begin() + static_cast<std::ptrdiff_t>(e.offset),
                 fb.out.begin() + static_cast<std::ptrdiff_t>(e.offset + e.size));
  }
  Put32(out, 0, static_cast<uint32_t>(out.size() - 4));
  return {sense::kGood, out};
}

namespace {

Bytes Page2A(const MediumState& m, uint8_t pc) {
  const DriveConfig& c = m.config;
  const bool dvdDrive = c.drive != DriveClass::CD;
  const bool defaults = pc == 2;
  std::vector<uint16_t> speeds = WriteSpeeds(m);
  if (defaults) {
    MediumState empty = m;
    empty.mediumPresent = false;
    speeds = WriteSpeeds(empty);
  }
  Bytes p(32 + 4 * speeds.size(), 0);
  p[0] = 0x2A;
  p[1] = uint8_t(p.size() - 2);
  if (pc == 1) return p;  // nothing in this page can be changed
  p[2] = 0x01 | 0x02 | 0x04 | (dvdDrive ? 0x08 | 0x10 | 0x20 : 0);
  if (c.writer) p[3] = 0x01 | 0x02 | (c.testWrite ? 0x04 : 0) | (dvdDrive ? 0x10 | 0x20 : 0);
  p[4] = (c.underrunProtection && c.writer ? 0x80 : 0) | 0x40 | 0x20 | 0x10;
  p[5] = 0x00;
  p[6] = 0x29 | (m.prevent ? 0x02 : 0);
  const uint16_t maxRead = defaults || !MediumLoaded(m) ? DriveMaxRead(c) : MediumMaxReadSpeed(m);
  const uint16_t maxWrite = defaults || !MediumLoaded(m) ? DriveMaxWrite(c) : MediumMaxWriteSpeed(m);
  const uint16_t curRead = defaults ? maxRead : CurrentReadSpeed(m);
  const uint16_t curWrite = defaults ? maxWrite : CurrentWriteSpeed(m);
  Put16(p, 8, maxRead);
  Put16(p, 10, 256);
  Put16(p, 12, 2048);  // buffer size in KB
  Put16(p, 14, curRead);
  Put16(p, 18, maxWrite);
  Put16(p, 20, curWrite);
  Put16(p, 28, curWrite);
  Put16(p, 30, static_cast<uint32_t>(speeds.size()));
  for (size_t i = 0; i < speeds.size(); ++i) Put16(p, 32 + 4 * i + 2, speeds[i]);
  return p;
}

Bytes Page05(const MediumState& m, uint8_t pc) {
  Bytes p(52, 0);
  p[0] = 0x05;
  p[1] = 0x32;
  if (pc == 1) {
    p[2] = uint8_t(0x6F | (m.config.testWrite ? 0x10 : 0));
    p[3] = 0xFF;
    p[4] = 0x0F;
    p[5] = 0xFF;
    p[7] = 0x3F;
    p[8] = 0xFF;
    for (int i = 10; i < 16; ++i) p[i] = 0xFF;
    return p;
  }
  WriteParameters w = m.wp;
  if (pc == 2) w = BlankMedium(*m.profile, m.capacity, m.config).wp;
  p[2] = uint8_t((w.bufe ? 0x40 : 0) | (w.linkSizeValid ? 0x20 : 0) | (w.testWrite ? 0x10 : 0) |
                 (w.writeType & 0x0F));
  p[3] = uint8_t((w.multiSession & 3) << 6 | (w.fixedPacket ? 0x20 : 0) | (w.trackMode & 0x0F));
  p[4] = w.dataBlockType & 0x0F;
  p[5] = w.linkSize;
  p[8] = w.sessionFormat;
  Put32(p, 10, w.packetSize);
  Put16(p, 14, w.pauseLength);
  return p;
}

Bytes Page30() {
  Bytes p(8, 0);
  p[0] = 0x30;
  p[1] = 6;
  std::memcpy(&p[2], "TORVIK", 6);
  return p;
}

}  // namespace

Reply ModeSense(const MediumState& m, uint8_t page, uint8_t pageControl, bool dbd) {
  if (pageControl == 3) return {sense::kSavingNotSupported, {}};
  const bool has05 = m.config.page05 && m.config.writer;
  Bytes pages;
  auto append = [&](const Bytes& p) { pages.insert(pages.end(), p.begin(), p.end()); };
  switch (page) {
    case 0x2A: append(Page2A(m, pageControl)); break;
    case 0x05:
      if (!has05) return {sense::kInvalidField, {}};
      append(Page05(m, pageControl));
      break;
    case 0x30:
      if (!m.config.page30) return {sense::kInvalidField, {}};
      append(Page30());
      break;
    case 0x3F:
      if (has05) append(Page05(m, pageControl));
      append(Page2A(m, pageControl));
      if (m.config.page30) append(Page30());
      break;
    default: return {sense::kInvalidField, {}};
  }
  const bool descriptor = m.config.blockDescriptor && !dbd;
  Bytes out(8 + (descriptor ? 8 : 0), 0);
  if (descriptor) {
    Put16(out, 6, 8);
    const uint32_t blocks = MediumLoaded(m) ? std::min<uint32_t>(m.capacity, 0xFFFFFF) : 0;
    out[9] = uint8_t(blocks >> 16);
    out[10] = uint8_t(blocks >> 8);
    out[11] = uint8_t(blocks);
    out[13] = uint8_t(kBlockSize >> 16);
    out[14] = uint8_t(kBlockSize >> 8);
    out[15] = uint8_t(kBlockSize);
  }
  out.insert(out.end(), pages.begin(), pages.end());
  Put16(out, 0, static_cast<uint32_t>(out.size() - 2));
  return {sense::kGood, out};
}

Sense ModeSelect(MediumState& m, const uint8_t* data, uint32_t length) {
  if (length == 0) return sense::kGood;
  if (length < 8) return sense::kInvalidParameter;
  // The mode data length is reserved in MODE SELECT; a host echoing MODE SENSE's value is wrong.
  if (data[0] != 0 || data[1] != 0) return sense::kInvalidParameter;
  size_t at = 8 + Get16(data + 6);
  while (at + 2 <= length) {
    const uint8_t page = data[at] & 0x3F;
    const uint8_t len = data[at + 1];
    if (at + 2 + len > length) return sense::kInvalidParameter;
    const uint8_t* p = data + at;
    if (page == 0x05) {
      if (!m.config.page05 || !m.config.writer || len < 14) return sense::kInvalidParameter;
      WriteParameters w = m.wp;
      w.writeType = p[2] & 0x0F;
      w.testWrite = (p[2] & 0x10) != 0;
      w.linkSizeValid = (p[2] & 0x20) != 0;
      w.bufe = (p[2] & 0x40) != 0;
      w.multiSession = p[3] >> 6;
      w.fixedPacket = (p[3] & 0x20) != 0;
      w.trackMode = p[3] & 0x0F;
      w.dataBlockType = p[4] & 0x0F;
      w.linkSize = p[5];
      w.sessionFormat = p[8];
      w.packetSize = Get32(p + 10);
      w.pauseLength = static_cast<uint16_t>(Get16(p + 14));
      if (w.writeType > 4 || w.multiSession == 2) return sense::kInvalidParameter;
      if (w.testWrite && !m.config.testWrite) return sense::kInvalidParameter;
      if (w.dataBlockType != 8 && w.dataBlockType != 0 && w.dataBlockType != 10 &&
          w.dataBlockType != 12 && w.dataBlockType != 13)
        return sense::kInvalidParameter;
      if (!w.testWrite) m.simActive = false;
      m.wp = w;
    } else if (page != 0x2A && page != 0x30) {
      return sense::kInvalidParameter;
    }
    at += 2 + len;
  }
  return sense::kGood;
}

Bytes DiscInformation(const MediumState& m) {
  Bytes b(34, 0);
  Put16(b, 0, 32);
  const uint8_t status = view::DiscStatus(m);
  b[2] = uint8_t((m.profile->erasable ? 0x10 : 0) | view::LastSessionState(m) << 2 | status);
  b[3] = 1;
  const uint16_t sessions = view::SessionCount(m);
  const uint16_t first = view::FirstTrackOfLastSession(m);
  const uint16_t last = view::LastTrackOfLastSession(m);
  b[4] = uint8_t(sessions);
  b[5] = uint8_t(first);
  b[6] = uint8_t(last);
  b[9] = uint8_t(sessions >> 8);
  b[10] = uint8_t(first >> 8);
  b[11] = uint8_t(last >> 8);
  b[7] = 0x20;  // unrestricted use
  if (m.profile->code == 0x001A)
    b[7] |= m.pending == PendingOp::Format ? 2 : m.formatted ? 3 : 0;
  const Track* inv = view::InvisibleTrack(m);
  if (m.profile->kind == MediumKind::CD && m.profile->recording != Recording::ReadOnly) {
    if (status == 2) {
      Put32(b, 16, 0xFFFFFFFF);
      Put32(b, 20, 0xFFFFFFFF);
    } else {
      PutMsf(b, 16, status == 0 || !inv ? kAtipLeadIn : int64_t(inv->start) - 150 - 4500);
      PutMsf(b, 20, m.capacity);
    }
  } else if (m.profile->recording == Recording::Sequential) {
    if (status == 2) {
      Put32(b, 16, 0xFFFFFFFF);
      Put32(b, 20, 0xFFFFFFFF);
    } else {
      Put32(b, 16, status == 0 || !inv ? 0 : inv->start);
      Put32(b, 20, m.capacity);
    }
  } else {
    Put32(b, 16, 0xFFFFFFFF);
    Put32(b, 20, m.profile->recording == Recording::ReadOnly ? 0xFFFFFFFF : m.capacity);
  }
  return b;
}

namespace {

Bytes SequentialTrackInfo(const MediumState& m, size_t index) {
  const Track& t = m.tracks[index];
  const ProfileInfo& p = *m.profile;
  const bool minus = p.code == 0x0009 || p.code == 0x000A || p.code == 0x0011 || p.code == 0x0014;
  Bytes b(48, 0);
  Put16(b, 0, 46);
  const uint16_t number = static_cast<uint16_t>(index + 1);
  b[2] = uint8_t(number);
  b[3] = uint8_t(t.session);
  b[32] = uint8_t(number >> 8);
  b[33] = uint8_t(t.session >> 8);
  const bool recorded = t.written != 0 || t.state == TrackState::Complete;
  b[5] = t.incremental ? 5 : 4;
  uint8_t bits = recorded ? 0x01 : 0x0F;
  bool packet = false, fp = false;
  switch (t.state) {
    case TrackState::Invisible:
      if (!t.written) bits |= 0x40;
      packet = minus && m.wp.writeType == 0;
      fp = packet && m.wp.fixedPacket;
      break;
    case TrackState::Reserved:
      bits |= 0x80;
      if (!t.written) bits |= 0x40;
      packet = minus && m.wp.writeType == 0;
      fp = packet && m.wp.fixedPacket;
      break;
    case TrackState::Complete:
      packet = minus && t.incremental;
      break;
  }
  if (packet) bits |= 0x20;
  if (fp) bits |= 0x10;
  b[6] = bits;
  const bool writable = view::TrackWritable(m, t);
  const bool lraValid = recorded && p.code != 0x001B && p.code != 0x002B;
  b[7] = uint8_t((writable ? 0x01 : 0) | (lraValid ? 0x02 : 0));
  Put32(b, 8, t.start);
  const uint32_t size = view::TrackSize(m, t);
  if (writable) {
    const uint32_t nwa = view::TrackNwa(m, t);
    Put32(b, 12, nwa);
    Put32(b, 16, t.start + size - nwa);
  }
  uint32_t packetSize = 0;
  if (p.kind == MediumKind::DVD) packetSize = 16;
  else if (fp) packetSize = m.wp.packetSize;
  Put32(b, 20, packetSize);
  Put32(b, 24, size);
  if (lraValid) {
    const uint32_t recordedBlocks = t.state == TrackState::Complete ? t.size : t.written;
    Put32(b, 28, t.start + recordedBlocks - 1);
  }
  return b;
}

Bytes SingleTrackInfo(const MediumState& m) {
  Bytes b(48, 0);
  Put16(b, 0, 46);
  b[2] = 1;
  b[3] = 1;
  b[5] = 4;
  const ProfileInfo& p = *m.profile;
  const uint32_t size = m.profile->recording == Recording::ReadOnly ? m.capacity
                        : m.formatted                               ? m.formattedSize
                                                                    : m.capacity;
  uint8_t bits = m.formatted || p.recording == Recording::ReadOnly ? 0x01 : 0x4F;
  uint8_t valid = 0;
  uint32_t nwa = 0, free = 0, lra = 0, packet = p.kind == MediumKind::BD ? 32 : 16;
  switch (p.code) {
    case 0x0013:
      bits = 0x31;
      valid = 0x02;
      if (m.intermediate) {
        valid |= 0x01;
        nwa = m.formattedSize;
      }
      free = m.capacity - m.formattedSize;
      lra = size ? size - 1 : 0;
      break;
    case 0x001A:
      if (!m.formatted) free = m.capacity;
      break;
    case 0x0012:
    case 0x0043:
      if (m.formatted) {
        valid = 0x02;
        lra = size ? size - 1 : 0;
      }
      break;
    default:  // read-only
      packet = 0;
      valid = 0x02;
      lra = size ? size - 1 : 0;
      break;
  }
  b[6] = bits;
  b[7] = valid;
  Put32(b, 12, nwa);
  Put32(b, 16, free);
  Put32(b, 20, packet);
  Put32(b, 24, size);
  Put32(b, 28, lra);
  return b;
}

}  // namespace

Reply TrackInformation(const MediumState& m, uint8_t addressType, uint32_t number) {
  if (m.profile->recording != Recording::Sequential) {
    const uint32_t size = m.formatted ? m.formattedSize : m.capacity;
    const bool ok = (addressType == 1 && (number == 1 || number == 0xFF)) ||
                    (addressType == 2 && number == 1) ||
                    (addressType == 0 && number < std::max<uint32_t>(size, m.capacity));
    if (!ok) return {sense::kInvalidField, {}};
    return {sense::kGood, SingleTrackInfo(m)};
  }
  size_t index = m.tracks.size();
  if (addressType == 1) {
    if (number == 0xFF) {
      if (m.tracks.empty()) return {sense::kInvalidField, {}};
      index = m.tracks.size() - 1;  // the invisible track, or the last one of a closed disc
    } else if (number >= 1 && number <= m.tracks.size()) {
      index = number - 1;
    }
  } else if (addressType == 0) {
    for (size_t i = 0; i < m.tracks.size(); ++i) {
      const Track& t = m.tracks[i];
      if (number >= t.start && number - t.start < view::TrackSize(m, t)) index = i;
    }
  } else if (addressType == 2) {
    for (size_t i = m.tracks.size(); i-- > 0;)
      if (m.tracks[i].session == number) index = i;
  }
  if (index >= m.tracks.size()) return {sense::kInvalidField, {}};
  return {sense::kGood, SequentialTrackInfo(m, index)};
}

Reply Toc(const MediumState& m, uint8_t format, bool msf, uint8_t number) {
  // The closed part of the disc: complete tracks of complete sessions, as (number, start,
  // control, session), and where the last complete session ends.
  struct Entry {
    uint8_t number;
    uint32_t start;
    uint8_t control;
    uint16_t session;
  };
  std::vector<Entry> entries;
  uint64_t leadOut = 0;
  const uint16_t complete = view::CompleteSessions(m);
  if (m.profile->recording == Recording::Sequential || m.profile->recording == Recording::ReadOnly) {
    for (size_t i = 0; i < m.tracks.size(); ++i) {
      const Track& t = m.tracks[i];
      if (t.session > complete || t.state != TrackState::Complete) continue;
      entries.push_back({uint8_t(i + 1), t.start, uint8_t(t.incremental ? 0x15 : 0x14), t.session});
      leadOut = uint64_t(t.start) + t.size;
    }
  } else if (complete) {
    entries.push_back({1, 0, 0x14, 1});
    leadOut = m.formattedSize;
  }
  if (format == 4) {
    if (m.profile->kind != MediumKind::CD || m.profile->recording == Recording::ReadOnly)
      return {sense::kInvalidField, {}};
    Bytes b(28, 0);
    Put16(b, 0, 26);
    b[4] = 0x50;  // indicative writing power
    b[6] = uint8_t(0x80 | (m.profile->code == 0x000A ? 0x40 : 0));
    PutMsf(b, 8, kAtipLeadIn);
    b[8] = b[9];
    b[9] = b[10];
    b[10] = b[11];
    b[11] = 0;
    PutMsf(b, 12, m.capacity);
    b[12] = b[13];
    b[13] = b[14];
    b[14] = b[15];
    b[15] = 0;
    return {sense::kGood, b};
  }
  if (entries.empty()) return {sense::kInvalidField, {}};
  if (format == 0) {
    Bytes b(4, 0);
    b[2] = entries.front().number;
    b[3] = entries.back().number;
    if (number > entries.back().number && number != 0xAA) return {sense::kInvalidField, {}};
    auto descriptor = [&](uint8_t control, uint8_t track, int64_t lba) {
      const size_t at = b.size();
      b.resize(at + 8, 0);
      b[at + 1] = control;
      b[at + 2] = track;
      PutAddress(b, at + 4, lba, msf);
    };
    if (number != 0xAA)
      for (const auto& e : entries)
        if (e.number >= number) descriptor(e.control, e.number, e.start);
    descriptor(0x14, 0xAA, static_cast<int64_t>(leadOut));
    Put16(b, 0, static_cast<uint32_t>(b.size() - 2));
    return {sense::kGood, b};
  }
  if (format == 1) {
    Bytes b(12, 0);
    Put16(b, 0, 10);
    b[2] = 1;
    b[3] = uint8_t(complete);
    const Entry* firstOfLast = nullptr;
    for (const auto& e : entries)
      if (e.session == complete && !firstOfLast) firstOfLast = &e;
    if (!firstOfLast) firstOfLast = &entries.front();
    b[5] = firstOfLast->control;
    b[6] = firstOfLast->number;
    PutAddress(b, 8, firstOfLast->start, msf);
    return {sense::kGood, b};
  }
  return {sense::kInvalidField, {}};
}

Bytes FormatCapacities(const MediumState& m) {
  struct Desc {
    uint32_t blocks;
    uint8_t typeByte;
    uint32_t param;
  };
  std::vector<Desc> list;
  const uint32_t cap = m.capacity;
  const bool loaded = MediumLoaded(m);
  if (!loaded) {
    list.push_back({0, 3, kBlockSize});
  } else {
    switch (m.profile->code) {
      case 0x0014:
      case 0x0013: {
        const bool ro = m.profile->code == 0x0013;
        if (!ro) list.push_back({cap, 1, kBlockSize});
        else list.push_back({m.formattedSize, uint8_t(m.intermediate ? 3 : 2), kBlockSize});
        list.push_back({cap, 0x00 << 2, 0x800});
        list.push_back({cap, 0x10 << 2, 16});
        list.push_back({cap, 0x15 << 2, 16});
        if (ro && !m.intermediate) {
          list.push_back({cap - m.formattedSize, 0x13 << 2, 16});
          list.push_back({cap - m.formattedSize, 0x11 << 2, 16});
        }
        break;
      }
      case 0x001A:
        list.push_back({cap, uint8_t(m.formatted ? 2 : 1), kBlockSize});
        list.push_back({cap, 0x26 << 2, 0});
        break;
      case 0x0012:
        list.push_back({m.formattedSize, 2, kBlockSize});
        list.push_back({cap, 0x00 << 2, 0x800});
        break;
      case 0x0043:
        list.push_back({m.formatted ? m.formattedSize : cap, uint8_t(m.formatted ? 2 : 1), kBlockSize});
        list.push_back({view::BdReDefaultCapacity(cap), 0x00 << 2, 0});
        list.push_back({view::BdReDefaultCapacity(cap), 0x30 << 2, 0});
        list.push_back({view::BdReMaxSpareCapacity(cap), 0x30 << 2, 0});
        list.push_back({view::BdReMinSpareCapacity(cap), 0x30 << 2, 0});
        list.push_back({cap, 0x31 << 2, 0});
        break;
      case 0x0041:
        list.push_back({cap, uint8_t(view::DiscStatus(m) == 0 ? 1 : 2), kBlockSize});
        if (view::DiscStatus(m) == 0) {
          list.push_back({cap, 0x00 << 2, 0});
          list.push_back({view::BdReDefaultCapacity(cap), 0x32 << 2, 0});
        }
        break;
      default: {
        const bool blank = view::DiscStatus(m) == 0;
        list.push_back({blank ? cap : view::LastRecordedBlock(m) + 1, uint8_t(blank ? 1 : 2),
                        kBlockSize});
        break;
      }
    }
  }
  Bytes b(4 + 8 * list.size(), 0);
  b[3] = uint8_t(8 * list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const size_t at = 4 + 8 * i;
    Put32(b, at, list[i].blocks);
    b[at + 4] = list[i].typeByte;
    b[at + 5] = uint8_t(list[i].param >> 16);
    b[at + 6] = uint8_t(list[i].param >> 8);
    b[at + 7] = uint8_t(list[i].param);
  }
  return b;
}

Bytes BufferCapacity(const MediumState& m, bool blockMode) {
  Bytes b(12, 0);
  Put16(b, 0, 10);
  const bool cd = !MediumLoaded(m) || m.profile->kind == MediumKind::CD;
  const uint32_t size = cd ? 0x131800 : m.profile->kind == MediumKind::DVD ? 0x188000 : 0x400000;
  // Writes reach the sector file at once, so the buffer always reads empty.
  if (blockMode) {
    b[3] = 1;
    Put32(b, 8, size / kBlockSize);
  } else {
    Put32(b, 4, size);
    Put32(b, 8, size);
  }
  return b;
}

Bytes Capacity(const MediumState& m) {
  Bytes b(8, 0);
  Put32(b, 0, view::LastRecordedBlock(m));
  Put32(b, 4, kBlockSize);
  return b;
}

}  // namespace torvik::vdrive
