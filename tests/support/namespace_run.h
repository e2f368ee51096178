#pragma once
// Test and benchmark programs run in a namespace of their own. The library
// joins its namespace as it loads, before main, so the program starts a copy
// of itself with ZAR_USB_NAMESPACE (and ZAR_USB_EMULATION) set, waits for it
// and removes the namespace afterwards.

#include <optional>
#include <string>

namespace zar_test {

// In the original program: runs the copy and returns its exit code. In the
// copy (the namespace is set): nullopt, and the caller does the work.
std::optional<int> RunInOwnNamespace(int argc, char **argv, const std::string &prefix);

} // namespace zar_test
