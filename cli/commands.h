// Sub-commands of torvik-cli. Each Add* function registers its sub-commands on the app; the
// chosen one stores its exit status in `exitCode`.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace torvik::cli {

struct GlobalOptions {
  std::vector<std::string> virtualDrives;  // --virtual-drive PATH (repeatable)
  std::string logFile;                     // --log FILE: the device log
};

void AddBuildIsoCommand(CLI::App& app, GlobalOptions& global, int& exitCode);
void AddVdiscCommands(CLI::App& app, GlobalOptions& global, int& exitCode);
void AddDeviceCommands(CLI::App& app, GlobalOptions& global, int& exitCode);
void AddBurnCommands(CLI::App& app, GlobalOptions& global, int& exitCode);
void AddEraseVerifyCommands(CLI::App& app, GlobalOptions& global, int& exitCode);
void AddListCommand(CLI::App& app, GlobalOptions& global, int& exitCode);

}  // namespace torvik::cli
