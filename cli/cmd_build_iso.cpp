#include "commands.h"

namespace torvik::cli {

void AddBuildIsoCommand(CLI::App&, GlobalOptions&, int&) {}

}  // namespace torvik::cli
