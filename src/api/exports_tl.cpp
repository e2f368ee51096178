// Transport-layer exports and error texts.

#include <cstring>

#include <atomic>

#include "api/export_frame.h"
#include "os/lock_guard.h"
#include "api/transport_layer_xml.h"
#include "registry/interface.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"

using namespace oxa::ZarUsb;

namespace {

// The number of cameras the previous TLUpdateDeviceList saw; per process,
// it outlives TLClose.
std::atomic<uint32_t> g_lastDeviceCount{0};

ZAR_STATUS SetCallbackTraced(void *hTL, ZAR_CALLBACK pfn, void *pContext) {
  TraceMessage("ZAR=> Enter TLSetCallback hTL=0x%p\n", hTL);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return g_pTL->SetCallback(pfn, pContext); });
}

ZAR_STATUS RemoveCallbackTraced(void *hTL, ZAR_CALLBACK pfn) {
  TraceMessage("ZAR=> Enter TLRemoveCallback hTL=0x%p\n", hTL);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return g_pTL->RemoveCallback(pfn); });
}

} // namespace

extern "C" {

ZAR_STATUS TLOpen(void *, void *, ZAR_TL_HANDLE *pHandle) {
  TraceMessage("ZAR=> Enter TLOpen pHandle=0x%p\n", pHandle);
  if (pHandle == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  if (g_pTL == nullptr) return ZAR_ERR_GENERAL;
  return Guarded([&] {
    const ZAR_STATUS status = g_pTL->Open();
    if (status == ZAR_SUCCESS) *pHandle = g_pTL;
    return status;
  });
}

ZAR_STATUS TLClose(ZAR_TL_HANDLE hTL) {
  TraceMessage("ZAR=> Enter TLClose hTL=0x%p\n", hTL);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] {
    g_pTL->Close();
    g_pTL->FinishClose();
    return ZAR_SUCCESS;
  });
}

ZAR_STATUS TLInfo(void *, ZAR_TL_INFO *pInfo, uint32_t *pSize) {
  if (pInfo == nullptr || pSize == nullptr || *pSize < sizeof(ZAR_TL_INFO))
    return ZAR_ERR_INVALID_PARAMETER;
  pInfo->iVersion = 1;
  pInfo->iSize = sizeof(ZAR_TL_INFO);
  std::memcpy(pInfo->sVendor, "RK46", 5);
  std::memcpy(pInfo->sName, "ZAR_USB", 8);
  std::memcpy(pInfo->sTransport, "USB", 4);
  return ZAR_SUCCESS;
}

ZAR_STATUS TLGetXml(ZAR_TL_HANDLE hTL, void *pBuffer, uint32_t *pSize) {
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  if (pSize == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  return Guarded([&] {
    CLockGuard lock(&g_pTL->Lock());
    return ReadTransportLayerXml(pBuffer, pSize);
  });
}

ZAR_STATUS TLSetCallback(ZAR_TL_HANDLE hTL, ZAR_CALLBACK pfn, void *pContext) {
  return SetCallbackTraced(hTL, pfn, pContext);
}

ZAR_STATUS TLRemoveCallback(ZAR_TL_HANDLE hTL, ZAR_CALLBACK pfn) { return RemoveCallbackTraced(hTL, pfn); }

ZAR_STATUS TLUpdateInterfaceList(ZAR_TL_HANDLE hTL, uint8_t *pbChanged) {
  TraceMessage("ZAR=> Enter TLUpdateInterfaceList hTL=0x%p\n", hTL);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  if (pbChanged == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  WaitForThreadReady();
  *pbChanged = 0;
  TraceMessage("ZAR=> Leave TLUpdateInterfaceList\n");
  return ZAR_SUCCESS;
}

ZAR_STATUS TLGetNumInterfaces(ZAR_TL_HANDLE hTL, uint32_t *piNumInterfaces) {
  TraceMessage("ZAR=> Enter TLGetNumInterfaces hTL=0x%p\n", hTL);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  if (piNumInterfaces == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  *piNumInterfaces = g_pTL->GetNumInterfaces();
  return ZAR_SUCCESS;
}

ZAR_STATUS TLGetInterfaceName(ZAR_TL_HANDLE hTL, uint32_t iIndex, char *sName, uint32_t iSize) {
  TraceMessage("ZAR=> Enter TLGetInterfaceName hTL=0x%p iIndex=%lu\n", hTL, iIndex);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return g_pTL->GetInterfaceName(iIndex, sName, iSize); });
}

ZAR_STATUS TLUpdateDeviceList(ZAR_TL_HANDLE hTL, const char *psInterfaceName, uint8_t *pbChanged) {
  TraceMessage("ZAR=> Enter TLUpdateDeviceList hTL=0x%p psInterfaceName=%s\n", hTL, psInterfaceName);
  if (!IsTLHandle(hTL) || psInterfaceName == nullptr) return ZAR_ERR_INVALID_HANDLE;
  if (pbChanged == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  WaitForThreadReady();
  const uint32_t count = GetNumPresentDevices();
  if (g_lastDeviceCount.exchange(count) != count) *pbChanged = 1;
  return ZAR_SUCCESS;
}

ZAR_STATUS TLGetNumDevices(ZAR_TL_HANDLE hTL, const char *psInterfaceName, uint32_t *piNumDevices) {
  TraceMessage("ZAR=> Enter TLGetNumDevices hTL=0x%p psInterfaceName=%s\n", hTL, psInterfaceName);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  if (psInterfaceName == nullptr || piNumDevices == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  *piNumDevices = GetNumPresentDevices();
  return ZAR_SUCCESS;
}

ZAR_STATUS TLGetDeviceName(ZAR_TL_HANDLE hTL, const char *psInterfaceName, uint32_t iIndex, char *sName,
                           uint32_t iSize) {
  TraceMessage("ZAR=> Enter TLGetDeviceName hTL=0x%p psInterfaceName=%s iIndex=%lu\n", hTL, psInterfaceName,
               iIndex);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] {
    CLockGuard lock(&g_pTL->Lock());
    if (psInterfaceName == nullptr || sName == nullptr) return ZAR_ERR_INVALID_PARAMETER;
    if (!g_pTL->FindInterface(psInterfaceName, nullptr)) return ZAR_ERR_INVALID_PARAMETER;
    return GetPresentDeviceName(iIndex, sName, iSize);
  });
}

ZAR_STATUS TLOpenDevice(ZAR_TL_HANDLE hTL, const char *psInterfaceName, const char *sDevName,
                        ZAR_DEV_HANDLE *phDev) {
  TraceMessage("ZAR=> Enter TLOpenDevice hTL=0x%p psInterfaceName=%s sDevName=%s\n", hTL, psInterfaceName,
               sDevName);
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  WaitForThreadReady();
  return Guarded([&] {
    CLockGuard lock(&g_pTL->Lock());
    if (psInterfaceName == nullptr || sDevName == nullptr || phDev == nullptr) return ZAR_ERR_INVALID_PARAMETER;
    std::shared_ptr<CInterface> usb;
    if (!g_pTL->FindInterface(psInterfaceName, &usb)) return ZAR_ERR_INVALID_PARAMETER;
    std::shared_ptr<CDevice> device;
    const ZAR_STATUS opened = usb->OpenDevice(sDevName, &device);
    if (opened == ZAR_SUCCESS) *phDev = device.get();
    return opened;
  });
}

ZAR_STATUS GCGetErrorText(ZAR_TL_HANDLE hTL, int32_t iErrorCode, const char **ppText) {
  if (!IsTLHandle(hTL)) return ZAR_ERR_INVALID_HANDLE;
  if (ppText == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  *ppText = g_pTL->GetErrorText(iErrorCode);
  return ZAR_SUCCESS;
}

} // extern "C"
