#pragma once
// `zarusb watch`: prints the transport layer's plug, unplug and power events,
// and the device events of one opened camera, as they come.

#include <CLI/CLI.hpp>

namespace zarusb {

void AddWatchCommand(CLI::App &app);

} // namespace zarusb
