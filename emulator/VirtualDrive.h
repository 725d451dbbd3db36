// The virtual MMC drive: a file-backed optical drive that answers SCSI MMC commands the way a
// pass-through to a real drive does.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/VirtualMedium.h"

namespace torvik::vdrive {

enum class DataDirection : uint8_t { None, In /* drive to host */, Out /* host to drive */ };

// What a pass-through returns for one command.
struct PassThroughResult {
  uint8_t SrbStatus = 1;      // 1 completed, 4 error
  uint8_t ScsiStatus = 0;     // 0 good, 2 check condition, 8 busy
  uint8_t Sense[18] = {};     // fixed-format sense data (70h), valid with check condition
  uint32_t Transferred = 0;   // bytes moved
};

struct CreateOptions {
  uint32_t capacity = 0;  // blocks; 0 = the profile's real capacity
  DriveConfig config;     // drive class, capabilities, polls
  std::string image;      // read-only media: the image file the disc holds
};

class VirtualDrive {
 public:
  // The profile a missing state file stands for.
  static constexpr const char* kDefaultProfile = "dvd+r";

  // Opens the drive kept in PATH and PATH.state. Neither file is created until something is
  // written; a missing state file is a blank medium of `profile` (default kDefaultProfile),
  // unless PATH already holds data: then the drive holds a pressed disc with that image.
  static std::unique_ptr<VirtualDrive> Open(const std::string& path, std::string* error);
  static std::unique_ptr<VirtualDrive> Open(const std::string& path, const std::string& profile,
                                            std::string* error);
  // Puts a new blank medium (or, for read-only profiles, a copy of the image) into PATH.
  static std::unique_ptr<VirtualDrive> Create(const std::string& path, const std::string& profile,
                                              const CreateOptions& options, std::string* error);

  ~VirtualDrive();
  VirtualDrive(const VirtualDrive&) = delete;
  VirtualDrive& operator=(const VirtualDrive&) = delete;

  // Runs one command: a 6, 10 or 12 byte CDB, its data direction and its data buffer.
  PassThroughResult Execute(const uint8_t* cdb, size_t cdbLength, DataDirection direction,
                            uint8_t* buffer, uint32_t length);

  // The medium, configuration and faults as the files hold them now.
  const MediumState& State();
  // Changes the state (arms faults, reconfigures the drive, removes the medium) and saves it.
  bool Update(const std::function<void(MediumState&)>& change, std::string* error);
  // Arms faults (replacing those armed) or reconfigures the drive; saved at once so that a
  // drive opened by another process sees them on its next command.
  bool SetFaults(const Faults& faults, std::string* error);
  bool SetConfig(const DriveConfig& config, std::string* error);

  // A writing job holds the drive for itself, as a burner holds a real drive opened
  // exclusively: until Release, every other instance (in this or another process) gets BUSY for
  // its commands and cannot change the state, and this one stops looking for changes made from
  // outside. False, with the reason, while another instance holds it.
  bool Claim(std::string* error);
  void Release();
  bool Claimed() const { return claimed_; }
  // Whether another instance holds the drive right now.
  bool HeldElsewhere();
  std::string LockPath() const { return path_ + ".lock"; }

  // The drive loses power: WRITE data it still holds in its cache is never recorded. The end
  // of the program that holds the drive (the destructor) counts as that too: a burn that never
  // flushed leaves a disc without its data, as it would on a real drive that lost power.
  void PowerOff();
  uint32_t CachedBlocks() const { return cachedBlocks_; }

  const std::string& Path() const { return path_; }
  std::string StatePath() const { return path_ + ".state"; }

 private:
  VirtualDrive(std::string path, const ProfileInfo& fallback);
  bool Reload(std::string* error);
  void AdoptExistingImage();
  bool Save(std::string* error);
  bool ReadSectors(uint32_t lba, uint32_t blocks, uint8_t* out);
  bool WriteSectors(uint32_t lba, uint32_t blocks, const uint8_t* data);
  bool TruncateSectors();
  // The write cache: WRITE data in arrival order, recorded oldest first.
  bool CacheWrite(uint32_t lba, uint32_t blocks, const uint8_t* data);
  Sense FlushCache();
  void DropCache();

  struct Context;
  Sense Dispatch(Context& ctx);
  Sense NotReadyCheck(uint8_t opcode, bool* polled);

  std::string path_;
  const ProfileInfo* fallback_;
  int lockFd_ = -1;
  bool claimed_ = false;
  MediumState state_;
  int fd_ = -1;
  bool dirty_ = false;
  bool sawSectorFile_ = false;
  // What the state file looked like when last read or written, to notice another process.
  bool stampValid_ = false;
  ino_t stampIno_ = 0;
  long long stampMtime_ = 0;
  off_t stampSize_ = 0;
  struct CachedWrite {
    uint32_t lba;
    uint32_t blocks;
    std::vector<uint8_t> data;
  };
  std::deque<CachedWrite> cache_;
  uint32_t cachedBlocks_ = 0;
};

}  // namespace torvik::vdrive
