// A scripted MMC drive behind the transport tap: it records every request and answers from a
// small medium model, so the command layer can be checked byte for byte without hardware.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "device/bvkSCSILib.h"

namespace torvik::test {

struct Sent {
  std::vector<uint8_t> cdb;  // SRB_CDBLen bytes
  uint8_t flags = 0;
  uint32_t length = 0;
  std::vector<uint8_t> out;  // data sent to the drive
};

struct Reply {
  bool ok = true;
  std::vector<uint8_t> data;  // data returned to the host
  uint8_t key = 0, asc = 0, ascq = 0;
  uint8_t targetStatus = 2;  // with !ok: 2 check condition, 8 busy

  static Reply Fail(uint8_t k, uint8_t a, uint8_t q) { return Reply{false, {}, k, a, q, 2}; }
  static Reply Data(std::vector<uint8_t> d) { return Reply{true, std::move(d), 0, 0, 0, 0}; }
};

inline void Be32(std::vector<uint8_t>& v, size_t at, uint32_t x) { PutBe32(&v[at], x); }
inline void Be16(std::vector<uint8_t>& v, size_t at, uint32_t x) { PutBe16(&v[at], x); }

// The medium and drive the fake answers for.
struct FakeMedium {
  uint16_t profile = 0x0009;
  bool noGetConfiguration = false;            // old drive: 46h answered with 05/20/00
  std::optional<uint8_t> atipByte6;           // ATIP answered with this byte 6
  uint8_t discInfo2 = 0;             // disc info byte 2 (erasable, states)
  uint8_t sessions = 1, lastTrack = 1;
  bool discInfoFails = false;
  bool tur = true;
  // Track information per track number (255 = invisible track).
  struct Track {
    uint32_t start = 0, nwa = 0, free = 0, size = 0;
    uint8_t info2 = 0x40;
  };
  std::map<uint8_t, Track> tracks;
  std::vector<uint8_t> formatCapacities;      // full 23h reply; empty = command fails
  std::map<uint32_t, std::vector<uint8_t>> sectors;
  // Mode pages: page code -> page bytes (with code and length), and a block descriptor length.
  std::map<uint8_t, std::vector<uint8_t>> pages;
  std::map<uint8_t, std::vector<uint8_t>> defaultPages;
  uint16_t blockDescriptorLength = 0;
  // Features answered to 46h RT=2: feature -> descriptor data byte 4 (info). Absent features
  // are answered with the header alone.
  std::map<uint16_t, uint8_t> features;
};

class FakeDrive {
 public:
  FakeMedium m;
  std::vector<Sent> log;
  // Overrides the model for one opcode.
  std::map<uint8_t, std::function<Reply(const Sent&)>> overrides;
  std::string vendor = "TORVIK  ", product = "Fake Writer     ", rev = "1.00";

  // The tap: answers without forwarding.
  TTransportTap Tap() {
    return [this](TSRB_ExecSCSICmd& srb, const TSendFunction&) { return Answer(srb); };
  }

  uint8_t Answer(TSRB_ExecSCSICmd& srb) {
    Sent s;
    s.cdb.assign(srb.CDB.begin(), srb.CDB.begin() + srb.SRB_CDBLen);
    s.flags = srb.SRB_Flags;
    s.length = srb.SRB_BufLen;
    if ((srb.SRB_Flags & SRB_DIR_OUT) && srb.SRB_BufPointer != nullptr)
      s.out.assign(srb.SRB_BufPointer, srb.SRB_BufPointer + srb.SRB_BufLen);
    log.push_back(s);
    auto o = overrides.find(s.cdb[0]);
    const Reply r = o != overrides.end() ? o->second(s) : Model(s);
    srb.SenseArea.fill(0);
    if (!r.ok) {
      srb.SRB_TargStat = r.targetStatus;
      srb.SenseArea[0] = 0x70;
      srb.SenseArea[2] = r.key;
      srb.SenseArea[7] = 10;
      srb.SenseArea[12] = r.asc;
      srb.SenseArea[13] = r.ascq;
      srb.SRB_Status = SS_ERR;
      return SS_ERR;
    }
    srb.SRB_TargStat = 0;
    if ((srb.SRB_Flags & SRB_DIR_IN) && srb.SRB_BufPointer != nullptr && !r.data.empty())
      std::memcpy(srb.SRB_BufPointer, r.data.data(), std::min<size_t>(r.data.size(), srb.SRB_BufLen));
    srb.SRB_Status = SS_COMP;
    return SS_COMP;
  }

  std::vector<Sent> WithOpcode(uint8_t opcode) const {
    std::vector<Sent> r;
    for (const Sent& s : log)
      if (s.cdb[0] == opcode) r.push_back(s);
    return r;
  }

  Reply Model(const Sent& s) {
    const std::vector<uint8_t>& c = s.cdb;
    switch (c[0]) {
      case op::INQUIRY: {
        std::vector<uint8_t> r(64, 0);
        r[0] = 5;
        std::memcpy(&r[8], vendor.data(), 8);
        std::memcpy(&r[16], product.data(), 16);
        std::memcpy(&r[32], rev.data(), 4);
        return Reply::Data(r);
      }
      case op::TEST_UNIT_READY:
        return m.tur ? Reply{} : Reply::Fail(2, 0x3A, 0);
      case op::GET_CONFIGURATION: {
        if (m.noGetConfiguration) return Reply::Fail(5, 0x20, 0);
        const uint16_t feature = static_cast<uint16_t>(c[2] << 8 | c[3]);
        std::vector<uint8_t> r(8, 0);
        Be16(r, 6, m.profile);
        auto f = m.features.find(feature);
        if (f != m.features.end()) {
          r.resize(16, 0);
          Be16(r, 8, feature);
          r[11] = 4;
          r[12] = f->second;
        }
        Be32(r, 0, static_cast<uint32_t>(r.size() - 4));
        return Reply::Data(r);
      }
      case op::READ_TOC_PMA_ATIP: {
        if ((c[2] & 0x0F) != 4 || !m.atipByte6) return Reply::Fail(5, 0x24, 0);
        std::vector<uint8_t> r(28, 0);
        Be16(r, 0, 26);
        r[6] = *m.atipByte6;
        return Reply::Data(r);
      }
      case op::READ_DISC_INFORMATION: {
        if (m.discInfoFails) return Reply::Fail(5, 0x20, 0);
        std::vector<uint8_t> r(34, 0);
        Be16(r, 0, 32);
        r[2] = m.discInfo2;
        r[3] = 1;
        r[4] = m.sessions;
        r[5] = m.lastTrack;
        r[6] = m.lastTrack;
        return Reply::Data(r);
      }
      case op::READ_TRACK_INFORMATION: {
        auto t = m.tracks.find(c[5]);
        if (t == m.tracks.end()) return Reply::Fail(5, 0x24, 0);
        std::vector<uint8_t> r(48, 0);
        Be16(r, 0, 46);
        r[2] = c[5];
        r[6] = t->second.info2;
        Be32(r, 8, t->second.start);
        Be32(r, 12, t->second.nwa);
        Be32(r, 16, t->second.free);
        Be32(r, 24, t->second.size);
        return Reply::Data(r);
      }
      case op::READ_FORMAT_CAPACITIES:
        if (m.formatCapacities.empty()) return Reply::Fail(5, 0x20, 0);
        return Reply::Data(m.formatCapacities);
      case op::MODE_SENSE_10: {
        const uint8_t page = c[2] & 0x3F;
        const bool defaults = (c[2] & 0xC0) == 0x80;
        auto& table = defaults && m.defaultPages.count(page) ? m.defaultPages : m.pages;
        auto p = table.find(page);
        if (p == table.end()) return Reply::Fail(5, 0x24, 0);
        std::vector<uint8_t> r(8 + m.blockDescriptorLength, 0);
        Be16(r, 6, m.blockDescriptorLength);
        r.insert(r.end(), p->second.begin(), p->second.end());
        Be16(r, 0, static_cast<uint32_t>(r.size() - 2));
        return Reply::Data(r);
      }
      case op::READ_10: {
        const uint32_t lba = Be32Of(c, 2);
        const uint32_t n = static_cast<uint32_t>(c[7] << 8 | c[8]);
        std::vector<uint8_t> r(size_t{n} * 2048, 0);
        for (uint32_t i = 0; i < n; ++i) {
          auto sec = m.sectors.find(lba + i);
          if (sec != m.sectors.end()) std::memcpy(&r[i * 2048], sec->second.data(), 2048);
        }
        return Reply::Data(r);
      }
      default:
        return Reply{};
    }
  }

  static uint32_t Be32Of(const std::vector<uint8_t>& v, size_t at) { return torvik::Be32(&v[at]); }
};

// A capabilities page 2Ah of 0x14 + 2 bytes with the given bits and speeds.
inline std::vector<uint8_t> CapabilitiesPage(uint8_t readInfo, uint8_t writeInfo, uint8_t other,
                                             uint16_t maxRead, uint16_t curRead,
                                             uint16_t maxWrite, uint16_t curWrite) {
  std::vector<uint8_t> p(30, 0);
  p[0] = 0x2A;
  p[1] = 28;
  p[2] = readInfo;
  p[3] = writeInfo;
  p[4] = other;
  Be16(p, 8, maxRead);
  Be16(p, 12, 0x1000);
  Be16(p, 14, curRead);
  Be16(p, 18, maxWrite);
  Be16(p, 20, curWrite);
  return p;
}

// A page 05h as drives commonly return it (length 32h).
inline std::vector<uint8_t> WriteParametersPage() {
  std::vector<uint8_t> p(0x34, 0);
  p[0] = 0x05;
  p[1] = 0x32;
  p[2] = 0x01;
  p[3] = 0x04;
  p[4] = 0x08;
  p[0x32] = 0xAB;  // the last two bytes must come back untouched
  p[0x33] = 0xCD;
  return p;
}

// A scratch folder for one test.
inline std::string ScratchDir(const std::string& name) {
  const char* base = std::getenv("TORVIK_TEST_TMP");
  std::filesystem::path p = std::filesystem::path(base ? base : "/tmp") /
                            ("device-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p.string();
}

// A fake sysfs tree with block devices; `address` empty = the drive cannot tell its address.
struct FakeSysfs {
  std::string root, dev;

  explicit FakeSysfs(const std::string& name) {
    const std::string base = ScratchDir(name);
    root = base + "/sys";
    dev = base + "/dev";
    std::filesystem::create_directories(root + "/class/block");
    std::filesystem::create_directories(root + "/devices");
    std::filesystem::create_directories(dev);
  }

  void Add(const std::string& id, int type, const std::string& address, bool asLink = true) {
    namespace fs = std::filesystem;
    const fs::path blk = fs::path(root) / "class/block" / id;
    fs::create_directories(blk);
    fs::path devdir;
    if (!address.empty() && asLink) {
      devdir = fs::path(root) / "devices" / address;
      fs::create_directories(devdir);
      fs::create_directory_symlink(devdir, blk / "device");
    } else {
      devdir = blk / "device";
      fs::create_directories(devdir);
      if (!address.empty()) fs::create_directories(devdir / "scsi_device" / address);
    }
    std::ofstream(devdir / "type") << type << "\n";
    std::ofstream(fs::path(dev) / id) << "";  // a node that opens read-write
  }
};

// A device record with one fake drive (sr0) initialised and selected.
struct FakeRig {
  FakeDrive drive;
  TSCSIDevice d;
  std::string dir;

  explicit FakeRig(const std::string& name, bool select = true) {
    FakeSysfs fs(name);
    fs.Add("sr0", 5, "1:0:0:0");
    dir = fs.root + "/..";
    d.Setup.SysfsRoot = fs.root;
    d.Setup.DevRoot = fs.dev;
    d.Setup.Tap = drive.Tap();
    drive.m.pages[0x2A] = CapabilitiesPage(0x3F, 0x37, 0x80, 8467, 8467, 5540, 5540);
    drive.m.pages[0x05] = WriteParametersPage();
    InitializeDevices(d, false, "", "");
    if (select) SelectDevice(d, 0);
    drive.log.clear();
  }
};

}  // namespace torvik::test
