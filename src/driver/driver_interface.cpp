#include "driver/driver_interface.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "driver/driver_requests.h"
#include "os/device_sources.h"
#include "os/system_info.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

using namespace driver;

namespace {

constexpr uint32_t kDriverReportedError = 998; // ERROR_NOACCESS
// Larger transfers cannot be described by one request.
constexpr uint64_t kMaxTransfer = 0xFFFFFFFFull - 16;

uint32_t Thread() { return os::CurrentThreadId(); }

} // namespace

CDriverInterface::CDriverInterface(const char *path) : CDriverInterface(path, os::OpenDevicePath) {}

CDriverInterface::CDriverInterface(const char *path, const DeviceOpener &opener) {
  TraceMessage("ZAR=> Enter CDriverInterface(%s) Thread=%u\n", path, Thread());
  uint32_t error = 0;
  m_hDriver = path != nullptr ? opener(path, &error) : nullptr;
  if (m_hDriver == nullptr) {
    m_dwLastError = error != 0 ? error : os::kErrorFileNotFound;
    TraceMessage("ZAR=> !!! CDriverInterface m_dwLastError = ::GetLastError() = %u Thread=%u\n", m_dwLastError,
                 Thread());
    return;
  }
  TraceMessage("ZAR=> CDriverInterface m_hDriver = %u Thread=%u\n", HandleValue(), Thread());
}

CDriverInterface::~CDriverInterface() {
  TraceMessage("ZAR=> Enter ~CDriverInterface Thread=%u\n", Thread());
  if (m_pDevice != nullptr) {
    if (m_pDevice->HasOwner()) {
      TraceMessage("ZAR=> ~CDriverInterface pInterface->DeleteDevice m_hDriver=%u Thread=%u\n", HandleValue(),
                   Thread());
      m_pDevice->DeleteThroughOwner();
    }
    m_pDevice = nullptr;
  }
  if (m_hDriver != nullptr) {
    TraceMessage("ZAR=> ~CDriverInterface ::CancelIo(m_hDriver) Error=%u Thread=%u\n", m_hDriver->CancelAll(),
                 Thread());
    TraceMessage("ZAR=> ~CDriverInterface ::CloseHandle(m_hDriver) m_hDriver=%u Thread=%u\n", HandleValue(),
                 Thread());
    m_hDriver.reset();
  }
}

uint32_t CDriverInterface::HandleValue() const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m_hDriver.get()));
}

CDriverInterface::Outcome CDriverInterface::SubmitAndWait(uint32_t code, const void *in, uint32_t inLength, void *out,
                                                          uint32_t outLength, os::IoRequest &request, uint32_t waitMs,
                                                          uint32_t *error) {
  *error = m_hDriver->Submit(code, in, inLength, out, outLength, request);
  if (*error == 0) return Outcome::Done;
  if (*error != os::kErrorIoPending) return Outcome::SubmitFailed;
  if (!request.Completion().Wait(waitMs)) {
    m_hDriver->Cancel(request);
    *error = os::kWaitTimeout;
    return Outcome::NotInTime;
  }
  uint32_t bytes = 0;
  *error = m_hDriver->Result(request, &bytes);
  return *error == 0 ? Outcome::Done : Outcome::CompletionFailed;
}

uint32_t CDriverInterface::WriteMem(uint32_t mode, uint64_t address, const void *data, uint64_t *size,
                                    uint32_t *driverError) {
  TraceMessage("ZAR=> Enter WriteMem u64Address=0x%X u64Size=%I64d, Thread=%u\n", static_cast<uint32_t>(address),
               static_cast<int64_t>(*size), Thread());
  if (m_hDriver == nullptr) return os::kErrorInvalidParameter;
  const uint64_t length = *size;
  unsigned char *request = length <= kMaxTransfer ? new (std::nothrow) unsigned char[16 + length] : nullptr;
  if (request == nullptr) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::WriteMem: Memory allocation failure => GetLastError() = %u "
                 "Thread=%u\n",
                 os::kErrorNotEnoughMemory, Thread());
    return os::kErrorNotEnoughMemory;
  }
  const WriteRequestHeader header{address, length};
  std::memcpy(request, &header, sizeof header);
  if (length != 0) std::memcpy(request + sizeof header, data, length);
  WriteReply reply{0, 0};
  uint32_t bytes = 0;
  const uint32_t error = m_hDriver->Control(WriteMemCode(mode), request, static_cast<uint32_t>(16 + length), &reply,
                                            sizeof reply, &bytes);
  delete[] request;
  if (error != 0) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::WriteMem: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n",
                 error, Thread());
    return error;
  }
  // The driver cannot have taken more than it was sent: a larger count is cut.
  *size = std::min(reply.count, length);
  *driverError = reply.driverError;
  return 0;
}

uint32_t CDriverInterface::ReadMem(uint32_t mode, uint64_t address, void *destination, uint64_t *size,
                                   uint32_t *driverError) {
  TraceMessage("ZAR=> Enter ReadMem u64Address=0x%X u64Size=%I64dThread=%u\n", static_cast<uint32_t>(address),
               static_cast<int64_t>(*size), Thread());
  if (m_hDriver == nullptr) return os::kErrorInvalidParameter;
  const uint64_t length = *size;
  unsigned char *reply = length <= kMaxTransfer ? new (std::nothrow) unsigned char[12 + length]() : nullptr;
  if (reply == nullptr) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::ReadMem: Memory allocation failure => GetLastError() = %u "
                 "Thread=%u\n",
                 os::kErrorNotEnoughMemory, Thread());
    return os::kErrorNotEnoughMemory;
  }
  const ReadRequest request{address, length};
  ReadReplyHeader header{0, kReadReplyPreset};
  std::memcpy(reply, &header, sizeof header);
  uint32_t bytes = 0;
  const uint32_t error = m_hDriver->Control(ReadMemCode(mode), &request, sizeof request, reply,
                                            static_cast<uint32_t>(12 + length), &bytes);
  if (error != 0) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::ReadMem: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n",
                 error, Thread());
  } else {
    std::memcpy(&header, reply, sizeof header);
    // The reply holds at most the bytes asked for: a larger count is cut.
    const uint64_t count = std::min(header.count, length);
    if (count != 0) std::memcpy(destination, reply + sizeof header, count);
    *size = count;
    *driverError = header.driverError;
  }
  delete[] reply;
  return error;
}

uint32_t CDriverInterface::WordRequest(const char *name, uint32_t code, const void *in, uint32_t inLength,
                                       uint32_t *driverError, uint32_t wordFailure, os::IoRequest &request) {
  uint32_t error = 0;
  switch (SubmitAndWait(code, in, inLength, driverError, sizeof *driverError, request, kRequestWaitMs, &error)) {
  case Outcome::NotInTime:
    if (code == kStartStopStream)
      TraceMessage("ZAR=> !!! Error CDriverInterface::StartStopStream: return WAIT_TIMEOUT Thread=%u\n", Thread());
    return error;
  case Outcome::SubmitFailed:
  case Outcome::CompletionFailed:
    // A request that pended and then failed leaves the word as the caller
    // set it (zero), which would read as success; it is taken as the
    // failure it is, so a buffer is never believed locked, queued or
    // released when the driver did not do it.
    TraceMessage("ZAR=> !!! Error CDriverInterface::%s: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n", name,
                 error, Thread());
    return error;
  case Outcome::Done:
    break;
  }
  if (wordFailure != 0 && *driverError != 0) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::%s: nErrorCode = %d Thread=%u\n", name,
                 static_cast<int32_t>(*driverError), Thread());
    return wordFailure;
  }
  return 0;
}

uint32_t CDriverInterface::LockBuffer(void *buffer, uint32_t size, uint32_t *driverError) {
  TraceMessage("ZAR=> Enter LockBuffer Thread=%u\n", Thread());
  os::IoRequest request;
  if (m_hDriver == nullptr || !request.Prepare() || buffer == nullptr) return os::kErrorNotEnoughMemory;
  const uint32_t tag = DriverTag(buffer);
  std::memcpy(buffer, &tag, sizeof tag);
  TraceMessage("ZAR=> LockBuffer pvBuffer = 0x%p Thread=%u\n", buffer, Thread());
  return WordRequest("LockBuffer", kLockBuffer, buffer, size, driverError, os::kErrorNotEnoughMemory, request);
}

uint32_t CDriverInterface::QueueBuffer(uint32_t tag, uint32_t *driverError) {
  TraceMessage("ZAR=> Enter QueueBuffer Thread=%u\n", Thread());
  os::IoRequest request;
  if (m_hDriver == nullptr || !request.Prepare()) return os::kErrorNotEnoughMemory;
  if (tag == 0) return os::kErrorInvalidParameter;
  return WordRequest("QueueBuffer", kQueueBuffer, &tag, sizeof tag, driverError, kDriverReportedError, request);
}

uint32_t CDriverInterface::FreeBuffer(void *buffer, uint32_t *driverError) {
  TraceMessage("ZAR=> Enter FreeBuffer Thread=%u\n", Thread());
  os::IoRequest request;
  if (m_hDriver == nullptr || !request.Prepare()) return os::kErrorNotEnoughMemory;
  if (buffer == nullptr) return os::kErrorInvalidParameter;
  uint32_t standing = 0;
  std::memcpy(&standing, buffer, sizeof standing);
  TraceMessage("ZAR=> FreeBuffer unID = %u Thread=%u\n", standing, Thread());
  const uint32_t tag = DriverTag(buffer);
  return WordRequest("FreeBuffer", kFreeBuffer, &tag, sizeof tag, driverError, kDriverReportedError, request);
}

uint32_t CDriverInterface::GetBuffer(uint32_t timeoutMs, void *record, os::Event *wake) {
  TraceMessage("ZAR=> Enter GetBuffer Thread=%u\n", Thread());
  os::IoRequest request;
  if (m_hDriver == nullptr || !request.Prepare()) return os::kErrorNotEnoughMemory;
  auto *bytes = static_cast<uint8_t *>(record);
  const uint32_t preset = kCompletionPreset;
  std::memcpy(bytes + offsetof(BufferCompletion, driverError), &preset, sizeof preset);
  uint32_t error = m_hDriver->Submit(kGetBuffer, &timeoutMs, sizeof timeoutMs, record, sizeof(BufferCompletion), request);
  if (error != 0 && error != os::kErrorIoPending) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::GetBuffer: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n",
                 error, Thread());
    return error;
  }
  if (error == os::kErrorIoPending) {
    os::Event *events[2] = {&request.Completion(), wake};
    const int signalled = os::Event::WaitAny(events, wake != nullptr ? 2 : 1, os::Event::kInfinite);
    if (signalled != 0) {
      // Woken (or the wait failed): the request is cancelled, and that
      // waited for. One the driver finished first still counts.
      m_hDriver->Cancel(request);
      uint32_t count = 0;
      if (signalled < 0) {
        TraceMessage("ZAR=> !!! Error CDriverInterface::GetBuffer: (bStatus = FALSE) => GetLastError() = %u "
                     "Thread=%u return WAIT_TIMEOUT\n",
                     os::kWaitTimeout, Thread());
        return os::kWaitTimeout;
      }
      if (m_hDriver->Result(request, &count) == os::kErrorOperationAborted) {
        TraceMessage("ZAR=> !!! Error CDriverInterface::GetBuffer: (bStatus = FALSE) => GetLastError() = %u "
                     "Thread=%u\n",
                     os::kErrorOperationAborted, Thread());
        return os::kErrorOperationAborted;
      }
    }
    // A request that pended is judged by the record's driver error word
    // alone, not by the completion's status: one the driver ended without
    // writing the record (the camera was unplugged) still holds the preset
    // and reads as a failed completion.
  }
  uint32_t word = 0;
  std::memcpy(&word, bytes + offsetof(BufferCompletion, driverError), sizeof word);
  TraceMessage("ZAR=> GetBuffer retuns ErrorCode=%d  Thread=%u\n", static_cast<int32_t>(word), Thread());
  uint32_t result = 0;
  if (word != 0) {
    std::memset(bytes + offsetof(BufferCompletion, frameInfo), 0,
                offsetof(BufferCompletion, driverError) - offsetof(BufferCompletion, frameInfo));
    result = os::kWaitTimeout;
  }
  TraceMessage("ZAR=> Leave GetBuffer retuns dwError=0x%08X  Thread=%u\n", result, Thread());
  return result;
}

uint32_t CDriverInterface::StartStopStream(uint32_t mode, uint32_t *driverError) {
  TraceMessage("ZAR=> Enter StartStopStream Mode=%u Thread=%u\n", mode, Thread());
  os::IoRequest request;
  if (m_hDriver == nullptr || !request.Prepare()) {
    TraceMessage("ZAR=> !!! Error CDriverInterface::StartStopStream: return ERROR_NOT_ENOUGH_MEMORY Thread=%u\n",
                 Thread());
    return os::kErrorNotEnoughMemory;
  }
  *driverError = 0;
  // A start or stop the driver holds is waited for like the buffer requests.
  return WordRequest("StartStopStream", kStartStopStream, &mode, sizeof mode, driverError, 0, request);
}

uint32_t CDriverInterface::FlushQueue(uint32_t *driverError) {
  TraceMessage("ZAR=> Enter FlushQueue Thread=%u\n", Thread());
  *driverError = 0;
  if (m_hDriver == nullptr) return os::kErrorInvalidParameter;
  uint32_t bytes = 0;
  const uint32_t error = m_hDriver->Control(kFlushQueue, nullptr, 0, driverError, sizeof *driverError, &bytes);
  if (error != 0)
    TraceMessage("ZAR=> !!! Error CDriverInterface::FlushQueue: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n",
                 error, Thread());
  return error;
}

uint32_t CDriverInterface::GetEvent(void *record, os::IoRequest &request) {
  TraceMessage("ZAR=> Enter GetEvent\n");
  if (m_hDriver == nullptr) return os::kErrorInvalidParameter;
  const uint32_t error = m_hDriver->Submit(kGetEvent, nullptr, 0, record, sizeof(EventRecord), request);
  if (error != 0 && error != os::kErrorIoPending)
    TraceMessage("ZAR=> !!! Error CDriverInterface::GetEvent: (bStatus = FALSE) => GetLastError() = %u Thread=%u\n",
                 error, Thread());
  return error;
}

uint32_t CDriverInterface::EventResult(os::IoRequest &request) {
  uint32_t bytes = 0;
  return m_hDriver != nullptr ? m_hDriver->Result(request, &bytes) : os::kErrorInvalidParameter;
}

void CDriverInterface::CancelEvent(os::IoRequest &request) {
  if (m_hDriver != nullptr) m_hDriver->Cancel(request);
}

} // namespace oxa::ZarUsb
