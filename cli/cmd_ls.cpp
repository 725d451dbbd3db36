// ls: the tree of an ISO image file, or of one session of the disc in a drive, with sizes,
// recording dates and sector addresses.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkSessionImport.h"
#include "cli_common.h"
#include "commands.h"
#include "platform/bvkText.h"

namespace torvik::cli {
namespace {

struct LsOptions {
  std::string image;
  std::string device;
  bool fromDevice = false;
  int session = 0;
};

const char* HierarchyName(TISOHierarchy h) {
  switch (h) {
    case TISOHierarchy::Joliet:
      return "Joliet";
    case TISOHierarchy::ISO1999:
      return "ISO 9660:1999";
    case TISOHierarchy::Primary:
      return "ISO 9660";
    default:
      return "none";
  }
}

// "2024-05-01 13:45:10 +02:00" from the recorded bytes, as they stand on the disc.
std::string RecordedDate(const uint8_t* b) {
  if (b[1] == 0) return "-                         ";
  const int zone = int(int8_t(b[6])) * 15;
  const int az = zone < 0 ? -zone : zone;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02d:%02d", 1900 + b[0], b[1],
                b[2], b[3], b[4], b[5], zone < 0 ? '-' : '+', az / 60, az % 60);
  return text;
}

// One line per entry: sector, size, date, path (a folder's path ends with "/"). Depth first,
// in the order the directories list their records.
void PrintTree(const TISOTree& tree) {
  std::printf("Volume: %s (%s)\n", Utf16ToUtf8(tree.Volume.Label).c_str(),
              HierarchyName(tree.Volume.Hierarchy));
  std::printf("%10s %12s  %-26s %s\n", "SECTOR", "SIZE", "RECORDED", "PATH");
  std::vector<std::string> paths(tree.Nodes.size());
  for (size_t i = 0; i < tree.Nodes.size(); ++i) {
    const TISONode& n = tree.Nodes[i];
    const std::string parent = n.Parent < 0 ? "/" : paths[size_t(n.Parent)];
    paths[i] = parent + Utf16ToUtf8(n.Name) + (n.IsDir ? "/" : "");
    std::printf("%10u %12u  %-26s %s\n", n.Extent, n.IsDir ? 0u : n.Length,
                RecordedDate(n.Recorded).c_str(), paths[i].c_str());
  }
  std::printf("%zu files, %zu folders\n", tree.FileCount, tree.DirCount);
}

int RunLs(const GlobalOptions& global, const LsOptions& o) {
  TISOTree tree;
  std::string error;
  if (!o.fromDevice) {
    if (o.image.empty()) return Fail("ls needs an IMAGE or --device ID");
    if (!ReadImageFileTree(o.image, tree, error)) return Fail(o.image + ": " + error);
    PrintTree(tree);
    return 0;
  }
  if (!o.image.empty()) return Fail("ls takes an IMAGE or --device, not both");
  if (o.session < 0 || o.session > 255) return Fail("--session takes 1 to 255");
  TBrenvik burner;
  if (!OpenDrive(burner, global, o.device, &error)) return Fail(error);
  int session = 0;
  if (!ReadDiscSessionTree(burner.Device, o.session, tree, session, error))
    return Fail("cannot read the disc's session: " + error);
  std::printf("Session %d\n", session);
  PrintTree(tree);
  return 0;
}

}  // namespace

void AddListCommand(CLI::App& app, GlobalOptions& global, int& exitCode) {
  auto o = std::make_shared<LsOptions>();
  CLI::App* ls = app.add_subcommand(
      "ls", "List the files of an ISO image, or of a session of the disc in a drive");
  ls->add_option("IMAGE", o->image, "The image file");
  CLI::Option* dev =
      ls->add_option("--device", o->device, "Drive id (sr0, vd0); the disc in it")->type_name("ID");
  ls->add_option("--session", o->session, "Session number (default: the last)")
      ->type_name("N")
      ->needs(dev);
  ls->callback([o, &global, &exitCode, dev] {
    o->fromDevice = dev->count() > 0;
    exitCode = RunLs(global, *o);
  });
}

}  // namespace torvik::cli
