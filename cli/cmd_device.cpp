#include "commands.h"

namespace torvik::cli {

void AddDeviceCommands(CLI::App&, GlobalOptions&, int&) {}

}  // namespace torvik::cli
