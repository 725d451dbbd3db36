#include "emulator/VirtualDrive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "emulator/VirtualReplies.h"
#include "emulator/VirtualState.h"

namespace torvik::vdrive {

namespace {

uint32_t Get16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

constexpr Sense kInternalFailure{4, 0x44, 0};
constexpr Sense kIncompatibleMedium{2, 0x30, 0};

size_t CdbLengthFor(uint8_t opcode) {
  switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;  // reserved and vendor groups: let the opcode check answer
  }
}

// Commands that touch the medium: they fail without one and wait out long operations.
bool NeedsMedium(uint8_t op) {
  switch (op) {
    case 0x00: case 0x01: case 0x04: case 0x25: case 0x28: case 0x2A: case 0x35: case 0x43:
    case 0x51: case 0x52: case 0x53: case 0x5B: case 0xA1: case 0xBF:
      return true;
    default:
      return false;
  }
}

// Commands only a burner knows.
bool WriterOnly(uint8_t op) {
  switch (op) {
    case 0x04: case 0x2A: case 0x53: case 0x55: case 0x5B: case 0xA1: case 0xB6: case 0xBF:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct VirtualDrive::Context {
  const uint8_t* cdb;
  DataDirection direction;
  uint8_t* buffer;
  uint32_t length;
  uint32_t transferred = 0;
  bool progress = false;  // fill the sense-key specific progress bytes
  uint16_t progressValue = 0;
  // Sends a built reply, cut to the allocation length and to the host's buffer.
  Sense Send(const std::vector<uint8_t>& reply, uint32_t allocation) {
    // A host that gives no room gets nothing, as from a pass-through with a zero-length buffer.
    if (allocation == 0 || direction != DataDirection::In || !buffer) return sense::kGood;
    transferred = std::min<uint32_t>({static_cast<uint32_t>(reply.size()), allocation, length});
    std::memcpy(buffer, reply.data(), transferred);
    return sense::kGood;
  }
  // The data-out bytes of a command, or null when the host did not send `needed` of them.
  const uint8_t* Received(uint32_t needed) {
    if (needed == 0) return buffer;
    if (direction != DataDirection::Out || !buffer || length < needed) return nullptr;
    transferred = needed;
    return buffer;
  }
};

VirtualDrive::VirtualDrive(std::string path, const ProfileInfo& fallback)
    : path_(std::move(path)), fallback_(&fallback) {
  state_ = BlankMedium(fallback, 0, DriveConfig{});
}

VirtualDrive::~VirtualDrive() {
  DropCache();
  if (dirty_) Save(nullptr);
  if (fd_ >= 0) ::close(fd_);
  if (lockFd_ >= 0) ::close(lockFd_);  // also lets go of a claim
}

// The claim is an flock on PATH.lock: the kernel drops it when its holder ends, however it
// ends, so a burn killed midway leaves no drive that stays busy.
bool VirtualDrive::Claim(std::string* error) {
  if (claimed_) return true;
  if (lockFd_ < 0) lockFd_ = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0) {
    if (error) *error = LockPath() + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (error)
      *error = errno == EWOULDBLOCK ? "the drive is busy: another program is writing to it"
                                    : LockPath() + ": " + std::strerror(errno);
    return false;
  }
  // What another program did before the claim counts; nothing after it can happen.
  if (!Reload(error)) {
    ::flock(lockFd_, LOCK_UN);
    return false;
  }
  claimed_ = true;
  return true;
}

void VirtualDrive::Release() {
  if (!claimed_) return;
  // Other instances read the sector file: what the burn left in the cache goes there first.
  FlushCache();
  if (dirty_) Save(nullptr);
  ::flock(lockFd_, LOCK_UN);
  claimed_ = false;
}

bool VirtualDrive::HeldElsewhere() {
  if (claimed_) return false;
  if (lockFd_ < 0) {
    lockFd_ = ::open(LockPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd_ < 0) return false;  // never claimed
  }
  if (::flock(lockFd_, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(lockFd_, LOCK_UN);
  return false;
}

std::unique_ptr<VirtualDrive> VirtualDrive::Open(const std::string& path, std::string* error) {
  return Open(path, kDefaultProfile, error);
}

std::unique_ptr<VirtualDrive> VirtualDrive::Open(const std::string& path,
                                                 const std::string& profile, std::string* error) {
  const ProfileInfo* p = FindProfile(profile);
  if (!p) {
    if (error) *error = "unknown profile '" + profile + "'";
    return nullptr;
  }
  if (p->recording == Recording::ReadOnly) {
    if (error) *error = "a read-only medium needs an image: create it with its image first";
    return nullptr;
  }
  if (path.empty()) {
    if (error) *error = "empty drive path";
    return nullptr;
  }
  // A missing state file stands for a blank disc, but only where the drive can keep its
  // files: in a folder that does not exist it would pose as a blank disc and lose every write.
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    if (error) *error = path + ": the folder " + folder.string() + " does not exist";
    return nullptr;
  }
  std::unique_ptr<VirtualDrive> drive(new VirtualDrive(path, *p));
  if (!drive->Reload(error)) return nullptr;
  return drive;
}

std::unique_ptr<VirtualDrive> VirtualDrive::Create(const std::string& path,
                                                   const std::string& profile,
                                                   const CreateOptions& options,
                                                   std::string* error) {
  auto fail = [&](const std::string& what) -> std::unique_ptr<VirtualDrive> {
    if (error) *error = what;
    return nullptr;
  };
  const ProfileInfo* p = FindProfile(profile);
  if (!p) return fail("unknown profile '" + profile + "'");
  if (!DriveSupports(options.config.drive, p->kind))
    return fail(std::string("a ") + DriveClassName(options.config.drive) + " drive cannot hold " +
                p->description + " media");
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    if (!std::filesystem::is_regular_file(path, ec)) return fail(path + ": not a regular file");
    // Replacing the disc of a virtual drive is what create is for; emptying somebody's image
    // file that merely has the same name is not.
    if (std::filesystem::file_size(path, ec) > 0 && !std::filesystem::exists(path + ".state", ec))
      return fail(path + " holds data and is no virtual drive; remove it or choose another path");
  }

  uint32_t capacity = options.capacity;
  if (p->recording == Recording::ReadOnly) {
    if (options.image.empty()) return fail(std::string(p->description) + " needs --image FILE");
    const auto size = std::filesystem::file_size(options.image, ec);
    if (ec) return fail(options.image + ": " + ec.message());
    if (size == 0) return fail(options.image + ": empty image");
    const uint64_t blocks = (size + kBlockSize - 1) / kBlockSize;
    if (blocks > 0xFFFFFFFEu) return fail(options.image + ": image too large");
    capacity = static_cast<uint32_t>(blocks);
    std::filesystem::copy_file(options.image, path,
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return fail(path + ": " + ec.message());
  } else {
    if (!options.image.empty()) return fail("--image is only for read-only media");
    // A new medium replaces whatever disc the files held.
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  MediumState m = BlankMedium(*p, capacity, options.config);
  if (p->recording == Recording::ReadOnly) m.image = options.image;
  if (!SaveStateFile(path + ".state", m, error)) return nullptr;
  return Open(path, p->recording == Recording::ReadOnly ? kDefaultProfile : p->name, error);
}

bool VirtualDrive::Reload(std::string* error) {
  // A claimed drive's state is this instance's alone: nobody else may have changed it, and
  // reloading a file edited by hand would roll a running burn back.
  if (claimed_) return true;
  struct stat st {};
  if (::stat(StatePath().c_str(), &st) != 0) {
    if (errno != ENOENT) {
      if (error) *error = StatePath() + ": " + std::strerror(errno);
      return false;
    }
    if (stampValid_) {  // someone removed the state: the drive holds a fresh blank medium
      state_ = BlankMedium(*fallback_, 0, DriveConfig{});
      stampValid_ = false;
      sawSectorFile_ = false;
    }
    if (!sawSectorFile_) AdoptExistingImage();
    return true;
  }
  const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  if (stampValid_ && st.st_ino == stampIno_ && mtime == stampMtime_ && st.st_size == stampSize_)
    return true;
  MediumState loaded;
  bool missing = false;
  if (!LoadStateFile(StatePath(), *fallback_, &loaded, &missing, error)) return false;
  if (!missing) state_ = std::move(loaded);
  stampValid_ = !missing;
  stampIno_ = st.st_ino;
  stampMtime_ = mtime;
  stampSize_ = st.st_size;
  return true;
}

// A sector file with data but no state is somebody's image, not a blank disc: writing a new
// session over it would destroy it. It is offered as a pressed disc holding that image instead.
void VirtualDrive::AdoptExistingImage() {
  sawSectorFile_ = true;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return;
  const uint64_t blocks = (uint64_t(st.st_size) + kBlockSize - 1) / kBlockSize;
  if (blocks > 0xFFFFFFFEu) return;
  const char* name = blocks <= 359849 ? "cd-rom" : blocks <= 4173824 ? "dvd-rom" : "bd-rom";
  state_ = BlankMedium(*FindProfile(name), static_cast<uint32_t>(blocks), state_.config);
  state_.image = path_;
}

bool VirtualDrive::Save(std::string* error) {
  if (!SaveStateFile(StatePath(), state_, error)) return false;
  struct stat st {};
  if (::stat(StatePath().c_str(), &st) == 0) {
    stampValid_ = true;
    stampIno_ = st.st_ino;
    stampMtime_ = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    stampSize_ = st.st_size;
  }
  dirty_ = false;
  return true;
}

const MediumState& VirtualDrive::State() {
  Reload(nullptr);
  return state_;
}

bool VirtualDrive::Update(const std::function<void(MediumState&)>& change, std::string* error) {
  if (HeldElsewhere()) {
    if (error) *error = "the drive is busy: another program is writing to it";
    return false;
  }
  if (!Reload(error)) return false;
  change(state_);
  return Save(error);
}

bool VirtualDrive::SetFaults(const Faults& faults, std::string* error) {
  return Update([&](MediumState& m) { m.faults = faults; }, error);
}

bool VirtualDrive::SetConfig(const DriveConfig& config, std::string* error) {
  return Update([&](MediumState& m) { m.config = config; }, error);
}

bool VirtualDrive::ReadSectors(uint32_t lba, uint32_t blocks, uint8_t* out) {
  const size_t bytes = size_t(blocks) * kBlockSize;
  std::memset(out, 0, bytes);
  int fd = fd_;
  bool ok = true;
  if (fd < 0) {
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ok = errno == ENOENT;  // nothing recorded yet: unrecorded sectors read as zeros
  }
  size_t done = 0;
  while (fd >= 0 && done < bytes) {
    const ssize_t n = ::pread(fd, out + done, bytes - done, off_t(lba) * kBlockSize + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;  // past the end of the file: the rest stays zero
    done += static_cast<size_t>(n);
  }
  if (fd >= 0 && fd != fd_) ::close(fd);
  if (!ok) return false;
  // The drive answers reads from its cache too, newest data last.
  const uint64_t end = uint64_t(lba) + blocks;
  for (const auto& w : cache_) {
    const uint64_t from = std::max<uint64_t>(lba, w.lba);
    const uint64_t to = std::min<uint64_t>(end, uint64_t(w.lba) + w.blocks);
    if (from < to)
      std::memcpy(out + (from - lba) * kBlockSize, w.data.data() + (from - w.lba) * kBlockSize,
                  size_t(to - from) * kBlockSize);
  }
  return ok;
}

bool VirtualDrive::CacheWrite(uint32_t lba, uint32_t blocks, const uint8_t* data) {
  if (state_.config.cacheBlocks == 0) return WriteSectors(lba, blocks, data);
  cache_.push_back({lba, blocks, std::vector<uint8_t>(data, data + size_t(blocks) * kBlockSize)});
  cachedBlocks_ += blocks;
  // A full cache records its oldest data to make room.
  while (cachedBlocks_ > state_.config.cacheBlocks && !cache_.empty()) {
    const CachedWrite& w = cache_.front();
    if (!WriteSectors(w.lba, w.blocks, w.data.data())) return false;
    cachedBlocks_ -= w.blocks;
    cache_.pop_front();
  }
  return true;
}

Sense VirtualDrive::FlushCache() {
  if (cache_.empty()) return sense::kGood;
  if (state_.faults.flushError) {
    DropCache();
    return *state_.faults.flushError;
  }
  while (!cache_.empty()) {
    const CachedWrite& w = cache_.front();
    if (!WriteSectors(w.lba, w.blocks, w.data.data())) {
      DropCache();
      return Sense{3, 0x0C, 0};
    }
    cachedBlocks_ -= w.blocks;
    cache_.pop_front();
  }
  return sense::kGood;
}

void VirtualDrive::DropCache() {
  cache_.clear();
  cachedBlocks_ = 0;
}

void VirtualDrive::PowerOff() { DropCache(); }

bool VirtualDrive::WriteSectors(uint32_t lba, uint32_t blocks, const uint8_t* data) {
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
  }
  const size_t bytes = size_t(blocks) * kBlockSize;
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pwrite(fd_, data + done, bytes - done, off_t(lba) * kBlockSize + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool VirtualDrive::TruncateSectors() {
  if (fd_ >= 0) return ::ftruncate(fd_, 0) == 0;
  if (::truncate(path_.c_str(), 0) == 0) return true;
  return errno == ENOENT;
}

Sense VirtualDrive::NotReadyCheck(uint8_t opcode, bool* polled) {
  MediumState& m = state_;
  *polled = false;
  if (m.pending != PendingOp::None && m.pendingPolls > 0) {
    // Closing keeps TEST UNIT READY good; only the disc queries report the operation.
    const bool applies = m.pending != PendingOp::Close || opcode == 0x51 || opcode == 0x52 ||
                         opcode == 0x03;
    if (applies) {
      const Sense s = m.pending == PendingOp::Format ? sense::kFormatInProgress
                                                     : sense::kOperationInProgress;
      --m.pendingPolls;
      if (m.pendingPolls == 0) m.pending = PendingOp::None;
      dirty_ = true;
      *polled = true;
      return s;
    }
  }
  if (m.faults.notReady > 0) {
    --m.faults.notReady;
    dirty_ = true;
    return sense::kBecomingReady;
  }
  return sense::kGood;
}

PassThroughResult VirtualDrive::Execute(const uint8_t* cdb, size_t cdbLength,
                                        DataDirection direction, uint8_t* buffer,
                                        uint32_t length) {
  PassThroughResult r;
  Context ctx{cdb, direction, buffer, length};
  Sense s;
  bool busy = false;
  if (!cdb || cdbLength < 6 || cdbLength < CdbLengthFor(cdb[0]) || cdbLength > 16) {
    s = sense::kInvalidField;
  } else if (cdb[0] != 0x12 && HeldElsewhere()) {
    // Another program burns on this drive. Its identity may still be asked for; anything else
    // would read a state that changes under it or change the burn's.
    busy = true;
  } else if (!Reload(nullptr)) {
    s = kInternalFailure;
  } else if (state_.faults.busy > 0) {
    --state_.faults.busy;
    dirty_ = true;
    busy = true;
  } else {
    s = Dispatch(ctx);
  }
  // A burn sends thousands of WRITEs; saving the state after each one costs a file replace per
  // 64 KiB. A successful WRITE leaves the state dirty instead, and the next other command (the
  // flush or close that ends every burn, or any query) or closing the drive saves it.
  // The first write of a new disc still saves at once, so the state file exists as soon as
  // the sector file does.
  const bool deferSave = s.Ok() && !busy && cdb && cdb[0] == 0x2A && stampValid_;
  if (dirty_ && !deferSave && !Save(nullptr) && s.Ok()) s = kInternalFailure;
  r.Transferred = s.Ok() ? ctx.transferred : 0;
  if (busy) {
    r.SrbStatus = 4;
    r.ScsiStatus = 8;
    return r;
  }
  if (!s.Ok()) {
    r.SrbStatus = 4;
    r.ScsiStatus = 2;
    r.Sense[0] = 0x70;
    r.Sense[2] = s.key;
    r.Sense[7] = 10;
    r.Sense[12] = s.asc;
    r.Sense[13] = s.ascq;
    if (ctx.progress) {
      r.Sense[15] = 0x80;
      r.Sense[16] = uint8_t(ctx.progressValue >> 8);
      r.Sense[17] = uint8_t(ctx.progressValue);
    }
  }
  return r;
}

Sense VirtualDrive::Dispatch(Context& ctx) {
  MediumState& m = state_;
  const uint8_t* cdb = ctx.cdb;
  const uint8_t op = cdb[0];

  switch (op) {
    case 0x00: case 0x01: case 0x03: case 0x04: case 0x12: case 0x1B: case 0x1E: case 0x23:
    case 0x25: case 0x28: case 0x2A: case 0x35: case 0x43: case 0x46: case 0x51: case 0x52:
    case 0x53: case 0x55: case 0x5A: case 0x5B: case 0x5C: case 0xA1: case 0xB6: case 0xBB:
    case 0xBF:
      break;
    default:
      return sense::kInvalidOpcode;
  }
  if (op == 0x46 && !m.config.getConfiguration) return sense::kInvalidOpcode;
  if (WriterOnly(op) && !m.config.writer) return sense::kInvalidOpcode;

  // INQUIRY answers whatever state the drive is in; a unit attention waits for the next command.
  if (op == 0x12) {
    if (cdb[1] & 0x01) return sense::kInvalidField;  // no vital product data pages
    return ctx.Send(Inquiry(), cdb[4]);
  }
  if (m.faults.unitAttention) {
    m.faults.unitAttention = false;
    dirty_ = true;
    if (op == 0x03) {
      Bytes sd(18, 0);
      sd[0] = 0x70;
      sd[2] = sense::kPowerOnReset.key;
      sd[7] = 10;
      sd[12] = sense::kPowerOnReset.asc;
      return ctx.Send(sd, cdb[4]);
    }
    return sense::kPowerOnReset;
  }

  if (m.faults.reject && m.faults.reject->opcode == op && op != 0x03)
    return m.faults.reject->sense;

  if (op == 0x03) {  // REQUEST SENSE: the condition the drive is in now, with progress
    Sense now;
    if (m.trayOpen) now = sense::kNoMediumTrayOpen;
    else if (!m.mediumPresent) now = sense::kNoMediumTrayClosed;
    else {
      const uint32_t total = m.pendingTotal ? m.pendingTotal : 1;
      const uint32_t done = total - std::min(total, m.pendingPolls);
      bool polled = false;
      now = NotReadyCheck(op, &polled);
      if (polled) ctx.progressValue = static_cast<uint16_t>(uint64_t(done) * 65536 / (total + 1));
      ctx.progress = polled;
    }
    Bytes sd(18, 0);
    sd[0] = 0x70;
    sd[2] = now.key;
    sd[7] = 10;
    sd[12] = now.asc;
    sd[13] = now.ascq;
    if (ctx.progress) {
      sd[15] = 0x80;
      sd[16] = uint8_t(ctx.progressValue >> 8);
      sd[17] = uint8_t(ctx.progressValue);
      ctx.progress = false;
    }
    return ctx.Send(sd, cdb[4]);
  }

  if (NeedsMedium(op)) {
    if (m.trayOpen) return sense::kNoMediumTrayOpen;
    if (!m.mediumPresent) return sense::kNoMediumTrayClosed;
    if (!DriveSupports(m.config.drive, m.profile->kind)) return kIncompatibleMedium;
    const uint32_t total = m.pendingTotal ? m.pendingTotal : 1;
    const uint32_t done = total - std::min(total, m.pendingPolls);
    bool polled = false;
    const Sense nr = NotReadyCheck(op, &polled);
    if (!nr.Ok()) {
      ctx.progress = polled;
      ctx.progressValue = static_cast<uint16_t>(uint64_t(done) * 65536 / (total + 1));
      return nr;
    }
  }

  auto startLongOp = [&](PendingOp op2, bool immediate, uint32_t polls) {
    if (!immediate || polls == 0) return;
    m.pending = op2;
    m.pendingPolls = polls;
    m.pendingTotal = polls;
  };

  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x01:  // REZERO UNIT
      return sense::kGood;

    case 0x1B: {  // START STOP UNIT
      const bool start = cdb[4] & 0x01, loej = cdb[4] & 0x02;
      if (!loej || (cdb[4] & 0xF0)) return sense::kGood;
      if (start) {
        if (m.trayOpen) {
          m.trayOpen = false;
          dirty_ = true;
        }
        return sense::kGood;
      }
      if (m.prevent) return sense::kRemovalPrevented;
      if (m.pending == PendingOp::Format || m.pending == PendingOp::Blank)
        return m.pending == PendingOp::Format ? sense::kFormatInProgress
                                              : sense::kOperationInProgress;
      if (const Sense f = FlushCache(); !f.Ok()) return f;
      m.trayOpen = true;
      m.simActive = false;
      dirty_ = true;
      return sense::kGood;
    }

    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      m.prevent = (cdb[4] & 0x01) != 0;
      dirty_ = true;
      return sense::kGood;

    case 0x23:  // READ FORMAT CAPACITIES
      return ctx.Send(FormatCapacities(m), Get16(cdb + 7));

    case 0x25:  // READ CAPACITY
      return ctx.Send(Capacity(m), 8);

    case 0x28: {  // READ (10)
      const uint32_t lba = Get32(cdb + 2), blocks = Get16(cdb + 7);
      if (blocks == 0) return sense::kGood;
      const uint64_t bytes = uint64_t(blocks) * kBlockSize;
      if (ctx.direction != DataDirection::In || !ctx.buffer || ctx.length < bytes)
        return sense::kInvalidField;
      if (!view::Readable(m, lba, blocks)) return sense::kLbaOutOfRange;
      if (m.faults.readErrorLba && *m.faults.readErrorLba >= lba &&
          *m.faults.readErrorLba - lba < blocks)
        return sense::kReadError;
      if (!ReadSectors(lba, blocks, ctx.buffer)) return sense::kReadError;
      ctx.transferred = static_cast<uint32_t>(bytes);
      return sense::kGood;
    }

    case 0x2A: {  // WRITE (10)
      const uint32_t lba = Get32(cdb + 2), blocks = Get16(cdb + 7);
      const uint8_t* data = ctx.Received(blocks * kBlockSize);
      if (!data && blocks) return sense::kInvalidField;
      if (m.faults.writeErrorLba && *m.faults.writeErrorLba >= lba &&
          *m.faults.writeErrorLba - lba < blocks)
        return m.faults.writeErrorSense;
      MediumState next = m;
      bool store = false;
      const Sense s = transition::Write(next, lba, blocks, &store);
      if (!s.Ok()) {
        ctx.transferred = 0;
        return s;
      }
      if (store && !CacheWrite(lba, blocks, data)) return Sense{3, 0x0C, 0};
      m = std::move(next);
      dirty_ = true;
      if (m.config.writeSpeedLimit && blocks) {
        // Only for demonstrations: pace the burn like a drive spinning at that speed.
        const auto micros = uint64_t(blocks) * kBlockSize * 1000 / m.config.writeSpeedLimit;
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
      }
      return sense::kGood;
    }

    case 0x35: {  // SYNCHRONIZE CACHE
      if (const Sense f = FlushCache(); !f.Ok()) return f;
      const Sense s = transition::SynchronizeCache(m);
      dirty_ = true;
      return s;
    }

    case 0x43: {  // READ TOC/PMA/ATIP
      uint8_t format = cdb[2] & 0x0F;
      if (format == 0 && (cdb[9] >> 6)) format = cdb[9] >> 6;  // the old SFF-8020 place
      const Reply r = Toc(m, format, (cdb[1] & 0x02) != 0, cdb[6]);
      if (!r.sense.Ok()) return r.sense;
      return ctx.Send(r.data, Get16(cdb + 7));
    }

    case 0x46: {  // GET CONFIGURATION
      const Reply r = Configuration(m, cdb[1] & 0x03, static_cast<uint16_t>(Get16(cdb + 2)));
      if (!r.sense.Ok()) return r.sense;
      return ctx.Send(r.data, Get16(cdb + 7));
    }

    case 0x51:  // READ DISC INFORMATION
      if (cdb[1] & 0x07) return sense::kInvalidField;
      return ctx.Send(DiscInformation(m), Get16(cdb + 7));

    case 0x52: {  // READ TRACK INFORMATION
      const Reply r = TrackInformation(m, cdb[1] & 0x03, Get32(cdb + 2));
      if (!r.sense.Ok()) return r.sense;
      return ctx.Send(r.data, Get16(cdb + 7));
    }

    case 0x53: {  // RESERVE TRACK
      if (cdb[1] & 0x01) return sense::kInvalidField;
      const Sense s = transition::ReserveTrack(m, Get32(cdb + 5));
      if (s.Ok()) dirty_ = true;
      return s;
    }

    case 0x55: {  // MODE SELECT (10)
      if (!(cdb[1] & 0x10) || (cdb[1] & 0x01)) return sense::kInvalidField;
      const uint32_t n = Get16(cdb + 7);
      const uint8_t* data = ctx.Received(n);
      if (!data && n) return sense::kInvalidField;
      const Sense s = ModeSelect(m, data, n);
      if (s.Ok()) dirty_ = true;
      return s;
    }

    case 0x5A: {  // MODE SENSE (10)
      if (cdb[3] != 0) return sense::kInvalidField;  // no subpages
      const Reply r = ModeSense(m, cdb[2] & 0x3F, cdb[2] >> 6, (cdb[1] & 0x08) != 0);
      if (!r.sense.Ok()) return r.sense;
      return ctx.Send(r.data, Get16(cdb + 7));
    }

    case 0x5B: {  // CLOSE TRACK/SESSION
      // A drive records its cache before it closes anything.
      if (const Sense f = FlushCache(); !f.Ok()) return f;
      if (m.faults.closeError && m.faults.closeError->function == (cdb[2] & 0x07))
        return m.faults.closeError->sense;
      const Sense s = transition::CloseTrackSession(m, cdb[2] & 0x07,
                                                    static_cast<uint16_t>(Get16(cdb + 4)));
      if (!s.Ok()) return s;
      startLongOp(PendingOp::Close, cdb[1] & 0x01, m.config.closePolls);
      dirty_ = true;
      return s;
    }

    case 0x5C:  // READ BUFFER CAPACITY
      return ctx.Send(BufferCapacity(m, cdb[1] & 0x01), Get16(cdb + 7));

    case 0xA1: {  // BLANK
      bool truncate = false;
      const Sense s = transition::Blank(m, cdb[1] & 0x07, &truncate);
      if (!s.Ok()) return s;
      if (truncate) DropCache();
      else FlushCache();
      if (truncate && !TruncateSectors()) return kInternalFailure;
      startLongOp(PendingOp::Blank, cdb[1] & 0x10, m.config.longOpPolls);
      dirty_ = true;
      return s;
    }

    case 0x04: {  // FORMAT UNIT
      if ((cdb[1] & 0x17) != 0x11) return sense::kInvalidField;
      const uint8_t* list = ctx.Received(12);
      if (!list || Get16(list + 2) != 8) return sense::kInvalidParameter;
      const uint8_t* d = list + 4;
      bool truncate = false;
      const Sense s = transition::Format(m, d[4] >> 2, Get32(d),
                                         uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7],
                                         &truncate);
      if (!s.Ok()) return s;
      if (truncate) DropCache();
      else FlushCache();
      if (truncate && !TruncateSectors()) return kInternalFailure;
      startLongOp(PendingOp::Format, list[1] & 0x02, m.config.longOpPolls);
      dirty_ = true;
      return s;
    }

    case 0xB6: {  // SET STREAMING
      const uint32_t n = Get16(cdb + 9);
      if (cdb[8] != 0) return sense::kInvalidField;  // only performance descriptors
      const uint8_t* d = ctx.Received(n);
      if (!d || n < 28) return sense::kInvalidParameter;
      const uint32_t readSize = Get32(d + 12), readTime = Get32(d + 16);
      const uint32_t writeSize = Get32(d + 20), writeTime = Get32(d + 24);
      if (readTime == 0 || writeTime == 0) return sense::kInvalidParameter;
      m.readSpeed = static_cast<uint16_t>(std::min<uint64_t>(uint64_t(readSize) * 1000 / readTime, 0xFFFF));
      m.writeSpeed = static_cast<uint16_t>(std::min<uint64_t>(uint64_t(writeSize) * 1000 / writeTime, 0xFFFF));
      dirty_ = true;
      return sense::kGood;
    }

    case 0xBB:  // SET CD SPEED
      m.readSpeed = static_cast<uint16_t>(Get16(cdb + 2));
      m.writeSpeed = static_cast<uint16_t>(Get16(cdb + 4));
      dirty_ = true;
      return sense::kGood;

    case 0xBF: {  // SEND DVD STRUCTURE
      const uint32_t n = Get16(cdb + 8);
      const uint16_t code = m.profile->code;
      if (cdb[7] != 0x0F || !(code == 0x0011 || code == 0x0013 || code == 0x0014))
        return sense::kInvalidField;
      const uint8_t* d = ctx.Received(n);
      if (!d || n < 4) return sense::kInvalidParameter;
      return sense::kGood;
    }
  }
  return sense::kInvalidOpcode;
}

}  // namespace torvik::vdrive
