// The drive as a whole: command framing and reply layouts, tray and removal, persistence in the
// file pair, and injected faults.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "emulator/VirtualState.h"
#include "vdrive_test_util.h"

namespace torvik::vdrive::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// The table of commands: one CDB on a fresh disc, the expected status and the reply bytes that
// the capability and medium detection read.

struct CommandCase {
  const char* name;
  const char* profile;
  std::vector<uint8_t> cdb;
  DataDirection direction;
  uint32_t length;
  const char* expect;
  std::function<void(const Bytes&)> check;
};

const std::vector<CommandCase>& Commands() {
  static const std::vector<CommandCase> cases = {
      {"Inquiry", "cd-r", {0x12, 0, 0, 0, 0x40, 0}, DataDirection::In, 64, "good",
       [](const Bytes& b) {
         ASSERT_EQ(b.size(), 36u);
         EXPECT_EQ(b[0], 0x05);
         EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 14), "TORVIK");
         EXPECT_EQ(std::string(b.begin() + 16, b.begin() + 30), "Virtual Burner");
       }},
      {"InquiryVpdUnsupported", "cd-r", {0x12, 1, 0x80, 0, 0x40, 0}, DataDirection::In, 64,
       "05/24/00", nullptr},
      {"UnknownOpcode", "cd-r", {0xD8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::None, 0,
       "05/20/00", nullptr},
      {"SendCueSheetUnsupported", "cd-r", {0x5D, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out,
       0, "05/20/00", nullptr},
      {"ShortCdb", "cd-r", {0x51, 0, 0, 0, 0, 0}, DataDirection::In, 64, "05/24/00", nullptr},
      {"DiscInfoOtherTypes", "cd-r", {0x51, 1, 0, 0, 0, 0, 0, 0, 64, 0}, DataDirection::In, 64,
       "05/24/00", nullptr},
      {"DiscInfoShortAllocation", "cd-r", {0x51, 0, 0, 0, 0, 0, 0, 0, 8, 0}, DataDirection::In,
       64, "good", [](const Bytes& b) { EXPECT_EQ(b.size(), 8u); }},
      {"CdDiscInfoLeadIn", "cd-r", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, DataDirection::In, 34,
       "good",
       [](const Bytes& b) {
         // ATIP lead-in 97:26:66 and last possible lead-out 79:59:74 of an 80-minute disc.
         EXPECT_EQ(Be32(b, 16), 0x00611A42u);
         EXPECT_EQ(Be32(b, 20), 0x004F3B4Au);
       }},
      {"TrackZeroInvalid", "cd-r", {0x52, 1, 0, 0, 0, 0, 0, 0, 48, 0}, DataDirection::In, 48,
       "05/24/00", nullptr},
      {"TrackByLba", "dvd-r", {0x52, 0, 0, 0, 0x10, 0, 0, 0, 48, 0}, DataDirection::In, 48,
       "good", [](const Bytes& b) { EXPECT_EQ(b[2], 1); }},
      {"TrackBeyondLast", "dvd-r", {0x52, 1, 0, 0, 0, 2, 0, 0, 48, 0}, DataDirection::In, 48,
       "05/24/00", nullptr},
      {"AtipCdRw", "cd-rw", {0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}, DataDirection::In, 30, "good",
       [](const Bytes& b) {
         ASSERT_EQ(b.size(), 28u);
         EXPECT_EQ(b[6] & 0xC0, 0xC0);
         EXPECT_EQ(b[8], 97);
         EXPECT_EQ(b[12], 79);
       }},
      {"AtipCdR", "cd-r", {0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}, DataDirection::In, 30, "good",
       [](const Bytes& b) { EXPECT_EQ(b[6] & 0xC0, 0x80); }},
      {"AtipOnDvd", "dvd-r", {0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}, DataDirection::In, 30,
       "05/24/00", nullptr},
      {"TocOfBlankDisc", "cd-r", {0x43, 0, 0, 0, 0, 0, 0, 0, 100, 0}, DataDirection::In, 100,
       "05/24/00", nullptr},
      {"ConfigCurrentOnly", "dvd+rw", {0x46, 1, 0, 0, 0, 0, 0, 0x08, 0, 0}, DataDirection::In,
       2048, "good",
       [](const Bytes& b) {
         for (size_t at = 8; at + 4 <= b.size(); at += 4 + b[at + 3])
           EXPECT_EQ(b[at + 2] & 1, 1) << "feature " << Be16(b, at);
       }},
      {"ConfigAbsentFeatureIsHeaderOnly", "cd-r", {0x46, 2, 0, 0x50, 0, 0, 0, 0, 112, 0},
       DataDirection::In, 112, "good",
       [](const Bytes& b) {
         ASSERT_EQ(b.size(), 8u);
         EXPECT_EQ(Be32(b, 0), 4u);
       }},
      {"ConfigDvdPlusRwWriteBit", "dvd+rw", {0x46, 2, 0, 0x2A, 0, 0, 0, 0, 112, 0},
       DataDirection::In, 112, "good",
       [](const Bytes& b) {
         EXPECT_EQ(Be16(b, 8), 0x2A);
         EXPECT_EQ(b[10] >> 2, 1) << "version";
         EXPECT_EQ(b[12] & 1, 1);
       }},
      {"ConfigDvdMinusRwWriteBit", "dvd-rw-seq", {0x46, 2, 0, 0x2F, 0, 0, 0, 0, 112, 0},
       DataDirection::In, 112, "good",
       [](const Bytes& b) {
         EXPECT_EQ(Be16(b, 8), 0x2F);
         EXPECT_EQ(b[12] & 0x06, 0x06) << "DVD-RW and test write";
       }},
      {"ConfigPlusRDlWriteBit", "dvd+r-dl", {0x46, 2, 0, 0x3B, 0, 0, 0, 0, 112, 0},
       DataDirection::In, 112, "good",
       [](const Bytes& b) {
         EXPECT_EQ(Be16(b, 8), 0x3B);
         EXPECT_EQ(b[12] & 1, 1);
       }},
      {"ConfigIncrementalLinkSize", "dvd-r", {0x46, 2, 0, 0x21, 0, 0, 0, 0, 112, 0},
       DataDirection::In, 112, "good",
       [](const Bytes& b) {
         EXPECT_EQ(b[10] & 1, 1);
         EXPECT_EQ(b[15], 1);
         EXPECT_EQ(b[16], 16);
       }},
      {"ConfigBadRt", "cd-r", {0x46, 3, 0, 0, 0, 0, 0, 0, 112, 0}, DataDirection::In, 112,
       "05/24/00", nullptr},
      {"ModeSensePage2AOffset8", "bd-re", {0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 128, 0},
       DataDirection::In, 128, "good",
       [](const Bytes& b) {
         EXPECT_EQ(b[8], 0x2A);
         EXPECT_EQ(Be16(b, 6), 0u);
         EXPECT_EQ(b[10] & 0x3F, 0x3F) << "CD, DVD-ROM, DVD-R and DVD-RAM read";
         EXPECT_EQ(b[11] & 0x37, 0x37) << "CD-R, CD-RW, test, DVD-R, DVD-RAM write";
         EXPECT_EQ(b[12] & 0x80, 0x80) << "buffer underrun protection";
         EXPECT_EQ(Be16(b, 8 + 18), 2u * 4495) << "BD-RE writes at 2x";
       }},
      {"ModeSenseDefaultsAreDriveMaxima", "bd-re", {0x5A, 8, 0xAA, 0, 0, 0, 0, 0, 128, 0},
       DataDirection::In, 128, "good",
       [](const Bytes& b) { EXPECT_EQ(Be16(b, 8 + 18), 12u * 4495); }},
      {"ModeSenseSavedUnsupported", "cd-r", {0x5A, 0, 0xEA, 0, 0, 0, 0, 0, 128, 0},
       DataDirection::In, 128, "05/39/00", nullptr},
      {"ModeSenseUnknownPage", "cd-r", {0x5A, 0, 0x1A, 0, 0, 0, 0, 0, 128, 0}, DataDirection::In,
       128, "05/24/00", nullptr},
      {"ModeSensePage05", "cd-r", {0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0, 0}, DataDirection::In,
       512, "good",
       [](const Bytes& b) {
         ASSERT_EQ(b.size(), 60u);
         EXPECT_EQ(b[8], 0x05);
         EXPECT_EQ(b[9], 0x32);
         EXPECT_EQ(b[10] & 0x0F, 1) << "track at once";
       }},
      {"ModeSensePage30", "cd-r", {0x5A, 0, 0x30, 0, 0, 0, 0, 0, 128, 0}, DataDirection::In, 128,
       "good", [](const Bytes& b) { EXPECT_EQ(b[8], 0x30); }},
      {"ReadBufferCapacity", "dvd-r", {0x5C, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, DataDirection::In, 32,
       "good",
       [](const Bytes& b) {
         ASSERT_EQ(b.size(), 12u);
         EXPECT_EQ(Be32(b, 4), 0x188000u);
         EXPECT_EQ(Be32(b, 8), 0x188000u) << "an empty buffer";
       }},
      {"SetCdSpeedMaximum", "cd-r", {0xBB, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0},
       DataDirection::None, 0, "good", nullptr},
      {"SetStreamingNeedsDescriptor", "dvd+r", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0},
       DataDirection::Out, 4, "05/26/00", nullptr},
      {"SendTimestampOnDvdR", "dvd-r", {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0},
       DataDirection::Out, 22, "good", nullptr},
      {"SendTimestampOnPlusR", "dvd+r", {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0},
       DataDirection::Out, 22, "05/24/00", nullptr},
      {"FormatWithoutFormatData", "dvd+rw", {0x04, 0x01, 0, 0, 0, 0}, DataDirection::Out, 12,
       "05/24/00", nullptr},
      {"BlankUnknownType", "cd-rw", {0xA1, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::None, 0, "05/24/00", nullptr},
      {"ReserveArsvUnsupported", "dvd+r", {0x53, 1, 0, 0, 0, 0, 0, 0, 64, 0},
       DataDirection::None, 0, "05/24/00", nullptr},
      {"CloseFunctionInvalidOnCd", "cd-r", {0x5B, 0, 6, 0, 0, 0, 0, 0, 0, 0}, DataDirection::None,
       0, "05/24/00", nullptr},
      {"ReadOfBlankArea", "dvd+r", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, DataDirection::In, 2048,
       "05/21/00", nullptr},
      {"ReadBufferTooSmall", "dvd-ram", {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, DataDirection::In,
       2048, "05/24/00", nullptr},
      {"WriteWithoutData", "dvd-ram", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, DataDirection::Out, 0,
       "05/24/00", nullptr},
      {"FormatCapacitiesCurrentDescriptor", "dvd+rw", {0x23, 0, 0, 0, 0, 0, 0, 0, 0x7C, 0},
       DataDirection::In, 0x7C, "good",
       [](const Bytes& b) {
         EXPECT_EQ(b[3], 16);
         EXPECT_EQ(Be32(b, 4), 2295104u);
         EXPECT_EQ(b[8], 1) << "unformatted";
         EXPECT_EQ(Be32(b, 8) & 0xFFFFFF, 2048u);
         EXPECT_EQ(b[16], 0x26 << 2);
       }},
  };
  return cases;
}

class CommandTable : public ::testing::TestWithParam<size_t> {};

TEST_P(CommandTable, ReplyOfAFreshDisc) {
  const CommandCase& c = Commands()[GetParam()];
  Driver d = Make(ScratchDir() + "/disc", c.profile);
  Bytes buffer(c.length, 0xEE);
  Answer a;
  a.r = d.drive->Execute(c.cdb.data(), c.cdb.size(), c.direction,
                         c.length ? buffer.data() : nullptr, c.length);
  EXPECT_EQ(a.SenseText(), c.expect);
  if (!a.Good()) {
    EXPECT_EQ(a.r.Sense[0], 0x70);
    EXPECT_EQ(a.r.Sense[7], 10);
    EXPECT_EQ(a.r.Transferred, 0u);
  }
  if (c.direction == DataDirection::In) {
    buffer.resize(a.r.Transferred);
    if (c.check) c.check(buffer);
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandTable,
                         ::testing::Range<size_t>(0, Commands().size()),
                         [](const auto& p) { return std::string(Commands()[p.param].name); });

// ---------------------------------------------------------------------------------------------
// Tray, removal and medium presence.

TEST(Tray, EjectLoadAndPrevent) {
  Driver d = Make(ScratchDir() + "/disc", "cd-r");
  ASSERT_TRUE(d.Prevent(true).Good());
  EXPECT_EQ(d.StartStop(0x02).SenseText(), "05/53/02");
  EXPECT_EQ(d.ModeSense(0x2A).data[8 + 6] & 0x02, 0x02) << "lock state";
  ASSERT_TRUE(d.Prevent(false).Good());
  ASSERT_TRUE(d.StartStop(0x02).Good());
  EXPECT_EQ(d.Tur().SenseText(), "02/3A/02");
  EXPECT_EQ(d.DiscInfo().SenseText(), "02/3A/02");
  EXPECT_EQ(d.RequestSense().data[12], 0x3A);
  EXPECT_EQ(Be16(d.Config(0, 0).data, 6), 0u) << "no current profile with the tray open";
  EXPECT_TRUE(d.Inquiry().Good());
  ASSERT_TRUE(d.StartStop(0x03).Good());
  EXPECT_TRUE(d.Tur().Good());
}

TEST(Tray, NoMediumInAClosedDrive) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-r");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.mediumPresent = false; }, &error)) << error;
  EXPECT_EQ(d.Tur().SenseText(), "02/3A/01");
  EXPECT_EQ(d.Write(0, 32).SenseText(), "02/3A/01");
  Answer cfg = d.Config(2, 0x2F, 112);
  ASSERT_TRUE(cfg.Good());
  EXPECT_EQ(Be16(cfg.data, 6), 0u);
  EXPECT_EQ(Be16(cfg.data, 8), 0x2F) << "the drive still lists what it can do";
  Answer caps = d.FormatCapacities();
  EXPECT_EQ(caps.data[8] & 3, 3);
}

// ---------------------------------------------------------------------------------------------
// Persistence.

TEST(Persistence, ASecondOpeningSeesTheDisc) {
  const std::string path = ScratchDir() + "/disc";
  Driver a = Make(path, "cd-r");
  ASSERT_TRUE(a.WriteParameters(1, 3).Good());
  ASSERT_TRUE(a.Write(0, 320).Good());
  ASSERT_TRUE(a.Sync().Good());
  ASSERT_TRUE(a.Close(2, 0).Good());

  std::string error;
  Driver b(VirtualDrive::Open(path, &error));
  ASSERT_TRUE(b.drive) << error;
  EXPECT_EQ(Be16(b.Config(0, 0).data, 6), 0x0009);
  EXPECT_EQ(b.DiscInfo().data, a.DiscInfo().data);
  EXPECT_EQ(b.TrackInfo(0xFF).data, a.TrackInfo(0xFF).data);
  EXPECT_EQ(b.Read(100, 1).data, a.Read(100, 1).data);
  EXPECT_EQ(b.ModeSense(0x05).data[11] >> 6, 3) << "write parameters persist too";

  // A change made through one opening reaches the other on its next command.
  ASSERT_TRUE(b.StartStop(0x02).Good());
  EXPECT_EQ(a.Tur().SenseText(), "02/3A/02");
}

TEST(Persistence, OpeningCreatesNothingAndMeansABlankDisc) {
  const std::string path = ScratchDir() + "/fresh";
  std::string error;
  Driver d(VirtualDrive::Open(path, "cd-rw", &error));
  ASSERT_TRUE(d.drive) << error;
  EXPECT_TRUE(d.Tur().Good());
  EXPECT_EQ(d.DiscInfo().data[2], 0x10);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".state"));
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_TRUE(std::filesystem::exists(path + ".state"));
  ASSERT_TRUE(d.Sync().Good());  // the write sat in the drive's cache until now
  EXPECT_EQ(std::filesystem::file_size(path), 32u * 2048);
  // No temporary files are left beside the state.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
    files += e.is_regular_file();
  EXPECT_EQ(files, 2u);
}

TEST(Persistence, StateTextRoundTripsAndRejectsDamage) {
  MediumState m = BlankMedium(*FindProfile("dvd-r"), 0, DriveConfig{});
  ASSERT_TRUE(transition::ReserveTrack(m, 100).Ok());
  bool store = false;
  ASSERT_TRUE(transition::Write(m, 0, 32, &store).Ok());
  m.faults.writeErrorLba = 77;
  m.faults.writeErrorSense = {3, 0x0C, 0x80};
  m.faults.busy = 2;
  m.faults.flushError = Sense{3, 0x0C, 0x09};
  m.faults.closeError = CloseFault{6, {5, 0x72, 0x03}};
  m.faults.reject = CommandFault{0xA1, {5, 0x24, 0x00}};
  m.config.page30 = false;
  m.config.cacheBlocks = 64;
  const std::string text = SerializeState(m);
  MediumState back;
  std::string error;
  ASSERT_TRUE(ParseState(text, *FindProfile("cd-r"), &back, &error)) << error;
  EXPECT_EQ(SerializeState(back), text);

  const struct {
    const char* edit;
    const char* message;
  } bad[] = {
      {"profile=floppy\n", "unknown profile"},
      {"track=1 complete 0 99999999 0 0\n", "does not fit"},
      {"fault_busy=many\n", "bad value"},
      {"colour=blue\n", "unknown state key"},
      {"no equals sign\n", "key=value"},
  };
  for (const auto& b : bad) {
    std::string damaged = text + b.edit;
    EXPECT_FALSE(ParseState(damaged, *FindProfile("cd-r"), &back, &error)) << b.edit;
    EXPECT_NE(error.find(b.message), std::string::npos) << error;
  }
}

TEST(Persistence, AnExistingImageWithoutStateIsNeverOverwritten) {
  const std::string path = ScratchDir() + "/somebodys.iso";
  std::ofstream(path, std::ios::binary) << std::string(3 * 2048, 'i');
  std::string error;
  Driver d(VirtualDrive::Open(path, &error));
  ASSERT_TRUE(d.drive) << error;
  EXPECT_EQ(Be16(d.Config(0, 0).data, 6), 0x0008) << "offered as a CD-ROM holding the image";
  EXPECT_EQ(d.Write(0, 1).SenseText(), "05/30/05");
  EXPECT_EQ(d.Read(2, 1).data[0], 'i');
  EXPECT_EQ(std::filesystem::file_size(path), 3u * 2048);
  EXPECT_FALSE(VirtualDrive::Create(path, "cd-r", CreateOptions{}, &error));
  EXPECT_NE(error.find("no virtual drive"), std::string::npos) << error;
  EXPECT_EQ(std::filesystem::file_size(path), 3u * 2048);
}

TEST(Persistence, DamagedStateFileFailsTheOpen) {
  const std::string path = ScratchDir() + "/disc";
  std::ofstream(path + ".state") << "profile=dvd-r\ncapacity=lots\n";
  std::string error;
  EXPECT_FALSE(VirtualDrive::Open(path, &error));
  EXPECT_NE(error.find("capacity"), std::string::npos) << error;
}

TEST(Persistence, HandEditedFaultsTakeEffect) {
  const std::string path = ScratchDir() + "/disc";
  std::ofstream(path + ".state") << "profile=cd-r\nfault_busy=1\nget_configuration=0\n";
  std::string error;
  Driver d(VirtualDrive::Open(path, &error));
  ASSERT_TRUE(d.drive) << error;
  EXPECT_EQ(d.Tur().SenseText(), "busy");
  EXPECT_EQ(d.Config(0, 0).SenseText(), "05/20/00");
}

// ---------------------------------------------------------------------------------------------
// Read-only media.

TEST(ReadOnly, PressedDiscHoldsTheImage) {
  const std::string dir = ScratchDir();
  Bytes image(5000, 0);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  std::ofstream(dir + "/image.iso", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  for (const char* profile : {"cd-rom", "dvd-rom", "bd-rom"}) {
    SCOPED_TRACE(profile);
    CreateOptions o;
    o.image = dir + "/image.iso";
    std::string error;
    Driver d(VirtualDrive::Create(dir + "/" + profile, profile, o, &error));
    ASSERT_TRUE(d.drive) << error;
    Answer di = d.DiscInfo();
    EXPECT_EQ(di.data[2] & 0x1F, 0x0E);
    EXPECT_EQ(Be32(d.Capacity().data, 0), 2u);
    Answer r = d.Read(2, 1);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(r.data[0], image[4096]);
    EXPECT_EQ(r.data[903], image[4999]);
    EXPECT_EQ(r.data[904], 0) << "the last sector's tail reads as zeros";
    EXPECT_EQ(d.Read(3, 1).SenseText(), "05/21/00");
    EXPECT_EQ(d.Write(3, 1).SenseText(), "05/30/05");
    Answer toc = d.Toc(0);
    ASSERT_TRUE(toc.Good());
    EXPECT_EQ(toc.data[3], 1);
    EXPECT_EQ(Be32(toc.data, 16), 3u) << "lead-out";
  }
  std::string error;
  EXPECT_FALSE(VirtualDrive::Create(dir + "/x", "cd-rom", CreateOptions{}, &error));
  EXPECT_NE(error.find("--image"), std::string::npos);
  CreateOptions cd;
  cd.config.drive = DriveClass::CD;
  EXPECT_FALSE(VirtualDrive::Create(dir + "/y", "bd-r", cd, &error));
}

// ---------------------------------------------------------------------------------------------
// Faults.

TEST(Faults, BusyForNCommands) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.busy = 2; }, &error));
  for (int i = 0; i < 2; ++i) {
    Answer a = d.Tur();
    EXPECT_EQ(a.r.SrbStatus, 4);
    EXPECT_EQ(a.r.ScsiStatus, 8);
  }
  EXPECT_TRUE(d.Tur().Good());
}

TEST(Faults, NotReadyForNPolls) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.notReady = 2; }, &error));
  EXPECT_TRUE(d.Inquiry().Good()) << "identification is not a medium access";
  EXPECT_EQ(d.Tur().SenseText(), "02/04/01");
  EXPECT_EQ(d.DiscInfo().SenseText(), "02/04/01");
  EXPECT_TRUE(d.Tur().Good());
}

TEST(Faults, UnitAttentionOnce) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.unitAttention = true; }, &error));
  EXPECT_TRUE(d.Inquiry().Good());
  EXPECT_EQ(d.Tur().SenseText(), "06/29/00");
  EXPECT_TRUE(d.Tur().Good());
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.unitAttention = true; }, &error));
  Answer rs = d.RequestSense();
  ASSERT_TRUE(rs.Good());
  EXPECT_EQ(rs.data[2], 6);
  EXPECT_EQ(rs.data[12], 0x29);
  EXPECT_TRUE(d.Tur().Good());
}

TEST(Faults, WriteErrorAtAnAddress) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+r");
  std::string error;
  ASSERT_TRUE(d.drive->Update(
      [](MediumState& m) {
        m.faults.writeErrorLba = 40;
        m.faults.writeErrorSense = {3, 0x0C, 0};
      },
      &error));
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_EQ(d.Write(32, 32).SenseText(), "03/0C/00");
  EXPECT_EQ(Be32(d.TrackInfo(0xFF).data, 12), 32u) << "a failed write records nothing";
}

// The drive holds written data in its cache: reads see it, a flush, a close or a full cache
// records it, and a drive that loses power first loses it.
TEST(Faults, WriteCacheFlushAndPowerLoss) {
  const std::string path = ScratchDir() + "/disc";
  DriveConfig config;
  config.cacheBlocks = 64;
  Driver d = Make(path, "dvd+r", 0, config);
  auto recorded = [&](uint32_t lba) {  // the first byte of a sector in the sector file
    char c = 0;
    std::ifstream f(path, std::ios::binary);
    f.seekg(std::streamoff(lba) * 2048);
    f.get(c);
    return uint8_t(f ? c : 0);
  };
  ASSERT_TRUE(d.Write(0, 32).Good());
  EXPECT_EQ(d.Read(5, 1).data[0], 5) << "reads are answered from the cache";
  EXPECT_EQ(recorded(5), 0) << "nothing recorded before a flush";
  ASSERT_TRUE(d.Write(32, 32).Good());
  ASSERT_TRUE(d.Write(64, 32).Good());
  EXPECT_EQ(recorded(5), 5) << "a full cache records its oldest data";
  EXPECT_EQ(recorded(70), 0);
  ASSERT_TRUE(d.Close(1, 1).Good());
  EXPECT_EQ(recorded(70), 70) << "a close flushes first";

  // A failed flush loses what was cached; a failed close leaves the disc as it was.
  std::string error;
  ASSERT_TRUE(d.drive->Update(
      [](MediumState& m) {
        m.faults.flushError = Sense{3, 0x0C, 0x09};
        m.faults.closeError = CloseFault{2, {3, 0x72, 0}};
      },
      &error))
      << error;
  const uint32_t nwa = Be32(d.TrackInfo(0xFF).data, 12);
  ASSERT_TRUE(d.Write(nwa, 32).Good());
  EXPECT_EQ(d.Sync().SenseText(), "03/0C/09");
  EXPECT_EQ(d.Read(nwa, 1).data[0], 0);
  EXPECT_TRUE(d.Sync().Good()) << "nothing left to flush";
  EXPECT_EQ(d.Close(2, 0).SenseText(), "03/72/00");
  EXPECT_EQ(d.DiscInfo().data[2] & 0x0C, 0x04) << "the session stays open";

  // Unflushed data is gone after a power loss, and when the program holding the drive ends.
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults = {}; }, &error)) << error;
  ASSERT_TRUE(d.Write(nwa + 32, 32).Good());
  d.drive->PowerOff();
  EXPECT_EQ(d.Read(nwa + 32, 1).data[0], 0);
  ASSERT_TRUE(d.Write(nwa + 64, 32).Good());
  d.drive.reset();
  EXPECT_EQ(recorded(nwa + 64), 0);
}

TEST(Faults, ReadErrorAtAnAddress) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-ram");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.readErrorLba = 17; }, &error));
  EXPECT_TRUE(d.Read(0, 16).Good());
  EXPECT_EQ(d.Read(16, 16).SenseText(), "03/11/00");
}

TEST(Faults, IncompatibleFormatUntilFormatted) {
  Driver d = Make(ScratchDir() + "/disc", "dvd+rw");
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.faults.incompatibleFormat = true; }, &error));
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/30/05");
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/30/05");
  ASSERT_TRUE(d.Format({0, 0x82, 0, 8, 0x00, 0x23, 0x05, 0x40, 0x98, 0, 0, 0}).Good());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(d.DiscInfo().SenseText(), "02/04/04");
  EXPECT_TRUE(d.Write(0, 32).Good());
}

TEST(Faults, DriveWithoutGetConfigurationStillAnswersAtip) {
  DriveConfig c;
  c.getConfiguration = false;
  Driver d = Make(ScratchDir() + "/disc", "cd-rw", 0, c);
  EXPECT_EQ(d.Config(0, 0).SenseText(), "05/20/00");
  Answer atip = d.Toc(4, 0, true);
  ASSERT_TRUE(atip.Good());
  EXPECT_EQ(atip.data[6] & 0xC0, 0xC0);
}

TEST(Faults, DriveWithoutPage30OrTestWriteOrPage05) {
  DriveConfig c;
  c.page30 = false;
  c.testWrite = false;
  Driver d = Make(ScratchDir() + "/disc", "cd-r", 0, c);
  EXPECT_EQ(d.ModeSense(0x30).SenseText(), "05/24/00");
  Answer p = d.ModeSense(0x2A);
  EXPECT_EQ(p.data[8 + 3] & 0x04, 0) << "no test write capability";
  EXPECT_EQ(d.WriteParameters(1, 0, true).SenseText(), "05/26/00");
  EXPECT_EQ(d.Config(2, 0x2D, 112).data[12] & 0x04, 0);
  std::string error;
  ASSERT_TRUE(d.drive->Update([](MediumState& m) { m.config.page05 = false; }, &error));
  EXPECT_EQ(d.ModeSense(0x05).SenseText(), "05/24/00");
}

TEST(Faults, ReaderRefusesWriteCommands) {
  DriveConfig c;
  c.writer = false;
  Driver d = Make(ScratchDir() + "/disc", "cd-r", 0, c);
  EXPECT_EQ(d.Write(0, 32).SenseText(), "05/20/00");
  EXPECT_EQ(d.ModeSense(0x2A).data[8 + 3], 0);
  EXPECT_EQ(d.Config(2, 0x2D, 112).data.size(), 8u);
}

// ---------------------------------------------------------------------------------------------
// Replies that depend on the drive's configuration.

TEST(ModePages, BlockDescriptorMovesThePageTo16) {
  DriveConfig c;
  c.blockDescriptor = true;
  Driver d = Make(ScratchDir() + "/disc", "dvd-r", 0, c);
  Answer with = d.ModeSense(0x05);
  EXPECT_EQ(Be16(with.data, 6), 8u);
  EXPECT_EQ(with.data[16], 0x05);
  Answer without = d.ModeSense(0x05, 0x08);  // DBD
  EXPECT_EQ(without.data[8], 0x05);
  // MODE SELECT accepts the page after the descriptor, as a host echoes it back.
  Bytes list = with.data;
  list[16 + 3] = uint8_t(3 << 6 | 5);
  EXPECT_EQ(d.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(list.size()), 0}, list).SenseText(),
            "05/26/00")
      << "the mode data length must be zero";
  list[0] = list[1] = 0;
  EXPECT_TRUE(d.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(list.size()), 0}, list).Good());
  EXPECT_EQ(d.ModeSense(0x05, 0x08).data[11] >> 6, 3);
}

TEST(ModePages, SpeedsFollowSetCdSpeedAndSetStreaming) {
  Driver d = Make(ScratchDir() + "/disc", "cd-r");
  Answer before = d.ModeSense(0x2A);
  EXPECT_EQ(Be16(before.data, 8 + 18), 8467u);
  EXPECT_EQ(Be16(before.data, 8 + 30), 8u) << "write speed descriptors";
  // 20x is not offered: drives round down to 16x.
  ASSERT_TRUE(d.None({0xBB, 1, 0xFF, 0xFF, 0x0D, 0xC8, 0, 0, 0, 0, 0, 0}).Good());
  EXPECT_EQ(Be16(d.ModeSense(0x2A).data, 8 + 28), 2822u);

  Driver dvd = Make(ScratchDir() + "/dvd", "dvd+r");
  Bytes perf(28, 0);
  perf[15] = 0x10;  // read 4096 kB per 1000 ms
  perf[19] = 0xE8;
  perf[18] = 0x03;
  perf[22] = 0x2B;  // write 11080 kB per 1000 ms
  perf[23] = 0x48;
  perf[26] = 0x03;
  perf[27] = 0xE8;
  ASSERT_TRUE(dvd.Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, perf).Good());
  EXPECT_EQ(Be16(dvd.ModeSense(0x2A).data, 8 + 20), 11080u);
}

TEST(LongOperations, CloseWithPollsKeepsTestUnitReadyGood) {
  DriveConfig c;
  c.closePolls = 2;
  Driver d = Make(ScratchDir() + "/disc", "dvd-rw-seq", 0, c);
  ASSERT_TRUE(d.Write(0, 32).Good());
  ASSERT_TRUE(d.Close(1, 1).Good());
  ASSERT_TRUE(d.Close(2, 0, true).Good());
  EXPECT_TRUE(d.Tur().Good());
  EXPECT_EQ(d.DiscInfo().SenseText(), "02/04/07");
  EXPECT_EQ(d.TrackInfo(1).SenseText(), "02/04/07");
  EXPECT_TRUE(d.DiscInfo().Good());
}

TEST(LongOperations, EjectRefusedWhileFormatting) {
  Driver d = Make(ScratchDir() + "/disc", "dvd-ram");
  ASSERT_TRUE(d.Format({0, 0x82, 0, 8, 0x00, 0x22, 0x21, 0x20, 0x00, 0, 0x08, 0}).Good());
  EXPECT_EQ(d.StartStop(0x02).SenseText(), "02/04/04");
  Answer rs = d.RequestSense();
  EXPECT_EQ(rs.data[12], 0x04);
  EXPECT_EQ(rs.data[15], 0x80);
}

}  // namespace
}  // namespace torvik::vdrive::testing
