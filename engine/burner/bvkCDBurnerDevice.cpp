// The component's drive and disc surface: each call forwards to the device record and adds at
// most a unit conversion or a fixed answer.
#include <string>

#include "burner/bvkCDBurner.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"

namespace torvik {

void TBrenvik::AddVirtualDrive(std::string_view Path) {
  torvik::RegisterVirtualDrive(Device, std::string(Path));
}

bool TBrenvik::InitializeASPI(bool NoInternalASPI, std::string_view ASPIDLLPath,
                              std::string_view Reserved1) {
  return torvik::InitializeDevices(Device, NoInternalASPI, std::string(ASPIDLLPath),
                                   std::string(Reserved1));
}

std::string TBrenvik::GetDeviceName(uint8_t DeviceIndex) const {
  return torvik::GetDeviceName(Device, DeviceIndex);
}

bool TBrenvik::SelectDevice(uint8_t DeviceIndex) {
  return torvik::SelectDevice(Device, DeviceIndex);
}

bool TBrenvik::SelectDeviceByLetter(std::string_view DriveLetter) {
  return torvik::SelectDeviceByLetter(Device, std::string(DriveLetter));
}

bool TBrenvik::DeviceCan(uint8_t DeviceCapabilityID) {
  return torvik::DeviceCan(Device, DeviceCapabilityID);
}

TMedium TBrenvik::DiscIs() { return torvik::GetMedium(Device); }
bool TBrenvik::Writable() { return torvik::Writable(Device); }
bool TBrenvik::Erasable() { return torvik::Erasable(Device); }
bool TBrenvik::DeviceIsBurner() { return torvik::DeviceIsBurner(Device); }
bool TBrenvik::TestUnitReady() { return torvik::TestUnitReady(Device); }
int TBrenvik::SessionsOnDisc() { return torvik::GetSessionCount(Device); }
uint32_t TBrenvik::FreeBlocksOnDisc() { return torvik::GetFreeBlocks(Device); }
uint32_t TBrenvik::TotalBlocksOnDisc() { return torvik::GetTotalBlocks(Device); }
uint16_t TBrenvik::DeviceMaxReadSpeed() { return torvik::GetDeviceMaxReadSpeed(Device); }
uint16_t TBrenvik::DeviceMaxWriteSpeed() { return torvik::GetDeviceMaxWriteSpeed(Device); }
uint16_t TBrenvik::ReadSpeed() { return torvik::GetCurrentReadSpeed(Device); }
uint16_t TBrenvik::WriteSpeed() { return torvik::GetCurrentWriteSpeed(Device); }
uint16_t TBrenvik::MaxWriteSpeed() { return torvik::GetMaxWriteSpeed(Device); }

uint32_t TBrenvik::DeviceBufferPosition() const {
  // The drive reports its free space; the fill is what is left of the buffer.
  const uint32_t size = Device.DeviceBufferSize;
  const uint32_t blank = Device.DeviceBufferPosition;
  return size > blank ? size - blank : 0;
}

void TBrenvik::SetDeviceSpeed(uint16_t ReadSpeed, uint16_t WriteSpeed) {
  torvik::SetDeviceSpeed(Device, ReadSpeed, WriteSpeed);
}

bool TBrenvik::FlushCache() { return torvik::SynchronizeCache(Device, true); }
bool TBrenvik::LockMedium() { return torvik::LockMedium(Device); }
bool TBrenvik::UnlockMedium() { return torvik::UnlockMedium(Device); }

bool TBrenvik::UnlockDrive() {
  torvik::TestUnitReady(Device);
  return true;
}

bool TBrenvik::LoadMedium(bool Immediate) { return torvik::LoadMedium(Device, Immediate); }
bool TBrenvik::EjectMedium(bool Immediate) { return torvik::EjectMedium(Device, Immediate); }
uint16_t TBrenvik::BMAvgWriteSpeed() { return torvik::AverageWriteSpeed(Device); }
uint16_t TBrenvik::BMAvgReadSpeed() { return torvik::AverageReadSpeed(Device); }
uint16_t TBrenvik::BMWriteSpeed() { return torvik::BMWriteSpeed(Device); }
uint16_t TBrenvik::BMReadSpeed() { return torvik::BMReadSpeed(Device); }

}  // namespace torvik
