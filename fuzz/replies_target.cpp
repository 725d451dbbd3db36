// Drive replies: a drive that answers every command with bytes from the input, behind the
// transport tap, while the device layer runs its queries against it.
//
// Input: a stream read front to back.
//   query bytes  two: the next query (see kQueries; bit 7 of the first also writes the command
//                log) and an argument for it; the query then sends its commands;
//   per command  one control byte:
//                  bit 7 clear: success; (control << 8 | next byte) data bytes follow, the reply
//                  bit 7 set:   failure, BUSY with bit 6, else CHECK CONDITION; (control & 3Fh)
//                               sense bytes follow, as the kernel hands them over (fixed or
//                               descriptor format)
// A command sent after the input ran out fails with 05/24/00. Each reply is also given, copied
// into a buffer of exactly its own length, to the parser of its opcode, so a parser that reads
// past what the drive sent shows up under AddressSanitizer.
#include <scsi/sg.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "device/bvkSCSILib.h"
#include "device/bvkSGIO.h"

namespace {

using namespace torvik;

class Stream {
 public:
  Stream(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool Empty() const { return p_ == end_; }
  uint8_t Byte() { return Empty() ? 0 : *p_++; }
  // Up to n bytes; fewer when the input ends.
  std::vector<uint8_t> Bytes(size_t n) {
    n = std::min<size_t>(n, static_cast<size_t>(end_ - p_));
    std::vector<uint8_t> v(p_, p_ + n);
    p_ += n;
    return v;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Runs a parser on its own heap copy of the reply, nothing beyond it.
template <typename F>
void OnExactCopy(const std::vector<uint8_t>& reply, F parse) {
  const std::unique_ptr<uint8_t[]> copy(new uint8_t[reply.size() + (reply.empty() ? 1 : 0)]);
  if (!reply.empty()) std::memcpy(copy.get(), reply.data(), reply.size());
  parse(copy.get(), reply.size());
}

void ParseAlone(uint8_t opcode, const std::vector<uint8_t>& reply) {
  switch (opcode) {
    case op::READ_DISC_INFORMATION:
      OnExactCopy(reply, [](const uint8_t* b, size_t n) { (void)TDiscInformation::Parse(b, n); });
      break;
    case op::READ_TRACK_INFORMATION:
      OnExactCopy(reply, [](const uint8_t* b, size_t n) { (void)TTrackInformation::Parse(b, n); });
      break;
    case op::GET_CONFIGURATION:
      OnExactCopy(reply, [](const uint8_t* b, size_t n) { (void)TConfigHeader::Parse(b, n); });
      break;
    case op::MODE_SENSE_10:
      OnExactCopy(reply, [](const uint8_t* b, size_t n) {
        const size_t at = ModePageOffset(b, n);
        if (at == 0) return;
        TModePage2A page;
        page.ParsePage(b + at, n - at);
      });
      break;
    default:
      break;
  }
}

// Answers one request from the stream, completing it the way the SG_IO leg does.
uint8_t Answer(Stream& in, TSRB_ExecSCSICmd& srb) {
  sg_io_hdr h{};
  std::vector<uint8_t> sense;
  if (in.Empty()) {
    h.status = 2;
    sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
  } else if (const uint8_t control = in.Byte(); control & 0x80) {
    h.status = (control & 0x40) ? STATUS_BUSY : 2;
    sense = in.Bytes(control & 0x3F);
  } else {
    const size_t length = size_t{control} << 8 | in.Byte();
    const std::vector<uint8_t> reply = in.Bytes(length);
    if ((srb.SRB_Flags & SRB_DIR_IN) && srb.SRB_BufPointer != nullptr && !reply.empty())
      std::memcpy(srb.SRB_BufPointer, reply.data(), std::min<size_t>(reply.size(), srb.SRB_BufLen));
    ParseAlone(srb.CDB[0], reply);
  }
  if (!sense.empty()) h.driver_status = 0x08;
  h.sb_len_wr = static_cast<unsigned char>(sense.size());
  // The sense goes in as a buffer of exactly the bytes the drive wrote.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[std::max<size_t>(sense.size(), 1)]);
  if (!sense.empty()) std::memcpy(bytes.get(), sense.data(), sense.size());
  return sgio::Complete(h, 0, 0, bytes.get(), srb).Status;
}

using Query = void (*)(TSCSIDevice&, uint8_t arg);

void Sink(uint64_t) {}

constexpr Query kQueries[] = {
    [](TSCSIDevice& d, uint8_t) { Sink(SelectDevice(d, 0)); },
    [](TSCSIDevice& d, uint8_t) { Sink(DetectCapabilities(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetMedium(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(static_cast<uint64_t>(GetSessionCount(d))); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetFormattedCapacity(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetFreeBlocks(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetTotalBlocks(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetLastTrackNumber(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetVolumeSpaceSize(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(Writable(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(Erasable(d)); },
    [](TSCSIDevice& d, uint8_t a) { Sink(DriveWritesMedium(d, static_cast<TMedium>(a % kMediumCount))); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetDeviceMaxReadSpeed(d) + GetDeviceMaxWriteSpeed(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(GetCurrentReadSpeed(d) + GetMaxWriteSpeed(d) + GetCurrentWriteSpeed(d)); },
    [](TSCSIDevice& d, uint8_t) { Sink(ReadBufferCapacity(d) ? d.DeviceBufferSize - d.DeviceBufferPosition : 0); },
    [](TSCSIDevice& d, uint8_t a) { Sink(ReadTrackInformation(d, a) ? d.TrackInformation.FreeBlocks : 0); },
    [](TSCSIDevice& d, uint8_t a) {
      Sink(SetWriteParameters(d, a & 0x80, a & 0x40, static_cast<TMedium>((a & 0x1F) % kMediumCount),
                              a & 0x20));
    },
    [](TSCSIDevice& d, uint8_t) {
      uint8_t inquiry[64] = {};
      Sink(Inquiry(d, inquiry) ? inquiry[0] : 0);
    },
    [](TSCSIDevice& d, uint8_t) { Sink(TestUnitReady(d)); },
};
constexpr size_t kQueryCount = sizeof kQueries / sizeof kQueries[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Stream in(data, size);
  TSCSIDevice d;
  // One drive, selected by hand: no sysfs, no node; the tap answers everything.
  d.ASPIInitialized = d.UsingSPTI = true;
  d.NoOfDevices = 1;
  d.Devices[0].DriveLetter = "sr0";
  d.Devices[0].DeviceType = 5;
  d.HaID = d.Target = d.Lun = 0;
  static std::FILE* const nowhere = std::fopen("/dev/null", "wb");
  d.Setup.Clock = [] { return std::chrono::system_clock::time_point{}; };
  d.Setup.TickCount = [] { return uint32_t{0}; };
  d.Setup.PerfCounter = [] { return int64_t{0}; };
  d.Setup.Tap = [&in](TSRB_ExecSCSICmd& srb, const TSendFunction&) { return Answer(in, srb); };
  while (!in.Empty()) {
    const uint8_t query = in.Byte();
    // Bit 7 writes the command log (it dumps reply and sense bytes) to nowhere; it is slow,
    // so only for the queries that ask.
    d.fdbg = (query & 0x80) ? nowhere : nullptr;
    kQueries[(query & 0x7F) % kQueryCount](d, in.Byte());
    // What a caller shows of the last failure.
    Sink(SenseText(d.LastSenseInfo.SenseKey, d.LastSenseInfo.AddSenseCode,
                   d.LastSenseInfo.AddSenQual).size());
  }
  d.fdbg = nullptr;  // the record closes its log; this one stays open for the next input
  return 0;
}
