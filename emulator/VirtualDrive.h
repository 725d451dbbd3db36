// The virtual MMC drive: a file-backed optical drive that answers SCSI MMC commands the way a
// pass-through to a real drive does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace torvik::vdrive {

enum class DataDirection : uint8_t { None, In /* drive to host */, Out /* host to drive */ };

// What a pass-through returns for one command.
struct PassThroughResult {
  uint8_t SrbStatus = 1;      // 1 completed, 4 error
  uint8_t ScsiStatus = 0;     // 0 good, 2 check condition, 8 busy
  uint8_t Sense[18] = {};     // fixed-format sense data (70h), valid with check condition
  uint32_t Transferred = 0;   // bytes moved
};

class VirtualDrive;

}  // namespace torvik::vdrive
