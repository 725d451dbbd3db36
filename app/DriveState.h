// The drive panel's rules without widgets: what the window enables for each state of drive and
// disc, the lines it writes about it, and the drive list's entry texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvik::app {

// The font colour the message list shows all its lines in.
enum class TMessageColour { Maroon, Red, Teal };

// The action groups of the tool bar and the menu items that follow them.
struct TActionEnabling {
  bool PanelAbort = false;
  bool PanelEraseBtns = false;
  bool PanelEjectBtns = false;
  bool PanelISOBtns = false;
  bool PanelBurnBtns = false;
  bool MenuAbortBurner = false;
  bool MenuAddFile = false;
  bool MenuQuickErase = false;
  bool MenuBuildISO = false;
  bool MenuBurnISO = false;
  bool MenuTestWrite = false;
  bool MenuBurnFiles = false;

  bool operator==(const TActionEnabling&) const = default;
};

// Every group usable except abort.
TActionEnabling AllOpen();
// Only the eject group, the file group and image building.
TActionEnabling ImageOnly();
// Everything off but the eject group, which the caller decides (DisableActions).
TActionEnabling ActionsDisabled(bool ejectGroup);

// What the window learns of the selected drive, asked in the order the rules need it.
struct TDriveAnswers {
  bool HasDrive = true;      // at least one optical drive is listed
  bool CanTestWrite = true;  // DeviceCan(DC_TEST_WRITE)
  bool UnitReady = true;
  int Sessions = 0;
  bool Writable = false;
  bool Erasable = false;
  uint16_t ComponentStatus = 0;
};

// The outcome of a drive-state refresh.
struct TDriveView {
  int Case = 0;  // 1..6 as the rules are tested, 0 with no drive at all
  TActionEnabling Enabling;
  TMessageColour Colour = TMessageColour::Maroon;
  // Lines to append. The status line is appended only when the list's last line differs.
  bool StatusLine = false;
  std::vector<std::string> Lines;
  // No drive: the list is emptied before the lines are appended.
  bool ClearFirst = false;
};

TDriveView ClassifyDrive(const TDriveAnswers& answers);

// The text the window shows for a component status ("Burner is ready." for 0); an unknown
// value gives an empty text.
std::string StatusText(uint16_t componentStatus);

// "Optical drive  (sr0)" for the id "sr0".
std::string DriveEntryText(std::string_view id);
// The id inside the entry's parentheses; empty when the text has none.
std::string DriveIdFromEntry(std::string_view entry);

}  // namespace torvik::app
