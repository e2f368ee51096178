// Register access exports. The handle is tried as the TL handle first, then
// as a device handle.

#include "api/export_frame.h"

using namespace oxa::ZarUsb;

namespace {

// The size shown by the entry traces; 0 when there is no size.
int64_t TracedSize(const uint64_t *piSize) { return piSize != nullptr ? static_cast<int64_t>(*piSize) : 0; }

void DumpBytes(const char *title, const void *pBuffer, const uint64_t *piSize) {
  if (!IsTraceFileOpen() || pBuffer == nullptr || piSize == nullptr) return;
  TraceRaw(title);
  const auto *bytes = static_cast<const unsigned char *>(pBuffer);
  for (uint64_t i = 0; i < *piSize; ++i) TraceRaw("%.2X ", bytes[i]);
  TraceRaw("\n");
}

ZAR_STATUS TransportLayerAccess(const void *pBuffer, const uint64_t *piSize) {
  if (pBuffer == nullptr || piSize == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  return ZAR_ERR_GENERAL;
}

} // namespace

constexpr const char *kReadErrorExit = "ZAR=> !!! GCReadData: Exit (%d)\n";
constexpr const char *kWriteErrorExit = "ZAR=> !!! GCWriteData: Exit (%d)\n";

extern "C" {

ZAR_STATUS GCReadData(void *hHandle, uint32_t, uint64_t iAddress, void *pBuffer, uint64_t *piSize) {
  TraceMessage("ZAR=> GCReadData: Enter (Add=0x%I64X; Size=%I64d)\n", iAddress, TracedSize(piSize));
  return GuardedTraced(kReadErrorExit, [&] {
    ZAR_STATUS status;
    if (IsTLHandle(hHandle)) {
      status = TransportLayerAccess(pBuffer, piSize);
    } else if (IsDeviceHandle(hHandle)) {
      status = ZAR_ERR_GENERAL;
    } else {
      TraceMessage(kReadErrorExit, ZAR_ERR_INVALID_HANDLE);
      return ZAR_ERR_INVALID_HANDLE;
    }
    DumpBytes("ZAR=> Mem Value(in hexa)= ", pBuffer, piSize);
    TraceMessage("ZAR=> GCReadData: Exit (%d)\n", status);
    return status;
  });
}

ZAR_STATUS GCWriteData(void *hHandle, uint32_t, uint64_t iAddress, const void *pBuffer, uint64_t *piSize) {
  TraceMessage("ZAR=> GCWriteData: Enter (Add=0x%I64X; Size=%I64d)\n", iAddress, TracedSize(piSize));
  DumpBytes("ZAR=> Mem Value (in hexa)= ", pBuffer, piSize);
  if (IsTLHandle(hHandle)) return Guarded([&] { return TransportLayerAccess(pBuffer, piSize); });
  if (IsDeviceHandle(hHandle)) {
    TraceMessage("ZAR=> GCWriteData: Exit\n");
    return GuardedTraced(kWriteErrorExit, [&] { return ZAR_ERR_GENERAL; });
  }
  TraceMessage(kWriteErrorExit, ZAR_ERR_INVALID_HANDLE);
  return ZAR_ERR_INVALID_HANDLE;
}

} // extern "C"
