#pragma once
// What the fuzz programs share: a namespace folder of their own, and the
// library loaded with its shared camera table held still for the fuzz input.

#include <filesystem>

namespace zar_fuzz {

// Points ZAR_USB_NAMESPACE at a fresh folder, once per process (removed at
// exit), and returns that folder.
const std::filesystem::path &IsolatedNamespace();

// Sets the library up in the isolated namespace once, as loading it does
// (transport-layer object, shared table, monitor thread), lets the monitor
// finish its first scan and stops it, so that afterwards only the program
// changes the table. False when the library would refuse to load.
bool LoadStillLibrary();

} // namespace zar_fuzz
