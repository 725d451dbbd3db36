#include <algorithm>
#include <cstring>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscJobs.h"
#include "burner/bvkDriveWaits.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"

namespace torvik {

const uint8_t kEraseFormatDVDRAM[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22,
                                        0x21, 0x20, 0x00, 0x00, 0x08, 0x00};
const uint8_t kFormatListDVDPlusRW[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23,
                                           0x05, 0x40, 0x98, 0x00, 0x00, 0x00};
const uint8_t kEraseFormatBDRE[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00,
                                      0x02, 0x80, 0xC0, 0x00, 0x10, 0x00};

namespace {
// Packets of zeros written over the start of the disc, so that no old file system is found.
constexpr uint32_t kQuickOverwrite = 16;      // 1 MiB
constexpr uint32_t kDVDRAMOverwrite = 128;    // 8 MiB
constexpr uint32_t kFullPlusRWOverwrite = 2048;  // 128 MiB
}  // namespace

TEraseThread::TEraseThread(TBrenvik& Owner, TCDFiles& CDFiles, TSCSIDevice& Device)
    : FOwner(Owner), FCDFiles(CDFiles), FDevice(Device) {
  FThread = std::thread([this] { Execute(); });
}

void TEraseThread::Execute() {
  TCDFiles& cd = FCDFiles;
  const bool ok = Erase();
  ReleaseDrive(FDevice);
  bool failed;
  {
    std::lock_guard lock(cd.CriticalSection);
    failed = !ok || cd.Aborted;
    if (failed) {
      // An abort keeps its own number; otherwise the first command that failed tells why.
      uint32_t none = ERR_NONE;
      const uint32_t why = cd.Aborted ? ERR_ABORTED
                           : FError   ? FError
                                      : uint32_t{kSenseNotReady} << 8;
      cd.ErrorNumber.compare_exchange_strong(none, why);
    }
    cd.ComponentStatus = CS_IDLE;
  }
  // Outside the lock: a handler that runs here may call back into the component.
  FOwner.Complete(WM_ERASE_DONE, 0, failed ? 1 : 0, this);
}

void TEraseThread::Fail() {
  if (FError != 0) return;
  const TSENSE& s = FDevice.LastSenseInfo;
  FError = uint32_t{s.AddSenseCode} * 256 + s.AddSenQual;
  // A drive that never said why (busy, a transport failure) is reported as "not ready".
  if (FError <= ERR_ABORTED) FError = uint32_t{kSenseNotReady} << 8;
}

bool TEraseThread::Format(const uint8_t (&list)[12]) {
  TSCSIDevice& d = FDevice;
  uint8_t copy[12];
  std::memcpy(copy, list, sizeof copy);
  if (FormatUnit(d, 0x11, copy, sizeof copy)) return true;
  // The fixed lists name the capacities of standard discs; a disc of another size (or a BD-RE
  // drive that wants the spare area it offers) refuses them. The drive's own descriptor for
  // the same format type is what it accepts.
  const TSENSE refused = d.LastSenseInfo;
  if ((refused.SenseKey & 0x0F) == 5 && ReadFormatCapacities(d)) {
    const uint8_t* r = d.tmpBuffer.data();
    const size_t end = std::min<size_t>(4 + size_t(r[3]), 124);
    for (size_t at = 12; at + 8 <= end; at += 8) {
      if ((r[at + 4] >> 2) != (list[8] >> 2)) continue;
      std::memcpy(copy, list, 4);
      std::memcpy(copy + 4, r + at, 8);
      if (FormatUnit(d, 0x11, copy, sizeof copy)) return true;
      break;
    }
  }
  d.LastSenseInfo = refused;
  Fail();
  return false;
}

bool TEraseThread::WaitWhileNotReady(TPoll poll) {
  if (WaitForLongOperation(FDevice, FCDFiles, poll == TPoll::TestUnitReady)) return true;
  // A drive still not ready at the limit: the erase did not finish.
  if (!FCDFiles.Aborted && FError == 0) FError = uint32_t{kSenseNotReady} << 8;
  return false;
}

bool TEraseThread::Overwrite(uint32_t packets) {
  // A disc smaller than the area to overwrite (a virtual one, say) is overwritten whole; writing
  // on past its end would only fail.
  if (const uint32_t capacity = GetFormattedCapacity(FDevice); capacity != 0)
    packets = std::min(packets, capacity / kSectorsPerPacket);
  std::vector<uint8_t> zeros(kPacketSize, 0);
  FDevice.CloseFH = false;
  bool ok = true;
  for (uint32_t i = 0; i < packets && ok; ++i) {
    if (FCDFiles.Aborted) {
      ok = false;
      break;
    }
    ok = Write10(FDevice, i * kSectorsPerPacket, kSectorsPerPacket, kPacketSize, zeros.data());
    if (!ok) Fail();
  }
  FDevice.CloseFH = true;
  return ok;
}

bool TEraseThread::Erase() {
  TSCSIDevice& d = FDevice;
  const TMedium m = GetMedium(d);
  SetCDSpeed(d, d.ReadSpeed, d.WriteSpeed);
  SetWriteParameters(d, false, false, m, false);
  const bool quick = d.QuickErase;
  bool ok = true;
  // A step that fails makes the erase fail; the steps after it that put the drive back into a
  // usable state (flush, close) still run.
  auto must = [&](bool done) {
    if (!done) {
      if (ok) Fail();
      ok = false;
    }
    return done;
  };

  switch (m) {
    case mtDVDPLUSRW:
      if (!quick) {
        if (!Format(kFormatListDVDPlusRW) || !WaitWhileNotReady(TPoll::DiscInformation))
          return false;
        FCDFiles.ComponentStatus = CS_ERASE_OVERWRITE;
        ok = Overwrite(kFullPlusRWOverwrite);
        must(SynchronizeCache(d, false));
        return ok;
      }
      [[fallthrough]];
    case mtBDRE:
      // A full BD-RE erase would otherwise do nothing at all: it runs the quick one.
      // A refused format still lets the overwrite hide the old volume, but the erase fails.
      if (Format(m == mtBDRE ? kEraseFormatBDRE : kFormatListDVDPlusRW)) {
        if (!WaitWhileNotReady(TPoll::DiscInformation)) return false;
      } else {
        ok = false;
      }
      if (!Overwrite(kQuickOverwrite)) ok = false;
      must(SynchronizeCache(d, false));
      // Ends a background format the quick format may have started; a drive with none to end
      // may refuse it, which changes nothing on the disc.
      CloseTrackSession(d, false, 3, 0, 0, 0);
      return ok;
    case mtDVDRAM:
      if (quick) {
        ok = Overwrite(kDVDRAMOverwrite);
        must(SynchronizeCache(d, false));
        return ok;
      }
      return Format(kEraseFormatDVDRAM) && WaitWhileNotReady(TPoll::TestUnitReady);
    default:
      if (!Blank(d, quick)) {
        Fail();
        return false;
      }
      return WaitWhileNotReady(TPoll::DiscInformation);
  }
}

}  // namespace torvik
