#include "burner/bvkDiscWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscJobs.h"
#include "burner/bvkDriveWaits.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "layout/bvkCache.h"
#include "layout/bvkUDFUtils.h"

namespace torvik {
namespace {

constexpr uint8_t kFormatSequentialFirst[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00,
                                                0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
constexpr uint8_t kFormatSequentialSecond[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00,
                                                 0x00, 0x00, 0x54, 0x00, 0x00, 0x10};
constexpr uint8_t kFormatRestricted[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00,
                                           0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};

// Retries of one packet while the drive is busy or becoming ready (about 500 s at 100 ms).
constexpr uint32_t kPacketRetries = 4999;
// The drive's buffer is read after the third packet, then after every sixth.
constexpr int kFirstBufferPoll = 2;
constexpr int kBufferPollEvery = 5;
// Packets taken from the cache at a time; each still goes out as its own WRITE (10).
constexpr int32_t kPacketsPerTake = 8;
// The UDF anchor sits at sector 256 of a session.
constexpr uint32_t kAnchorSector = 256;

constexpr uint8_t kSenseReset = 0x29;
constexpr uint8_t kSenseIncompatibleFormat = 0x30;

// The errno behind a command that never reached the drive (the ioctl failed, the host adapter
// lost the device), or 0 when the drive answered. Such a failure carries no sense; repeating
// it cannot help, so it is not mistaken for a drive that is busy without saying why.
int TransportError(const TSCSIDevice& d) {
  const TSENSE& s = d.LastSenseInfo;
  if (d.TargetBusy || s.SenseKey != 0 || s.AddSenseCode != 0 || d.LastWinError == 0) return 0;
  // With a host status, LastWinError holds that status rather than an errno.
  return d.LastHostStatus != 0 ? EIO : int(d.LastWinError);
}

bool FormatList(TSCSIDevice& d, const uint8_t (&list)[12]) {
  uint8_t copy[12];
  std::memcpy(copy, list, sizeof copy);
  return FormatUnit(d, 0x11, copy, sizeof copy);
}

// Page 05h as the drive holds it, with only its multi-session field changed. The write
// parameters keep a DVD-R appendable while it is written; whether its session close also
// finalizes the disc is decided right before that close.
bool SetMultiSessionField(TSCSIDevice& d, bool keepAppendable) {
  uint8_t page[256] = {};
  if (!ModeSense10(d, 0x05, false, page, sizeof page)) return false;
  const size_t at = ModePageOffset(page, sizeof page);
  if (at == 0 || at + 4 > sizeof page || (page[at] & 0x3F) != 0x05) return false;
  page[at] &= 0x3F;
  page[at + 3] = static_cast<uint8_t>((page[at + 3] & 0x3F) | (keepAppendable ? 0xC0 : 0x00));
  const size_t length = std::min<size_t>(at + 2 + page[at + 1], sizeof page);
  page[0] = page[1] = 0;  // the mode data length is reserved in MODE SELECT
  return ModeSelect10(d, page, static_cast<uint16_t>(length));
}

// A burn that never reached its close (the program was killed, the machine went down) leaves
// the last session incomplete, its track open with part of that burn's tree in it. Writing on
// at the open track's next writable address would put the new tree inside that session, where
// readers never look: they read the tree at the start of the last session's first track, and
// would find the half-written one. So the open tracks and their session are closed first,
// keeping the disc appendable, and the new session starts where the drive then offers it.
bool CloseInterruptedSession(TCDFiles& cd, TSCSIDevice& d) {
  if (!ReadDiscInformation(d) || d.DiscInformation.DiscStatus() != 1 ||
      d.DiscInformation.LastSessionState() != 1)
    return true;
  const uint8_t first = d.DiscInformation.FirstTrackOfLastSession;
  const uint8_t last = d.DiscInformation.LastTrackOfLastSession;
  SynchronizeCache(d, false);
  // CD and DVD-R take the multi-session field of page 05h at the close; +R and BD-R have no
  // write parameters and stay appendable after a session close anyway.
  const TMedium m = d.Medium;
  if (m == mtCDR || m == mtCDRW || m == mtDVDR || m == mtDVDRWSR)
    SetWriteParameters(d, false, d.BurnProof, m, true);
  for (unsigned n = std::max<unsigned>(first, 1); n <= last; ++n) {
    if (!ReadTrackInformation(d, static_cast<uint8_t>(n))) continue;
    const TTrackInformation& t = d.TrackInformation;
    const bool blank = (t.info2 & 0x40) != 0;
    const bool open = (t.info2 & 0x80) != 0 || (t.Reserved2 & 0x01) != 0;
    // Closing a track that holds nothing is not needed, and not every drive accepts it.
    if (!blank && open) CloseTrackSession(d, false, 1, 0, 0, static_cast<uint8_t>(n));
  }
  const bool closed = CloseTrackSession(d, false, 2, 0, 0, 0) && WaitForLongOperation(d, cd) &&
                      ReadDiscInformation(d) && d.DiscInformation.LastSessionState() != 1;
  if (!closed)
    cd.ErrorNumber = d.DeviceError != 0 ? d.DeviceError : 0x7203;  // 72h/03h: incomplete track
  return closed;
}

// Whether the volume area of an overwritable disc holds nothing: sectors 16-31, where every
// volume recognition sequence lies, read back as zeros. A disc whose volume could not be found
// there either failed to read or holds something else (a UDF-only volume, another format);
// treating it as blank would write over it from sector 0 and call that a success.
bool VolumeAreaIsBlank(TSCSIDevice& d) {
  std::vector<uint8_t> area(16 * kSectorSize);
  if (!Read10(d, 16, 16, area.data())) {
    // Nothing recorded there yet (a disc still formatting answers "out of range") is blank; a
    // medium or hardware error hides what is there.
    const uint8_t key = d.LastSenseInfo.SenseKey & 0x0F;
    return key != 3 && key != 4;
  }
  return std::all_of(area.begin(), area.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

bool GrowsInPlace(TMedium m) {
  return m == mtDVDPLUSRW || m == mtDVDRAM || m == mtBDRE || m == mtDVDRWRO;
}

bool SimulatesWrites(TMedium m) {
  return m == mtCDR || m == mtCDRW || m == mtDVDR || m == mtDVDRWSR;
}

bool PrepareDiscTarget(TCDFiles& cd, TSCSIDevice& d) {
  const TMedium m = d.Medium;
  if (d.TestWrite && !SimulatesWrites(m)) {
    // Drives write these media for real whatever the test-write bit says: a "simulation"
    // would burn the disc.
    cd.ErrorNumber = 0x2600;  // 26h/00h: invalid field in parameter list
    return false;
  }
  SetWriteParameters(d, d.TestWrite, d.BurnProof, m, false);
  ReadDiscInformation(d);

  bool formatted = false;
  if (d.TestWrite) {
    // A simulation leaves the medium as it is, format included.
  } else if (m == mtDVDRWSR && d.DiscInformation.DiscStatus() == 0) {
    // Quick formatting turns a sequential disc into restricted overwrite and drops whatever it
    // recorded, so only a blank one is formatted; an appendable one is written incrementally.
    if (!FormatList(d, kFormatSequentialFirst)) FormatList(d, kFormatSequentialSecond);
    formatted = true;
  } else if (m == mtDVDRWRO) {
    FormatList(d, kFormatRestricted);
    formatted = true;
  }
  if (formatted && !WaitForLongOperation(d, cd)) {
    if (cd.Aborted)
      cd.ErrorNumber = ERR_ABORTED;
    else
      cd.ErrorNumber = d.DeviceError != 0 ? d.DeviceError : uint32_t{kSenseNotReady} << 8;
    return false;
  }

  if (!GrowsInPlace(m) && d.DiscInformation.DiscStatus() == 2) {
    // A closed disc takes no further session; the drive would only reject the first write.
    cd.ErrorNumber = 0x7200;  // 72h/00h: session fixation error
    return false;
  }
  if (!GrowsInPlace(m) && !d.TestWrite && !CloseInterruptedSession(cd, d)) return false;

  cd.VDImageSize = 0;
  uint32_t sessionStart = 0;
  if (GrowsInPlace(m)) {
    // The new session follows the volume on the disc. Its UDF structures are addressed from
    // there too: the single formatted track's own start (0) would point them at the old ones.
    uint32_t end = GetVolumeSpaceSize(d);
    // An image replaces whatever is there; a layout appended to an unreadable volume would not.
    if (end == 0 && !cd.BurnISOImage && !VolumeAreaIsBlank(d)) {
      cd.ErrorNumber = 0x3001;  // 30h/01h: cannot read medium, unknown format
      return false;
    }
    // Restricted overwrite records whole ECC blocks of 16 sectors; a write starting inside one
    // is refused.
    if (m == mtDVDRWRO) end = (end + 15) / 16 * 16;
    cd.FirstWritableSector = cd.VDImageSize = end;
    sessionStart = cd.FirstWritableSector;
  } else if (ReadDiscInformation(d) &&
             ReadTrackInformation(d, d.DiscInformation.LastTrackOfLastSession)) {
    const uint32_t nwa = d.TrackInformation.NextWritableAddress;
    cd.FirstWritableSector = nwa == 1000 ? 0 : nwa;
    sessionStart = d.TrackInformation.TrackStartAddress;
    // The volume of a later session spans the disc from sector 0: readers check extents of
    // files carried over from earlier sessions against its size.
    cd.VDImageSize = cd.FirstWritableSector;
  } else if (ReadTrackInformation(d, 1)) {
    cd.FirstWritableSector = sessionStart = d.TrackInformation.TrackStartAddress;
  } else {
    // Nothing tells where the session starts: a stale address would overwrite data.
    cd.ErrorNumber = d.DeviceError != 0 ? d.DeviceError : ERR_NOT_PREPARED;
    return false;
  }
  if (cd.UDFBridge) cd.UDFBridgeInfo.SessionStarting_LSA = sessionStart;
  return true;
}

// ---- write thread -----------------------------------------------------------------------------

TDiscWriter::TDiscWriter(TCDFiles& cd, TSCSIDevice& d) : cd_(cd), d_(d) {}

void TDiscWriter::Pause(uint32_t ms) const { Sleep(ms); }

bool TDiscWriter::NotReady() const { return SenseIsNotReady(d_); }

void TDiscWriter::FailDrive() {
  const TSENSE& s = d_.LastSenseInfo;
  uint32_t code = uint32_t{s.AddSenseCode} * 256 + s.AddSenQual;
  // A drive that stayed busy leaves no sense; it is reported as "not ready" rather than as
  // one of the component's own small error numbers.
  if (code <= ERR_ABORTED) code = uint32_t{kSenseNotReady} << 8;
  FailStream(cd_, code, u"", TransportError(d_));
  uint16_t writing = CS_WRITING;
  cd_.ComponentStatus.compare_exchange_strong(writing, CS_WRITE_FAILED);
}

void TDiscWriter::SetupDrive() {
  RezeroUnit(d_);
  SetWriteParameters(d_, d_.TestWrite, d_.BurnProof, m_, false);
  ReadDiscInformation(d_);
  // A drive that answers READ BUFFER CAPACITY with a 14h sense has no buffer worth polling.
  if (ReadBufferCapacity(d_) && d_.LastSenseInfo.AddSenseCode == 0x14) pollBuffer_ = false;

  // An image file replaces the volume of a growing medium; on sequential media it can only go
  // to the new session's next writable address.
  address_ = cd_.BurnISOImage && GrowsInPlace(m_) ? 0 : cd_.FirstWritableSector;
  SetWriteParameters(d_, d_.TestWrite, d_.BurnProof, m_,
                     m_ == mtDVDPLUSR ? !d_.FinalizeDisc : false);
  SetCDSpeed(d_, d_.ReadSpeed, d_.WriteSpeed);

  switch (m_) {
    case mtDVDR:
    case mtDVDRWRO:
    case mtDVDRWSR:
    case mtDVDPLUSRW:
    case mtDVDPLUSR:
    case mtDVDPLUSRDL:
    case mtBDRSR:
    case mtBDRRR:
    case mtBDRE:
    case mtHDDVDR:
    case mtHDDVDRAM: {
      uint8_t page[256] = {};
      uint32_t curRead = d_.ModePage2A.CurReadSpeed, curWrite = d_.ModePage2A.CurWriteSpeed;
      if (ModeSense10(d_, 0x2A, false, page, sizeof page)) {
        const size_t at = ModePageOffset(page, sizeof page);
        if (at != 0 && at + 30 <= sizeof page && (page[at] & 0x3F) == 0x2A) {
          curRead = uint32_t{page[at + 14]} << 8 | page[at + 15];
          curWrite = uint32_t{page[at + 28]} << 8 | page[at + 29];
        }
      }
      uint32_t trackSize = 0;
      if (ReadDiscInformation(d_) &&
          ReadTrackInformation(d_, d_.DiscInformation.LastTrackOfLastSession)) {
        trackSize = d_.TrackInformation.TrackSize;
        track_ = d_.TrackInformation.TrackNumber;
      } else {
        trackSize = cd_.TotalImageSize + address_;
      }
      SetStreamingPerformance(d_, trackSize, curRead, 1000, curWrite, 1000);
      break;
    }
    default:
      break;
  }
  sessions_ = static_cast<uint8_t>(GetSessionCount(d_));
  if (m_ == mtDVDR) {
    SendTimestamp(d_);
    ReserveTrack(d_, cd_.TotalImageSize);
  }
  // Keeps the drive open between the many commands that follow.
  d_.CloseFH = false;
}

bool TDiscWriter::WritePacket(uint32_t lba, const uint8_t* data, uint32_t bytes, bool first) {
  const uint16_t blocks = static_cast<uint16_t>(bytes / kSectorSize);
  for (uint32_t retry = 0;; ++retry) {
    // WRITE (10) sends the buffer out; the drive layer does not change it.
    if (Write10(d_, lba, blocks, bytes, const_cast<uint8_t*>(data))) return true;
    const TSENSE& s = d_.LastSenseInfo;
    if (first && !formatTried_ && m_ == mtDVDPLUSRW &&
        s.AddSenseCode == kSenseIncompatibleFormat && s.AddSenQual == 0x05) {
      // A DVD+RW that was never formatted for this drive: format once, then try again.
      formatTried_ = true;
      if (!FormatList(d_, kFormatListDVDPlusRW) || !WaitForLongOperation(d_, cd_)) return false;
      continue;
    }
    const bool transient =
        TransportError(d_) == 0 && (d_.TargetBusy || s.AddSenseCode == kSenseNotReady ||
                                    s.AddSenseCode == 0 || s.AddSenseCode == kSenseReset);
    if (!transient || retry >= kPacketRetries || cd_.Aborted) return false;
    Pause(d_.Setup.RetryPollMs);
  }
}

bool TDiscWriter::WriteStream() {
  int countdown = kFirstBufferPoll;
  bool first = true;
  uint64_t streamOffset = 0;  // bytes of the stream written so far
  TPacketRun run;
  std::vector<uint8_t> tail;
  while (TakePackets(cd_, run, kPacketsPerTake) > 0) {
    bool ok = true;
    for (uint32_t done = 0; ok && done < run.Size;) {
      const uint32_t n = std::min(run.Size - done, kPacketSize);
      const uint8_t* p = run.Data + done;
      uint32_t bytes = n;
      if (n % kSectorSize != 0) {
        // The end of an image file that is not whole sectors: its last sector is padded with
        // zeros rather than dropped.
        bytes = static_cast<uint32_t>(BytesToBlocks(n) * kSectorSize);
        tail.assign(bytes, 0);
        std::memcpy(tail.data(), p, n);
        p = tail.data();
      }
      if (growing_) {
        if (streamOffset == 0) firstPacket_.assign(p, p + bytes);
        const uint64_t anchorAt = uint64_t{kAnchorSector} * kSectorSize;
        if (cd_.UDFBridge && anchorAt >= streamOffset &&
            anchorAt + kSectorSize <= streamOffset + bytes) {
          const uint8_t* anchor = p + (anchorAt - streamOffset);
          anchor_.assign(anchor, anchor + kSectorSize);
          // The stream's anchor names its own sector in the new session. Its copy at 256 must
          // name 256: readers reject an anchor whose tag points elsewhere.
          const uint16_t id = uint16_t(anchor_[0] | anchor_[1] << 8);
          const uint16_t crcLength =
              std::min<uint16_t>(uint16_t(anchor_[10] | anchor_[11] << 8), kSectorSize - 16);
          BuildUDFTag(anchor_.data(), id, crcLength, kAnchorSector);
        }
      }
      ok = WritePacket(address_, p, bytes, first);
      if (!ok) break;
      first = false;
      if (--countdown < 0 && pollBuffer_) {
        ReadBufferCapacity(d_);
        countdown = kBufferPollEvery;
      }
      address_ += bytes / kSectorSize;
      cd_.BlocksWritten += bytes / kSectorSize;
      streamOffset += bytes;
      done += n;
    }
    ReleasePackets(cd_, run);
    if (!ok) {
      FailDrive();
      return false;
    }
  }
  return !cd_.Aborted && cd_.ErrorNumber == 0;
}

bool TDiscWriter::RewriteVolumeStart() {
  // Only now, with the new session flushed, may the old volume's descriptors be replaced: an
  // abort or error before this point leaves the disc reading as it did before the job.
  if (!Flush(false) || cd_.Aborted) return false;
  firstPacket_.resize(std::max<size_t>(firstPacket_.size(), kPacketSize), 0);
  if (!WritePacket(0, firstPacket_.data(), kPacketSize, false)) {
    FailDrive();
    return false;
  }
  if (!anchor_.empty() && !WritePacket(kAnchorSector, anchor_.data(), kSectorSize, false)) {
    FailDrive();
    return false;
  }
  return Flush(false);
}

bool TDiscWriter::WaitWhileNotReady(bool abortable) {
  uint8_t reply[42];
  uint32_t budget = PollBudget(d_.Setup.CloseLimitMs, d_.Setup.NotReadyPollMs);
  while (true) {
    if (ReadDiscInformation(d_, reply, sizeof reply) || !NotReady()) return true;
    if (budget-- == 0 || (abortable && cd_.Aborted)) return false;
    Pause(d_.Setup.NotReadyPollMs);
  }
}

bool TDiscWriter::WaitForReady() {
  if (!WaitWhileNotReady(false)) return false;
  uint32_t budget = PollBudget(d_.Setup.CloseLimitMs, d_.Setup.NotReadyPollMs);
  while (true) {
    if (TestUnitReady(d_) || !NotReady()) return true;
    if (budget-- == 0) return false;
    Pause(d_.Setup.NotReadyPollMs);
  }
}

bool TDiscWriter::Flush(bool immediate) {
  uint32_t budget = PollBudget(d_.Setup.CloseLimitMs, d_.Setup.NotReadyPollMs);
  bool ok;
  while (true) {
    ok = SynchronizeCache(d_, immediate);
    if (ok || !NotReady() || budget-- == 0) break;
    Pause(d_.Setup.NotReadyPollMs);
  }
  d_.DeviceBufferPosition = 0;
  d_.DeviceBufferSize = 0;
  return ok;
}

bool TDiscWriter::CloseTrack(uint8_t number, bool immediate) {
  return CloseTrackSession(d_, immediate, 1, 0, 0, number);
}

bool TDiscWriter::CloseSession(uint8_t function, uint8_t number, bool immediate) {
  return CloseTrackSession(d_, immediate, function, 0, 0, number);
}

bool TDiscWriter::Finish() {
  const uint8_t S = sessions_;
  bool ok = true;
  // Each failure is recorded when it happens, so its own sense is what the job reports.
  auto must = [&](bool done) {
    if (!done && ok) {
      FailDrive();
      ok = false;
    }
    return done;
  };
  // Data the drive could not record from its cache is gone: closing now would seal a track
  // with holes in it. The disc stays open, and the next burn closes what is left.
  auto flushed = [&](bool immediate) {
    if (must(Flush(immediate))) return true;
    UnlockMedium(d_);
    return false;
  };
  switch (m_) {
    case mtDVDR:
      if (!flushed(false)) return false;
      must(CloseTrack(track_, false));
      // The reservation was the written track; whatever follows it is empty.
      CloseTrack(uint8_t(track_ + 1), false);
      if (d_.FinalizeDisc) SetMultiSessionField(d_, false);
      must(CloseSession(2, uint8_t(S + 3), false));
      break;
    case mtDVDPLUSR:
      if (!flushed(false)) return false;
      must(CloseTrack(track_, false));
      // DVD+R has no write parameters to finalize by; the close function does it.
      must(d_.FinalizeDisc ? CloseSession(6, 0, false) : CloseSession(2, 255, false));
      break;
    case mtDVDPLUSRDL:
      if (!flushed(false)) return false;
      must(CloseTrack(track_, false));
      must(d_.FinalizeDisc ? CloseSession(6, 0, false) : CloseSession(2, 0, false));
      break;
    case mtDVDPLUSRW:
      if (!flushed(false)) return false;
      must(CloseSession(3, 255, false));
      break;
    case mtDVDRWRO:
    case mtDVDRWSR: {
      if (!flushed(false)) return false;
      // On an appendable sequential disc the new session went into a later track, not track 1.
      // A restricted overwrite disc has no track to close; some drives refuse it.
      const bool closed = CloseTrack(track_, false);
      if (m_ == mtDVDRWSR) must(closed);
      if (m_ == mtDVDRWSR && d_.FinalizeDisc) SetMultiSessionField(d_, false);
      if (must(CloseSession(2, 0, true))) must(WaitWhileNotReady(false));
      break;
    }
    case mtCDR:
    case mtCDRW:
      // In track at once the flush closes the track; the session close is what must work.
      if (!flushed(true)) return false;
      must(WaitForReady());
      SetWriteParameters(d_, d_.TestWrite, d_.BurnProof, m_, !d_.FinalizeDisc);
      must(CloseSession(2, 0, true));
      break;
    case mtBDRSR:
    case mtBDRRR:
      if (!flushed(true)) return false;
      must(WaitForReady());
      must(CloseTrack(track_, false));
      {
        // BD-R has no write parameters either: finalizing is its own close function.
        const uint8_t close = d_.FinalizeDisc ? 6 : 2;
        must(CloseSession(close, 0, true) || CloseSession(close, 0, false));
      }
      break;
    default:
      if (!flushed(true)) return false;
      if (m_ != mtDVDRAM) must(WaitForReady());
      if (!CloseTrack(0, false)) CloseTrack(0, true);
      SetWriteParameters(d_, d_.TestWrite, d_.BurnProof, m_, !d_.FinalizeDisc);
      must(CloseSession(2, 0, true) || CloseSession(2, 0, false));
      break;
  }
  if (m_ != mtDVDRAM) must(WaitWhileNotReady(false));
  UnlockMedium(d_);
  LoadMedium(d_, false);
  RezeroUnit(d_);
  TestUnitReady(d_);
  return ok;
}

bool TDiscWriter::Run() {
  d_.DeviceBufferPosition = 0;
  d_.DeviceBufferSize = 0;
  m_ = d_.Medium;
  SynchronizeCache(d_, false);
  SetupDrive();

  growing_ = !cd_.BurnISOImage && GrowsInPlace(m_) && address_ != 0;
  cd_.BlocksWritten = 0;
  bool ok = WriteStream();
  if (ok && growing_) ok = RewriteVolumeStart();

  uint16_t writing = CS_WRITING;
  cd_.ComponentStatus.compare_exchange_strong(writing, CS_CLOSING);
  d_.CloseFH = true;
  // A failed flush or session close fails the job; an earlier error stays the one reported.
  if (!Finish()) ok = false;
  return ok && cd_.ErrorNumber == 0 && !cd_.Aborted;
}

}  // namespace torvik
