// Trace-log exports.

#include "trace/trace.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

extern "C" {

int32_t OpenDebugFile(const wchar_t *pszPath, int32_t iFlags) { return OpenTraceFile(pszPath, iFlags); }

void CloseDebugFile(void) { CloseTraceFile(); }

void WriteZarTrace(const char *pszText) { WriteTraceText(pszText); }

void LimitDebugFileSize(uint32_t iSizeKB) { LimitTraceFileSize(iSizeKB); }

void EnableZarTrace(uint8_t bEnable) { EnableTrace(bEnable != 0); }

} // extern "C"
