// Per-medium behaviour of the virtual drive: what a blank disc of each profile reports, and how
// writing, closing, blanking and formatting move it through its states.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "vdrive_test_util.h"

namespace torvik::vdrive::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// The table of media.

struct MediumCase {
  const char* profile;
  uint16_t code;
  bool erasable;
  uint8_t blankStatus;       // disc status of a new disc
  uint32_t trackSize;        // size of track 1 on a new disc
  bool sequential;
  uint16_t writeFeature;     // the medium's write feature, current while it is loaded
};

const MediumCase kMedia[] = {
    {"cd-r", 0x0009, false, 0, 359849, true, 0x002D},
    {"cd-rw", 0x000A, true, 0, 359849, true, 0x002D},
    {"dvd-r", 0x0011, false, 0, 2295104, true, 0x002F},
    {"dvd-ram", 0x0012, true, 2, 2236704, false, 0x0024},
    {"dvd-rw-ro", 0x0013, true, 2, 2295104, false, 0x0026},
    {"dvd-rw-seq", 0x0014, true, 0, 2295104, true, 0x002F},
    {"dvd+rw", 0x001A, true, 0, 2295104, false, 0x002A},
    {"dvd+r", 0x001B, false, 0, 2295104, true, 0x002B},
    {"dvd+r-dl", 0x002B, false, 0, 4173824, true, 0x003B},
    {"bd-r", 0x0041, false, 0, 12219392, true, 0x0041},
    {"bd-re", 0x0043, true, 2, 11826176, false, 0x0041},
};

class BlankMedium : public ::testing::TestWithParam<MediumCase> {};

TEST_P(BlankMedium, RepliesOfANewDisc) {
  const MediumCase& c = GetParam();
  Driver d = Make(ScratchDir() + "/disc", c.profile);

  Answer cfg = d.Config(0, 0);
  ASSERT_TRUE(cfg.Good());
  EXPECT_EQ(Be16(cfg.data, 6), c.code);
  // Profile list: our profile is listed and flagged current.
  ASSERT_EQ(Be16(cfg.data, 8), 0x0000);
  bool listed = false;
  for (size_t i = 12; i < 12u + cfg.data[11]; i += 4)
    if (Be16(cfg.data, i) == c.code) listed = (cfg.data[i + 2] & 1) != 0;
  EXPECT_TRUE(listed);

  Answer feature = d.Config(2, c.writeFeature);
  ASSERT_TRUE(feature.Good());
  ASSERT_GE(feature.data.size(), 12u);
  EXPECT_EQ(Be16(feature.data, 8), c.writeFeature);
  EXPECT_EQ(feature.data[10] & 1, 1) << "write feature not current";

  Answer di = d.DiscInfo();
  ASSERT_TRUE(di.Good());
  ASSERT_EQ(di.data.size(), 34u);
  EXPECT_EQ(Be16(di.data, 0), 32u);
  EXPECT_EQ((di.data[2] >> 4) & 1, c.erasable ? 1 : 0);
  EXPECT_EQ(di.data[2] & 3, c.blankStatus);
  EXPECT_EQ(di.data[4], 1);  // a blank disc counts its empty session
  EXPECT_EQ(di.data[5], 1);
  EXPECT_EQ(di.data[6], 1);

  Answer ti = d.TrackInfo(c.sequential ? 0xFF : 1);
  ASSERT_TRUE(ti.Good());
  ASSERT_EQ(ti.data.size(), 48u);
  EXPECT_EQ(Be16(ti.data, 0), 46u);
  EXPECT_EQ(ti.data[2], 1);
  EXPECT_EQ(Be32(ti.data, 24), c.trackSize);
  if (c.sequential) {
    EXPECT_EQ(ti.data[6] & 0x40, 0x40) << "invisible track must be blank";
    EXPECT_EQ(ti.data[7] & 1, 1);
    EXPECT_EQ(Be32(ti.data, 12), 0u);
    EXPECT_EQ(Be32(ti.data, 16), c.trackSize);
    EXPECT_EQ(Be32(d.Capacity().data, 0), 0u);
  } else {
    EXPECT_EQ(ti.data[6] & 0x40, c.blankStatus == 0 ? 0x40 : 0);
  }
  // The file pair is created by the first state change, not by opening.
  EXPECT_FALSE(std::filesystem::exists(d.drive->Path()) &&
               std::filesystem::file_size(d.drive->Path()) != 0);
}

INSTANTIATE_TEST_SUITE_P(Media, BlankMedium, ::testing::ValuesIn(kMedia),
                         [](const auto& p) { return TestName(p.param.profile); });

// ---------------------------------------------------------------------------------------------
// Sequential media: the close sequences the write strategies use, with multisession on and off.

struct Step {
  uint8_t function;
  uint8_t number;
  const char* expect;  // sense text
};

struct SessionCase {
  const char* profile;
  int writeType;              // page 05h write type to select, -1 to leave the page alone
  uint32_t reserve;           // RESERVE TRACK before writing, 0 for none
  uint16_t blocks;            // written from the NWA in 32-block packets
  std::vector<Step> closeAppendable;
  std::vector<Step> closeFinal;   // sent with multi-session 00b
  uint32_t nextNwa;           // NWA of the second session
  uint32_t firstTrackSize;
};

const SessionCase kSessions[] = {
    {"cd-r", 1, 0, 1000, {{2, 0, "good"}}, {{2, 0, "good"}}, 1002 + 11400, 1002},
    {"cd-rw", 1, 0, 1000, {{1, 0xFF, "good"}, {2, 0, "good"}}, {{2, 0, "good"}}, 12402, 1002},
    {"dvd-r", 0, 1024, 1024, {{1, 1, "good"}, {1, 2, "good"}, {2, 3, "good"}},
     {{1, 1, "good"}, {1, 2, "good"}, {2, 3, "good"}}, 1024 + 16384, 1024},
    {"dvd-rw-seq", 0, 0, 1000, {{1, 1, "good"}, {2, 0, "good"}}, {{1, 1, "good"}, {2, 0, "good"}},
     1008 + 16384, 1008},
    {"dvd+r", -1, 0, 1024, {{1, 1, "good"}, {2, 0xFF, "good"}}, {{1, 1, "good"}, {6, 0, "good"}},
     1024 + 4096, 1024},
    {"dvd+r-dl", -1, 0, 1024, {{1, 1, "good"}, {2, 0, "good"}}, {{1, 1, "good"}, {6, 0, "good"}},
     1024 + 4096, 1024},
    {"bd-r", -1, 0, 1024, {{1, 0, "05/24/00"}, {2, 0, "good"}}, {{1, 0, "05/24/00"}, {6, 0, "good"}},
     1024 + 4096, 1024},
};

class Sessions : public ::testing::TestWithParam<SessionCase> {
 protected:
  void Burn(Driver& d, const SessionCase& c, uint8_t multiSession, uint32_t at) {
    const uint8_t type = c.writeType >= 0 ? uint8_t(c.writeType) : 1;
    ASSERT_TRUE(d.WriteParameters(type, multiSession).Good());
    if (c.reserve) {
      ASSERT_TRUE(d.Reserve(c.reserve).Good());
    }
    for (uint32_t done = 0; done < c.blocks;) {
      const uint16_t n = uint16_t(std::min<uint32_t>(32, c.blocks - done));
      Answer w = d.Write(at + done, n);
      ASSERT_TRUE(w.Good()) << "write at " << at + done << ": " << w.SenseText();
      done += n;
    }
    ASSERT_TRUE(d.Sync().Good());
  }
};

TEST_P(Sessions, CloseWithMultisessionLeavesTheDiscAppendable) {
  const SessionCase& c = GetParam();
  Driver d = Make(ScratchDir() + "/disc", c.profile);
  Burn(d, c, 3, 0);
  // Before the session is closed the disc is appendable with an incomplete session.
  Answer before = d.DiscInfo();
  EXPECT_EQ(before.data[2] & 0x0F, 0x05);
  for (const Step& s : c.closeAppendable)
    EXPECT_EQ(d.Close(s.function, s.number).SenseText(), s.expect)
        << "close " << int(s.function) << "/" << int(s.number);

  Answer di = d.DiscInfo();
  EXPECT_EQ(di.data[2] & 0x0F, 0x01) << "appendable, last session empty";
  EXPECT_EQ(di.data[4], 2);
  EXPECT_EQ(di.data[5], 2);
  EXPECT_EQ(di.data[6], 2);

  Answer closed = d.TrackInfo(1);
  EXPECT_EQ(Be32(closed.data, 24), c.firstTrackSize);
  EXPECT_EQ(closed.data[6] & 0xC0, 0) << "complete track";
  EXPECT_EQ(closed.data[7] & 1, 0);

  Answer inv = d.TrackInfo(0xFF);
  EXPECT_EQ(inv.data[2], 2);
  EXPECT_EQ(inv.data[3], 2);
  EXPECT_EQ(inv.data[6] & 0x40, 0x40);
  EXPECT_EQ(Be32(inv.data, 12), c.nextNwa);
  const uint32_t capacity = FindProfile(c.profile)->capacity;
  EXPECT_EQ(Be32(inv.data, 8), c.nextNwa);
  EXPECT_EQ(Be32(inv.data, 16), capacity - c.nextNwa) << "free blocks";
  EXPECT_EQ(Be32(inv.data, 24), capacity - c.nextNwa) << "track size";
  EXPECT_NE(Be32(di.data, 20), 0xFFFFFFFFu) << "an appendable disc has a last possible lead-out";

  // Session information of the TOC points at the complete session.
  Answer toc1 = d.Toc(1);
  ASSERT_TRUE(toc1.Good());
  EXPECT_EQ(toc1.data[3], 1);
  EXPECT_EQ(Be32(toc1.data, 8), 0u);

  // Writing off the NWA is refused; at it, the second session starts.
  EXPECT_EQ(d.Write(c.nextNwa + 32, 32).SenseText(), "05/21/02");
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/21/02");
  Burn(d, c, 3, c.nextNwa);
  for (const Step& s : c.closeAppendable) d.Close(s.function, uint8_t(s.number == 0 || s.number == 0xFF ? s.number : s.number + 1));
  Answer di2 = d.DiscInfo();
  EXPECT_EQ(di2.data[4], 3);
  Answer toc = d.Toc(1);
  EXPECT_EQ(toc.data[3], 2);
  EXPECT_EQ(Be32(toc.data, 8), c.nextNwa);
}

TEST_P(Sessions, CloseWithoutMultisessionFinalizes) {
  const SessionCase& c = GetParam();
  Driver d = Make(ScratchDir() + "/disc", c.profile);
  Burn(d, c, 0, 0);
  for (const Step& s : c.closeFinal)
    EXPECT_EQ(d.Close(s.function, s.number).SenseText(), s.expect);
  Answer di = d.DiscInfo();
  EXPECT_EQ(di.data[2] & 0x0F, 0x0E) << "complete disc, complete session";
  EXPECT_EQ(di.data[4], 1);
  EXPECT_EQ(Be32(di.data, 16), 0xFFFFFFFFu);
  Answer ti = d.TrackInfo(0xFF);
  ASSERT_TRUE(ti.Good());
  EXPECT_EQ(ti.data[7] & 1, 0) << "no next writable address on a finalized disc";
  EXPECT_EQ(d.Write(Be32(ti.data, 8) + Be32(ti.data, 24), 32).SenseText(), "05/21/02");
  // The disc is an image: session one starts at sector 0 and the file holds exactly the data.
  EXPECT_EQ(std::filesystem::file_size(d.drive->Path()), uint64_t(c.blocks) * 2048);
  Answer back = d.Read(31, 1);
  ASSERT_TRUE(back.Good());
  EXPECT_EQ(back.data[0], 31);
  EXPECT_EQ(back.data[1], 0x5A);
}

INSTANTIATE_TEST_SUITE_P(Media, Sessions, ::testing::ValuesIn(kSessions), [](const auto& p) { return TestName(p.param.profile); });

// ---------------------------------------------------------------------------------------------
// Rules of the sequential model that the strategies must respect.

TEST(SequentialRules, CdSessionCloseWithOpenTrackIsRefused) {
  Driver d = Make(ScratchDir() + "/disc", "cd-r");
  ASSERT_TRUE(d.WriteParameters(0, 3).Good());  // packet writing keeps the track open
  ASSERT_TRUE(d.Write(0, 32).Good());
  ASSERT_TRUE(d.Sync().Good());
  EXPECT_EQ(d.Close(2, 0).SenseText(), "05/72/03");
  EXPECT_TRUE(d.Close(1, 1).Good());
  EXPECT_TRUE(d.Close(2, 0).Good());
  EXPECT_EQ(d.TrackInfo(0xFF).data[2], 2);
}

TEST(SequentialRules, CdSaoWithoutCueSheetAndDvdTaoAreRefused) {
  Driver cd = Make(ScratchDir() + "/cd", "cd-r");
  ASSERT_TRUE(cd.WriteParameters(2, 0).Good());
  EXPECT_EQ(cd.Write(0, 32).SenseText(), "05/2C/00");
  Driver dvd = Make(ScratchDir() + "/dvd", "dvd-r");
  ASSERT_TRUE(dvd.WriteParameters(1, 0).Good());
  EXPECT_EQ(dvd.Write(0, 32).SenseText(), "05/64/00");
}

TEST(SequentialRules, DvdDiscAtOnceNeedsAReservationAndEndsTheDisc) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-r");
  ASSERT_TRUE(d.WriteParameters(2, 0).Good());
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/2C/00");
  ASSERT_TRUE(d.Reserve(60).Good());  // rounded up to 64
  Answer reserved = d.TrackInfo(1);
  EXPECT_EQ(reserved.data[6] & 0xC0, 0xC0) << "empty reserved track";
  EXPECT_EQ(Be32(reserved.data, 24), 64u);
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_EQ(d.Write(32, 64).SenseText(), "05/63/00") << "past the reservation";
  ASSERT_TRUE(d.Write(32, 32).Good());
  ASSERT_TRUE(d.Sync().Good());
  EXPECT_EQ(d.DiscInfo().data[2] & 3, 2);
}

TEST(SequentialRules, ReservationsOnlyOnABlankInvisibleTrack) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_EQ(d.Reserve(64).SenseText(), "05/2C/00");
  EXPECT_EQ(d.Reserve(0).SenseText(), "05/24/00");
}

TEST(SequentialRules, EmptySessionCloseIsANoOp) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  EXPECT_TRUE(d.Close(1, 1).Good());
  EXPECT_TRUE(d.Close(2, 0).Good());
  EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0);
}

TEST(SequentialRules, CdMinimalBlankOfAFinalizedRewritable) {
  Driver d = Make(ScratchDir() + "/disc", "cd-rw");
  ASSERT_TRUE(d.Write(0, 300).Good());
  ASSERT_TRUE(d.Sync().Good());
  ASSERT_TRUE(d.Close(2, 0).Good());  // default page: finalize
  EXPECT_EQ(d.DiscInfo().data[2] & 3, 2);
  ASSERT_TRUE(d.Blank(1, true).Good());
  // Three polls of "operation in progress", with progress in the sense bytes, then blank.
  for (int i = 0; i < 3; ++i) {
    Answer a = d.DiscInfo();
    EXPECT_EQ(a.SenseText(), "02/04/07");
    EXPECT_EQ(a.r.Sense[15], 0x80);
  }
  Answer di = d.DiscInfo();
  ASSERT_TRUE(di.Good());
  EXPECT_EQ(di.data[2], 0x10) << "erasable, blank";
  EXPECT_EQ(std::filesystem::file_size(d.drive->Path()), 0u);
  EXPECT_EQ(d.Read(0, 1).SenseText(), "05/21/00");
}

TEST(SequentialRules, BlankRefusedOnWriteOnceMedia) {
  Driver d = Make(ScratchDir() + "/disc", "cd-r");
  EXPECT_EQ(d.Blank(0, false).SenseText(), "05/30/05");
}

TEST(SequentialRules, ClosingRoomlessSessionFinalizes) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r", 6000);
  ASSERT_TRUE(d.Write(0, 1024).Good());
  ASSERT_TRUE(d.Close(1, 1).Good());
  ASSERT_TRUE(d.Close(2, 0).Good());  // 1024 + 4096 leaves fewer than 65 ECC blocks
  EXPECT_EQ(d.DiscInfo().data[2] & 3, 2);
}

TEST(SequentialRules, PlusRAndBdRAreFinalizedOnlyByTheCloseFunction) {
  struct Case {
    const char* profile;
    uint8_t finalize;  // the close function that ends the disc
  };
  for (const Case& c : {Case{"dvd+r", 5}, Case{"dvd+r", 6}, Case{"dvd+r-dl", 6}, Case{"bd-r", 6}}) {
    SCOPED_TRACE(std::string(c.profile) + " " + std::to_string(c.finalize));
    Driver d = Make(ScratchDir() + "/disc", c.profile);
    // Multi-session 00b would finalize a CD or DVD-R; these media have no write parameters.
    ASSERT_TRUE(d.WriteParameters(1, 0).Good());
    ASSERT_TRUE(d.Write(0, 1024).Good());
    ASSERT_TRUE(d.Close(1, 1).Good());
    ASSERT_TRUE(d.Close(2, 0).Good());
    EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0x01) << "appendable after a session close";
    const uint32_t nwa = Be32(d.TrackInfo(0xFF).data, 12);
    ASSERT_TRUE(d.Write(nwa, 32).Good());
    ASSERT_TRUE(d.Close(c.finalize, 0).Good());
    EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0x0E) << "finalized, last session complete";
    EXPECT_EQ(d.DiscInfo().data[4], 2);
  }
}

TEST(SequentialRules, WritesStopAtTheEndOfTheDisc) {
  Driver d = Make(ScratchDir() + "/disc", "cd-r", 400);
  ASSERT_TRUE(d.Write(0, 384).Good());
  EXPECT_EQ(d.Write(384, 32).SenseText(), "05/63/00");
  ASSERT_TRUE(d.Write(384, 16).Good());
  EXPECT_EQ(Be32(d.TrackInfo(0xFF).data, 16), 0u);
}

// ---------------------------------------------------------------------------------------------
// DVD-RW: quick format into restricted overwrite, blanking back to sequential.

Bytes FormatList(uint8_t flags, uint32_t blocks, uint8_t type, uint32_t param) {
  return {0, flags, 0, 8, uint8_t(blocks >> 24), uint8_t(blocks >> 16), uint8_t(blocks >> 8),
          uint8_t(blocks), uint8_t(type << 2), uint8_t(param >> 16), uint8_t(param >> 8),
          uint8_t(param)};
}

TEST(DvdRw, QuickFormatReportsNwa1000AndGrowsSequentially) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-rw-seq");
  ASSERT_TRUE(d.Format(FormatList(0xA2, 1000, 0x15, 16)).Good());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(d.Tur().SenseText(), "02/04/04");
  ASSERT_TRUE(d.Tur().Good());
  EXPECT_EQ(Be16(d.Config(0, 0).data, 6), 0x0013);
  Answer ti = d.TrackInfo(1);
  EXPECT_EQ(ti.data[6] & 0x30, 0x30) << "restricted overwrite track";
  EXPECT_EQ(ti.data[7] & 1, 1);
  EXPECT_EQ(Be32(ti.data, 12), 1000u);
  EXPECT_EQ(Be32(ti.data, 24), 1000u);
  EXPECT_EQ(d.FormatCapacities().data[8] & 3, 3) << "intermediate: capacity unknown";
  EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0x05);

  EXPECT_EQ(d.Write(8, 32).SenseText(), "05/21/02") << "not ECC aligned";
  for (uint32_t lba = 0; lba < 1024; lba += 32) ASSERT_TRUE(d.Write(lba, 32).Good()) << lba;
  EXPECT_EQ(d.Write(2048, 32).SenseText(), "05/21/02") << "beyond the end, not sequential";
  ASSERT_TRUE(d.Sync().Good());
  EXPECT_TRUE(d.Close(1, 1).Good());
  EXPECT_TRUE(d.Close(2, 0, true).Good());
  Answer after = d.TrackInfo(1);
  EXPECT_EQ(after.data[7] & 1, 0);
  EXPECT_EQ(Be32(after.data, 24), 1024u);
  EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0x0E);
  // Now partially formatted: the quick grow the writer sends opens the area behind the data.
  Answer caps = d.FormatCapacities();
  EXPECT_EQ(caps.data[8] & 3, 2);
  ASSERT_TRUE(d.Format(FormatList(0x82, 0, 0x13, 16)).Good());
  for (int i = 0; i < 3; ++i) d.DiscInfo();
  EXPECT_EQ(Be32(d.TrackInfo(1).data, 12), 1024u);
  EXPECT_TRUE(d.Write(1024, 32).Good());
}

TEST(DvdRw, FullFormatThenGrowIsANoOpAndFormatCapacitiesOfferFullSize) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-rw-ro");
  Answer caps = d.FormatCapacities();
  ASSERT_TRUE(caps.Good());
  // 00h descriptor with the 0800h parameter: what formatted-capacity queries look for.
  bool found = false;
  for (size_t at = 12; at + 8 <= caps.data.size(); at += 8)
    if (caps.data[at + 4] == 0 && Be32(caps.data, at + 4) == 0x800)
      found = Be32(caps.data, at) == 2295104;
  EXPECT_TRUE(found);
  ASSERT_TRUE(d.Format(FormatList(0x82, 0, 0x13, 16)).Good());
  for (int i = 0; i < 3; ++i) d.Tur();
  Answer ti = d.TrackInfo(1);
  EXPECT_EQ(ti.data[7] & 1, 0);
  EXPECT_EQ(Be32(ti.data, 12), 0u);
  EXPECT_TRUE(d.Write(4096, 32).Good()) << "random writes inside the formatted area";
}

TEST(DvdRw, MinimalBlankDropsIncrementalRecording) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-rw-ro");
  ASSERT_TRUE(d.Blank(1, false).Good());
  EXPECT_EQ(Be16(d.Config(0, 0).data, 6), 0x0014);
  Answer f = d.Config(2, 0x0021);
  EXPECT_EQ(f.data[10] & 1, 0);
  ASSERT_TRUE(d.WriteParameters(0, 3).Good());
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/64/00");
  ASSERT_TRUE(d.Blank(0, false).Good());
  EXPECT_EQ(d.Config(2, 0x0021).data[10] & 1, 1);
  EXPECT_TRUE(d.Write(0, 32).Good());
}

// ---------------------------------------------------------------------------------------------
// Overwritable media.

struct OverwriteCase {
  const char* profile;
  Bytes eraseFormat;     // the erase strategy's FORMAT UNIT list
  const char* formatExpect;
  uint32_t size;         // track size after it
};

const OverwriteCase kOverwrite[] = {
    {"dvd+rw", FormatList(0x82, 2295104, 0x26, 0), "good", 2295104},
    {"dvd-ram", FormatList(0x82, 2236704, 0x00, 0x800), "good", 2236704},
    // 640 blocks is no capacity a BD-RE offers for format 30h: refused as real drives do.
    {"bd-re", FormatList(0x82, 640, 0x30, 0x1000), "05/26/00", 11826176},
};

class Overwrite : public ::testing::TestWithParam<OverwriteCase> {};

TEST_P(Overwrite, RandomWritesOneTrackAndTheEraseFormat) {
  const OverwriteCase& c = GetParam();
  Driver d = Make(ScratchDir() + "/disc", c.profile);
  ASSERT_TRUE(d.Write(4096, 32).Good());
  ASSERT_TRUE(d.Write(0, 32).Good());
  ASSERT_TRUE(d.Write(64, 1).Good());
  Answer di = d.DiscInfo();
  EXPECT_EQ(di.data[4], 1);
  EXPECT_EQ(di.data[6], 1);
  Answer ti = d.TrackInfo(1);
  EXPECT_EQ(ti.data[7] & 1, 0) << "no NWA on overwritable media";
  EXPECT_EQ(Be32(ti.data, 24), c.size);
  // Unwritten sectors inside the formatted area read as zeros.
  Answer gap = d.Read(100, 2);
  ASSERT_TRUE(gap.Good());
  EXPECT_EQ(gap.data, Bytes(4096, 0));
  EXPECT_EQ(d.Read(4096, 1).data[0], uint8_t(4096 & 0xFF));
  EXPECT_EQ(d.Write(c.size - 16, 32).SenseText(), "05/21/00");

  EXPECT_EQ(d.Format(c.eraseFormat).SenseText(), c.formatExpect);
  for (int i = 0; i < 4; ++i) d.DiscInfo();
  EXPECT_EQ(Be32(d.TrackInfo(1).data, 24), c.size);
  EXPECT_EQ(Be32(d.Capacity().data, 0), c.size - 1);
}

INSTANTIATE_TEST_SUITE_P(Media, Overwrite, ::testing::ValuesIn(kOverwrite), [](const auto& p) { return TestName(p.param.profile); });

TEST(OverwriteRules, DvdPlusRwFormatsOnFirstWriteAndReportsBackgroundStatus) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+rw");
  EXPECT_EQ(d.DiscInfo().data[7] & 3, 0);
  EXPECT_EQ(d.Close(3, 0xFF).SenseText(), "05/24/00") << "011b needs a formatted disc";
  EXPECT_TRUE(d.Close(0, 0).Good()) << "stopping a format that does not run";
  EXPECT_EQ(d.Read(16, 1).SenseText(), "05/21/00");
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_EQ(d.DiscInfo().data[7] & 3, 3);
  EXPECT_EQ(Be32(d.Capacity().data, 0), 0x23053Fu);
  EXPECT_TRUE(d.Close(3, 0xFF).Good());
}

TEST(OverwriteRules, BdReFormatsOfferedCapacities) {
  Driver d = Make(ScratchDir() + "/disc", "bd-re");
  Answer caps = d.FormatCapacities();
  ASSERT_TRUE(caps.Good());
  EXPECT_EQ(caps.data[3], 6 * 8);  // current, 00h, three of 30h, 31h
  const uint32_t minSpare = Be32(caps.data, 4 + 8 * 4);
  ASSERT_TRUE(d.Format(FormatList(0x00, minSpare, 0x30, 0)).Good());
  EXPECT_EQ(Be32(d.TrackInfo(1).data, 24), minSpare);
  EXPECT_EQ(d.Format(FormatList(0x00, 0, 0x26, 0)).SenseText(), "05/26/00");
  // The engine's close after a quick erase is not a BD-RE close function.
  EXPECT_EQ(d.Close(3, 0).SenseText(), "05/24/00");
}

TEST(OverwriteRules, FormatRefusedOnMediaWithoutFormats) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  EXPECT_EQ(d.Format(FormatList(0x82, 0, 0x00, 0)).SenseText(), "05/30/06");
}

// ---------------------------------------------------------------------------------------------
// Test writes.

TEST(TestWrite, SimulatedBurnLeavesTheMediumUntouched) {
  for (const char* profile : {"cd-r", "dvd-r"}) {
    SCOPED_TRACE(profile);
    Driver d = Make(ScratchDir() + "/" + profile, profile);
    ASSERT_TRUE(d.WriteParameters(std::string(profile) == "cd-r" ? 1 : 0, 0, true).Good());
    for (uint32_t lba = 0; lba < 320; lba += 32) ASSERT_TRUE(d.Write(lba, 32).Good());
    EXPECT_EQ(d.Write(0, 32).SenseText(), "05/21/02") << "simulation tracks its own NWA";
    ASSERT_TRUE(d.Sync().Good());
    ASSERT_TRUE(d.Close(1, 1).Good());
    ASSERT_TRUE(d.Close(2, 0).Good());
    EXPECT_EQ(d.DiscInfo().data[2] & 0x0F, 0);
    EXPECT_FALSE(std::filesystem::exists(d.drive->Path()) &&
                 std::filesystem::file_size(d.drive->Path()) > 0);
    ASSERT_TRUE(d.WriteParameters(std::string(profile) == "cd-r" ? 1 : 0, 0, false).Good());
    EXPECT_TRUE(d.Write(0, 32).Good()) << "a real write starts at the untouched NWA";
  }
}

TEST(TestWrite, MediaWithoutSimulationRefuseTestWrites) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  ASSERT_TRUE(d.WriteParameters(1, 3, true).Good());
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/64/00");
  EXPECT_EQ(d.DiscInfo().data[2] & 3, 0);
}

}  // namespace
}  // namespace torvik::vdrive::testing
