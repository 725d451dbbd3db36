// The Linux SCSI path: optical drives found through sysfs, commands sent with SG_IO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/bvkSCSIDefs.h"

struct sg_io_hdr;

namespace torvik::sgio {

// One optical block device as sysfs shows it.
struct TFoundDrive {
  std::string Id;    // "sr0"
  int Number = 0;    // 0 for sr0
  int DeviceType = -1;  // SCSI peripheral type from device/type; -1 when unreadable
  bool HasAddress = false;
  int Host = 0, Channel = 0, Target = 0, Lun = 0;
};

// The sr* block devices under <sysfsRoot>/class/block, ordered by number.
std::vector<TFoundDrive> EnumerateOpticalDrives(const std::string& sysfsRoot);

// Fills an SG_IO header for the request; `sense` must hold 32 bytes.
void BuildHeader(sg_io_hdr& h, TSRB_ExecSCSICmd& srb, uint8_t* sense);

// The outcome of one SG_IO call, as the request block and LastWinError see it.
struct TCompletion {
  uint8_t Status = SS_ERR;
  uint32_t LastError = 0;
};
// ioctlErrno is 0 when the ioctl succeeded. Fills status, target status and sense area.
TCompletion Complete(const sg_io_hdr& h, int ioctlResult, int ioctlErrno, const uint8_t* sense,
                     TSRB_ExecSCSICmd& srb);

// Converts sense data to fixed format (70h/71h) in `fixed` (out bytes); descriptor format (72h/73h)
// is translated, fixed format copied. Only the first `n` bytes of `in` are read.
void SenseToFixed(const uint8_t* in, size_t n, uint8_t* fixed, size_t out);

// Opens a drive without letting the CD layer touch the tray; -1 and errno on failure.
int OpenDrive(const std::string& path, bool readWrite);
// Opens a drive for writing with O_EXCL: fails with EBUSY while it is mounted or another
// program holds it that way.
int OpenDriveExclusive(const std::string& path);

// Opens or closes the tray through the CD layer of the kernel.
bool Tray(int fd, bool open);

// Sends one request on an open descriptor.
TCompletion Execute(int fd, TSRB_ExecSCSICmd& srb);

}  // namespace torvik::sgio
