#pragma once
// The device event thread: one per open device. It keeps one GetEvent
// request pending at the device's driver and hands every event the camera
// raises to the device's callbacks (FireCallback with the event's id, data
// and length), on this thread, one event after another.

#include <cstdint>
#include <memory>

#include "os/thread.h"

namespace oxa::ZarUsb {

class CDevice;

class CThreadEvent {
public:
  // Starts the thread and returns once it waits for the first event or has
  // ended (no driver for the device, or a request that did not pend). Never
  // fails visibly: without a thread the device hears no events and
  // LastError() tells why. Throws only the allocator's exception.
  explicit CThreadEvent(CDevice *device);
  // Stops the thread and waits for it at most 3 seconds (a thread held up in
  // a callback is left to end on its own, touching nothing of the device).
  // On the thread itself (a callback that closed its own device) it only asks
  // the thread to stop.
  virtual ~CThreadEvent();
  CThreadEvent(const CThreadEvent &) = delete;
  CThreadEvent &operator=(const CThreadEvent &) = delete;

  // Asks the thread to stop; true (there is nothing that can fail to signal).
  bool StopThread();
  uint32_t LastError() const { return m_dwLastError; }
  // 0 not started, 1 starting, 2 waiting for events, 3 ended.
  uint32_t State() const;

  struct Context; // what the thread shares with this object

private:
  std::shared_ptr<Context> m_context;
  os::Thread m_hThread;
  uint32_t m_dwLastError = 0;
};

} // namespace oxa::ZarUsb
