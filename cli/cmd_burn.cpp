// burn, burn-image: a layout or an image file written to a disc, with the checks the
// application makes before it lets a burn start.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscWriter.h"
#include "cli_common.h"
#include "commands.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "layout/bvkUDFBridge.h"
#include "progress.h"
#include "sources.h"

namespace torvik::cli {
namespace {

struct BurnOptions {
  std::string device;
  std::vector<std::string> paths;
  std::string image;
  bool testWrite = false;
  bool multisession = false;
  bool noImport = false;
  uint16_t speed = 0;
  bool udf = false;
  bool noJoliet = false;
  std::string volumeId = "TorvikDisc";
  std::string boot;
  bool quiet = false;
  bool verify = false;
  bool stopOnMismatch = false;
  bool dedup = false;
};

// Why TEST UNIT READY failed, as far as the drive said: busy, or not ready for a while
// (loading, formatting, closing), is no empty drive. Empty text when its answer tells nothing.
std::string NotReadyReason(TBrenvik& burner, const std::string& drive, const std::string& empty) {
  const TSENSE& s = burner.Device.LastSenseInfo;
  if (burner.Device.TargetBusy)
    return "The " + drive + " is busy. Wait until it has finished and try again.";
  if (s.AddSenseCode == 0x3A) return empty;
  if (s.AddSenseCode == 0x04)
    return "The " + drive + " is not ready (" +
           SenseText(s.SenseKey, s.AddSenseCode, s.AddSenQual) +
           "). Wait until it has finished and try again.";
  return {};
}

// What the application checks before it burns: a ready drive, a disc, one that takes data, a
// drive that can write it, and room for the image. Appending to a disc that holds sessions
// needs --multisession's counterpart on the earlier burn (an open disc); a closed one is not
// writable. An image file is built for LBA 0: on sequential media it would land at the next
// writable address of a disc that holds sessions, where no reader finds it, so it needs a blank
// disc there. Overwritable media (DVD+RW, DVD-RAM, BD-RE, restricted-overwrite DVD-RW) take it
// at LBA 0 in place of the volume they hold, so their whole capacity counts and their session
// count (a formatted disc reports one) does not.
std::string CheckDisc(TBrenvik& burner, uint32_t blocks, bool testWrite, bool image) {
  const std::string drive = "Optical drive  (" + burner.Device.DriveLetter + ")";
  const std::string empty =
      "The selected " + drive + " is empty. Please insert a writable disc and try again.";
  if (!burner.TestUnitReady()) {
    if (std::string why = NotReadyReason(burner, drive, empty); !why.empty()) return why;
    if (burner.DiscIs() == mtUNKNOWN) return empty;
    return "Drive is not ready!";
  }
  const TMedium medium = burner.DiscIs();
  if (medium == mtUNKNOWN) return empty;
  if (!burner.Writable())
    return "Burner is unable to write to disc! The disc in " + drive +
           " is not writable (closed, or a read-only disc).";
  if (!DriveWritesMedium(burner.Device, medium))
    return "The " + drive + " cannot write this disc (" + std::string(MediumName(medium)) +
           "): it is no burner for this kind of disc.";
  if (const int os = DriveWriteAccessError(burner.Device); os != 0)
    return "The " + drive + " cannot write this disc: " + burner.Device.DrivePath +
           " is not open to us for writing (" + std::strerror(os) + ").";
  if (testWrite && !burner.DeviceCan(DC_TEST_WRITE))
    return "Selected disc drive is unable to do test-write.";
  if (testWrite && !SimulatesWrites(medium))
    return "The disc in " + drive +
           " cannot be test-written: only CD-R, CD-RW, DVD-R and DVD-RW simulate a burn.";
  const bool overwritable = GrowsInPlace(medium);
  if (image && !overwritable) {
    if (const int sessions = burner.SessionsOnDisc(); sessions != 0)
      return "The disc already holds " + std::to_string(sessions) +
             " session(s); an ISO image can only be burned to a blank disc.";
  }
  const uint32_t free =
      image && overwritable ? burner.TotalBlocksOnDisc() : burner.FreeBlocksOnDisc();
  if (free != 0xFFFFFFFFu && free <= blocks) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Not enough of writable free disc space! (%.2f MB free, %.2f MB needed)",
                  free / 512.0, blocks / 512.0);
    return text;
  }
  return {};
}

std::string Elapsed(double seconds) {
  const long tenths = long(seconds * 10);
  const long m = tenths / 600;
  const long s = tenths / 10 - 60 * m;
  return std::to_string(m) + "min " + std::to_string(s) + "s";
}

// The burn's progress line: blocks written against the image, MiB/s as the drive reports
// it, the cache and the drive's buffer.
void DrawBurnProgress(TBrenvik& burner) {
  const double cacheBytes = double(burner.CacheSize()) * 1048576.0;
  const uint64_t total = uint64_t(burner.ImageSize()) * 2048;
  const uint32_t bufSize = burner.DeviceBufferSize();
  const double mibs = burner.BMWriteSpeed() / 1024.0;
  std::string line = ProgressBar::Format(uint64_t(burner.BlocksWritten()) * 2048, total, mibs,
                                         double(burner.CachePosition()) / cacheBytes, 64);
  if (bufSize > 0) {
    char b[32];
    std::snprintf(b, sizeof b, " buf %3.0f%%",
                  100.0 * burner.DeviceBufferPosition() / double(bufSize));
    line += b;
  }
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
}

// A session written to a disc that holds sessions is the one readers mount: it has to list the
// files of the sessions before it, or they vanish from view. The last session's tree goes into
// the layout first; the sources added after it replace files of the same disc path. Empty text,
// or why the burn must not go on.
std::string ImportLastSession(TBrenvik& burner) {
  if (!burner.TestUnitReady()) return {};  // CheckDisc says what is wrong with the drive
  const TMedium medium = burner.DiscIs();
  if (medium == mtUNKNOWN) return {};
  // An overwritable disc reports a session even when it holds no volume yet.
  if (GrowsInPlace(medium) ? GetVolumeSpaceSize(burner.Device) == 0 : burner.SessionsOnDisc() == 0)
    return {};
  const int session = burner.ImportSession(0, "\\");
  if (session == 0)
    return "cannot read the files of the disc's last session (" + burner.ImportError() +
           "); a new session would hide them. Burn with --no-import to write a session that "
           "lists only the new files";
  size_t files = 0, folders = 0;
  for (const auto& e : burner.CDFiles.Files) (e->DirRecord ? folders : files)++;
  std::printf("Session %d of the disc imported: %zu files, %zu folders.\n", session, files, folders);
  burner.SetReplaceFile(true);
  return {};
}

int RunBurn(const GlobalOptions& global, const BurnOptions& o, bool image) {
  if (!image)
    if (std::string why = CheckVolumeLabel(o.volumeId); !why.empty()) return Fail(why);
  TBrenvik burner;
  std::string error;
  if (!OpenDrive(burner, global, o.device, &error)) return Fail(error);

  uint32_t blocks = 0;
  if (image) {
    struct stat st{};
    if (::stat(o.image.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
      return Fail("Invalid ISO file! (" + o.image + ")");
    blocks = uint32_t((uint64_t(st.st_size) + 2047) / 2048);
  } else {
    burner.SetVolumeID(o.volumeId);
    burner.SetJolietFileSystem(!o.noJoliet);
    burner.SetUDFBridge(o.udf);
    if (std::string why = UseBootImage(burner, o.boot); !why.empty()) return Fail(why);
    // Whether or not this burn leaves the disc open, its session is the one readers mount.
    if (!o.noImport)
      if (std::string why = ImportLastSession(burner); !why.empty()) return Fail(why);
    TWarnings warnings;
    if (std::string why = AddSources(burner, o.paths, false, warnings); !why.empty())
      return Fail(why);
    if (o.dedup) {
      if (std::string why = FindDuplicates(burner, o.quiet, true, warnings); !why.empty())
        return Fail(why);
    }
    blocks = burner.Prepare();
    // The bridge cannot reach imported files whose data lies below its partition: rather no
    // bridge for this session than one that points at wrong sectors.
    if (o.udf && !UDFReachesImports(burner.CDFiles)) {
      std::fprintf(stderr,
                   "torvik-cli: the UDF bridge is left off for this session: files of earlier "
                   "sessions lie below where its partition starts; the ISO 9660 and Joliet trees "
                   "list them\n");
      burner.SetUDFBridge(false);
      blocks = burner.Prepare();
    }
    if (!burner.CDFiles.Prepared) return Fail("cannot lay out the disc: " + burner.ErrorString());
  }

  if (o.verify && o.testWrite)
    return Fail("--verify cannot check a test write: nothing is written to the disc");
  const std::string refusal = CheckDisc(burner, blocks, o.testWrite, image);
  if (!refusal.empty()) return Fail(refusal);

  burner.SetTestWrite(o.testWrite);
  burner.SetFinalizeDisc(!o.multisession);
  if (o.speed != 0) burner.SetDeviceSpeed(0xFFFF, o.speed);

  const TJobResult job = RunWriteJob(
      burner, o.quiet, [&] { return image ? burner.BurnISOImage(o.image) : burner.Burn(); },
      [&](ProgressBar&) { DrawBurnProgress(burner); });
  if (!job.Started) {
    // 30h/01h before anything is written: the overwritable disc holds data but no volume that
    // can be read, so there is nothing to append to and nothing to overwrite safely.
    const bool unreadable = burner.CDFiles.ErrorNumber == 0x3001;
    const bool busy = burner.LastOSError() == EBUSY;
    std::string why = std::string(image ? "Writing ISO image to disc failed! Error: "
                                        : "Writing to disc failed. Error: ") +
                      JobError(burner);
    if (unreadable)
      why += "\ntorvik-cli: the disc holds data but no ISO 9660 volume that can be read; erase "
             "it before burning to it";
    if (busy)
      why += "\ntorvik-cli: another program is using the drive (a burn in progress, or the disc is "
             "mounted); wait until it has finished, or unmount the disc, and try again";
    return Fail(why);
  }
  if (job.Failed) {
    std::fprintf(stderr, "Writing done with error! Elapsed time: %s.\n%s\n",
                 Elapsed(job.Seconds).c_str(), JobError(burner).c_str());
    return 1;
  }
  std::printf("Writing done. Elapsed time: %s.\n", Elapsed(job.Seconds).c_str());
  if (o.verify) {
    std::fflush(stdout);
    return RunVerify(burner, o.stopOnMismatch, o.quiet);
  }
  return 0;
}

}  // namespace

void AddBurnCommands(CLI::App& app, GlobalOptions& global, int& exitCode) {
  auto options = std::make_shared<BurnOptions>();
  CLI::App* burn = app.add_subcommand(
      "burn", "Burn folders and files to the disc in a drive (finalized unless --multisession)");
  burn->add_option("PATH", options->paths, "Folders and files to burn")->required()->expected(1, -1);
  burn->add_option("--device", options->device, "Drive id (sr0, vd0; default: the first)")
      ->type_name("ID");
  burn->add_flag("--test-write", options->testWrite, "Simulate: the disc is not changed");
  burn->add_flag("--multisession", options->multisession, "Leave the disc open for more sessions");
  burn->add_flag("--no-import", options->noImport,
                 "On a disc that holds sessions, do not carry the last one's files over");
  burn->add_option("--speed", options->speed, "Write speed in KB/s")->type_name("KBPS");
  burn->add_flag("--udf", options->udf, "Add a UDF bridge");
  burn->add_flag("--no-joliet", options->noJoliet, "Leave out the Joliet names");
  burn->add_option("--volume-id", options->volumeId, "Volume label")->type_name("TEXT");
  burn->add_option("--boot", options->boot, "El Torito boot image")->type_name("FILE");
  burn->add_flag("--verify", options->verify, "Read every file back and compare it (MD5)");
  burn->add_flag("--stop-on-mismatch", options->stopOnMismatch,
                 "With --verify: stop at the first file that differs");
  burn->add_flag("--dedup", options->dedup,
                 "Store files with identical contents once; prints the bytes this saves");
  burn->add_flag("-q,--quiet", options->quiet, "No progress bar");
  burn->callback([options, &global, &exitCode] { exitCode = RunBurn(global, *options, false); });

  auto imageOptions = std::make_shared<BurnOptions>();
  CLI::App* burnImage =
      app.add_subcommand("burn-image", "Burn an ISO image file to the disc in a drive");
  burnImage->add_option("IMAGE", imageOptions->image, "The image file")->required();
  burnImage->add_option("--device", imageOptions->device, "Drive id (sr0, vd0; default: the first)")
      ->type_name("ID");
  burnImage->add_flag("-q,--quiet", imageOptions->quiet, "No progress bar");
  burnImage->callback(
      [imageOptions, &global, &exitCode] { exitCode = RunBurn(global, *imageOptions, true); });
}

}  // namespace torvik::cli
