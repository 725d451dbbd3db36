// The drive panel's rules: which groups a drive state enables, and what the list says.
#include <gtest/gtest.h>

#include "DriveState.h"

namespace torvik::app {
namespace {

using Lines = std::vector<std::string>;

struct StateCase {
  const char* name;
  TDriveAnswers answers;
  int expectedCase;
  TActionEnabling enabling;
  TMessageColour colour;
  bool statusLine;
  Lines lines;
};

TDriveAnswers Answers(bool testWrite, bool ready, int sessions, bool writable, bool erasable) {
  TDriveAnswers a;
  a.CanTestWrite = testWrite;
  a.UnitReady = ready;
  a.Sessions = sessions;
  a.Writable = writable;
  a.Erasable = erasable;
  return a;
}

TEST(DriveState, EveryCaseInTheOrderItIsTested) {
  const Lines notWritable = {"The inserted disc is not writable.",
                             "Only ISO image file building is possible."};
  const StateCase cases[] = {
      // A drive that cannot test-write is taken for a virtual one even with a blank disc.
      {"no test write", Answers(false, true, 0, true, false), 1, ImageOnly(), TMessageColour::Red,
       true, {"Virtual or not supported optical drive.", "Only ISO image file building possible."}},
      {"not ready", Answers(true, false, 0, true, true), 2, AllOpen(), TMessageColour::Red, true,
       {"Drive empty or tray ejected.", "Only ISO image file building possible."}},
      {"blank", Answers(true, true, 0, true, false), 3, AllOpen(), TMessageColour::Maroon, true, {}},
      {"blank, not writable", Answers(true, true, 0, false, true), 4, AllOpen(),
       TMessageColour::Red, false, notWritable},
      {"sessions, erasable", Answers(true, true, 2, false, true), 5, AllOpen(),
       TMessageColour::Maroon, true, {}},
      // Appendable write-once discs land here: they are not erasable.
      {"sessions, not erasable", Answers(true, true, 1, true, false), 6, AllOpen(),
       TMessageColour::Red, false, notWritable},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TDriveView v = ClassifyDrive(c.answers);
    EXPECT_EQ(v.Case, c.expectedCase);
    EXPECT_EQ(v.Enabling, c.enabling);
    EXPECT_EQ(v.Colour, c.colour);
    EXPECT_EQ(v.StatusLine, c.statusLine);
    EXPECT_EQ(v.Lines, c.lines);
    EXPECT_FALSE(v.ClearFirst);
  }
}

TEST(DriveState, NoDriveDisablesEverythingAndReplacesTheList) {
  TDriveAnswers a;
  a.HasDrive = false;
  const TDriveView v = ClassifyDrive(a);
  EXPECT_EQ(v.Enabling, TActionEnabling{});
  EXPECT_TRUE(v.ClearFirst);
  EXPECT_FALSE(v.StatusLine);
  EXPECT_EQ(v.Colour, TMessageColour::Red);
  EXPECT_EQ(v.Lines, (Lines{"There is no optical disc drive installed on your computer.",
                            "Burner is not ready!"}));
}

TEST(DriveState, GroupsOfTheNamedStates) {
  const TActionEnabling open = AllOpen();
  EXPECT_FALSE(open.PanelAbort);
  EXPECT_FALSE(open.MenuAbortBurner);
  EXPECT_TRUE(open.PanelBurnBtns && open.MenuTestWrite && open.MenuBurnISO && open.PanelEraseBtns);
  const TActionEnabling image = ImageOnly();
  EXPECT_TRUE(image.PanelEjectBtns && image.PanelISOBtns && image.MenuAddFile && image.MenuBuildISO);
  EXPECT_FALSE(image.PanelEraseBtns || image.PanelBurnBtns || image.MenuQuickErase ||
               image.MenuBurnISO || image.MenuTestWrite || image.MenuBurnFiles);
  EXPECT_EQ(ActionsDisabled(true), TActionEnabling{.PanelEjectBtns = true});
}

TEST(DriveState, StatusTexts) {
  EXPECT_EQ(StatusText(0), "Burner is ready.");
  EXPECT_EQ(StatusText(3), "Backgroung format.");
  EXPECT_EQ(StatusText(9), "Burn error: Aborting.");
  EXPECT_EQ(StatusText(11), "Gen. Sm. Ref");
  EXPECT_EQ(StatusText(12), "");
}

TEST(DriveState, EntryTextsCarryTheIdInParentheses) {
  EXPECT_EQ(DriveEntryText("sr0"), "Optical drive  (sr0)");
  const struct {
    const char* entry;
    const char* id;
  } cases[] = {{"Optical drive  (sr0)", "sr0"},
               {"Optical drive  (vd12)", "vd12"},
               {"Optical drive  ()", ""},
               {"Optical drive", ""},
               {"Optical drive  )x(", ""}};
  for (const auto& c : cases) EXPECT_EQ(DriveIdFromEntry(c.entry), c.id) << c.entry;
}

}  // namespace
}  // namespace torvik::app
