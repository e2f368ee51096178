#include "acquisition/thread_event.h"

#include <atomic>
#include <new>

#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "os/device_io.h"
#include "os/event.h"
#include "registry/closes_in_progress.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {
constexpr uint32_t kStopWaitMs = 3000;
} // namespace

// Shared by the object and its thread, so that whatever the thread still
// uses lives until both have let go: a thread left running past the
// destructor's bound, or told to stop from inside one of its callbacks, finds
// its stop flag, its record and its events in place. The record is the
// pending request's output, so it stays valid until the driver has completed
// or cancelled the request.
struct CThreadEvent::Context {
  CDevice *device;
  std::unique_ptr<os::Event> stopEvent; // auto-reset
  std::unique_ptr<os::Event> settled;   // manual-reset: state reached 2 or 3
  std::atomic<uint32_t> state{0};
  std::atomic<bool> stopping{false};
  driver::EventRecord m_Event{};

  void SetState(uint32_t value) {
    state.store(value);
    if (value >= 2) settled->Set();
  }
};

namespace {

// The context of the event thread running on this thread, if any.
thread_local const CThreadEvent::Context *t_runningContext = nullptr;

void Serve(CThreadEvent::Context &context) {
  context.SetState(1);
  const std::shared_ptr<CDriverInterface> driver = GetDeviceDriver(static_cast<int32_t>(context.device->GetIndex()), true);
  if (!driver) return;
  os::IoRequest request;
  // A stop asked while a callback ran is seen before the next request: from
  // then on the device may be gone.
  while (!context.stopping.load()) {
    if (!request.Prepare()) return;
    if (driver->GetEvent(&context.m_Event, request) != os::kErrorIoPending) return;
    context.SetState(2);
    os::Event *const events[2] = {context.stopEvent.get(), &request.Completion()};
    const int woken = os::Event::WaitAny(events, 2, os::Event::kInfinite);
    if (woken != 1) {
      TraceMessage(woken == 0 ? "ZAR=> ThreadEvent Stop Thread" : "ZAR=> !!! ThreadEvent WAIT_FAILED");
      driver->CancelEvent(request);
      return;
    }
    // A request the driver ended without an event (the handle closed, the
    // camera gone) carries none; nothing more will come.
    if (driver->EventResult(request) != os::kErrorSuccess) return;
    TraceMessage("ZAR=> ThreadEvent pDevice->FireCallback unEventID=%lu", context.m_Event.id);
    context.device->FireCallback(context.m_Event.id, context.m_Event.data, context.m_Event.length);
  }
}

void ThreadEvent(void *argument) {
  const LibraryThreadMark mark; // a device's close waits for this thread
  TraceMessage("ZAR=> ThreadEvent created");
  if (argument == nullptr) {
    TraceMessage("ZAR=> ThreadEvent terminated");
    return;
  }
  std::shared_ptr<CThreadEvent::Context> context = std::move(*static_cast<std::shared_ptr<CThreadEvent::Context> *>(argument));
  delete static_cast<std::shared_ptr<CThreadEvent::Context> *>(argument);
  t_runningContext = context.get();
  Serve(*context);
  context->SetState(3);
  TraceMessage("ZAR=> ThreadEvent terminated");
  t_runningContext = nullptr;
}

} // namespace

CThreadEvent::CThreadEvent(CDevice *device) : m_context(std::make_shared<Context>()) {
  m_context->device = device;
  m_context->stopEvent = os::Event::Create(false);
  m_context->settled = os::Event::Create(true);
  if (!m_context->stopEvent || !m_context->settled) {
    m_dwLastError = os::kErrorNotEnoughMemory;
    TraceMessage("ZAR=> !!! CThreadEvent failed to CreateEvent LastError=%lu", m_dwLastError);
    return;
  }
  auto *start = new std::shared_ptr<Context>(m_context);
  if (!m_hThread.Start(ThreadEvent, start, false)) {
    delete start;
    m_dwLastError = os::kErrorNotEnoughMemory;
    TraceMessage("ZAR=> !!! CThreadEvent failed to create ThreadEvent LastError=%lu", m_dwLastError);
    return;
  }
  m_context->settled->Wait(os::Event::kInfinite);
}

CThreadEvent::~CThreadEvent() {
  TraceMessage("ZAR=> Enter ~CThreadEvent");
  if (!m_hThread.Started()) return;
  if (t_runningContext == m_context.get()) {
    StopThread();
    m_hThread.Detach();
    return;
  }
  if (m_hThread.Finish(0)) return;
  StopThread();
  if (!m_hThread.Finish(kStopWaitMs)) m_hThread.Detach();
}

bool CThreadEvent::StopThread() {
  m_dwLastError = 0;
  if (m_context->stopEvent && m_hThread.Started()) {
    m_context->stopping.store(true);
    m_context->stopEvent->Set();
  }
  TraceMessage("ZAR=> CThreadEvent StopThread returns %lu", m_dwLastError);
  return true;
}

uint32_t CThreadEvent::State() const { return m_context->state.load(); }

} // namespace oxa::ZarUsb
