// Reply builders of the virtual drive: every reply is built whole, in the MMC-5 layout, and the
// dispatcher cuts it to the host's allocation length.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/VirtualMedium.h"

namespace torvik::vdrive {

using Bytes = std::vector<uint8_t>;

struct Reply {
  Sense sense;
  Bytes data;
};

// Speeds in kB/s (1000 bytes), as MMC reports them.
uint16_t MediumMaxWriteSpeed(const MediumState& m);
uint16_t MediumMaxReadSpeed(const MediumState& m);
// Write speeds the drive offers for the loaded medium, fastest first.
std::vector<uint16_t> WriteSpeeds(const MediumState& m);

bool MediumLoaded(const MediumState& m);  // present, tray closed, readable by this drive
uint16_t CurrentProfile(const MediumState& m);

Bytes Inquiry();
Reply Configuration(const MediumState& m, uint8_t rt, uint16_t startingFeature);
// pageControl: 0 current, 1 changeable, 2 default.
Reply ModeSense(const MediumState& m, uint8_t page, uint8_t pageControl, bool dbd);
Bytes DiscInformation(const MediumState& m);
Reply TrackInformation(const MediumState& m, uint8_t addressType, uint32_t number);
Reply Toc(const MediumState& m, uint8_t format, bool msf, uint8_t number);
Bytes FormatCapacities(const MediumState& m);
Bytes BufferCapacity(const MediumState& m, bool blockMode);
Bytes Capacity(const MediumState& m);

// Applies a MODE SELECT parameter list (header, optional block descriptors, pages).
Sense ModeSelect(MediumState& m, const uint8_t* data, uint32_t length);

}  // namespace torvik::vdrive
