#pragma once
// `zarusb list`: the cameras the transport layer lists.

#include <CLI/CLI.hpp>

namespace zarusb {

void AddListCommand(CLI::App &app);

} // namespace zarusb
