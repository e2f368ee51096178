// Data-stream exports.

#include "api/export_frame.h"
#include "registry/closes_in_progress.h"

using namespace oxa::ZarUsb;

extern "C" {

ZAR_STATUS DSAnnounceBuffer(ZAR_DS_HANDLE hDS, void *pBuffer, uint32_t iSize, void *pPrivate, uint32_t *piID) {
  TraceMessage("ZAR=> Enter DSAnnounceBuffer hDS=0x%p iSize=%lu\n", hDS, iSize);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->AnnounceBuffer(pBuffer, iSize, pPrivate, piID); });
}

ZAR_STATUS DSAllocAndAnnounceBuffer(ZAR_DS_HANDLE hDS, uint32_t iSize, void *pPrivate, void **ppBuffer,
                                    uint32_t *piID) {
  TraceMessage("ZAR=> Enter DSAllocAndAnnounceBuffer hDS=0x%p iSize=%lu\n", hDS, iSize);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->AllocAndAnnounceBuffer(iSize, pPrivate, ppBuffer, piID); });
}

ZAR_STATUS DSRevokeBuffer(ZAR_DS_HANDLE hDS, uint32_t iID, void **ppBuffer, void **ppPrivate) {
  TraceMessage("ZAR=> Enter DSRevokeBuffer hDS=0x%p iID=%lu\n", hDS, iID);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->RevokeBuffer(iID, ppBuffer, ppPrivate); });
}

ZAR_STATUS DSQueueBuffer(ZAR_DS_HANDLE hDS, uint32_t iID) {
  TraceMessage("ZAR=> Enter DSQueueBuffer hDS=0x%p iID=%lu\n", hDS, iID);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->QueueBuffer(iID); });
}

ZAR_STATUS DSFlushQueue(ZAR_DS_HANDLE hDS, uint32_t iQueueType) {
  TraceMessage("ZAR=> Enter DSFlushQueue hDS=0x%p QueueType=%lu\n", hDS, iQueueType);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->FlushQueue(iQueueType); });
}

ZAR_STATUS DSStartAcquisition(ZAR_DS_HANDLE hDS, uint32_t iFlags, int64_t iNumFramesToAcquire) {
  TraceMessage("ZAR=> Enter DSStartAcquisition hDS=0x%p iNumFramesToAcquire=%I64d\n", hDS, iNumFramesToAcquire);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->StartAcquisition(iFlags, iNumFramesToAcquire); });
}

ZAR_STATUS DSStopAcquisition(ZAR_DS_HANDLE hDS, uint32_t iFlags) {
  TraceMessage("ZAR=> Enter DSStopAcquisition hDS=0x%p\n", hDS);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->StopAcquisition(iFlags); });
}

ZAR_STATUS DSWaitForBuffer(ZAR_DS_HANDLE hDS, uint32_t iTimeoutMs, uint32_t, ZAR_WAIT_RESULT *pResult, void *) {
  TraceMessage("ZAR=> Enter DSWaitForBuffer hDS=0x%p iTimeoutMs=%lu\n", hDS, iTimeoutMs);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->WaitForBuffer(iTimeoutMs, pResult); });
}

ZAR_STATUS DSGetStatus(ZAR_DS_HANDLE hDS, uint32_t iCmd, void *pValue, void *pSize) {
  TraceMessage("ZAR=> Enter DSGetStatus hDS=0x%p iCmd=%lu\n", hDS, iCmd);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->GetStatus(iCmd, pValue, pSize); });
}

ZAR_STATUS DSGetBufferInfo(ZAR_DS_HANDLE hDS, uint32_t iID, ZAR_BUFFER_INFO *pInfo, uint32_t *piSize) {
  TraceMessage("ZAR=> Enter DSGetBufferInfo hDS=0x%p iID=%lu\n", hDS, iID);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->GetBufferInfo(iID, pInfo, piSize); });
}

ZAR_STATUS DSGetBufferID(ZAR_DS_HANDLE hDS, uint32_t iIndex, uint32_t *piID) {
  TraceMessage("ZAR=> Enter DSGetBufferID hDS=0x%p iIndex=%lu\n", hDS, iIndex);
  const StreamPin stream = PinDataStream(hDS);
  if (!stream) return ZAR_ERR_INVALID_HANDLE;
  return Guarded([&] { return stream->GetBufferID(iIndex, piID); });
}

// The stream's device is read without the stream's lock (it never changes),
// so a close is not held up by a wait in progress on the stream.
// A handle that another close made invalid answers once that close has
// ended (see CloseInProgress).
ZAR_STATUS DSClose(ZAR_DS_HANDLE hDS) {
  TraceMessage("ZAR=> Enter DSClose hDS=0x%p\n", hDS);
  ZAR_STATUS status = ZAR_ERR_INVALID_HANDLE;
  if (const StreamPin stream = PinDataStream(hDS))
    status = Guarded([&] { return stream->GetDevice()->DeleteDataStream(stream.stream.get()); });
  if (status != ZAR_SUCCESS) WaitForClosesInProgress();
  return status;
}

} // extern "C"
