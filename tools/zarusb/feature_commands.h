#pragma once
// `zarusb features`, `get`, `set` and `do`: a camera's features by name,
// evaluated through its GenICam description file.

#include <CLI/CLI.hpp>

namespace zarusb {

void AddFeatureCommands(CLI::App &app);

} // namespace zarusb
