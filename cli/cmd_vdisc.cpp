#include "commands.h"

namespace torvik::cli {

void AddVdiscCommands(CLI::App&, GlobalOptions&, int&) {}

}  // namespace torvik::cli
