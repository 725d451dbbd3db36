// The MMC command layer: exact CDBs, the write-parameters page per medium, speeds, and the
// throughput measurement.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_drive.h"

namespace torvik::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct CdbCase {
  const char* name;
  std::function<bool(TSCSIDevice&, uint8_t*)> run;
  Bytes cdb;
  uint8_t flags;
  uint32_t length;
};

TEST(MmcCommands, ExactCdbs) {
  FakeRig rig("cdbs");
  const CdbCase cases[] = {
      {"TestUnitReady", [](TSCSIDevice& d, uint8_t*) { return TestUnitReady(d); },
       {0x00, 0, 0, 0, 0, 0}, 0x40, 0},
      {"RezeroUnit", [](TSCSIDevice& d, uint8_t*) { return RezeroUnit(d); },
       {0x01, 0, 0, 0, 0, 0}, 0x40, 0},
      {"FormatUnit", [](TSCSIDevice& d, uint8_t* b) { return FormatUnit(d, 0x11, b, 12); },
       {0x04, 0x11, 0, 0, 0, 0}, 0x50, 12},
      {"Inquiry", [](TSCSIDevice& d, uint8_t* b) { return Inquiry(d, b); },
       {0x12, 0, 0, 0, 0x40, 0}, 0x48, 64},
      {"LoadMedium immediate", [](TSCSIDevice& d, uint8_t*) { return LoadMedium(d, true); },
       {0x1B, 1, 0, 0, 3, 0}, 0x40, 0},
      {"EjectMedium", [](TSCSIDevice& d, uint8_t*) { return EjectMedium(d, false); },
       {0x1B, 0, 0, 0, 2, 0}, 0x40, 0},
      {"LockMedium", [](TSCSIDevice& d, uint8_t*) { return LockMedium(d); },
       {0x1E, 0, 0, 0, 1, 0}, 0x40, 0},
      {"UnlockMedium", [](TSCSIDevice& d, uint8_t*) { return UnlockMedium(d); },
       {0x1E, 0, 0, 0, 0, 0}, 0x40, 0},
      {"ReadFormatCapacities", [](TSCSIDevice& d, uint8_t*) { return ReadFormatCapacities(d); },
       {0x23, 0, 0, 0, 0, 0, 0, 0, 0x7C, 0}, 0x48, 124},
      {"Read10", [](TSCSIDevice& d, uint8_t* b) { return Read10(d, 0x01020304, 2, b); },
       {0x28, 0, 1, 2, 3, 4, 0, 0, 2, 0}, 0x48, 4096},
      {"Write10", [](TSCSIDevice& d, uint8_t* b) { return Write10(d, 0xA0B0C0D0, 32, 65536, b); },
       {0x2A, 0, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 32, 0}, 0x50, 65536},
      {"SynchronizeCache immediate", [](TSCSIDevice& d, uint8_t*) { return SynchronizeCache(d, true); },
       {0x35, 2, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0},
      {"ReadTocPmaAtip ATIP", [](TSCSIDevice& d, uint8_t* b) { return ReadTocPmaAtip(d, 4, 0, 30, b, true) || true; },
       {0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}, 0x48, 30},
      {"GetConfiguration", [](TSCSIDevice& d, uint8_t*) { return GetConfiguration(d, 0x2A, 112); },
       {0x46, 2, 0, 0x2A, 0, 0, 0, 0, 112, 0}, 0x48, 112},
      {"ReadDiscInformation", [](TSCSIDevice& d, uint8_t*) { return ReadDiscInformation(d); },
       {0x51, 0, 0, 0, 0, 0, 0, 0, 64, 0}, 0x48, 64},
      {"ReadTrackInformation invisible", [](TSCSIDevice& d, uint8_t*) { return ReadTrackInformation(d, 255) || true; },
       {0x52, 1, 0, 0, 0, 255, 0, 0, 0x26, 0}, 0x48, 38},
      {"ReserveTrack", [](TSCSIDevice& d, uint8_t*) { return ReserveTrack(d, 0x00112233); },
       {0x53, 0, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0}, 0x40, 0},
      {"ModeSelect10", [](TSCSIDevice& d, uint8_t* b) { return ModeSelect10(d, b, 0x3C); },
       {0x55, 0x10, 0, 0, 0, 0, 0, 0, 0x3C, 0}, 0x50, 0x3C},
      {"ModeSense10 defaults 2Ah", [](TSCSIDevice& d, uint8_t* b) { return ModeSense10(d, 0x2A, true, b, 128); },
       {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 128, 0}, 0x48, 128},
      {"ModeSense10 current 05h", [](TSCSIDevice& d, uint8_t* b) { return ModeSense10(d, 0x05, false, b, 512); },
       {0x5A, 0, 0x05, 0, 0, 0, 0, 2, 0, 0}, 0x48, 512},
      {"CloseTrackSession", [](TSCSIDevice& d, uint8_t*) { return CloseTrackSession(d, false, 3, 7, 8, 9); },
       {0x5B, 0, 3, 7, 8, 9, 0, 0, 0, 0}, 0x40, 0},
      {"CloseTrackOrSession session", [](TSCSIDevice& d, uint8_t*) { return CloseTrackOrSession(d, false, true, 5); },
       {0x5B, 1, 2, 0, 0, 5, 0, 0, 0, 0}, 0x40, 0},
      {"CloseTrackOrSession track", [](TSCSIDevice& d, uint8_t*) { return CloseTrackOrSession(d, true, false, 1); },
       {0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0x40, 0},
      {"ReadBufferCapacity", [](TSCSIDevice& d, uint8_t*) { return ReadBufferCapacity(d); },
       {0x5C, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, 0x48, 32},
      {"Blank quick", [](TSCSIDevice& d, uint8_t*) { return Blank(d, true); },
       {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0},
      {"Blank full", [](TSCSIDevice& d, uint8_t*) { return Blank(d, false); },
       {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0},
      {"SetCDSpeed maximum", [](TSCSIDevice& d, uint8_t*) { return SetCDSpeed(d, 0, 0); },
       {0xBB, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 0x40, 0},
      {"SetDeviceSpeed", [](TSCSIDevice& d, uint8_t*) { return SetDeviceSpeed(d, 7056, 0x0B06); },
       {0xBB, 1, 0x1B, 0x90, 0x0B, 0x06, 0, 0, 0, 0, 0, 0}, 0x40, 0},
      {"SetStreamingPerformance", [](TSCSIDevice& d, uint8_t*) { return SetStreamingPerformance(d, 1, 2, 3, 4, 5); },
       {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, 0x50, 28},
      {"SendDVDStructure", [](TSCSIDevice& d, uint8_t* b) { return SendDVDStructure(d, 0x0F, b, 22); },
       {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, 0x50, 22},
  };
  rig.drive.m.formatCapacities = Bytes(12, 0);
  std::vector<uint8_t> buf(65536);
  for (const CdbCase& c : cases) {
    rig.drive.log.clear();
    EXPECT_TRUE(c.run(rig.d, buf.data())) << c.name;
    ASSERT_EQ(rig.drive.log.size(), 1u) << c.name;
    EXPECT_EQ(rig.drive.log[0].cdb, c.cdb) << c.name;
    EXPECT_EQ(rig.drive.log[0].flags, c.flags) << c.name;
    EXPECT_EQ(rig.drive.log[0].length, c.length) << c.name;
  }
  EXPECT_EQ(rig.d.ReadSpeed, 7056);
  EXPECT_EQ(rig.d.WriteSpeed, 0x0B06);
}

TEST(MmcCommands, SuccessTestsPerOperation) {
  FakeRig rig("success");
  // Completed-only operations fail on status 4, "not failed" ones too: the fake never pends.
  rig.drive.overrides[op::MODE_SELECT_10] = [](const Sent&) { return Reply::Fail(5, 0x26, 0); };
  uint8_t page[16] = {};
  EXPECT_FALSE(ModeSelect10(rig.d, page, sizeof page));
  // A pending status counts as "not failed" but not as "completed".
  rig.d.Setup.Tap = [](TSRB_ExecSCSICmd&, const TSendFunction&) { return uint8_t{SS_PENDING}; };
  EXPECT_TRUE(SynchronizeCache(rig.d, false));
  EXPECT_TRUE(Blank(rig.d, true));
  EXPECT_TRUE(ModeSelect10(rig.d, page, sizeof page));
  EXPECT_FALSE(TestUnitReady(rig.d));
  EXPECT_FALSE(CloseTrackOrSession(rig.d, true, false, 1));
}

TEST(MmcCommands, ReplyRecords) {
  FakeRig rig("records");
  rig.drive.m.tracks[3] = {100, 200, 300, 400, 0x50};
  ASSERT_TRUE(ReadTrackInformation(rig.d, 3));
  EXPECT_EQ(rig.d.TrackInformation.TrackNumber, 3);
  EXPECT_EQ(rig.d.TrackInformation.TrackStartAddress, 100u);
  EXPECT_EQ(rig.d.TrackInformation.NextWritableAddress, 200u);
  EXPECT_EQ(rig.d.TrackInformation.FreeBlocks, 300u);
  EXPECT_EQ(rig.d.TrackInformation.TrackSize, 400u);
  // A failed read leaves the record as it was.
  EXPECT_FALSE(ReadTrackInformation(rig.d, 9));
  EXPECT_EQ(rig.d.TrackInformation.TrackSize, 400u);

  rig.drive.overrides[op::READ_BUFFER_CAPACITY] = [](const Sent&) {
    Bytes r(12, 0);
    Be32(r, 4, 0x131800);
    Be32(r, 8, 0x100000);
    return Reply::Data(r);
  };
  ASSERT_TRUE(ReadBufferCapacity(rig.d));
  EXPECT_EQ(rig.d.DeviceBufferSize, 0x131800u);
  EXPECT_EQ(rig.d.DeviceBufferPosition, 0x100000u);

  rig.drive.m.sessions = 3;
  rig.drive.m.lastTrack = 4;
  EXPECT_EQ(GetLastTrackNumber(rig.d), 4);
  rig.drive.m.discInfoFails = true;
  EXPECT_EQ(GetLastTrackNumber(rig.d), 0);
}

TEST(MmcCommands, StreamingDescriptorAndTimestamp) {
  FakeRig rig("stream");
  ASSERT_TRUE(SetStreamingPerformance(rig.d, 0x00112233, 0x2000, 1000, 0x3000, 1000));
  const Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0, 0, 0x20, 0,
                          0, 0, 0x03, 0xE8, 0, 0, 0x30, 0, 0, 0, 0x03, 0xE8};
  EXPECT_EQ(rig.drive.log.back().out, expected);

  const auto when = std::chrono::system_clock::from_time_t(1700000000);
  rig.d.Setup.Clock = [when] { return when; };
  ASSERT_TRUE(SendTimestamp(rig.d));
  const Bytes& out = rig.drive.log.back().out;
  ASSERT_EQ(out.size(), 22u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0x00, 0x14, 0, 0, 0, 0, 0, 0}));
  char stamp[14];
  FormatTimestamp(1700000000, stamp);
  EXPECT_EQ(std::string(out.begin() + 8, out.end()), std::string(stamp, 14));
  for (char ch : std::string(stamp, 14)) EXPECT_TRUE(ch >= '0' && ch <= '9');
}

// ---- write parameters ----

struct PageCase {
  TMedium medium;
  bool test, burnProof, multi;
  uint8_t writeType, trackMode, linkSize;
  uint32_t packetSize;
};

TEST(WriteParameters, PageBytesPerMedium) {
  const PageCase cases[] = {
      // CD and everything without a rule of its own: track at once, mode 1.
      {mtCDR, false, true, false, 0x41, 0x04, 0, 0},
      {mtCDR, false, true, true, 0x41, 0xC4, 0, 0},
      {mtCDRW, true, false, false, 0x51, 0xC4, 0, 0},  // test write keeps the template's 11b
      {mtBDRE, false, true, false, 0x41, 0x04, 0, 0},
      {mtUNKNOWN, false, false, true, 0x41, 0xC4, 0, 0},
      {mtDDCDR, false, true, true, 0x42, 0xC5, 0, 0},
      {mtDDCDRW, false, true, false, 0x42, 0x05, 0, 0},
      // DVD-R: incremental, fixed packets of 16, always multi-session.
      {mtDVDR, false, true, false, 0x60, 0xE5, 16, 16},
      {mtDVDR, true, true, false, 0x70, 0xE5, 16, 16},
      {mtDVDRW, false, true, true, 0x40, 0xC5, 0, 0},
      {mtDVDRWRO, false, true, false, 0x60, 0xC5, 16, 16},
      {mtDVDRWSR, false, true, true, 0x60, 0xC5, 16, 16},
      {mtDVDPLUSRW, false, true, true, 0x62, 0xC4, 16, 0},
      {mtDVDPLUSR, false, true, true, 0x62, 0xE4, 16, 16},
      {mtDVDPLUSR, false, true, false, 0x62, 0x04, 0, 0},
      {mtDVDPLUSRDL, false, true, true, 0x62, 0xC4, 0, 0},
      {mtDVDPLUSRDL, true, true, false, 0x72, 0x04, 0, 0},
  };
  for (const PageCase& c : cases) {
    FakeRig rig("wp");
    ASSERT_TRUE(SetWriteParameters(rig.d, c.test, c.burnProof, c.medium, c.multi))
        << MediumName(c.medium);
    const auto selects = rig.drive.WithOpcode(op::MODE_SELECT_10);
    ASSERT_EQ(selects.size(), 1u);
    const Bytes& out = selects[0].out;
    ASSERT_EQ(out.size(), 8u + 0x32 + 2);
    EXPECT_EQ(selects[0].cdb[8], 8 + 0x32 + 2);
    const std::string what = std::string(MediumName(c.medium)) + (c.test ? " test" : "") +
                             (c.multi ? " multi" : "");
    EXPECT_EQ(out[0], 0) << what;  // mode data length zeroed
    EXPECT_EQ(out[1], 0) << what;
    const uint8_t* p = &out[8];
    EXPECT_EQ(p[0], 0x05) << what;
    EXPECT_EQ(p[1], 0x32) << what;
    EXPECT_EQ(p[2], c.writeType) << what;
    EXPECT_EQ(p[3], c.trackMode) << what;
    EXPECT_EQ(p[4], 0x08) << what;
    EXPECT_EQ(p[5], c.linkSize) << what;
    EXPECT_EQ(p[6], 0) << what;
    EXPECT_EQ(p[8], 0) << what;
    EXPECT_EQ(torvik::Be32(&p[10]), c.packetSize) << what;
    EXPECT_EQ(torvik::Be16(&p[14]), 150) << what;
    EXPECT_EQ(p[0x32], 0xAB) << what;  // the page's last two bytes are the drive's
    EXPECT_EQ(p[0x33], 0xCD) << what;
  }
}

TEST(WriteParameters, BlockDescriptorMovesThePage) {
  FakeRig rig("wpbd");
  rig.drive.m.blockDescriptorLength = 8;
  rig.drive.m.pages[0x05][0] = 0x85;  // parameters-savable bit set by the drive
  ASSERT_TRUE(SetWriteParameters(rig.d, false, true, mtCDR, false));
  const auto selects = rig.drive.WithOpcode(op::MODE_SELECT_10);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].out.size(), 0x32u + 18);
  EXPECT_EQ(selects[0].out[16], 0x05);
  EXPECT_EQ(selects[0].out[18], 0x41);
}

TEST(WriteParameters, RefusedWhenThePageIsMissingOrForeign) {
  {
    FakeRig rig("wpmissing");
    rig.drive.m.pages.erase(0x05);
    EXPECT_FALSE(SetWriteParameters(rig.d, false, true, mtCDR, false));
    EXPECT_TRUE(rig.drive.WithOpcode(op::MODE_SELECT_10).empty());
  }
  {
    FakeRig rig("wpforeign");
    rig.drive.m.pages[0x05][0] = 0x2A;  // a drive answering with another page
    EXPECT_FALSE(SetWriteParameters(rig.d, false, true, mtCDR, false));
    EXPECT_TRUE(rig.drive.WithOpcode(op::MODE_SELECT_10).empty());
  }
  {
    // A block descriptor length that points past the reply.
    FakeRig rig("wpbdlen");
    rig.drive.overrides[op::MODE_SENSE_10] = [](const Sent&) {
      Bytes r(16, 0);
      Be16(r, 6, 0xFFF0);
      return Reply::Data(r);
    };
    EXPECT_FALSE(SetWriteParameters(rig.d, false, true, mtCDR, false));
  }
}

TEST(WriteParameters, OversizedPageLengthIsBounded) {
  FakeRig rig("wplong");
  auto& page = rig.drive.m.pages[0x05];
  page.resize(0xFF + 2, 0);
  page[1] = 0xFF;
  ASSERT_TRUE(SetWriteParameters(rig.d, false, true, mtCDR, false));
  const auto selects = rig.drive.WithOpcode(op::MODE_SELECT_10);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].out.size(), 8u + 70 + 2);
  EXPECT_EQ(selects[0].out[9], 70);
}

// ---- throughput ----

class Throughput : public ::testing::Test {
 protected:
  FakeRig rig{"speed"};
  uint32_t ticks = 1000;
  int64_t counter = 0;
  std::vector<uint8_t> buf = std::vector<uint8_t>(65536);

  void SetUp() override {
    rig.d.Setup.TickCount = [this] { return ticks; };
    rig.d.Setup.PerfCounter = [this] { return counter; };
    rig.d.Setup.PerfFrequency = 1000;  // one tick per millisecond
    ResetSpeedSamples(rig.d);
    // Each command takes 100 ms.
    rig.d.Setup.Tap = [this](TSRB_ExecSCSICmd& srb, const TSendFunction&) {
      ticks += 100;
      counter += 100;
      return rig.drive.Answer(srb);
    };
  }
};

TEST_F(Throughput, AveragesAndSeedFromTheLastCapabilityPage) {
  rig.d.ModePage2A.CurWriteSpeed = 5540;
  EXPECT_EQ(BMWriteSpeed(rig.d), 0);  // nothing measured yet
  ASSERT_TRUE(Write10(rig.d, 0, 32, 65536, buf.data()));
  // Seeding did not send a capability detection: one command only.
  EXPECT_EQ(rig.drive.log.size(), 1u);
  EXPECT_EQ(AverageWriteSpeed(rig.d), 640);  // 64 KiB in 0.1 s
  ASSERT_TRUE(Read10(rig.d, 0, 16, buf.data()));
  EXPECT_EQ(AverageReadSpeed(rig.d), 320);
  EXPECT_EQ(rig.d.bmWCounter, 1);
  EXPECT_EQ(rig.d.bmRCounter, 1);
  // Selecting a drive starts the averages over.
  SelectDevice(rig.d, 0);
  EXPECT_EQ(rig.d.bmWTotal, 0);
  EXPECT_EQ(rig.d.bmRSize, 0);
}

TEST_F(Throughput, MeasuredEvenWhenTheCommandFails) {
  rig.drive.overrides[op::WRITE_10] = [](const Sent&) { return Reply::Fail(3, 0x0C, 0); };
  EXPECT_FALSE(Write10(rig.d, 0, 32, 65536, buf.data()));
  EXPECT_EQ(rig.d.bmWCounter, 1);
  EXPECT_EQ(InstantSpeed(rig.d), 655360u);
}

TEST_F(Throughput, RecentSpeedReturnsThePreviousComputation) {
  ASSERT_TRUE(Write10(rig.d, 0, 32, 65536, buf.data()));
  EXPECT_EQ(InstantSpeed(rig.d), 655360u);  // bytes per second
  EXPECT_EQ(BMWriteSpeed(rig.d), 0);         // previous value
  EXPECT_EQ(BMWriteSpeed(rig.d), 640);       // what the first call computed
  ASSERT_TRUE(Write10(rig.d, 32, 16, 32768, buf.data()));
  EXPECT_EQ(BMWriteSpeed(rig.d), 640);
  EXPECT_EQ(BMWriteSpeed(rig.d), 480);  // 96 KiB in 0.2 s
  // Reads and writes share the ring.
  EXPECT_EQ(BMReadSpeed(rig.d), 0);
  EXPECT_EQ(BMReadSpeed(rig.d), 480);
}

TEST_F(Throughput, RingKeepsTheLastSixtyFourSamples) {
  for (int i = 0; i < 64; ++i) AddSpeedSample(rig.d, 1000, 1000);  // 1000 B/s
  EXPECT_EQ(InstantSpeed(rig.d), 1000u);
  for (int i = 0; i < 64; ++i) AddSpeedSample(rig.d, 3000, 1000);
  EXPECT_EQ(InstantSpeed(rig.d), 3000u);
  EXPECT_EQ(rig.d.qIndex, 64);
  rig.d.qIndex = -5;  // a corrupted index starts the ring over
  AddSpeedSample(rig.d, 1, 1);
  EXPECT_EQ(rig.d.qIndex, 1);
  ResetSpeedSamples(rig.d);
  EXPECT_EQ(InstantSpeed(rig.d), 0u);
  AddSpeedSample(rig.d, 0, 10);  // time without bytes
  EXPECT_EQ(InstantSpeed(rig.d), 0u);
}

// The progress display reads the throughput while the write thread measures it.
TEST(ThroughputThreads, ReadableWhileAWorkerWrites) {
  FakeRig rig("speedthreads");
  ResetSpeedSamples(rig.d);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<uint8_t> buf(65536);
    for (uint32_t i = 0; i < 200; ++i) {
      Write10(rig.d, i * 32, 32, 65536, buf.data());
      ReadBufferCapacity(rig.d);
    }
    done = true;
  });
  uint64_t polls = 0;
  while (!done) {
    BMWriteSpeed(rig.d);
    (void)AverageWriteSpeed(rig.d);
    (void)rig.d.DeviceBufferSize.load();
    ++polls;
  }
  writer.join();
  EXPECT_GT(polls, 0u);
  EXPECT_EQ(rig.d.bmWCounter, 200);
}

}  // namespace
}  // namespace torvik::test
