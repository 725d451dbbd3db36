#include "device/bvkSGIO.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace torvik::sgio {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kTimeoutMs = 12000u * 1000u;  // 12000 s: a full blank or format may take hours
constexpr unsigned kDriverSenseFlag = 0x08;      // DRIVER_SENSE: sense was written, not an error

bool ParseAddress(const std::string& s, TFoundDrive& d) {
  int h, c, t, l;
  char tail;
  if (std::sscanf(s.c_str(), "%d:%d:%d:%d%c", &h, &c, &t, &l, &tail) != 4) return false;
  if (h < 0 || c < 0 || t < 0 || l < 0) return false;
  d.Host = h;
  d.Channel = c;
  d.Target = t;
  d.Lun = l;
  d.HasAddress = true;
  return true;
}

}  // namespace

std::vector<TFoundDrive> EnumerateOpticalDrives(const std::string& sysfsRoot) {
  std::vector<TFoundDrive> out;
  std::error_code ec;
  const fs::path block = fs::path(sysfsRoot) / "class" / "block";
  for (fs::directory_iterator it(block, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 3 || name.compare(0, 2, "sr") != 0) continue;
    if (!std::all_of(name.begin() + 2, name.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
      continue;
    if (name.size() > 8) continue;  // keeps stoi in range
    TFoundDrive d;
    d.Id = name;
    d.Number = std::stoi(name.substr(2));
    const fs::path dev = it->path() / "device";
    std::ifstream type(dev / "type");
    if (!(type >> d.DeviceType)) d.DeviceType = -1;
    // The device link's target is named host:channel:target:lun; a tree without the link still
    // lists the address under scsi_device/.
    std::error_code ec2;
    const fs::path target = fs::canonical(dev, ec2);
    if (ec2 || !ParseAddress(target.filename().string(), d)) {
      for (fs::directory_iterator s(dev / "scsi_device", ec2), e; !ec2 && s != e; s.increment(ec2))
        if (ParseAddress(s->path().filename().string(), d)) break;
    }
    out.push_back(d);
  }
  std::sort(out.begin(), out.end(),
            [](const TFoundDrive& a, const TFoundDrive& b) { return a.Number < b.Number; });
  return out;
}

void BuildHeader(sg_io_hdr& h, TSRB_ExecSCSICmd& srb, uint8_t* sense) {
  std::memset(&h, 0, sizeof h);
  h.interface_id = 'S';
  if (srb.SRB_Flags & SRB_DIR_IN)
    h.dxfer_direction = SG_DXFER_FROM_DEV;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    h.dxfer_direction = SG_DXFER_TO_DEV;
  else
    h.dxfer_direction = SG_DXFER_NONE;
  h.cmd_len = static_cast<unsigned char>(std::min<unsigned>(srb.SRB_CDBLen, 16));
  h.mx_sb_len = 32;
  h.dxfer_len = srb.SRB_BufPointer != nullptr ? srb.SRB_BufLen : 0;
  h.dxferp = h.dxfer_len != 0 ? srb.SRB_BufPointer : nullptr;
  if (h.dxfer_len == 0) h.dxfer_direction = SG_DXFER_NONE;
  h.cmdp = srb.CDB.data();
  h.sbp = sense;
  h.timeout = kTimeoutMs;
}

void SenseToFixed(const uint8_t* in, size_t n, uint8_t* fixed, size_t out) {
  std::memset(fixed, 0, out);
  if (n == 0 || out == 0) return;
  const uint8_t code = in[0] & 0x7F;
  if (code != 0x72 && code != 0x73) {
    std::memcpy(fixed, in, std::min(n, out));
    return;
  }
  uint8_t f[18] = {};
  f[0] = code == 0x72 ? 0x70 : 0x71;
  if (n > 1) f[2] = in[1] & 0x0F;
  if (n > 2) f[12] = in[2];
  if (n > 3) f[13] = in[3];
  f[7] = 10;
  // Carry over the information field and the sense-key-specific bytes (progress of a format or
  // blank), which pollers read from the fixed positions.
  const size_t addLen = n > 7 ? in[7] : 0;
  const size_t end = std::min(n, size_t{8} + addLen);
  for (size_t p = 8; p + 2 <= end;) {
    const uint8_t type = in[p];
    const size_t len = size_t{in[p + 1]} + 2;
    if (p + len > end) break;
    if (type == 0x00 && len >= 12) {  // information: 8 bytes, fixed format keeps the low four
      f[0] |= static_cast<uint8_t>(in[p + 2] & 0x80);
      std::memcpy(&f[3], &in[p + 8], 4);
    } else if (type == 0x02 && len >= 8) {  // sense key specific
      std::memcpy(&f[15], &in[p + 4], 3);
    }
    p += len;
  }
  std::memcpy(fixed, f, std::min(sizeof f, out));
}

TCompletion Complete(const sg_io_hdr& h, int ioctlResult, int ioctlErrno, const uint8_t* sense,
                     TSRB_ExecSCSICmd& srb) {
  TCompletion c;
  srb.SenseArea.fill(0);
  if (ioctlResult < 0) {
    c.Status = SS_ERR;
    c.LastError = static_cast<uint32_t>(ioctlErrno);
    srb.SRB_TargStat = 0;
    srb.SRB_HaStat = 0;
    srb.SRB_Status = c.Status;
    return c;
  }
  srb.SRB_TargStat = h.status;
  srb.SRB_HaStat = static_cast<uint8_t>(h.host_status);
  const bool ok = h.status == 0 && h.host_status == 0 && (h.driver_status & ~kDriverSenseFlag) == 0;
  c.Status = ok ? SS_COMP : SS_ERR;
  c.LastError = h.host_status;
  if (!ok) {
    const size_t written = std::min<size_t>(h.sb_len_wr, 32);
    SenseToFixed(sense, written, srb.SenseArea.data(), std::min<size_t>(srb.SRB_SenseLen, 32));
  }
  srb.SRB_Status = c.Status;
  return c;
}

int OpenDrive(const std::string& path, bool readWrite) {
  return ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

int OpenDriveExclusive(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
}

bool Tray(int fd, bool open) { return ::ioctl(fd, open ? CDROMEJECT : CDROMCLOSETRAY, 0) == 0; }

TCompletion Execute(int fd, TSRB_ExecSCSICmd& srb) {
  uint8_t sense[32] = {};
  sg_io_hdr h;
  BuildHeader(h, srb, sense);
  errno = 0;
  const int r = ::ioctl(fd, SG_IO, &h);
  const int err = r < 0 ? errno : 0;
  return Complete(h, r, err, sense, srb);
}

}  // namespace torvik::sgio
