// Capability detection, medium detection and the disc-space queries, against the scripted drive.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "fake_drive.h"
#include "platform/run_unprivileged.h"

namespace torvik::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Capabilities, PageBitsAndSpeeds) {
  FakeRig rig("caps", false);
  rig.drive.m.defaultPages[0x2A] = CapabilitiesPage(0x3F, 0x37, 0x80, 11080, 7056, 8467, 7056);
  rig.drive.m.pages[0x2A] = CapabilitiesPage(0x15, 0x11, 0x00, 7056, 1764, 5540, 2822);
  ASSERT_TRUE(DetectCapabilities(rig.d));
  const TDC& c = rig.d.dc;
  // The current page decides the bits.
  EXPECT_TRUE(c.Read_CDR);
  EXPECT_FALSE(c.Read_CDRW);
  EXPECT_TRUE(c.Read_Method2);
  EXPECT_FALSE(c.Read_DVDROM);
  EXPECT_TRUE(c.Read_DVDR);
  EXPECT_FALSE(c.Read_DVDRAM);
  EXPECT_TRUE(c.Write_CDR);
  EXPECT_FALSE(c.Write_CDRW);
  EXPECT_FALSE(c.TestWrite);
  EXPECT_TRUE(c.Write_DVDR);
  EXPECT_FALSE(c.Write_DVDRAM);
  // Page 30h is missing, the current page clears BUF.
  EXPECT_FALSE(c.UnderRunProtection);
  EXPECT_EQ(rig.d.ModePage2A.DeviceMaxReadSpeed, 11080);
  EXPECT_EQ(rig.d.ModePage2A.DeviceMaxWriteSpeed, 8467);
  EXPECT_EQ(rig.d.MaxReadSpeed, 7056);
  EXPECT_EQ(rig.d.CurReadSpeed, 1764);
  EXPECT_EQ(rig.d.MaxWriteSpeed, 5540);
  EXPECT_EQ(rig.d.CurWriteSpeed, 2822);
  EXPECT_EQ(rig.d.ModePage2A.BufferSize, 0x1000);
  EXPECT_TRUE(DeviceIsBurner(rig.d));
  EXPECT_EQ(GetDeviceMaxReadSpeed(rig.d), 11080);
  EXPECT_EQ(GetDeviceMaxWriteSpeed(rig.d), 8467);
  EXPECT_EQ(GetCurrentReadSpeed(rig.d), 1764);
  EXPECT_EQ(GetMaxWriteSpeed(rig.d), 5540);
  EXPECT_EQ(GetCurrentWriteSpeed(rig.d), 2822);

  rig.drive.m.pages[0x30] = Bytes{0x30, 2, 0, 0};
  ASSERT_TRUE(DetectCapabilities(rig.d));
  EXPECT_TRUE(rig.d.dc.UnderRunProtection);
}

TEST(Capabilities, CommandSequence) {
  FakeRig rig("capseq", false);
  ASSERT_TRUE(DetectCapabilities(rig.d));
  std::vector<Bytes> cdbs;
  for (const Sent& s : rig.drive.log) cdbs.push_back(s.cdb);
  const std::vector<Bytes> expected = {
      {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 128, 0}, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0},
      {0x5A, 0, 0xB0, 0, 0, 0, 0, 0, 128, 0}, {0x46, 2, 0, 0x2A, 0, 0, 0, 0, 112, 0},
      {0x46, 2, 0, 0x3B, 0, 0, 0, 0, 112, 0}, {0x46, 2, 0, 0x2F, 0, 0, 0, 0, 112, 0},
      {0x46, 2, 0, 0x40, 0, 0, 0, 0, 112, 0}, {0x46, 2, 0, 0x41, 0, 0, 0, 0, 112, 0},
      {0x46, 2, 0, 0x50, 0, 0, 0, 0, 112, 0}, {0x46, 2, 0, 0x51, 0, 0, 0, 0, 112, 0}};
  EXPECT_EQ(cdbs, expected);
}

TEST(Capabilities, RejectedPageMeansNothing) {
  FakeRig rig("capsnone", false);
  rig.drive.m.pages.clear();
  rig.drive.m.profile = 0;
  EXPECT_FALSE(DetectCapabilities(rig.d));
  for (uint8_t id = 0; id < 72; ++id) EXPECT_FALSE(DeviceCan(rig.d, id)) << int(id);
  EXPECT_EQ(GetDeviceMaxReadSpeed(rig.d), 0);
  EXPECT_FALSE(DeviceIsBurner(rig.d));
  // Nothing after the refused page.
  EXPECT_EQ(rig.drive.log.back().cdb[0], op::MODE_SENSE_10);
}

TEST(Capabilities, DefaultValuesRefusedCurrentValuesStand) {
  FakeRig rig("capsnodefault", false);
  rig.drive.m.pages[0x2A] = CapabilitiesPage(0x3B, 0x37, 0x00, 7056, 1764, 5540, 2822);
  rig.drive.overrides[op::MODE_SENSE_10] = [&](const Sent& s) {
    if ((s.cdb[2] & 0xC0) == 0x80) return Reply::Fail(5, 0x24, 0);
    return rig.drive.Model(s);
  };
  ASSERT_TRUE(DetectCapabilities(rig.d));
  EXPECT_TRUE(DeviceCan(rig.d, READ_CDR));
  EXPECT_TRUE(DeviceCan(rig.d, WRITE_CDRW));
  EXPECT_TRUE(DeviceIsBurner(rig.d));
  EXPECT_EQ(rig.d.ModePage2A.DeviceMaxReadSpeed, 7056);
  EXPECT_EQ(rig.d.ModePage2A.DeviceMaxWriteSpeed, 5540);
  EXPECT_EQ(rig.d.CurWriteSpeed, 2822);
}

// Whether a burn may start: the drive's capabilities must name the loaded medium, and a real
// drive's node must open for writing.
TEST(Capabilities, DriveWritesTheLoadedMedium) {
  struct Case {
    uint8_t readInfo, writeInfo;
    std::map<uint16_t, uint8_t> features;
    TMedium medium;
    bool expected;
  };
  const Case cases[] = {
      {0x3F, 0x37, {}, mtCDR, true},
      {0x3F, 0x00, {}, mtCDR, false},                // a reader
      {0x3F, 0x37, {{0x2A, 0}}, mtDVDPLUSR, false},  // reads DVD+R, writes none
      {0x3F, 0x37, {{0x2A, 1}}, mtDVDPLUSR, true},
      {0x3F, 0x37, {}, mtDVDROM, false},             // pressed
  };
  for (const Case& c : cases) {
    FakeRig rig("writesmedium");
    rig.drive.m.profile = 0x1B;
    rig.drive.m.pages[0x2A] = CapabilitiesPage(c.readInfo, c.writeInfo, 0, 0, 0, 0, 0);
    rig.drive.m.features = c.features;
    EXPECT_EQ(DriveWritesMedium(rig.d, c.medium), c.expected) << MediumName(c.medium);
  }

  FakeRig rig("writeaccess");
  EXPECT_EQ(DriveWriteAccessError(rig.d), 0);
  ASSERT_EQ(::chmod(rig.d.DrivePath.c_str(), 0444), 0);
  bool refused = false;
  ASSERT_TRUE(RunUnprivileged([&] { return DriveWriteAccessError(rig.d) == EACCES; }, refused));
  EXPECT_TRUE(refused);
}

TEST(Capabilities, BlockDescriptorAndMaskedPageCode) {
  FakeRig rig("capsbd", false);
  rig.drive.m.blockDescriptorLength = 8;
  rig.drive.m.pages[0x2A][0] = 0xAA;  // PS bit set
  ASSERT_TRUE(DetectCapabilities(rig.d));
  EXPECT_TRUE(rig.d.dc.Write_CDRW);
  EXPECT_EQ(rig.d.MaxWriteSpeed, 5540);
}

TEST(Capabilities, ShortPageReadsNoBytesBeyondItsLength) {
  FakeRig rig("capsshort", false);
  // A page that claims 2 bytes of data: the speed words are not part of it.
  rig.drive.m.pages[0x2A] = Bytes{0x2A, 2, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x22};
  ASSERT_TRUE(DetectCapabilities(rig.d));
  EXPECT_TRUE(rig.d.dc.Read_CDR);
  EXPECT_FALSE(rig.d.dc.UnderRunProtection);
  EXPECT_EQ(rig.d.MaxReadSpeed, 0);
}

struct FeatureCase {
  const char* name;
  uint16_t profile;
  std::map<uint16_t, uint8_t> features;
  std::vector<uint8_t> expectTrue;
};

TEST(Capabilities, Features) {
  const FeatureCase cases[] = {
      // No disc: every answered feature counts, except DVD+R DL.
      {"no medium, headers only", 0, {},
       {READ_DVDPLUSR, READ_DVDPLUSRW, READ_BDROM, READ_BDR, READ_BDRE, WRITE_BDR, WRITE_BDRE,
        READ_HDDVDROM, READ_HDDVDR, READ_HDDVDRAM, WRITE_HDDVDR, WRITE_HDDVDRAM}},
      {"no medium, DL present", 0, {{0x3B, 1}, {0x2A, 1}, {0x2F, 2}},
       {READ_DVDPLUSR, READ_DVDPLUSRW, WRITE_DVDPLUSR, WRITE_DVDPLUSRW, READ_DVDPLUSRDL,
        WRITE_DVDPLUSRDL, READ_DVDRW, WRITE_DVDRW, READ_BDROM, READ_BDR, READ_BDRE, WRITE_BDR,
        WRITE_BDRE, READ_HDDVDROM, READ_HDDVDR, READ_HDDVDRAM, WRITE_HDDVDR, WRITE_HDDVDRAM}},
      // A disc loaded: only descriptors of the asked feature count.
      {"DVD writer with DVD+R", 0x1B, {{0x2A, 0}, {0x3B, 0}, {0x2F, 0}},
       {READ_DVDPLUSR, READ_DVDPLUSRW, READ_DVDPLUSRDL}},
      {"BD writer with BD-RE", 0x43, {{0x2A, 1}, {0x3B, 1}, {0x2F, 2}, {0x40, 0}, {0x41, 0}},
       {READ_DVDPLUSR, READ_DVDPLUSRW, WRITE_DVDPLUSR, WRITE_DVDPLUSRW, READ_DVDPLUSRDL,
        WRITE_DVDPLUSRDL, READ_DVDRW, WRITE_DVDRW, READ_BDROM, READ_BDR, READ_BDRE, WRITE_BDR,
        WRITE_BDRE}},
      {"CD-R in a CD writer", 0x09, {}, {}},
  };
  const std::vector<uint8_t> featureIds = {
      READ_DVDPLUSR, READ_DVDPLUSRW, READ_DVDPLUSRDL, READ_DVDRW, READ_BDROM, READ_BDR,
      READ_BDRE, READ_HDDVDROM, READ_HDDVDR, READ_HDDVDRAM, WRITE_DVDPLUSR, WRITE_DVDPLUSRW,
      WRITE_DVDPLUSRDL, WRITE_DVDRW, WRITE_BDR, WRITE_BDRE, WRITE_HDDVDR, WRITE_HDDVDRAM};
  for (const FeatureCase& c : cases) {
    FakeRig rig("features", false);
    rig.drive.m.profile = c.profile;
    rig.drive.m.features = c.features;
    ASSERT_TRUE(DetectCapabilities(rig.d));
    for (uint8_t id : featureIds) {
      const bool expected =
          std::find(c.expectTrue.begin(), c.expectTrue.end(), id) != c.expectTrue.end();
      EXPECT_EQ(DeviceCan(rig.d, id), expected) << c.name << " id " << int(id);
    }
  }
}

TEST(Capabilities, DeviceCanIds) {
  FakeRig rig("ids", false);
  rig.drive.m.pages[0x2A] = CapabilitiesPage(0x3F, 0x37, 0x80, 0, 0, 0, 0);
  ASSERT_TRUE(DetectCapabilities(rig.d));
  const std::pair<uint8_t, bool> cases[] = {
      {READ_CDR, true},        {READ_CDRW, true},     {READ_DVDRAM, true},
      {READ_DVDR, true},       {WRITE_CDR, true},     {WRITE_CDRW, true},
      {WRITE_DVDRAM, true},    {WRITE_DVDR, true},    {DC_TEST_WRITE, true},
      {DC_UNDERRUNPROTECTION, true}, {15, false},     {0, false},
      {40, false},             {255, false}};
  for (auto [id, expected] : cases) EXPECT_EQ(DeviceCan(rig.d, id), expected) << int(id);
}

TEST(SenseCodes, TextAndUsualKey) {
  EXPECT_EQ(SenseText(3, 0x0C, 0x00), "03/0C/00 write error");
  EXPECT_EQ(SenseText(2, 0x04, 0x42), "02/04/42 logical unit not ready");  // unlisted qualifier
  EXPECT_EQ(SenseText(5, 0x99, 0x00), "05/99/00");
  EXPECT_EQ(UsualSenseKey(0x21, 0x02), 5);
  EXPECT_EQ(UsualSenseKey(0x30, 0x00), 0);  // drives differ
}

// ---- medium ----

TEST(Medium, EveryProfile) {
  const std::pair<uint16_t, TMedium> cases[] = {
      {0x0000, mtUNKNOWN}, {0x0008, mtCDROM},    {0x0009, mtCDR},       {0x000A, mtCDRW},
      {0x0010, mtDVDROM},  {0x0011, mtDVDR},     {0x0012, mtDVDRAM},    {0x0013, mtDVDRWRO},
      {0x0014, mtDVDRWSR}, {0x001A, mtDVDPLUSRW}, {0x001B, mtDVDPLUSR}, {0x002B, mtDVDPLUSRDL},
      {0x0040, mtBDROM},   {0x0041, mtBDRSR},    {0x0042, mtBDRRR},     {0x0043, mtBDRE},
      {0x0050, mtHDDVDROM}, {0x0051, mtHDDVDR},  {0x0052, mtHDDVDRAM},  {0x0020, mtDDCDROM},
      {0x0021, mtDDCDR},   {0x0022, mtDDCDRW},   {0x0015, mtUNKNOWN},   {0xFFFF, mtUNKNOWN}};
  FakeRig rig("profiles");
  for (auto [profile, medium] : cases) {
    rig.drive.m.profile = profile;
    EXPECT_EQ(GetMedium(rig.d), medium) << std::hex << profile;
    EXPECT_EQ(rig.d.ConfigHeader.CurrentProfile, profile);
  }
}

TEST(Medium, FallbacksWithoutGetConfiguration) {
  struct Case {
    const char* name;
    std::optional<uint8_t> atip;
    bool discInfo;
    uint8_t discInfo2;
    bool tur;
    TMedium expected;
  };
  const Case cases[] = {
      {"ATIP CD-RW", 0xC0, true, 0, true, mtCDRW},
      {"ATIP CD-R", 0x80, true, 0x10, true, mtCDR},
      {"ATIP pressed", 0x00, true, 0, true, mtCDROM},
      {"disc info erasable", std::nullopt, true, 0x10, true, mtCDRW},
      {"disc info", std::nullopt, true, 0x00, true, mtCDR},
      {"ready", std::nullopt, false, 0, true, mtCDROM},
      {"nothing", std::nullopt, false, 0, false, mtUNKNOWN},
  };
  for (const Case& c : cases) {
    FakeRig rig("fallback");
    rig.drive.m.noGetConfiguration = true;
    rig.drive.m.atipByte6 = c.atip;
    rig.drive.m.discInfoFails = !c.discInfo;
    rig.drive.m.discInfo2 = c.discInfo2;
    rig.drive.m.tur = c.tur;
    EXPECT_EQ(GetMedium(rig.d), c.expected) << c.name;
  }
  // The ATIP request itself.
  FakeRig rig("atipcdb");
  rig.drive.m.noGetConfiguration = true;
  rig.drive.m.atipByte6 = 0xC0;
  GetMedium(rig.d);
  ASSERT_EQ(rig.drive.log.size(), 2u);
  EXPECT_EQ(rig.drive.log[0].cdb, (Bytes{0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}));
  EXPECT_EQ(rig.drive.log[1].cdb, (Bytes{0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}));
}

TEST(Medium, ShortAtipReplyIsNotTrusted) {
  FakeRig rig("atipshort");
  rig.drive.m.noGetConfiguration = true;
  rig.drive.overrides[op::READ_TOC_PMA_ATIP] = [](const Sent&) {
    return Reply::Data(Bytes{0, 2, 0, 0, 0, 0, 0xC0});  // claims 4 bytes, byte 6 is not part
  };
  rig.drive.m.discInfo2 = 0;
  EXPECT_EQ(GetMedium(rig.d), mtCDR);  // from disc information
}

// ---- disc state queries ----

// Disc states per medium are checked against the virtual drive (virtual_drive_test.cpp).

TEST(DiscState, WritableFallsBackToTrackInformation) {
  FakeRig rig("writable3");
  rig.drive.m.discInfo2 = 0x03;  // "other"
  rig.drive.m.lastTrack = 2;
  rig.drive.m.tracks[3] = {100, 100, 50, 50, 0x40};  // no invisible track; last + 1 answers
  EXPECT_TRUE(Writable(rig.d));
  EXPECT_EQ(rig.drive.WithOpcode(op::MODE_SELECT_10).size(), 1u);
  rig.drive.m.tracks[3].free = 0;
  EXPECT_FALSE(Writable(rig.d));
  rig.drive.m.tracks.clear();
  EXPECT_FALSE(Writable(rig.d));
}

TEST(DiscState, SessionCountWithoutDiscInformation) {
  FakeRig rig("sessions");
  rig.drive.m.discInfoFails = true;
  rig.drive.m.profile = 0x12;
  EXPECT_EQ(GetSessionCount(rig.d), 1);
  rig.drive.m.profile = 0x09;
  EXPECT_EQ(GetSessionCount(rig.d), 0);
  // An empty last session with a count of 0 stays 0, never wraps.
  rig.drive.m.discInfoFails = false;
  rig.drive.m.sessions = 0;
  EXPECT_EQ(GetSessionCount(rig.d), 0);
}

// A PVD (and optionally an SVD) describing a volume of `blocks` sectors.
void PutVolume(FakeMedium& m, uint32_t blocks, bool joliet) {
  Bytes pvd(2048, 0);
  pvd[0] = 1;
  std::memcpy(&pvd[1], "CD001", 5);
  pvd[80] = static_cast<uint8_t>(blocks);
  pvd[81] = static_cast<uint8_t>(blocks >> 8);
  pvd[82] = static_cast<uint8_t>(blocks >> 16);
  pvd[83] = static_cast<uint8_t>(blocks >> 24);
  m.sectors[16] = pvd;
  if (joliet) {
    Bytes svd = pvd;
    svd[0] = 2;
    svd[80] = static_cast<uint8_t>(blocks + 1);  // tells which one was taken
    m.sectors[17] = svd;
  }
  Bytes term(2048, 0);
  term[0] = 0xFF;
  std::memcpy(&term[1], "CD001", 5);
  m.sectors[joliet ? 18 : 17] = term;
}

TEST(DiscState, OverwritableMediaSubtractTheVolume) {
  struct Case {
    const char* name;
    uint16_t profile;
    uint32_t trackSize, volume;
    bool joliet;
    uint32_t expectedFree;
  };
  const Case cases[] = {
      {"DVD+RW", 0x1A, 2295104, 100000, false, 2295104 - 100000},
      {"DVD+RW with Joliet", 0x1A, 2295104, 100000, true, 2295104 - 100001},
      {"BD-RE", 0x43, 11826176, 5000, false, 11826176 - 5000},
      {"DVD-RAM", 0x12, 2236704, 0, false, 2236704},
      // A volume larger than the track (foreign or damaged): no free space, not a wrap-around.
      {"DVD+RW oversized volume", 0x1A, 1000, 5000, false, 0},
  };
  for (const Case& c : cases) {
    FakeRig rig("overwrite");
    rig.drive.m.profile = c.profile;
    rig.drive.m.discInfo2 = 0x1E;
    rig.drive.m.tracks[1] = {0, 0, 0, c.trackSize, 0x00};
    if (c.volume != 0) PutVolume(rig.drive.m, c.volume, c.joliet);
    EXPECT_EQ(GetFreeBlocks(rig.d), c.expectedFree) << c.name;
  }
}

TEST(DiscState, VolumeSpaceSizeScansDescriptors) {
  FakeRig rig("vss");
  EXPECT_EQ(GetVolumeSpaceSize(rig.d), 0u);
  PutVolume(rig.drive.m, 4242, false);
  EXPECT_EQ(GetVolumeSpaceSize(rig.d), 4242u);
  const auto reads = rig.drive.WithOpcode(op::READ_10);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().cdb, (Bytes{0x28, 0, 0, 0, 0, 31, 0, 0, 1, 0}));
}

TEST(DiscState, FormattedCapacity) {
  struct Case {
    const char* name;
    Bytes reply;
    uint32_t expected;
  };
  auto list = [](std::vector<std::pair<uint32_t, uint32_t>> descs, uint8_t listLength = 0xFF) {
    Bytes r(4, 0);
    for (auto [blocks, typeAndLength] : descs) {
      r.resize(r.size() + 8);
      Be32(r, r.size() - 8, blocks);
      Be32(r, r.size() - 4, typeAndLength);
    }
    r[3] = listLength == 0xFF ? static_cast<uint8_t>(r.size() - 4) : listLength;
    return r;
  };
  const Case cases[] = {
      {"current only", list({{2295104, 0x02000800}}), 2295104},
      {"full format descriptor", list({{1000, 0x01000800}, {2297888, 0x00000800}}), 2297888},
      {"not among the first four", list({{7, 0x02000800}, {1, 0x40000010}, {2, 0x40000010},
                                         {3, 0x40000010}, {9, 0x00000800}}), 7},
      {"descriptor beyond the list", list({{7, 0x02000800}, {9, 0x00000800}}, 8), 7},
      {"empty list", list({}), 0},
  };
  for (const Case& c : cases) {
    FakeRig rig("fmtcap");
    rig.drive.m.formatCapacities = c.reply;
    EXPECT_EQ(GetFormattedCapacity(rig.d), c.expected) << c.name;
  }
  FakeRig rig("fmtcapfail");
  EXPECT_EQ(GetFormattedCapacity(rig.d), 0u);
}

TEST(DiscState, TotalBlocksOfFixedPacketTrack) {
  FakeRig rig("total");
  rig.drive.m.profile = 0x13;
  rig.drive.m.tracks[1] = {0, 0, 0, 0xFFFFFFFF, 0x10};
  EXPECT_EQ(GetTotalBlocks(rig.d), 0u);
  rig.drive.m.tracks[1] = {0, 0, 0, 1000, 0x10};
  rig.drive.m.formatCapacities = {0, 0, 0, 8, 0, 0x23, 0x11, 0x20, 0x02, 0, 0x08, 0};
  EXPECT_EQ(GetTotalBlocks(rig.d), 0x231120u);
  // Start plus size never wraps.
  rig.drive.m.tracks[1] = {0xFFFFFF00, 0, 0, 0x1000, 0x00};
  EXPECT_EQ(GetTotalBlocks(rig.d), 0xFFFFFFFFu);
}

TEST(DiscState, ReplyLengthsBoundTheRecords) {
  FakeRig rig("bounds");
  // A track reply that claims 6 bytes: the addresses are not part of it.
  rig.drive.overrides[op::READ_TRACK_INFORMATION] = [](const Sent&) {
    Bytes r(38, 0xEE);
    r[0] = 0;
    r[1] = 4;
    return Reply::Data(r);
  };
  ASSERT_TRUE(ReadTrackInformation(rig.d, 1));
  EXPECT_EQ(rig.d.TrackInformation.TrackSize, 0u);
  EXPECT_EQ(rig.d.TrackInformation.info1, 0xEE);
  EXPECT_EQ(rig.d.TrackInformation.info2, 0u);
}

}  // namespace
}  // namespace torvik::test
