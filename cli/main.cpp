// torvik-cli: build images, burn and inspect discs from the command line.
#include <csignal>
#include <cstdio>

#include "commands.h"

int main(int argc, char** argv) {
  // A reader that goes away (torvik-cli ... | head) makes a write fail with EPIPE instead of
  // killing the process; while a job runs, InterruptGuard turns the signal into an abort.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"Torvik: build ISO images and burn CDs, DVDs and Blu-ray discs", "torvik-cli"};
  app.set_version_flag("--version", std::string("torvik-cli ") + TORVIK_VERSION);
  app.require_subcommand(1);

  torvik::cli::GlobalOptions global;
  app.add_option("--virtual-drive", global.virtualDrives,
                 "Add a virtual drive kept in PATH (and PATH.state); repeatable")
      ->type_name("PATH");
  app.add_option("--log", global.logFile, "Write the device log to FILE")->type_name("FILE");

  int exitCode = 0;
  torvik::cli::AddBuildIsoCommand(app, global, exitCode);
  torvik::cli::AddVdiscCommands(app, global, exitCode);
  torvik::cli::AddDeviceCommands(app, global, exitCode);
  torvik::cli::AddBurnCommands(app, global, exitCode);
  torvik::cli::AddEraseVerifyCommands(app, global, exitCode);
  torvik::cli::AddListCommand(app, global, exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return exitCode;
}
