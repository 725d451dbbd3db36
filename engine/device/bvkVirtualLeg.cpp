#include "device/bvkVirtualLeg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/bvkSCSILib.h"
#include "emulator/VirtualDrive.h"

namespace torvik {
void TVirtualDriveDeleter::operator()(vdrive::VirtualDrive* v) const { delete v; }
}  // namespace torvik

namespace torvik::vleg {

bool Open(TSCSIDevice& d, std::string* error) {
  if (d.VDrive) return true;
  std::string why;
  d.VDrive.reset(vdrive::VirtualDrive::Open(d.DrivePath, &why).release());
  if (!d.VDrive && error != nullptr) *error = why.empty() ? "cannot open " + d.DrivePath : why;
  return static_cast<bool>(d.VDrive);
}

void Close(TSCSIDevice& d) { d.VDrive.reset(); }

bool Claim(TSCSIDevice& d, std::string* error) {
  return Open(d, error) && d.VDrive->Claim(error);
}

void Release(TSCSIDevice& d) {
  if (d.VDrive) d.VDrive->Release();
}

uint8_t Send(TSCSIDevice& d, TSRB_ExecSCSICmd& srb) {
  srb.SenseArea.fill(0);
  if (!Open(d, nullptr)) {
    d.LastWinError = ENODEV;
    srb.SRB_Status = SS_ERR;
    return SS_ERR;
  }
  vdrive::DataDirection dir = vdrive::DataDirection::None;
  if (srb.SRB_Flags & SRB_DIR_IN)
    dir = vdrive::DataDirection::In;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    dir = vdrive::DataDirection::Out;
  const uint32_t len = srb.SRB_BufPointer != nullptr ? srb.SRB_BufLen : 0;
  if (len == 0) dir = vdrive::DataDirection::None;
  const vdrive::PassThroughResult r =
      d.VDrive->Execute(srb.CDB.data(), std::min<size_t>(srb.SRB_CDBLen, 16), dir,
                        srb.SRB_BufPointer, len);
  d.LastWinError = 0;
  srb.SRB_TargStat = r.ScsiStatus;
  const bool ok = r.SrbStatus == SS_COMP && r.ScsiStatus == 0;
  if (!ok) std::memcpy(srb.SenseArea.data(), r.Sense, std::min<size_t>(sizeof r.Sense, SENSE_LEN));
  srb.SRB_Status = ok ? SS_COMP : SS_ERR;
  return srb.SRB_Status;
}

}  // namespace torvik::vleg
