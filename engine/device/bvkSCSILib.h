// The device record: transport state, device table, the selected drive, last sense data, the
// work buffer, MMC reply records, capabilities, speeds and benchmark fields.
#pragma once

#include <cstdint>

namespace torvik {

struct TSCSIDevice {
  bool BurnProof = true;
  bool TestWrite = false;
  bool FinalizeDisc = false;
  bool CloseFH = false;
  uint32_t DeviceError = 0;   // ASC * 256 + ASCQ of the last failing command
};

}  // namespace torvik
