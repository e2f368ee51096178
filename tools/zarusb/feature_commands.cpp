#include "feature_commands.h"

#include <memory>
#include <string>
#include <vector>

#include "command_support.h"
#include "feature_actions.h"

namespace zarusb {

void AddFeatureCommands(CLI::App &app) {
  auto camera = std::make_shared<std::string>();
  auto all = std::make_shared<bool>(false);
  auto names = std::make_shared<std::vector<std::string>>();
  auto name = std::make_shared<std::string>();

  CLI::App *features = app.add_subcommand("features", "List a camera's features by category");
  features->add_option("--camera", *camera, kCameraHelp);
  features->add_flag("--all", *all, "Every feature of the description file: invisible ones and those of no category");
  features->callback([camera, all] { ListFeatures(*camera, *all); });

  CLI::App *get = app.add_subcommand("get", "Read features by name");
  get->add_option("NAME", *names, "Feature names, e.g. Width PixelFormat")->required();
  get->add_option("--camera", *camera, kCameraHelp);
  get->callback([camera, names] { GetFeatures(*camera, *names); });

  CLI::App *set = app.add_subcommand("set", "Write features by name");
  set->add_option("NAME=VALUE", *names, "e.g. Width=320 PixelFormat=Mono16")->required();
  set->add_option("--camera", *camera, kCameraHelp);
  set->callback([camera, names] { SetFeatures(*camera, *names); });

  CLI::App *execute = app.add_subcommand("do", "Execute a command feature, e.g. AcquisitionStart");
  execute->add_option("NAME", *name, "Command name")->required();
  execute->add_option("--camera", *camera, kCameraHelp);
  execute->callback([camera, name] { ExecuteFeature(*camera, *name); });
}

} // namespace zarusb
