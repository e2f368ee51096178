#pragma once
// `zarusb emu ...`: plug, unplug and drive emulated cameras.

#include <CLI/CLI.hpp>

namespace zarusb {

// Adds the emu group to the application; its commands run from the parse.
void AddEmulatorCommands(CLI::App &app);

// The advice for a user who finds no camera.
const char *NoCameraAdvice();

} // namespace zarusb
