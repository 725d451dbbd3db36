// Helpers for driving a VirtualDrive with raw CDBs, the way the device layer does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "emulator/VirtualDrive.h"

namespace torvik::vdrive::testing {

using Bytes = std::vector<uint8_t>;

inline uint32_t Be16(const Bytes& b, size_t at) { return uint32_t(b[at]) << 8 | b[at + 1]; }
inline uint32_t Be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

struct Answer {
  PassThroughResult r;
  Bytes data;
  bool Good() const { return r.SrbStatus == 1 && r.ScsiStatus == 0; }
  // "KK/AA/QQ" in hex, or "good" / "busy".
  std::string SenseText() const {
    if (r.ScsiStatus == 8) return "busy";
    if (Good()) return "good";
    char s[16];
    std::snprintf(s, sizeof s, "%02X/%02X/%02X", r.Sense[2] & 0x0F, r.Sense[12], r.Sense[13]);
    return s;
  }
};

// A scratch folder per test under TORVIK_TEST_TMP.
inline std::string ScratchDir() {
  const char* root = std::getenv("TORVIK_TEST_TMP");
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : "/tmp") /
                              ("vdrive-" + std::to_string(::getpid())) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

class Driver {
 public:
  explicit Driver(std::unique_ptr<VirtualDrive> d) : drive(std::move(d)) {}

  Answer In(std::initializer_list<uint8_t> cdb, uint32_t length) {
    Answer a;
    Bytes c(cdb);
    a.data.assign(length, 0xEE);
    a.r = drive->Execute(c.data(), c.size(), DataDirection::In, a.data.data(), length);
    a.data.resize(a.r.Transferred);
    return a;
  }
  Answer Out(std::initializer_list<uint8_t> cdb, Bytes data) {
    Answer a;
    Bytes c(cdb);
    a.r = drive->Execute(c.data(), c.size(), DataDirection::Out, data.data(),
                         static_cast<uint32_t>(data.size()));
    return a;
  }
  Answer None(std::initializer_list<uint8_t> cdb) {
    Answer a;
    Bytes c(cdb);
    a.r = drive->Execute(c.data(), c.size(), DataDirection::None, nullptr, 0);
    return a;
  }

  Answer Tur() { return None({0x00, 0, 0, 0, 0, 0}); }
  Answer Inquiry() { return In({0x12, 0, 0, 0, 0x40, 0}, 0x40); }
  Answer Write(uint32_t lba, uint16_t blocks, uint8_t fill = 0x5A) {
    Bytes data(size_t(blocks) * 2048, fill);
    for (uint16_t i = 0; i < blocks; ++i) data[size_t(i) * 2048] = uint8_t(lba + i);
    return Out({0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                0, uint8_t(blocks >> 8), uint8_t(blocks), 0},
               data);
  }
  Answer Read(uint32_t lba, uint16_t blocks) {
    return In({0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
               uint8_t(blocks >> 8), uint8_t(blocks), 0},
              uint32_t(blocks) * 2048);
  }
  Answer Sync(bool immediate = false) {
    return None({0x35, uint8_t(immediate ? 2 : 0), 0, 0, 0, 0, 0, 0, 0, 0});
  }
  Answer Close(uint8_t function, uint8_t number, bool immediate = false) {
    return None({0x5B, uint8_t(immediate ? 1 : 0), function, 0, 0, number, 0, 0, 0, 0});
  }
  Answer Reserve(uint32_t blocks) {
    return None({0x53, 0, 0, 0, 0, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                 uint8_t(blocks >> 8), uint8_t(blocks), 0});
  }
  Answer DiscInfo() { return In({0x51, 0, 0, 0, 0, 0, 0, 0, 64, 0}, 64); }
  Answer TrackInfo(uint8_t track) { return In({0x52, 1, 0, 0, 0, track, 0, 0, 48, 0}, 48); }
  Answer Config(uint8_t rt, uint16_t feature, uint16_t length = 2048) {
    return In({0x46, rt, uint8_t(feature >> 8), uint8_t(feature), 0, 0, 0, uint8_t(length >> 8),
               uint8_t(length), 0},
              length);
  }
  Answer ModeSense(uint8_t pageByte, uint8_t byte1 = 0) {
    return In({0x5A, byte1, pageByte, 0, 0, 0, 0, 0, 255, 0}, 255);
  }
  // Page 05h with the given write type, multi-session bits and test-write flag.
  Answer WriteParameters(uint8_t writeType, uint8_t multiSession, bool test = false) {
    Bytes p(8 + 52, 0);
    p[8] = 0x05;
    p[9] = 0x32;
    p[10] = uint8_t(0x40 | (test ? 0x10 : 0) | writeType);
    p[11] = uint8_t(multiSession << 6 | 4);
    p[12] = 8;
    p[22] = 0;
    p[23] = 150;
    return Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(p.size()), 0}, p);
  }
  Answer Format(Bytes list) { return Out({0x04, 0x11, 0, 0, 0, 0}, std::move(list)); }
  Answer Blank(uint8_t type, bool immediate) {
    return None({0xA1, uint8_t((immediate ? 0x10 : 0) | type), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  Answer StartStop(uint8_t byte4) { return None({0x1B, 0, 0, 0, byte4, 0}); }
  Answer Prevent(bool on) { return None({0x1E, 0, 0, 0, uint8_t(on ? 1 : 0), 0}); }
  Answer Capacity() { return In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8); }
  Answer Toc(uint8_t format, uint8_t number = 0, bool msf = false) {
    return In({0x43, uint8_t(msf ? 2 : 0), format, 0, 0, 0, number, 0, 200, 0}, 200);
  }
  Answer FormatCapacities() { return In({0x23, 0, 0, 0, 0, 0, 0, 0, 0x7C, 0}, 0x7C); }
  Answer RequestSense() { return In({0x03, 0, 0, 0, 18, 0}, 18); }

  std::unique_ptr<VirtualDrive> drive;
};

// A test name from a profile name ("dvd+r-dl" -> "dvdpr_dl").
inline std::string TestName(std::string n) {
  for (char& ch : n) {
    if (ch == '-') ch = '_';
    if (ch == '+') ch = 'p';
  }
  return n;
}

inline Driver Make(const std::string& path, const std::string& profile, uint32_t capacity = 0,
                   DriveConfig config = {}) {
  CreateOptions o;
  o.capacity = capacity;
  o.config = config;
  std::string error;
  auto d = VirtualDrive::Create(path, profile, o, &error);
  EXPECT_TRUE(d) << error;
  return Driver(std::move(d));
}

}  // namespace torvik::vdrive::testing
