#pragma once
// `zarusb info`, `read`, `write` and `xml`: one camera's identity, registers
// and description file.

#include <CLI/CLI.hpp>

namespace zarusb {

void AddCameraCommands(CLI::App &app);

} // namespace zarusb
