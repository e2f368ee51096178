// zarusb: the ZAR_USB command-line tool.

#include <CLI/CLI.hpp>

#include "camera_commands.h"
#include "emu_commands.h"
#include "feature_commands.h"
#include "grab_command.h"
#include "genicam_root.h"
#include "list_command.h"
#include "watch_command.h"

int main(int argc, char **argv) {
  CLI::App app{"zarusb: cameras through the ZAR_USB transport layer"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "zarusb " ZAR_USB_VERSION_TEXT);
  zarusb::DefaultGenicamRoot();
  zarusb::AddListCommand(app);
  zarusb::AddCameraCommands(app);
  zarusb::AddGrabCommand(app);
  zarusb::AddFeatureCommands(app);
  zarusb::AddWatchCommand(app);
  zarusb::AddEmulatorCommands(app);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
