// Device exports.

#include "api/export_frame.h"
#include "registry/closes_in_progress.h"
#include "registry/interface.h"

using namespace oxa::ZarUsb;

extern "C" {

ZAR_STATUS DevGetXml(ZAR_DEV_HANDLE hDev, void *pBuffer, uint32_t *piSize) {
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  if (piSize == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  return Guarded([&] { return device->GetXml(pBuffer, piSize); });
}

ZAR_STATUS DevGetNumDataStreams(ZAR_DEV_HANDLE hDev, uint32_t *piNumStreams) {
  TraceMessage("ZAR=> Enter DevGetNumDataStreams hDev=0x%p\n", hDev);
  if (!PinDevice(hDev)) return ZAR_ERR_INVALID_HANDLE;
  if (piNumStreams == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  *piNumStreams = 1;
  return ZAR_SUCCESS;
}

ZAR_STATUS DevCreateDataStream(ZAR_DEV_HANDLE hDev, uint32_t iChannel, ZAR_DS_HANDLE *phDS) {
  TraceMessage("ZAR=> Enter DevCreateDataStream hDev=0x%p iChannel=%lu\n", hDev, iChannel);
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return device->CreateDataStream(iChannel, phDS); });
}

ZAR_STATUS DevGetInfo(ZAR_DEV_HANDLE hDev, ZAR_DEVICE_INFO *pInfo, uint32_t *piSize) {
  TraceMessage("ZAR=> Enter DevGetInfo hDev=0x%p\n", hDev);
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return device->GetInfo(pInfo, piSize); });
}

ZAR_STATUS DevSetCallback(ZAR_DEV_HANDLE hDev, ZAR_CALLBACK pfn, void *pContext) {
  TraceMessage("ZAR=> Enter DevSetCallback hDev=0x%p\n", hDev);
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return device->SetCallback(pfn, pContext); });
}

ZAR_STATUS DevRemoveCallback(ZAR_DEV_HANDLE hDev, ZAR_CALLBACK pfn) {
  TraceMessage("ZAR=> Enter DevRemoveCallback hDev=0x%p\n", hDev);
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return device->RemoveCallback(pfn); });
}

// Shared rather than pinned: the close waits for the calls pinned on the
// device, and must not wait for its own. A handle that another close made
// invalid answers once that close has ended (see CloseInProgress).
ZAR_STATUS DevClose(ZAR_DEV_HANDLE hDev) {
  TraceMessage("ZAR=> Enter DevClose hDev=0x%p\n", hDev);
  const std::shared_ptr<CDevice> device = OpenDevices::Share(hDev);
  const ZAR_STATUS status = !device ? ZAR_ERR_INVALID_HANDLE
                                    : Guarded([&] { return device->GetInterface()->DeleteDevice(device.get()); });
  if (status != ZAR_SUCCESS) WaitForClosesInProgress();
  return status;
}

ZAR_STATUS DevQueryCustomFeature(ZAR_DEV_HANDLE hDev, const ZAR_CUSTOM_FEATURE_REQUEST *pRequest,
                                 uint32_t iRequestSize, ZAR_CUSTOM_FEATURE_REPLY *pReply, uint32_t *piReplySize) {
  TraceMessage("ZAR=> Enter DevQueryCustomFeature hDev=0x%p\n", hDev);
  const auto device = PinDevice(hDev);
  if (!device) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return device->QueryCustomFeature(pRequest, iRequestSize, pReply, piReplySize); });
}

} // extern "C"
