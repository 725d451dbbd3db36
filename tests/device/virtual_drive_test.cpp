// The device layer against the file-backed virtual drive: every medium, blank, appendable and
// complete, as the application's drive panel and the write path see them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>

#include "emulator/VirtualDrive.h"
#include "fake_drive.h"

namespace torvik::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A device record whose only drive is a new virtual drive holding a blank `profile`.
struct VirtualRig {
  TSCSIDevice d;
  std::string path;
  std::vector<Sent> sent;  // every request, recorded by a tap that forwards

  VirtualRig(const std::string& name, const std::string& profile,
             const vdrive::CreateOptions& options = {}) {
    const std::string dir = ScratchDir("vd-" + name);
    path = dir + "/drive.img";
    std::string error;
    auto created = vdrive::VirtualDrive::Create(path, profile, options, &error);
    EXPECT_TRUE(created) << error;
    created.reset();
    d.Setup.SysfsRoot = dir + "/no-sysfs";
    RegisterVirtualDrive(d, path);
    d.Setup.Tap = [this](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
      Sent s;
      s.cdb.assign(srb.CDB.begin(), srb.CDB.begin() + srb.SRB_CDBLen);
      s.flags = srb.SRB_Flags;
      s.length = srb.SRB_BufLen;
      if ((srb.SRB_Flags & SRB_DIR_OUT) && srb.SRB_BufPointer != nullptr)
        s.out.assign(srb.SRB_BufPointer, srb.SRB_BufPointer + std::min<uint32_t>(srb.SRB_BufLen, 512));
      sent.push_back(std::move(s));
      return forward(srb);
    };
    EXPECT_TRUE(InitializeDevices(d, false, "", ""));
    EXPECT_EQ(d.NoOfDevices, 1);
    EXPECT_TRUE(SelectDevice(d, 0));
    sent.clear();
  }

  std::vector<Sent> WithOpcode(uint8_t opcode) const {
    std::vector<Sent> r;
    for (const Sent& s : sent)
      if (s.cdb[0] == opcode) r.push_back(s);
    return r;
  }
};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes `blocks` blocks (a multiple of 32) holding an ISO volume of that size at the next
// writable address, then closes track and session the way the write thread does.
bool Burn(TSCSIDevice& d, uint32_t blocks, bool finalize, uint32_t volume = 0) {
  if (volume == 0) volume = blocks;
  const TMedium m = GetMedium(d);
  SetWriteParameters(d, false, true, m, !finalize);
  uint32_t start = 0;
  uint8_t track = 1;
  const bool overwritable =
      m == mtDVDPLUSRW || m == mtDVDRAM || m == mtBDRE || m == mtDVDRWRO;
  if (!overwritable) {
    if (!ReadTrackInformation(d, 255) && !ReadTrackInformation(d, GetLastTrackNumber(d)))
      return false;
    start = d.TrackInformation.NextWritableAddress;
    track = d.TrackInformation.TrackNumber;
  }
  Bytes packet(65536, 0);
  for (uint32_t done = 0; done < blocks; done += 32) {
    std::fill(packet.begin(), packet.end(), 0);
    if (done == 0) {
      uint8_t* pvd = &packet[16 * 2048];
      pvd[0] = 1;
      std::memcpy(pvd + 1, "CD001", 5);
      PutLe32(pvd + 80, volume);
      uint8_t* term = &packet[17 * 2048];
      term[0] = 0xFF;
      std::memcpy(term + 1, "CD001", 5);
    }
    if (!Write10(d, start + done, 32, 65536, packet.data())) return false;
  }
  if (!SynchronizeCache(d, false)) return false;
  if (overwritable) return true;
  CloseTrackSession(d, false, 1, 0, 0, track);
  SetWriteParameters(d, false, true, m, !finalize);
  if (finalize && (m == mtDVDR || m == mtDVDRWSR)) {
    // The engine keeps DVD-R appendable; finalize as another program would, with
    // multi-session 00b in the page it just sent.
    uint8_t* page = d.tmpBuffer.data() + 8;
    page[3] &= 0x3F;
    ModeSelect10(d, d.tmpBuffer.data(), static_cast<uint16_t>(8 + page[1] + 2));
  }
  const bool explicitFinal = m == mtDVDPLUSR || m == mtDVDPLUSRDL || m == mtBDRSR;
  return CloseTrackSession(d, false, finalize && explicitFinal ? 6 : 2, 0, 0, 0);
}

struct Report {
  TMedium medium;
  bool writable, erasable;
  int sessions;
  uint32_t freeBlocks, totalBlocks;

  bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Report& r) {
  return o << MediumName(r.medium) << " writable=" << r.writable << " erasable=" << r.erasable
           << " sessions=" << r.sessions << " free=" << r.freeBlocks << " total=" << r.totalBlocks;
}

Report Inspect(TSCSIDevice& d) {
  Report r;
  r.medium = GetMedium(d);
  r.writable = Writable(d);
  r.erasable = Erasable(d);
  r.sessions = GetSessionCount(d);
  r.freeBlocks = GetFreeBlocks(d);
  r.totalBlocks = GetTotalBlocks(d);
  return r;
}

enum class Disc { Blank, Appendable, Complete };

struct MediumCase {
  const char* profile;
  Disc disc;
  Report expected;
};

// 3200 blocks written, in one session closed the way the write thread closes it. Gaps between
// sessions (CD lead-out/lead-in, DVD borders) come from the drive.
TEST(VirtualDrive, DiscStatePerMedium) {
  const MediumCase cases[] = {
      {"cd-r", Disc::Blank, {mtCDR, true, false, 0, 359849, 359849}},
      {"cd-r", Disc::Appendable, {mtCDR, true, false, 1, 345247, 359849}},
      {"cd-r", Disc::Complete, {mtCDR, false, false, 1, 0, 3202}},  // TAO run-out blocks
      {"cd-rw", Disc::Blank, {mtCDRW, true, true, 0, 359849, 359849}},
      {"cd-rw", Disc::Appendable, {mtCDRW, true, true, 1, 345247, 359849}},
      {"cd-rw", Disc::Complete, {mtCDRW, false, true, 1, 0, 3202}},
      {"dvd-r", Disc::Blank, {mtDVDR, true, false, 0, 2295104, 2295104}},
      {"dvd-r", Disc::Appendable, {mtDVDR, true, false, 1, 2275520, 2295104}},
      {"dvd-r", Disc::Complete, {mtDVDR, false, false, 1, 0, 3200}},
      {"dvd-rw-seq", Disc::Blank, {mtDVDRWSR, true, true, 0, 2295104, 2295104}},
      {"dvd-rw-seq", Disc::Appendable, {mtDVDRWSR, true, true, 1, 2275520, 2295104}},
      {"dvd-rw-seq", Disc::Complete, {mtDVDRWSR, false, true, 1, 0, 3200}},
      {"dvd-rw-ro", Disc::Blank, {mtDVDRWRO, true, true, 1, 2295104, 2295104}},
      {"dvd-rw-ro", Disc::Appendable, {mtDVDRWRO, true, true, 1, 2291904, 2295104}},
      {"dvd+r", Disc::Blank, {mtDVDPLUSR, true, false, 0, 2295104, 2295104}},
      {"dvd+r", Disc::Appendable, {mtDVDPLUSR, true, false, 1, 2287808, 2295104}},
      {"dvd+r", Disc::Complete, {mtDVDPLUSR, false, false, 1, 0, 3200}},
      {"dvd+r-dl", Disc::Blank, {mtDVDPLUSRDL, true, false, 0, 4173824, 4173824}},
      {"dvd+r-dl", Disc::Appendable, {mtDVDPLUSRDL, true, false, 1, 4166528, 4173824}},
      {"dvd+r-dl", Disc::Complete, {mtDVDPLUSRDL, false, false, 1, 0, 3200}},
      {"dvd+rw", Disc::Blank, {mtDVDPLUSRW, true, true, 0, 2295104, 2295104}},
      {"dvd+rw", Disc::Appendable, {mtDVDPLUSRW, true, true, 1, 2291904, 2295104}},
      {"dvd-ram", Disc::Blank, {mtDVDRAM, true, true, 1, 2236704, 2236704}},
      {"dvd-ram", Disc::Appendable, {mtDVDRAM, true, true, 1, 2233504, 2236704}},
      {"bd-r", Disc::Blank, {mtBDRSR, true, false, 0, 12219392, 12219392}},
      {"bd-r", Disc::Appendable, {mtBDRSR, true, false, 1, 12212096, 12219392}},
      {"bd-r", Disc::Complete, {mtBDRSR, false, false, 1, 0, 3200}},
      {"bd-re", Disc::Blank, {mtBDRE, true, true, 1, 11826176, 11826176}},
      {"bd-re", Disc::Appendable, {mtBDRE, true, true, 1, 11822976, 11826176}},
  };
  for (const MediumCase& c : cases) {
    const std::string name = std::string(c.profile) + "-" + std::to_string(int(c.disc));
    VirtualRig rig(name, c.profile);
    if (c.disc != Disc::Blank) {
      ASSERT_TRUE(Burn(rig.d, 3200, c.disc == Disc::Complete)) << name;
    }
    EXPECT_EQ(Inspect(rig.d), c.expected) << name;
  }
}

TEST(VirtualDrive, DvdPlusRwFreeSpaceIsTrackSizeLessTheVolume) {
  VirtualRig rig("dvdrw100k", "dvd+rw");
  ASSERT_TRUE(Burn(rig.d, 32, false, 100000));
  EXPECT_EQ(GetVolumeSpaceSize(rig.d), 100000u);
  EXPECT_EQ(GetFreeBlocks(rig.d), 2295104u - 100000u);
}

TEST(VirtualDrive, ReadOnlyMedia) {
  for (const char* profile : {"cd-rom", "dvd-rom", "bd-rom"}) {
    const std::string dir = ScratchDir(std::string("rom-") + profile);
    const std::string image = dir + "/image.iso";
    {
      Bytes data(64 * 2048, 0);
      std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    static_cast<std::streamsize>(data.size()));
    }
    vdrive::CreateOptions options;
    options.image = image;
    VirtualRig rig(std::string("rom") + profile, profile, options);
    const TMedium m = GetMedium(rig.d);
    EXPECT_TRUE(m == mtCDROM || m == mtDVDROM || m == mtBDROM) << profile;
    EXPECT_FALSE(Writable(rig.d)) << profile;
    EXPECT_FALSE(Erasable(rig.d)) << profile;
    EXPECT_EQ(GetFreeBlocks(rig.d), 0u) << profile;
  }
}

TEST(VirtualDrive, OldDriveWithoutGetConfigurationFindsCdMediaThroughAtip) {
  for (auto [profile, medium] : {std::pair{"cd-r", mtCDR}, std::pair{"cd-rw", mtCDRW}}) {
    vdrive::CreateOptions options;
    options.config.drive = vdrive::DriveClass::CD;
    options.config.getConfiguration = false;
    VirtualRig rig(std::string("atip-") + profile, profile, options);
    EXPECT_EQ(GetMedium(rig.d), medium) << profile;
    ASSERT_GE(rig.sent.size(), 2u);
    EXPECT_EQ(rig.sent[0].cdb[0], op::GET_CONFIGURATION);
    EXPECT_EQ(rig.sent[1].cdb, (Bytes{0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}));
    EXPECT_EQ(rig.d.DeviceError, 0x2000u);  // the refused GET CONFIGURATION
  }
}

TEST(VirtualDrive, NoMediumCountsEveryAnsweredFeatureButDualLayer) {
  VirtualRig rig("nomedium", "dvd+r");
  std::string error;
  {
    auto drive = vdrive::VirtualDrive::Open(rig.path, &error);
    ASSERT_TRUE(drive) << error;
    ASSERT_TRUE(drive->Update([](vdrive::MediumState& m) { m.mediumPresent = false; }, &error))
        << error;
  }
  CloseDeviceHandle(rig.d);
  EXPECT_EQ(GetMedium(rig.d), mtUNKNOWN);
  EXPECT_EQ(rig.d.ConfigHeader.CurrentProfile, 0);
  ASSERT_TRUE(DetectCapabilities(rig.d));
  for (uint8_t id : {READ_DVDPLUSR, READ_DVDPLUSRW, READ_BDROM, READ_BDR, READ_BDRE, WRITE_BDR,
                     WRITE_BDRE, READ_HDDVDROM, READ_HDDVDR, READ_HDDVDRAM, WRITE_HDDVDR,
                     WRITE_HDDVDRAM})
    EXPECT_TRUE(DeviceCan(rig.d, id)) << int(id);
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_EQ(GetFreeBlocks(rig.d), 0u);
  EXPECT_EQ(GetSessionCount(rig.d), 0);
}

TEST(VirtualDrive, SpeedsAndCapabilities) {
  VirtualRig rig("speeds", "dvd+rw");
  EXPECT_TRUE(DeviceIsBurner(rig.d));
  EXPECT_TRUE(DeviceCan(rig.d, DC_TEST_WRITE));
  EXPECT_TRUE(DeviceCan(rig.d, DC_UNDERRUNPROTECTION));
  EXPECT_TRUE(DeviceCan(rig.d, WRITE_DVDPLUSRW));
  EXPECT_TRUE(DeviceCan(rig.d, WRITE_BDRE));
  const uint16_t maxRead = GetDeviceMaxReadSpeed(rig.d);
  const uint16_t maxWrite = GetDeviceMaxWriteSpeed(rig.d);
  EXPECT_GT(maxRead, 0);
  EXPECT_GT(maxWrite, 0);
  EXPECT_LE(GetCurrentReadSpeed(rig.d), maxRead);
  EXPECT_LE(GetMaxWriteSpeed(rig.d), maxWrite);
  EXPECT_LE(GetCurrentWriteSpeed(rig.d), maxWrite);
  ASSERT_TRUE(SetDeviceSpeed(rig.d, 0, 0));
  const auto speeds = rig.WithOpcode(op::SET_CD_SPEED);
  ASSERT_EQ(speeds.size(), 1u);
  EXPECT_EQ(speeds[0].cdb, (Bytes{0xBB, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(ReadBufferCapacity(rig.d));
  EXPECT_GT(rig.d.DeviceBufferSize, 0u);

  vdrive::CreateOptions reader;
  reader.config.writer = false;
  reader.config.testWrite = false;
  VirtualRig rom("reader", "dvd+rw", reader);
  EXPECT_FALSE(DeviceIsBurner(rom.d));
  EXPECT_FALSE(DeviceCan(rom.d, DC_TEST_WRITE));
}

TEST(VirtualDrive, WriteParametersAreAcceptedForEveryWritableMedium) {
  for (const char* profile : {"cd-r", "cd-rw", "dvd-r", "dvd-rw-seq", "dvd-rw-ro", "dvd+r",
                              "dvd+r-dl", "dvd+rw", "dvd-ram", "bd-r", "bd-re"}) {
    VirtualRig rig(std::string("wp-") + profile, profile);
    const TMedium m = GetMedium(rig.d);
    for (bool multi : {false, true}) {
      EXPECT_TRUE(SetWriteParameters(rig.d, false, true, m, multi)) << profile;
      const auto selects = rig.WithOpcode(op::MODE_SELECT_10);
      ASSERT_FALSE(selects.empty());
      EXPECT_EQ(selects.back().out[8], 0x05) << profile;
      EXPECT_EQ(selects.back().out[8 + 2] & 0x0F,
                (m == mtDVDR || m == mtDVDRWRO || m == mtDVDRWSR) ? 0 :
                (m == mtDVDPLUSR || m == mtDVDPLUSRW || m == mtDVDPLUSRDL) ? 2 : 1)
          << profile;
    }
  }
}

TEST(VirtualDrive, DeviceLogOfARealSession) {
  VirtualRig rig("vlog", "cd-r");
  const std::string log = ScratchDir("vlog-file") + "/torvik.log";
  rig.d.Setup.Clock = [] { return std::chrono::system_clock::time_point(std::chrono::milliseconds(1)); };
  ASSERT_TRUE(OpenDebugLog(rig.d, log));
  EXPECT_TRUE(TestUnitReady(rig.d));
  uint8_t inquiry[64];
  EXPECT_TRUE(Inquiry(rig.d, inquiry));
  CloseDebugLog(rig.d);
  std::ifstream f(log, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const std::string tur =
      "00:00:001 TEST UNIT READY        (00) {40:06} - 0:0:0 <01> [00000] "
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 00:00, 0\r\n";
  EXPECT_EQ(text.substr(0, 14 + tur.size()), "PeloraBurner\r\n" + tur);
  EXPECT_NE(text.find("INQUIRY                (12) {48:06} - 0:0:0 <01> [00040] 00 00 00 40 00"),
            std::string::npos);
}

TEST(VirtualDrive, ErrorsReachTheRecord) {
  VirtualRig rig("errors", "cd-r");
  // A write away from the next writable address.
  Bytes packet(65536, 0);
  EXPECT_FALSE(Write10(rig.d, 5000, 32, 65536, packet.data()));
  EXPECT_EQ(rig.d.LastSenseInfo.SenseKey, 5);
  EXPECT_EQ(rig.d.DeviceError, 0x2102u);
  EXPECT_TRUE(TestUnitReady(rig.d));
  EXPECT_TRUE(rig.d.LastSenseInfo.IsZero());
  EXPECT_EQ(rig.d.DeviceError, 0x2102u);
}

}  // namespace
}  // namespace torvik::test
