// Writing the image stream to a disc: the drive preparation before a job starts (where the
// new session goes), and the write thread's disc work (drive setup, one WRITE (10) per packet
// with its retries, the closing sequence each medium needs).
//
// Both work on the layout and the device record only, so they run against the virtual drive
// without a component around them.
#pragma once

#include <cstdint>
#include <vector>

#include "device/bvkSCSILib.h"
#include "layout/bvkTreeTypes.h"

namespace torvik {

// Overwritable media that grow: the new session follows the volume already on the disc, and
// once it is safely written the first packet (and the UDF anchor) is rewritten at the start of
// the disc so that readers find the new session there.
bool GrowsInPlace(TMedium m);

// Media a drive can simulate a burn on (the test-write bit); others would be written for real.
bool SimulatesWrites(TMedium m);

// Where the session starts for a disc target: write parameters, the DVD-RW formats,
// FirstWritableSector, VDImageSize and the UDF bridge's SessionStarting_LSA. False (with the
// job's error number set) when the start address cannot be found; the job must not start then,
// since writing at a stale address would damage what the disc holds.
bool PrepareDiscTarget(TCDFiles& cd, TSCSIDevice& d);

// The disc half of the write thread. Run() takes the stream's packets until it ends, writes
// them, and closes track and session (also after an abort or a write failure). The result is
// false when the job failed; the first error is in cd.ErrorNumber.
class TDiscWriter {
 public:
  TDiscWriter(TCDFiles& cd, TSCSIDevice& d);
  bool Run();

 private:
  void SetupDrive();
  // One packet at an address, with the busy and not-ready retries. `first` allows the single
  // format-and-retry of a DVD+RW that reports an incompatible format.
  bool WritePacket(uint32_t lba, const uint8_t* data, uint32_t bytes, bool first);
  bool WriteStream();
  bool RewriteVolumeStart();
  bool Finish();

  // The drive helpers behind the finishing table.
  bool Flush(bool immediate);
  bool WaitWhileNotReady(bool abortable);  // false when the limit ran out
  bool WaitForReady();
  bool CloseTrack(uint8_t number, bool immediate);
  bool CloseSession(uint8_t function, uint8_t number, bool immediate);
  void Pause(uint32_t ms) const;
  bool NotReady() const;
  // Records a drive failure as the job's error (the first one wins) and stops the producer.
  void FailDrive();

  TCDFiles& cd_;
  TSCSIDevice& d_;
  TMedium m_ = mtUNKNOWN;
  uint8_t sessions_ = 0;         // S: sessions on the disc when the job started
  uint32_t address_ = 0;         // A: where the next packet goes
  uint8_t track_ = 1;            // the track the packets go to, as the drive numbers it
  bool pollBuffer_ = true;
  bool formatTried_ = false;
  bool growing_ = false;
  std::vector<uint8_t> firstPacket_;  // kept for the rewrite at LBA 0
  std::vector<uint8_t> anchor_;       // the new session's UDF anchor, for sector 256
};

}  // namespace torvik
