// drives, info, eject, load: what the drive panel of the application shows and does.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "cli_common.h"
#include "commands.h"
#include "device/bvkMMC.h"
#include "platform/bvkText.h"

namespace torvik::cli {
namespace {

const char* Truth(bool b) { return b ? "True" : "False"; }

int RunDrives(const GlobalOptions& global) {
  TBrenvik burner;
  std::string error;
  if (!AddVirtualDrives(burner, global, &error)) return Fail(error);
  if (!burner.InitializeASPI(false, "", global.logFile) || burner.DeviceCount() == 0)
    return Fail("no optical drive found");
  for (uint8_t i = 0; i < burner.DeviceCount(); ++i)
    std::printf("%s\n", burner.GetDeviceName(i).c_str());
  return 0;
}

int RunInfo(const GlobalOptions& global, const std::string& id) {
  TBrenvik burner;
  std::string error;
  if (!OpenDrive(burner, global, id, &error)) return Fail(error);
  auto speed = [](uint16_t kbps) { return " " + FormatGrouped(kbps, 0) + " KB/s"; };
  auto megabytes = [](uint32_t blocks) { return FormatGrouped(blocks * 0.001953125, 2) + " MB"; };
  std::vector<std::string> lines;
  const bool ready = burner.TestUnitReady();
  // A drive held by a burn answers nothing about its disc; a report of an empty drive with no
  // capabilities would be wrong on every line.
  if (!ready && burner.Device.TargetBusy)
    return Fail("the drive " + burner.Device.DriveLetter +
                " is busy: another program is writing to it; try again when it has finished");
  lines.push_back(std::string("Is TestUnitReady? ") + Truth(ready));
  lines.push_back("");
  lines.push_back("DISC IN DRIVE IS " + std::string(MediumName(burner.DiscIs())));
  lines.push_back(std::string("IS DISC Erasable? ") + Truth(burner.Erasable()));
  lines.push_back(std::string("IS DISC Writable? ") + Truth(burner.Writable()));
  const int sessions = burner.SessionsOnDisc();
  lines.push_back("SessionsOnDisc: " + std::to_string(sessions));
  if (sessions > 0) lines.push_back("VolumeLabel: " + Utf16ToUtf8(burner.ReadVolumeLabelOfDisc(0)));
  lines.push_back("GetTotalBlocksOnDisc: " + megabytes(burner.TotalBlocksOnDisc()));
  lines.push_back("GetFreeBlocksOnDisc: " + megabytes(burner.FreeBlocksOnDisc()));
  lines.push_back("GetMaxWriteSpeed: " + speed(burner.MaxWriteSpeed()));
  lines.push_back("GetReadSpeed: " + speed(burner.ReadSpeed()));
  lines.push_back("GetWriteSpeed: " + speed(burner.WriteSpeed()));
  lines.push_back("");
  lines.push_back("GetDeviceMaxReadSpeed: " + speed(burner.DeviceMaxReadSpeed()));
  lines.push_back("GetDeviceMaxWriteSpeed: " + speed(burner.DeviceMaxWriteSpeed()));
  struct Capability {
    uint8_t id;
    const char* name;
  };
  static constexpr Capability kCapabilities[] = {
      {DC_TEST_WRITE, "DC_TEST_WRITE"},     {DC_UNDERRUNPROTECTION, "DC_UNDERRUNPROTECTION"},
      {READ_CDR, "READ_CDR"},               {READ_CDRW, "READ_CDRW"},
      {READ_DVDRAM, "READ_DVDRAM"},         {READ_DVDR, "READ_DVDR"},
      {READ_DVDRW, "READ_DVDRW"},           {READ_DVDPLUSR, "READ_DVDPLUSR"},
      {READ_DVDPLUSRDL, "READ_DVDPLUSRDL"}, {READ_DVDPLUSRW, "READ_DVDPLUSRW"},
      {READ_HDDVDROM, "READ_HDDVDROM"},     {READ_HDDVDR, "READ_HDDVDR"},
      {READ_HDDVDRAM, "READ_HDDVDRAM"},     {READ_BDROM, "READ_BDROM"},
      {READ_BDR, "READ_BDR"},               {READ_BDRE, "READ_BDRE"},
      {WRITE_CDR, "WRITE_CDR"},             {WRITE_CDRW, "WRITE_CDRW"},
      {WRITE_DVDRAM, "WRITE_DVDRAM"},       {WRITE_DVDR, "WRITE_DVDR"},
      {WRITE_DVDRW, "WRITE_DVDRW"},         {WRITE_DVDPLUSR, "WRITE_DVDPLUSR"},
      {WRITE_DVDPLUSRDL, "WRITE_DVDPLUSRDL"}, {WRITE_DVDPLUSRW, "WRITE_DVDPLUSRW"},
      {WRITE_HDDVDR, "WRITE_HDDVDR"},       {WRITE_HDDVDRAM, "WRITE_HDDVDRAM"},
      {WRITE_BDR, "WRITE_BDR"},             {WRITE_BDRE, "WRITE_BDRE"}};
  // The speed queries re-detect the capabilities; the answers below are from the last one.
  for (const Capability& c : kCapabilities)
    lines.push_back(std::string("DEVICE CAPABLE OF ") + c.name + "? " +
                    Truth(burner.DeviceCan(c.id)));
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return 0;
}

int RunTray(const GlobalOptions& global, const std::string& id, bool open) {
  TBrenvik burner;
  std::string error;
  if (!OpenDrive(burner, global, id, &error)) return Fail(error);
  const bool ok = open ? OpenTray(burner.Device) : CloseTray(burner.Device);
  if (!ok) {
    const TSCSIDevice& d = burner.Device;
    std::string why = std::string("the drive refused to ") + (open ? "open" : "close") + " its tray";
    if (d.TargetBusy || d.LastWinError == EBUSY)
      why += ": it is busy, another program is using it (a burn in progress); try again when it "
             "has finished";
    else if (d.LastSenseInfo.AddSenseCode == 0x53 && d.LastSenseInfo.AddSenQual == 0x02)
      why += ": medium removal is prevented";
    else if (d.LastWinError != 0 && !d.DriveIsVirtual)
      why += std::string(" (") + std::strerror(int(d.LastWinError)) + ")";
    return Fail(why);
  }
  return 0;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, GlobalOptions& global, int& exitCode) {
  auto* drives = app.add_subcommand("drives", "List the optical drives (and virtual drives)");
  drives->callback([&global, &exitCode] { exitCode = RunDrives(global); });

  auto deviceId = std::make_shared<std::string>();
  auto* info = app.add_subcommand("info", "Report what the drive and the disc in it can do");
  info->add_option("--device", *deviceId, "Drive id from `drives` (sr0, vd0); default the first")
      ->type_name("ID");
  info->callback([&global, &exitCode, deviceId] { exitCode = RunInfo(global, *deviceId); });

  auto* eject = app.add_subcommand("eject", "Open the drive's tray");
  eject->add_option("--device", *deviceId, "Drive id; default the first")->type_name("ID");
  eject->callback([&global, &exitCode, deviceId] { exitCode = RunTray(global, *deviceId, true); });

  auto* load = app.add_subcommand("load", "Close the drive's tray");
  load->add_option("--device", *deviceId, "Drive id; default the first")->type_name("ID");
  load->callback([&global, &exitCode, deviceId] { exitCode = RunTray(global, *deviceId, false); });
}

}  // namespace torvik::cli
