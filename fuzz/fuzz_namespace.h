#pragma once
// What the fuzz programs share: a namespace folder of their own, and the
// shared camera table held still for the fuzz input.

#include <filesystem>

namespace zar_fuzz {

// Points ZAR_USB_NAMESPACE at a fresh folder, once per process (removed at
// exit), and returns that folder.
const std::filesystem::path &IsolatedNamespace();

// Opens the shared table of the isolated namespace once, lets its monitor
// thread finish its first scan and stops it, so that afterwards only the
// program changes the table. False when the table cannot be opened.
bool OpenStillTable();

} // namespace zar_fuzz
