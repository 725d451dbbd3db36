// build-iso: folders and files become an ISO image, the way the application fills its layout.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "cli_common.h"
#include "commands.h"
#include "image_output.h"
#include "progress.h"
#include "sources.h"

namespace torvik::cli {
namespace {

struct BuildIsoOptions {
  std::string output;
  std::vector<std::string> paths;
  std::string volumeId = "TorvikDisc";
  bool noJoliet = false;
  bool iso1999 = false;
  bool udf = false;
  std::string boot;
  uint32_t cacheMb = 32;
  bool savePath = false;
  bool force = false;
  bool quiet = false;
  bool dedup = false;
};

int RunBuildIso(const BuildIsoOptions& o) {
  // Every refusal comes before anything is written.
  if (std::string why = CheckVolumeLabel(o.volumeId); !why.empty()) return Fail(why);
  TImageOutput output(o.output);
  std::vector<std::string> files;  // what the image is made of, file by file
  for (const std::string& path : o.paths) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(path);
  }
  if (!o.boot.empty()) files.push_back(o.boot);
  if (std::string why = output.Check(o.force, files); !why.empty()) return Fail(why);

  TWarnings warnings;
  TBrenvik burner;
  burner.SetVolumeID(o.volumeId);
  burner.SetJolietFileSystem(!o.noJoliet);
  burner.SetISO9660v1999FS(o.iso1999);
  burner.SetUDFBridge(o.udf);
  burner.SetCacheSize(o.cacheMb);
  if (burner.CacheSize() != o.cacheMb)
    warnings.Warn("--cache-mb " + std::to_string(o.cacheMb) + " is outside 2..624; using " +
                  std::to_string(burner.CacheSize()));
  if (std::string why = UseBootImage(burner, o.boot); !why.empty()) return Fail(why);
  // An image rebuilt inside a folder it is made of is never part of its own layout.
  bool linkToASource = false;
  if (output.CanBeScanned())
    burner.SetOnAddFile([&](void*, const std::u16string& path, TWin32FindDataW& fd, bool& skip) {
      if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
      if (!output.IsTheImage(fd.cFileName, path)) return;
      skip = true;
      if (output.IsLink()) linkToASource = true;
    });
  if (std::string why = AddSources(burner, o.paths, o.savePath, warnings); !why.empty())
    return Fail(why);
  burner.SetOnAddFile(nullptr);
  if (linkToASource)
    return Fail(o.output + " is a link to " + output.Target() +
                ", a file the image is made of; the image cannot replace it");

  if (o.dedup) {
    if (std::string why = FindDuplicates(burner, o.quiet, !o.quiet, warnings); !why.empty())
      return Fail(why);
  }

  burner.Prepare();
  if (!burner.CDFiles.Prepared) {
    // Reading the error clears it, so look before asking for the text.
    const bool haveError = burner.CDFiles.ErrorNumber != 0;
    return Fail(haveError ? "cannot lay out the image: " + burner.ErrorString()
                          : std::string("cannot lay out the image"));
  }

  // From here on a signal aborts the job, and the temporary file goes with it.
  InterruptGuard interrupts;
  if (std::string why = output.Open(); !why.empty()) return Fail(why);
  const double cacheBytes = double(burner.CacheSize()) * 1048576.0;
  const TJobResult job = RunWriteJob(
      burner, o.quiet, [&] { return burner.BuildISOImage(output.WritePath()); },
      [&](ProgressBar& bar) {
        bar.Update(uint64_t(burner.BlocksWritten()) * 2048, uint64_t(burner.ImageSize()) * 2048,
                   double(burner.CachePosition()) / cacheBytes);
      });
  if (!job.Started) return Fail(output.AsShown(JobError(burner)));
  const double seconds = job.Seconds;
  const uint64_t total = uint64_t(burner.ImageSize()) * 2048;

  if (job.Failed) {
    // A partial image is no image: an earlier one stays as it was.
    const std::string why = output.AsShown(JobError(burner));
    output.Discard();
    return Fail("building " + o.output + " failed: " + why);
  }
  if (std::string why = output.Commit(o.force); !why.empty()) return Fail(why);

  if (!o.quiet) {
    const double mib = double(total) / 1048576.0;
    std::string tail;
    if (warnings.Count() > 0)
      tail = ", " + std::to_string(warnings.Count()) +
             (warnings.Count() == 1 ? " warning" : " warnings");
    std::printf("%s: %u files, %u folders, %.1f MiB (%u sectors) in %.2f s (%.1f MiB/s)%s\n",
                o.output.c_str(), burner.FileCount() - (burner.DirCount() - 1),
                burner.DirCount() - 1, mib, burner.ImageSize(), seconds,
                seconds > 0 ? mib / seconds : 0.0, tail.c_str());
  }
  return 0;
}

}  // namespace

void AddBuildIsoCommand(CLI::App& app, GlobalOptions&, int& exitCode) {
  auto options = std::make_shared<BuildIsoOptions>();
  CLI::App* cmd = app.add_subcommand(
      "build-iso",
      "Build an ISO 9660 image (with Joliet names) from folders and files. A folder's contents "
      "land in the root of the image; several folders merge.");
  cmd->add_option("OUTPUT", options->output, "The image file to write")->required();
  cmd->add_option("PATH", options->paths, "Folders and files to put on the image")
      ->required()
      ->expected(1, -1);
  cmd->add_option("--volume-id", options->volumeId, "Volume label (default TorvikDisc)")
      ->type_name("TEXT");
  cmd->add_flag("--no-joliet", options->noJoliet, "Leave out the Joliet names");
  cmd->add_flag("--iso9660-1999", options->iso1999, "Add the ISO 9660:1999 hierarchy");
  cmd->add_flag("--udf", options->udf, "Add a UDF 1.02 bridge over the same file data");
  cmd->add_option("--boot", options->boot,
                  "El Torito boot image (2048 bytes, or a 1.2, 1.44 or 2.88 MB floppy image)")
      ->type_name("FILE");
  cmd->add_option("--cache-mb", options->cacheMb, "Cache size in MiB (2 to 624, default 32)")
      ->type_name("N");
  cmd->add_flag("--save-path", options->savePath,
                "Recreate each folder's path on the image and put its contents there, instead "
                "of merging them into the root");
  cmd->add_flag("--dedup", options->dedup,
                "Store files with identical contents once; prints the bytes this saves");
  cmd->add_flag("--force", options->force, "Overwrite OUTPUT if it exists");
  cmd->add_flag("-q,--quiet", options->quiet, "No progress bar and no summary");
  cmd->callback([options, &exitCode] { exitCode = RunBuildIso(*options); });
}

}  // namespace torvik::cli
