#include "acquisition/data_stream.h"

#include <cstring>
#include <new>

#include "acquisition/buffer.h"
#include "os/lock_guard.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

CDataStream::WakeScope::WakeScope(CDataStream &stream) : m_stream(stream) {
  std::lock_guard<std::mutex> lock(m_stream.m_WakeLock);
  ++m_stream.m_nWakers;
  m_stream.m_pWake->Set();
}

CDataStream::WakeScope::~WakeScope() {
  std::lock_guard<std::mutex> lock(m_stream.m_WakeLock);
  if (--m_stream.m_nWakers == 0 && !m_stream.m_bWakeForGood) m_stream.m_pWake->Reset();
}

CDataStream::CDataStream(CDevice *pDevice) : m_pDevice(pDevice), m_pWake(os::Event::Create(true)) {
  TraceMessage("ZAR=> Enter CDataStream()\n");
  if (!m_pWake) throw std::bad_alloc();
}

CDataStream::~CDataStream() { Close(); }

void CDataStream::WakeForClose() {
  std::lock_guard<std::mutex> lock(m_WakeLock);
  m_bWakeForGood = true;
  m_pWake->Set();
}

void CDataStream::Close() {
  WakeForClose();
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return;
  TraceMessage("ZAR=> Enter ~CDataStream()\n");
  if (m_bAcquisitionStarted) {
    try {
      StopAcquisition(0);
    } catch (...) {
    }
  }
  TraceMessage("ZAR=> ~CDataStream() => FlushQueue\n");
  try {
    FlushQueue(1);
  } catch (...) {
  }
  m_bAcquisitionStarted = false;
  while (!m_BufferSet.empty()) {
    CBuffer *first = *m_BufferSet.begin();
    TraceMessage("ZAR=> ~CDataStream() RevokeBuffer ID = %u\n", first->m_unID);
    try {
      RevokeBuffer(first->m_unID, nullptr, nullptr);
    } catch (...) {
    }
  }
  m_bClosed = true;
}

std::shared_ptr<CDriverInterface> CDataStream::Driver() { return m_pDevice->PinDriver(); }

uint32_t CDataStream::AssignBufferID(CBuffer *pBuffer) {
  uint32_t candidate = AddressLow32(pBuffer);
  for (auto item = m_BufferSet.begin(); item != m_BufferSet.end();) {
    if ((*item)->m_unID == candidate) {
      ++candidate;
      item = m_BufferSet.begin();
    } else {
      ++item;
    }
  }
  pBuffer->m_unID = candidate;
  m_BufferSet.insert(pBuffer);
  return candidate;
}

CBuffer *CDataStream::FindBufferByID(uint32_t iID) {
  for (CBuffer *buffer : m_BufferSet)
    if (buffer->m_unID == iID) return buffer;
  return nullptr;
}

CBuffer *CDataStream::FindBufferByTag(uint32_t tag) {
  for (CBuffer *buffer : m_BufferSet)
    if (buffer->Tag() == tag) return buffer;
  return nullptr;
}

int32_t CDataStream::LockAndAdd(std::unique_ptr<CBuffer> buffer, const char *operation, uint32_t *piID) {
  auto driver = Driver();
  if (!driver) return ZAR_ERR_GENERAL;
  uint32_t word = 0;
  const uint32_t locked = driver->LockBuffer(buffer->m_pBase, buffer->m_uiSize, &word);
  if (locked == os::kWaitTimeout) buffer->RetainMemory();
  if (locked != 0 || word != 0) return ZAR_ERR_GENERAL;
  try {
    *piID = AssignBufferID(buffer.get());
  } catch (...) {
    driver->FreeBuffer(buffer->m_pBase, &word); // not kept: the driver lets it go again
    throw;
  }
  buffer.release();
  TraceMessage("ZAR=> CDataStream::%s() ID = %u\n", operation, *piID);
  return ZAR_SUCCESS;
}

int32_t CDataStream::AnnounceBuffer(void *pBuffer, uint32_t iSize, void *pPrivate, uint32_t *piID) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  // An ID must have somewhere to go: a missing out pointer is refused first.
  if (piID == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  std::unique_ptr<CBuffer> buffer(new (std::nothrow) CBuffer(this, pBuffer, iSize, true, pPrivate));
  if (!buffer) return ZAR_ERR_GENERAL;
  if (buffer->m_dwError != 0) return ZAR_ERR_INVALID_PARAMETER;
  if (m_bAcquisitionStarted) return ZAR_ERR_ACCESS_DENIED;
  return LockAndAdd(std::move(buffer), "AnnounceBuffer", piID);
}

int32_t CDataStream::AllocAndAnnounceBuffer(uint32_t iSize, void *pPrivate, void **ppBuffer, uint32_t *piID) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (piID == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  if (m_bAcquisitionStarted) return ZAR_ERR_ACCESS_DENIED;
  if (iSize == 0) return ZAR_ERR_INVALID_PARAMETER;
  std::unique_ptr<CBuffer> buffer(new (std::nothrow) CBuffer(this, nullptr, iSize, false, pPrivate));
  if (!buffer) return ZAR_ERR_GENERAL;
  if (buffer->m_dwError != 0) return ZAR_ERR_INVALID_PARAMETER;
  void *base = buffer->m_pBase;
  const int32_t result = LockAndAdd(std::move(buffer), "AllocAndAnnounceBuffer", piID);
  if (result == ZAR_SUCCESS && ppBuffer != nullptr && *ppBuffer != nullptr) *ppBuffer = base;
  return result;
}

int32_t CDataStream::RevokeBuffer(uint32_t iID, void **ppBuffer, void **ppPrivate) {
  CLockGuard lock(&m_Lock);
  TraceMessage("ZAR=> CDataStream::RevokeBuffer() ID = %u\n", iID);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (m_bAcquisitionStarted) return ZAR_ERR_ACCESS_DENIED;
  CBuffer *buffer = FindBufferByID(iID);
  if (buffer == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  int32_t result = ZAR_ERR_GENERAL;
  if (auto driver = Driver()) {
    uint32_t word = 0;
    if (driver->FreeBuffer(buffer->m_pBase, &word) == 0 && word == 0) {
      if (ppBuffer != nullptr && *ppBuffer != nullptr) *ppBuffer = buffer->m_pBase;
      if (ppPrivate != nullptr && *ppPrivate != nullptr) *ppPrivate = buffer->m_pPrivate;
      result = ZAR_SUCCESS;
    } else {
      // The driver may still hold the memory and fill it: library memory
      // is kept rather than freed under it.
      buffer->RetainMemory();
    }
  }
  // A known buffer is forgotten whatever the driver said.
  TraceMessage("ZAR=> CDataStream::RevokeBuffer() delete  pBuffer =0x%X and remove it from BufferSet\n",
               AddressLow32(buffer));
  m_BufferSet.erase(buffer);
  delete buffer;
  return result;
}

int32_t CDataStream::QueueBuffer(uint32_t iID) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  CBuffer *buffer = FindBufferByID(iID);
  if (buffer == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  if (buffer->m_bQueued) return ZAR_ERR_ACCESS_DENIED;
  auto driver = Driver();
  if (!driver) return ZAR_ERR_GENERAL;
  uint32_t word = 0;
  if (driver->QueueBuffer(buffer->Tag(), &word) != 0 || word != 0) return ZAR_ERR_GENERAL;
  buffer->m_bQueued = true;
  return ZAR_SUCCESS;
}

int32_t CDataStream::FlushQueue(uint32_t iQueueType) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (iQueueType == 0) return ZAR_SUCCESS;
  auto driver = Driver();
  if (!driver) return ZAR_ERR_GENERAL;
  uint32_t word = 0;
  if (driver->FlushQueue(&word) != 0 || word != 0) return ZAR_ERR_GENERAL;
  for (CBuffer *buffer : m_BufferSet) buffer->m_bQueued = false;
  return ZAR_SUCCESS;
}

int32_t CDataStream::StartAcquisition(uint32_t, int64_t iNumFrames) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (m_bAcquisitionStarted) return ZAR_SUCCESS;
  if (iNumFrames == 0) return ZAR_ERR_INVALID_PARAMETER;
  if (const int32_t result = SendStartStop(driver::kStreamStart); result != ZAR_SUCCESS) return result;
  m_bAcquisitionStarted = true;
  return ZAR_SUCCESS;
}

int32_t CDataStream::StopAcquisition(uint32_t) {
  WakeScope wake(*this);
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (!m_bAcquisitionStarted) return ZAR_SUCCESS;
  if (const int32_t result = SendStartStop(driver::kStreamStop); result != ZAR_SUCCESS) return result;
  m_bAcquisitionStarted = false;
  return ZAR_SUCCESS;
}

int32_t CDataStream::SendStartStop(uint32_t mode) {
  auto driver = Driver();
  if (!driver) return ZAR_ERR_GENERAL;
  uint32_t word = 0;
  return driver->StartStopStream(mode, &word) == 0 && word == 0 ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
}

int32_t CDataStream::WaitForBuffer(uint32_t iTimeoutMs, ZAR_WAIT_RESULT *pResult) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (pResult == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  auto driver = Driver();
  if (!driver) return ZAR_ERR_GENERAL;
  driver::BufferCompletion completion{};
  const uint32_t result = driver->GetBuffer(iTimeoutMs, &completion, m_pWake.get());
  if (result == os::kWaitTimeout) return ZAR_ERR_TIMEOUT;
  if (result != 0) return ZAR_ERR_GENERAL;
  CBuffer *buffer = FindBufferByTag(completion.tag);
  if (buffer == nullptr) return ZAR_ERR_GENERAL;
  pResult->pBase = buffer->m_pBase;
  pResult->iFrameInfo = completion.frameValue;
  pResult->iID = buffer->m_unID;
  pResult->pPrivate = buffer->m_pPrivate;
  pResult->bUserAlloc = buffer->m_bUserAlloc ? 1 : 0;
  std::memcpy(pResult->aFrameInfo, completion.frameInfo, sizeof pResult->aFrameInfo);
  pResult->bFilled = 1;
  buffer->m_bQueued = false;
  return ZAR_SUCCESS;
}

int32_t CDataStream::GetBufferInfo(uint32_t iID, ZAR_BUFFER_INFO *pInfo, const uint32_t *piSize) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (pInfo == nullptr || piSize == nullptr || *piSize < sizeof(ZAR_BUFFER_INFO)) return ZAR_ERR_INVALID_PARAMETER;
  const CBuffer *buffer = FindBufferByID(iID);
  if (buffer == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  ZAR_BUFFER_INFO info{};
  info.pBase = buffer->m_pBase;
  info.iSize = buffer->m_uiSize;
  info.iID = buffer->m_unID;
  info.pPrivate = buffer->m_pPrivate;
  info.bUserAlloc = buffer->m_bUserAlloc ? 1 : 0;
  std::memcpy(pInfo, &info, sizeof info);
  return ZAR_SUCCESS;
}

int32_t CDataStream::GetBufferID(uint32_t iIndex, uint32_t *piID) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  if (piID == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  *piID = 0;
  uint32_t position = 0;
  for (const CBuffer *buffer : m_BufferSet) {
    if (position++ == iIndex) {
      *piID = buffer->m_unID;
      break;
    }
  }
  return *piID != 0 ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
}

int32_t CDataStream::GetStatus(uint32_t, void *pValue, void *pSize) {
  CLockGuard lock(&m_Lock);
  if (m_bClosed) return ZAR_ERR_INVALID_HANDLE;
  return pValue != nullptr && pSize != nullptr ? ZAR_ERR_GENERAL : ZAR_ERR_INVALID_PARAMETER;
}

// The caller's RecoveryHold keeps the application's threads out: the
// buffer set never changes under it, nor the other way round.
int32_t CDataStream::RelockBuffers(CDriverInterface &driver) {
  CLockGuard lock(&m_Lock);
  m_bAcquisitionStarted = false;
  uint32_t word = 0;
  for (CBuffer *buffer : m_BufferSet) {
    if (driver.LockBuffer(buffer->m_pBase, buffer->m_uiSize, &word) != 0 || word != 0) return ZAR_ERR_GENERAL;
    if (buffer->m_bQueued && driver.QueueBuffer(buffer->Tag(), &word) != 0) return ZAR_ERR_GENERAL;
  }
  return ZAR_SUCCESS;
}

} // namespace oxa::ZarUsb
