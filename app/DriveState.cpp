#include "DriveState.h"

#include <array>

namespace torvik::app {

TActionEnabling AllOpen() {
  TActionEnabling e;
  e.PanelEraseBtns = e.PanelEjectBtns = e.PanelISOBtns = e.PanelBurnBtns = true;
  e.MenuAddFile = e.MenuQuickErase = e.MenuBuildISO = e.MenuBurnISO = e.MenuTestWrite =
      e.MenuBurnFiles = true;
  return e;
}

TActionEnabling ImageOnly() {
  TActionEnabling e;
  e.PanelEjectBtns = e.PanelISOBtns = e.MenuAddFile = e.MenuBuildISO = true;
  return e;
}

TActionEnabling ActionsDisabled(bool ejectGroup) {
  TActionEnabling e;
  e.PanelEjectBtns = ejectGroup;
  return e;
}

TDriveView ClassifyDrive(const TDriveAnswers& a) {
  static const std::string kOnlyImage = "Only ISO image file building possible.";
  static const std::string kOnlyImageIs = "Only ISO image file building is possible.";
  static const std::string kNotWritable = "The inserted disc is not writable.";
  TDriveView v;
  if (!a.HasDrive) {
    v.Enabling = ActionsDisabled(false);
    v.Colour = TMessageColour::Red;
    v.ClearFirst = true;
    v.Lines = {"There is no optical disc drive installed on your computer.", "Burner is not ready!"};
    return v;
  }
  v.Enabling = AllOpen();
  if (!a.CanTestWrite) {
    // A drive that cannot simulate a write is taken for a virtual or unknown one, whatever it
    // holds.
    v.Case = 1;
    v.Enabling = ImageOnly();
    v.Colour = TMessageColour::Red;
    v.StatusLine = true;
    v.Lines = {"Virtual or not supported optical drive.", kOnlyImage};
  } else if (!a.UnitReady) {
    v.Case = 2;
    v.Colour = TMessageColour::Red;
    v.StatusLine = true;
    v.Lines = {"Drive empty or tray ejected.", kOnlyImage};
  } else if (a.Sessions == 0) {
    v.Case = a.Writable ? 3 : 4;
    v.Colour = a.Writable ? TMessageColour::Maroon : TMessageColour::Red;
    v.StatusLine = a.Writable;
    if (!a.Writable) v.Lines = {kNotWritable, kOnlyImageIs};
  } else {
    v.Case = a.Erasable ? 5 : 6;
    v.Colour = a.Erasable ? TMessageColour::Maroon : TMessageColour::Red;
    v.StatusLine = a.Erasable;
    if (!a.Erasable) v.Lines = {kNotWritable, kOnlyImageIs};
  }
  return v;
}

std::string StatusText(uint16_t componentStatus) {
  static constexpr std::array<const char*, 12> kTexts = {
      "Burner is ready.",  "Writing.",   "Erasing.",           "Backgroung format.",
      "Closing disc, please wait.", "Closing disc.", "Preparing.", "Aborting.",
      "Importing session.", "Burn error: Aborting.", "Verifying.", "Gen. Sm. Ref"};
  return componentStatus < kTexts.size() ? kTexts[componentStatus] : "";
}

std::string DriveEntryText(std::string_view id) {
  return "Optical drive  (" + std::string(id) + ")";
}

std::string DriveIdFromEntry(std::string_view entry) {
  const size_t open = entry.rfind('(');
  const size_t close = entry.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return {};
  return std::string(entry.substr(open + 1, close - open - 1));
}

}  // namespace torvik::app
