// What the selected drive can do, which disc it holds, and how much of the disc is used.
#pragma once

#include <cstdint>

#include "device/bvkDeviceTypes.h"
#include "device/bvkSCSILib.h"

namespace torvik {

bool DetectCapabilities(TSCSIDevice& d);
TMedium GetMedium(TSCSIDevice& d);
bool DeviceCan(TSCSIDevice& d, uint8_t id);
bool Writable(TSCSIDevice& d);
// Whether the drive can write medium `m` (its capabilities, read afresh); false for pressed
// discs. A reader, or a DVD-only writer with a BD-R in it, would only fail the first WRITE.
bool DriveWritesMedium(TSCSIDevice& d, TMedium m);
// 0 when writes may be sent to the selected drive, otherwise the errno of opening its node for
// writing (EACCES without write access to /dev/srN).
int DriveWriteAccessError(const TSCSIDevice& d);
bool Erasable(TSCSIDevice& d);
bool DeviceIsBurner(const TSCSIDevice& d);
int GetSessionCount(TSCSIDevice& d);
uint32_t GetFormattedCapacity(TSCSIDevice& d);
uint32_t GetVolumeSpaceSize(TSCSIDevice& d);
uint32_t GetFreeBlocks(TSCSIDevice& d);
uint32_t GetTotalBlocks(TSCSIDevice& d);

// Speed queries; each runs a capability detection first. KB/s.
uint16_t GetDeviceMaxReadSpeed(TSCSIDevice& d);
uint16_t GetDeviceMaxWriteSpeed(TSCSIDevice& d);
uint16_t GetCurrentReadSpeed(TSCSIDevice& d);
uint16_t GetMaxWriteSpeed(TSCSIDevice& d);
uint16_t GetCurrentWriteSpeed(TSCSIDevice& d);

}  // namespace torvik
