// Loading and unloading the library.

#include <new>

#include "api/ctl.h"
#include "emulator/bus_devices.h"
#include "os/library_entry.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

// A process whose CTL cannot be allocated refuses to load: every export
// would have nothing to work on.
// The emulated bus joins the system's devices (or not) once, here.
bool OnProcessAttach() {
  os::FixNamespace();
  emulator::ConnectBusWhenEnabled();
  g_pTL = new (std::nothrow) CTL;
  if (g_pTL == nullptr) return false;
  return OpenSharedTable();
}

// Safe to run twice (POSIX runs it after a refused load and again at exit).
// When the process ends, its other threads were stopped wherever they were,
// possibly holding locks of the library's objects: nothing is torn down
// then; the reservations of the process are given back in the shared table
// and the monitor role is handed on, and the system frees the rest.
void OnProcessDetach(bool processEnding) {
  StopMonitorThread(processEnding);
  if (processEnding) {
    AbandonSharedTable();
    return;
  }
  delete g_pTL;
  g_pTL = nullptr;
  CloseSharedTable();
  ReleaseAllTableLocks();
}

void OnThreadAttach() { os::Sleep(10); }

void OnThreadDetach() { ReleaseAllTableLocks(); }

} // namespace oxa::ZarUsb
