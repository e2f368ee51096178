#pragma once
// The handle on one camera's driver and every request of its protocol. Each
// result is a Windows system error code: 0 success, 8 out of memory, 87 bad
// argument, 258 not finished in time (or a failed buffer completion), 997 an
// event request the driver holds, 998 a driver that answered with a non-zero
// error word, otherwise the system's error for the failed request.
//
// No lock of its own: callers serialise register requests (device or
// transport-layer lock) and buffer requests (stream lock); the event thread
// issues GetEvent alone. Requests of different threads may be outstanding at
// once, each on its own completion block.
//
// Pending requests and memory: an overlapped request that is not finished
// when its wait ends is cancelled, and the cancellation waited for, before
// the call returns; so the driver never writes into a caller's error word,
// record or completion block after the call has returned.

#include <cstdint>
#include <functional>
#include <memory>

#include "os/device_io.h"

namespace oxa::ZarUsb {

// The device that uses a driver, as the driver knows it: a driver destroyed
// while a device still uses it has the device taken out of its owner and
// destroyed first.
class CDriverUser {
public:
  // Whether an owner still holds the device.
  virtual bool HasOwner() = 0;
  // Has the owner remove and destroy the device.
  virtual void DeleteThroughOwner() = 0;

protected:
  ~CDriverUser() = default;
};

// Opens a device path; see os::OpenDevicePath.
using DeviceOpener = std::function<std::unique_ptr<os::DeviceIo>(const char *path, uint32_t *error)>;

class CDriverInterface {
public:
  static constexpr uint32_t kRequestWaitMs = 2000;

  // Opens the path exclusively. Never fails: a failed open leaves IsOpen()
  // false and m_dwLastError non-zero, and such an object sends nothing.
  explicit CDriverInterface(const char *path);
  CDriverInterface(const char *path, const DeviceOpener &opener);
  // Deletes the device still using this driver, then cancels what this
  // thread left pending and closes the handle.
  virtual ~CDriverInterface();
  CDriverInterface(const CDriverInterface &) = delete;
  CDriverInterface &operator=(const CDriverInterface &) = delete;

  bool IsOpen() const { return m_hDriver != nullptr; }

  // Reports at most *size bytes done, whatever count the driver reports.
  uint32_t WriteMem(uint32_t mode, uint64_t address, const void *data, uint64_t *size, uint32_t *driverError);
  // Copies at most *size bytes, whatever count the driver reports.
  uint32_t ReadMem(uint32_t mode, uint64_t address, void *destination, uint64_t *size, uint32_t *driverError);
  uint32_t LockBuffer(void *buffer, uint32_t size, uint32_t *driverError);
  uint32_t QueueBuffer(uint32_t tag, uint32_t *driverError);
  // record: 44 bytes, its driver error word preset before sending. Waits
  // for the driver without limit, unless `wake` (a manual-reset event) is
  // signalled first: the request is then cancelled and 995 returned. A
  // completion whose word is not 0 (also one the driver ended without
  // writing the record) gives 258 with only the tag and the word kept.
  uint32_t GetBuffer(uint32_t timeoutMs, void *record, os::Event *wake = nullptr);
  uint32_t FreeBuffer(void *buffer, uint32_t *driverError);
  uint32_t StartStopStream(uint32_t mode, uint32_t *driverError);
  uint32_t FlushQueue(uint32_t *driverError);
  // record: 80 bytes; request: prepared by the caller, which waits on its
  // event and must Finish or Cancel it before the record goes.
  uint32_t GetEvent(void *record, os::IoRequest &request);
  // Outcome of a finished GetEvent.
  uint32_t EventResult(os::IoRequest &request);
  // Cancels a pending GetEvent and waits until the driver has let it go.
  void CancelEvent(os::IoRequest &request);

  uint32_t m_dwLastError = 0;
  std::unique_ptr<os::DeviceIo> m_hDriver;
  CDriverUser *m_pDevice = nullptr; // the device using this driver; not owned

private:
  enum class Outcome { Done, SubmitFailed, CompletionFailed, NotInTime };
  // Sends an overlapped request and waits for it up to waitMs. A request not
  // finished in time is cancelled (and the cancellation waited for).
  Outcome SubmitAndWait(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                        os::IoRequest &request, uint32_t waitMs, uint32_t *error);
  // A buffer or stream request that answers with one driver error word,
  // waited for up to 2000 ms; its failures traced under `name`. A non-zero
  // word gives `wordFailure` (0: the word is the caller's to test).
  uint32_t WordRequest(const char *name, uint32_t code, const void *in, uint32_t inLength, uint32_t *driverError,
                       uint32_t wordFailure, os::IoRequest &request);
  uint32_t HandleValue() const;
};

} // namespace oxa::ZarUsb
