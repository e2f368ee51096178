// POSIX loader glue: a constructor and a destructor stand in for DllMain's
// process attach and detach.

#include "os/library_entry.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() {
  if (!oxa::ZarUsb::OnProcessAttach()) oxa::ZarUsb::OnProcessDetach(false);
}

// At exit POSIX still runs the process's other threads: a normal unload.
__attribute__((destructor)) void LibraryUnloaded() { oxa::ZarUsb::OnProcessDetach(false); }

} // namespace
