#pragma once
// Test and benchmark programs run in a namespace of their own: the library joins its namespace as it loads, before
// main, so the program runs a copy of itself with ZAR_USB_NAMESPACE (and ZAR_USB_EMULATION) set, waits for it, and
// removes the namespace after.

#include <optional>
#include <string>

namespace zar_test {

// The copy's exit code; nullopt in the copy itself, which does the work.
std::optional<int> RunInOwnNamespace(int argc, char **argv, const std::string &prefix);

} // namespace zar_test
