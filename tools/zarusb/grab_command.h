#pragma once
// `zarusb grab`: frames from a camera into PNG files.

#include <CLI/CLI.hpp>

namespace zarusb {

void AddGrabCommand(CLI::App &app);

} // namespace zarusb
