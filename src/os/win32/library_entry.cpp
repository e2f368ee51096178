// Windows loader glue.

#include "os/library_entry.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
  case DLL_PROCESS_ATTACH:
    return oxa::ZarUsb::OnProcessAttach() ? TRUE : FALSE;
  case DLL_PROCESS_DETACH:
    // A non-null reserved argument: the process is ending.
    oxa::ZarUsb::OnProcessDetach(reserved != nullptr);
    return TRUE;
  case DLL_THREAD_ATTACH:
    oxa::ZarUsb::OnThreadAttach();
    return TRUE;
  case DLL_THREAD_DETACH:
    oxa::ZarUsb::OnThreadDetach();
    return TRUE;
  default:
    return TRUE;
  }
}
