#pragma once
// I/O control requests on an opened device: what a kernel driver (or the
// camera emulator's virtual driver) is reached through.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "os/event.h"

namespace oxa::ZarUsb::os {

// System error codes the backends report.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorDeviceRemoved = 1617;

// The completion block of one overlapped request (Windows' OVERLAPPED with
// its own auto-reset event). The issuer owns it; it, and the request's input
// and output memory, must stay valid until the request has finished, which
// the issuer learns from the event, or until DeviceIo::Cancel returned.
class IoRequest {
public:
  IoRequest() noexcept { std::memset(m_native, 0, sizeof m_native); }
  IoRequest(const IoRequest &) = delete;
  IoRequest &operator=(const IoRequest &) = delete;

  // Zeroes the block and creates its event, not signalled. False when the
  // event cannot be created.
  bool Prepare() noexcept {
    std::memset(m_native, 0, sizeof m_native);
    m_status.store(kErrorIoPending);
    m_bytes = 0;
    m_event = Event::Create(false);
    return m_event != nullptr;
  }
  // Signalled when the request finishes. Only after a successful Prepare.
  Event &Completion() noexcept { return *m_event; }

  // For backends that finish requests themselves: records the outcome, then
  // signals the event. Afterwards the backend touches nothing of the request.
  void Complete(uint32_t status, uint32_t bytes) noexcept {
    m_bytes = bytes;
    m_status.store(status);
    m_event->Set();
  }
  uint32_t Status() const noexcept { return m_status.load(); }
  uint32_t Bytes() const noexcept { return m_bytes; }
  // Storage for the native block (OVERLAPPED), for the system backend only.
  void *Native() noexcept { return m_native; }

private:
  std::unique_ptr<Event> m_event;
  alignas(8) unsigned char m_native[32];
  std::atomic<uint32_t> m_status{kErrorIoPending};
  uint32_t m_bytes = 0;
};

// One open device handle, opened exclusively for overlapped I/O. Requests
// may be issued from several threads at once; each overlapped request has
// its own IoRequest. Every result is a Windows system error code.
class DeviceIo {
public:
  virtual ~DeviceIo() = default;

  // A request the driver completes before the call returns (Windows:
  // DeviceIoControl without OVERLAPPED). *bytes receives the output count.
  virtual uint32_t Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                           uint32_t *bytes) noexcept = 0;
  // Starts an overlapped request on a prepared IoRequest: 0 when it finished
  // at once, kErrorIoPending when the driver holds it (the request's event is
  // signalled when it finishes), any other code when it failed.
  virtual uint32_t Submit(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                          IoRequest &request) noexcept = 0;
  // Outcome of a finished overlapped request; *bytes receives the output count.
  virtual uint32_t Result(IoRequest &request, uint32_t *bytes) noexcept = 0;
  // Cancels one request and returns only once it has finished: afterwards the
  // driver touches none of its memory. Harmless on a finished request.
  virtual void Cancel(IoRequest &request) noexcept = 0;
  // Cancels the requests the calling thread issued on this handle (CancelIo);
  // 0 or the system error.
  virtual uint32_t CancelAll() noexcept = 0;
};

// Opens a device path of the system with read and write access, no sharing,
// OPEN_EXISTING and FILE_FLAG_OVERLAPPED. Null with *error set on failure.
// POSIX has no kernel drivers for these devices: every path is "not found".
std::unique_ptr<DeviceIo> OpenSystemDevice(const char *path, uint32_t *error) noexcept;

} // namespace oxa::ZarUsb::os
