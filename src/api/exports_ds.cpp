// Data-stream exports.

#include "api/export_frame.h"

using namespace oxa::ZarUsb;

extern "C" {

ZAR_STATUS DSAnnounceBuffer(ZAR_DS_HANDLE hDS, void *, uint32_t iSize, void *, uint32_t *) {
  TraceMessage("ZAR=> Enter DSAnnounceBuffer hDS=0x%p iSize=%lu\n", hDS, iSize);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSAllocAndAnnounceBuffer(ZAR_DS_HANDLE hDS, uint32_t iSize, void *, void **, uint32_t *) {
  TraceMessage("ZAR=> Enter DSAllocAndAnnounceBuffer hDS=0x%p iSize=%lu\n", hDS, iSize);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSRevokeBuffer(ZAR_DS_HANDLE hDS, uint32_t iID, void **, void **) {
  TraceMessage("ZAR=> Enter DSRevokeBuffer hDS=0x%p iID=%lu\n", hDS, iID);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSQueueBuffer(ZAR_DS_HANDLE hDS, uint32_t iID) {
  TraceMessage("ZAR=> Enter DSQueueBuffer hDS=0x%p iID=%lu\n", hDS, iID);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSFlushQueue(ZAR_DS_HANDLE hDS, uint32_t iQueueType) {
  TraceMessage("ZAR=> Enter DSFlushQueue hDS=0x%p QueueType=%lu\n", hDS, iQueueType);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSStartAcquisition(ZAR_DS_HANDLE hDS, uint32_t, int64_t iNumFramesToAcquire) {
  TraceMessage("ZAR=> Enter DSStartAcquisition hDS=0x%p iNumFramesToAcquire=%I64d\n", hDS, iNumFramesToAcquire);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSStopAcquisition(ZAR_DS_HANDLE hDS, uint32_t) {
  TraceMessage("ZAR=> Enter DSStopAcquisition hDS=0x%p\n", hDS);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSWaitForBuffer(ZAR_DS_HANDLE hDS, uint32_t iTimeoutMs, uint32_t, ZAR_WAIT_RESULT *, void *) {
  TraceMessage("ZAR=> Enter DSWaitForBuffer hDS=0x%p iTimeoutMs=%lu\n", hDS, iTimeoutMs);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSGetStatus(ZAR_DS_HANDLE hDS, uint32_t iCmd, void *, void *) {
  TraceMessage("ZAR=> Enter DSGetStatus hDS=0x%p iCmd=%lu\n", hDS, iCmd);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSGetBufferInfo(ZAR_DS_HANDLE hDS, uint32_t iID, ZAR_BUFFER_INFO *, uint32_t *) {
  TraceMessage("ZAR=> Enter DSGetBufferInfo hDS=0x%p iID=%lu\n", hDS, iID);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSGetBufferID(ZAR_DS_HANDLE hDS, uint32_t iIndex, uint32_t *) {
  TraceMessage("ZAR=> Enter DSGetBufferID hDS=0x%p iIndex=%lu\n", hDS, iIndex);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

ZAR_STATUS DSClose(ZAR_DS_HANDLE hDS) {
  TraceMessage("ZAR=> Enter DSClose hDS=0x%p\n", hDS);
  if (!IsDataStreamHandle(hDS)) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([] { return ZAR_ERR_GENERAL; });
}

} // extern "C"
