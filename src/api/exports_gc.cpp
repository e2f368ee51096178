// Register access exports. The handle is tried as the TL handle first, then
// as a device handle.

#include <algorithm>

#include "api/export_frame.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "registry/shared_table.h"

using namespace oxa::ZarUsb;

namespace {

// The size shown by the entry traces; 0 when there is no size.
int64_t TracedSize(const uint64_t *piSize) { return piSize != nullptr ? static_cast<int64_t>(*piSize) : 0; }

// Checked inline first: a register call with tracing off pays two loads.
void DumpBytes(const char *title, const void *pBuffer, const uint64_t *piSize) {
  if (!IsTraceActive() || pBuffer == nullptr || piSize == nullptr) return;
  TraceRaw(title);
  const auto *bytes = static_cast<const unsigned char *>(pBuffer);
  for (uint64_t i = 0; i < *piSize; ++i) TraceRaw("%.2X ", bytes[i]);
  TraceRaw("\n");
}

// The transport-layer registers of the first camera this process can reach.
ZAR_STATUS TransportLayerRead(uint64_t address, void *pBuffer, uint64_t *piSize) {
  if (pBuffer == nullptr || piSize == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  for (int32_t index = 0; index < kTableRecords; ++index) {
    const RegisterAccessGrant grant = AcquireRegisterAccess(index);
    if (grant.driver == nullptr) {
      ReleaseRegisterAccess(grant);
      continue;
    }
    uint32_t word = 0;
    const uint32_t error = grant.driver->ReadMem(driver::kAccessTransportLayer, address, pBuffer, piSize, &word);
    ReleaseRegisterAccess(grant);
    // A reply that moved nothing fails, as it does through a device handle.
    return error == 0 && word == 0 && *piSize != 0 ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
  }
  return ZAR_ERR_GENERAL;
}

// The same bytes to every camera this process can reach: the ones it holds
// and the free ones; cameras held by other processes are skipped. Each camera
// is sent the caller's size, whatever an earlier one reported; *piSize ends
// as the fewest bytes a written camera reports done.
ZAR_STATUS TransportLayerWrite(uint64_t address, const void *pBuffer, uint64_t *piSize) {
  if (pBuffer == nullptr || piSize == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  const uint64_t asked = *piSize;
  uint64_t done = asked;
  ZAR_STATUS result = ZAR_ERR_GENERAL;
  for (int32_t index = 0; index < kTableRecords; ++index) {
    const RegisterAccessGrant grant = AcquireRegisterAccess(index);
    if (grant.driver != nullptr) {
      uint64_t count = asked;
      uint32_t word = 0;
      const uint32_t error = grant.driver->WriteMem(driver::kAccessTransportLayer, address, pBuffer, &count, &word);
      if (error == 0 && word == 0 && count != 0) {
        result = ZAR_SUCCESS;
        done = std::min(done, count);
      } else if (result != ZAR_SUCCESS) {
        ReleaseRegisterAccess(grant);
        return ZAR_ERR_GENERAL;
      }
    }
    ReleaseRegisterAccess(grant);
  }
  if (result == ZAR_SUCCESS) *piSize = done;
  return result;
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
      status = TransportLayerRead(iAddress, pBuffer, piSize);
    } else if (const auto device = PinDevice(hHandle)) {
      status = device->ReadData(iAddress, pBuffer, piSize);
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
  if (IsTLHandle(hHandle)) return Guarded([&] { return TransportLayerWrite(iAddress, pBuffer, piSize); });
  if (const auto device = PinDevice(hHandle)) {
    TraceMessage("ZAR=> GCWriteData: Exit\n");
    return GuardedTraced(kWriteErrorExit, [&] { return device->WriteData(iAddress, pBuffer, piSize); });
  }
  TraceMessage(kWriteErrorExit, ZAR_ERR_INVALID_HANDLE);
  return ZAR_ERR_INVALID_HANDLE;
}

} // extern "C"
