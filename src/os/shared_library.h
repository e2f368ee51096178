#pragma once
// Loading a shared library at run time and finding its functions by name,
// for programs that reach a library without linking it (the GenTL producer
// reaching ZAR_USB, tests loading the producer).

#include <string>

namespace oxa::ZarUsb::os {

// Loads the library file (a path, or a bare name that the system's search
// finds) with local binding: its names do not take part in resolving the
// names of libraries loaded later, nor the reverse. The library stays loaded
// for the rest of the process. Null when it cannot be loaded; *why then
// holds the system's reason when given. Thread-safe; blocks while the system
// loads the file.
void *LoadSharedLibrary(const std::string &file, std::string *why = nullptr) noexcept;

// The address of the function of that name in a loaded library; null when
// it has none. Thread-safe, never blocks.
void *SharedLibrarySymbol(void *library, const char *name) noexcept;

// The path of the loaded file (program or shared library) that holds the
// address; empty when the system does not tell.
std::string ModulePathOf(const void *address);

// The ZAR_USB library's file name on this system: libzar_usb.so.1 (its
// soname) on POSIX, ZAR_USB.dll on Windows.
extern const char *const kZarUsbLibraryFile;

} // namespace oxa::ZarUsb::os
