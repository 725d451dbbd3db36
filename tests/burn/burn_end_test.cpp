// How a burn ends on every writable medium: the flush and closes after the last WRITE, in the
// order each medium needs them, and what a failing flush or close leaves behind.
#include <gtest/gtest.h>

#include <string>

#include "burn_test_support.h"

namespace torvik {
namespace {

namespace fs = std::filesystem;
using vdrive::CloseFault;
using vdrive::MediumState;
using vdrive::Sense;

enum class Fault { None, Flush, TrackClose, SessionClose };

struct EndCase {
  const char* profile;
  // The flushes (35) and closes (5B/function) after the last WRITE, appendable and finalized.
  const char* appendEnd;
  const char* finalEnd;
  // Blocks a closed track rounds up to (0: no track to close: overwritable media).
  uint32_t granule;
  uint32_t runOut;  // blocks a closed track adds after its data (CD track at once)
  // What a session close that closes an open track itself does: DVD+R and BD-R close it, the
  // others refuse with an incomplete track.
  bool implicitTrackClose;
  // The disc holds one closed session before the burn (a blank sequential DVD-RW would be
  // formatted for restricted overwrite instead).
  bool oneSessionBefore = false;
};

const EndCase kEnds[] = {
    {"cd-r", "35 5B/2", "35 5B/2", 1, 2, false},
    {"cd-rw", "35 5B/2", "35 5B/2", 1, 2, false},
    {"dvd-r", "35 5B/1 5B/1 5B/2", "35 5B/1 5B/1 5B/2", 16, 0, false},
    {"dvd-rw-seq", "35 5B/1 5B/2", "35 5B/1 5B/2", 16, 0, false, true},
    {"dvd-rw-ro", "35 5B/1 5B/2", "35 5B/1 5B/2", 0, 0, false},
    {"dvd+r", "35 5B/1 5B/2", "35 5B/1 5B/6", 16, 0, true},
    {"dvd+r-dl", "35 5B/1 5B/2", "35 5B/1 5B/6", 16, 0, true},
    {"dvd+rw", "35 5B/3", "35 5B/3", 0, 0, false},
    {"dvd-ram", "35 5B/1 5B/2", "35 5B/1 5B/2", 0, 0, false},
    {"bd-r", "35 5B/1 5B/2", "35 5B/1 5B/6", 32, 0, true},
    {"bd-re", "35 5B/1 5B/2", "35 5B/1 5B/2", 0, 0, false},
};

uint64_t RoundUp(uint64_t n, uint64_t g) { return (n + g - 1) / g * g; }

// A first session holding a small volume made by genisoimage, written incrementally and
// closed, the disc left appendable.
void WriteOneSession(const fs::path& disc, MediumState& m) {
  const fs::path empty = disc.parent_path() / "seed";
  fs::create_directories(empty);
  const std::string cmd = "genisoimage -quiet -o '" + disc.string() + "' '" + empty.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const auto blocks = static_cast<uint32_t>(RoundUp(fs::file_size(disc) / 2048, 16));
  m.wp.writeType = 0;
  m.wp.multiSession = 3;
  bool store = false;
  ASSERT_TRUE(vdrive::transition::Write(m, 0, blocks, &store).Ok());
  ASSERT_TRUE(vdrive::transition::CloseTrackSession(m, 1, 1).Ok());
  ASSERT_TRUE(vdrive::transition::CloseTrackSession(m, 2, 0).Ok());
}

class BurnEnd : public ::testing::Test {
 protected:
  test::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();
};

TEST_F(BurnEnd, FlushAndClosesInOrderAndTheirFailuresReported) {
  const auto files = test::MakeTree(dir_ / "src", 7);
  const Sense kFlush{3, 0x0C, 0x09}, kTrack{5, 0x72, 0x03}, kSession{3, 0x72, 0x00};
  for (const EndCase& c : kEnds)
    for (bool finalize : {false, true})
      for (Fault fault : {Fault::None, Fault::Flush, Fault::TrackClose, Fault::SessionClose}) {
        const std::string expectedEnd = finalize ? c.finalEnd : c.appendEnd;
        const bool sequential = c.granule != 0;
        if (fault == Fault::TrackClose && expectedEnd.find("5B/1") == std::string::npos)
          continue;
        const uint8_t sessionFunction = expectedEnd.back() - '0';
        SCOPED_TRACE(std::string(c.profile) + (finalize ? " finalized" : " appendable") +
                     " fault " + std::to_string(int(fault)));
        const fs::path here = dir_ / (std::string(c.profile) + (finalize ? "-f" : "-a") +
                                      std::to_string(int(fault)));
        test::VirtualBurner vb(here, c.profile);
        Sense expected;
        vb.Change([&](MediumState& m) {
          if (c.oneSessionBefore) WriteOneSession(vb.disc, m);
          if (fault == Fault::Flush) m.faults.flushError = expected = kFlush;
          if (fault == Fault::TrackClose) m.faults.closeError = CloseFault{1, expected = kTrack};
          if (fault == Fault::SessionClose)
            m.faults.closeError = CloseFault{sessionFunction, expected = kSession};
        });

        // The commands after the last WRITE, and the written track as the drive reports it
        // between the track close and the session close.
        std::string end;
        uint32_t nwaAfterTrackClose = 0;
        vb.b->Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
          const uint8_t opcode = srb.CDB[0];
          if (opcode == op::WRITE_10) end.clear();
          if (opcode == 0x35) end += end.empty() ? "35" : " 35";
          if (opcode == op::CLOSE_TRACK_SESSION) {
            const uint8_t function = srb.CDB[2] & 0x07;
            if (function != 1 && sequential && nwaAfterTrackClose == 0) {
              const MediumState m = vb.State();
              const vdrive::Track* next = vdrive::view::InvisibleTrack(m);
              if (next) nwaAfterTrackClose = vdrive::view::TrackNwa(m, *next);
            }
            end += (end.empty() ? "5B/" : " 5B/") + std::to_string(function);
          }
          return forward(srb);
        };
        vb.b->SetFinalizeDisc(finalize);
        vb.b->ClearAll();
        vb.b->SetVolumeID("END");
        ASSERT_TRUE(vb.b->InsertDir("\\", (dir_ / "src").string(), "*.*", true, false));
        ASSERT_GT(vb.b->Prepare(), 0u);
        const bool ok = test::RunDiscJob(*vb.b);
        const uint32_t start = vb.b->CDFiles.FirstWritableSector;
        const uint32_t written = vb.b->CDFiles.BlocksWritten;
        const MediumState after = vb.State();

        // Media without tracks to close need no track close: a drive refusing it is no failure.
        const bool harmless = fault == Fault::TrackClose && !sequential;
        EXPECT_EQ(ok, fault == Fault::None || harmless) << vb.b->ErrorString();
        if (fault == Fault::None) {
          EXPECT_EQ(end, expectedEnd);
        }
        if (fault == Fault::None || harmless) {
          EXPECT_EQ(test::ExtractWithXorriso(vb.disc, start, here / "out"), files);
          if (sequential) {
            EXPECT_EQ(vdrive::view::DiscStatus(after), finalize ? 2 : 1);
            EXPECT_EQ(vdrive::view::LastSessionState(after), finalize ? 3 : 0);
          }
        } else {
          EXPECT_EQ(vb.b->CDFiles.ErrorNumber, uint32_t(expected.asc) << 8 | expected.ascq);
        }
        if (sequential && fault != Fault::Flush) {
          EXPECT_EQ(nwaAfterTrackClose, start + RoundUp(written + c.runOut, c.granule))
              << "written " << written;
        }
        if (!sequential) continue;
        // What the disc holds afterwards: nothing closed after a lost flush; an open session
        // after a failed session close, or after a failed track close where the session close
        // refuses an open track.
        uint8_t lastSession = finalize ? 3 : 0;
        if (fault == Fault::Flush || fault == Fault::SessionClose ||
            (fault == Fault::TrackClose && !c.implicitTrackClose))
          lastSession = 1;
        if (fault == Fault::Flush) {
          EXPECT_EQ(end, "35");
        }
        EXPECT_EQ(vdrive::view::LastSessionState(after), lastSession);
      }
}

}  // namespace
}  // namespace torvik
