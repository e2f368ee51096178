#pragma once
// A camera's data stream: the buffers the application announced, queueing,
// acquisition and waiting for filled buffers. Its handle is its address.
//
// Locking. m_Lock serialises every operation on the stream, the wait for a
// filled buffer included; an operation takes its device's driver under the
// device's lock while holding m_Lock, so nothing may hold the device's
// lock while it waits for m_Lock (the device closes its streams after
// leaving its own lock).
//
// Waking a wait. A wait holds m_Lock for as long as the driver takes, which
// with a long timeout would keep a stop or close from another thread waiting
// just as long. Stopping, closing and recovery therefore first signal
// m_pWake (outside m_Lock): a wait in progress cancels its driver request
// and ends with ZAR_ERR_GENERAL, and the operation then gets the lock. The
// event stays signalled until the last such operation has finished, so a
// wait that slips in between ends at once too; a closed stream keeps it
// signalled for good.

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "os/critical_section.h"
#include "os/lock_guard.h"
#include "os/event.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

class CBuffer;
class CDevice;
class CDriverInterface;

class CDataStream {
public:
  // Throws std::bad_alloc when the system has no event for the wake-up.
  explicit CDataStream(CDevice *pDevice);
  // Closes the stream if Close has not.
  virtual ~CDataStream();
  CDataStream(const CDataStream &) = delete;
  CDataStream &operator=(const CDataStream &) = delete;

  // The owning device; fixed for the stream's life, so read without m_Lock.
  CDevice *GetDevice() const { return m_pDevice; }

  int32_t AnnounceBuffer(void *pBuffer, uint32_t iSize, void *pPrivate, uint32_t *piID);
  int32_t AllocAndAnnounceBuffer(uint32_t iSize, void *pPrivate, void **ppBuffer, uint32_t *piID);
  int32_t RevokeBuffer(uint32_t iID, void **ppBuffer, void **ppPrivate);
  int32_t QueueBuffer(uint32_t iID);
  int32_t FlushQueue(uint32_t iQueueType);
  int32_t StartAcquisition(uint32_t iFlags, int64_t iNumFrames);
  int32_t StopAcquisition(uint32_t iFlags);
  int32_t WaitForBuffer(uint32_t iTimeoutMs, ZAR_WAIT_RESULT *pResult);
  int32_t GetBufferInfo(uint32_t iID, ZAR_BUFFER_INFO *pInfo, const uint32_t *piSize);
  int32_t GetBufferID(uint32_t iIndex, uint32_t *piID);
  int32_t GetStatus(uint32_t iCmd, void *pValue, void *pSize);
  // Locks every buffer again with the camera's new driver and queues again
  // those that were queued; acquisition is left stopped. 0 or -6. Called
  // under a RecoveryHold.
  int32_t RelockBuffers(CDriverInterface &driver);

  // Wakes any wait for good and tears the stream down: stops acquisition,
  // flushes and revokes every buffer. Later operations give
  // ZAR_ERR_INVALID_HANDLE. Idempotent.
  void Close();
  // Wakes any wait for good (the device is going away).
  void WakeForClose();

  // Gives a new buffer its ID and adds it to the set (which owns it from then
  // on): the low 32 bits of the buffer object's address, or, when a buffer of
  // the set has that ID already (two objects 4 GiB apart share their low
  // bits), the next number that none has. Called under m_Lock.
  uint32_t AssignBufferID(CBuffer *pBuffer);

private:
  // Holds the wake-up signalled for its scope (see the header comment).
  class WakeScope {
  public:
    explicit WakeScope(CDataStream &stream);
    ~WakeScope();
    WakeScope(const WakeScope &) = delete;
    WakeScope &operator=(const WakeScope &) = delete;

  private:
    CDataStream &m_stream;
  };

public:
  // Keeps every other operation out of the stream (a wait in progress woken
  // first) while its device is bound to its camera's new driver after a
  // hibernation and the buffers are locked again there: taken before the
  // driver is published and given back after RelockBuffers, so that no
  // operation ever sees the new driver before the buffers are in it and
  // acquisition is marked stopped (a buffer announced, or a start sent, in
  // between would be locked twice, or leave the camera streaming while the
  // stream counts itself stopped). The recovery takes it holding no device
  // lock, in the order stream then device that every operation follows.
  class RecoveryHold {
  public:
    explicit RecoveryHold(CDataStream &stream) : m_wake(stream), m_lock(&stream.m_Lock) {}
    RecoveryHold(const RecoveryHold &) = delete;
    RecoveryHold &operator=(const RecoveryHold &) = delete;

  private:
    WakeScope m_wake;
    CLockGuard m_lock;
  };

private:

  // The device's driver while this process holds the camera's record, pinned
  // for the operation (no table lock, so a scan never stalls a stream); null
  // after an unplug or a close of the device.
  std::shared_ptr<CDriverInterface> Driver();
  // A start (1) or stop (0) request: 0, or -6 when it failed.
  int32_t SendStartStop(uint32_t mode);
  CBuffer *FindBufferByID(uint32_t iID);
  CBuffer *FindBufferByTag(uint32_t tag);
  // Locks a new buffer in the driver and adds it to the set; destroys it on
  // failure. The operation's code; *piID receives the ID.
  int32_t LockAndAdd(std::unique_ptr<CBuffer> buffer, const char *operation, uint32_t *piID);

  std::set<CBuffer *> m_BufferSet; // owned, ordered by address
  CDevice *m_pDevice;              // owner, not owned
  bool m_bAcquisitionStarted = false;
  bool m_bClosed = false;
  os::CriticalSection m_Lock;

  std::unique_ptr<os::Event> m_pWake; // manual-reset
  std::mutex m_WakeLock;              // guards the two below and m_pWake's state
  uint32_t m_nWakers = 0;
  bool m_bWakeForGood = false;
};

} // namespace oxa::ZarUsb
