#include "registry/monitor.h"

#include <atomic>

#include "os/event.h"
#include "os/monitor_token.h"
#include "os/monitor_window.h"
#include "os/system_info.h"
#include "os/system_message.h"
#include "os/thread.h"
#include "registry/enumeration.h"
#include "registry/notification.h"
#include "registry/shared_table.h"
#include "registry/vanished_records.h"
#include "trace/trace.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

namespace {

constexpr const char *kTokenName = "81AA7768-5ED5-4cf7-B9D7-DDC8A4A762AA";
constexpr uint32_t kReadyPollMs = 50;
constexpr int kReadyPolls = 199;

// Never destroyed: the thread may outlive static destruction at exit.
struct Monitor {
  os::MonitorToken token;
  os::Thread thread;
  std::unique_ptr<os::Event> stop = os::Event::Create(true);
  std::atomic<bool> stopping{false}; // set with stop, for the scan to look at
  std::atomic<bool> ready{false};
};

Monitor &State() {
  static Monitor *monitor = new Monitor;
  return *monitor;
}

bool OnCreate(void *) {
  TraceMessage("ZAR=> SystemMonitorWindowProc WM_CREATE: UpdateDevicesList\n");
  ReclaimEndedProcesses();
  UpdateDevicesList(ScanMode::Initial, State().stopping);
  State().ready = true;
  return true;
}

bool OnMessage(void *, uint32_t message, uint64_t wParam) {
  if (message == os::kWmDeviceChange && wParam == os::kDbtDevNodesChanged) {
    TraceMessage("ZAR=> SystemMonitorWindowProc WM_DEVICECHANGE & DBT_DEVNODES_CHANGED\n");
    ReclaimEndedProcesses();
    UpdateDevicesList(ScanMode::Rescan, State().stopping);
    return true;
  }
  if (message == os::kWmPowerBroadcast &&
      (wParam == os::kPbtApmSuspend || wParam == os::kPbtApmResumeAutomatic)) {
    TraceMessage("ZAR=> SystemMonitorWindowProc WM_POWERBROADCAST & (PBT_APMSUSPEND | PBT_APMRESUMEAUTOMATIC): "
                 "FirePowerCallBack\n");
    TableLock lock;
    if (lock) BroadcastEvent(wParam == os::kPbtApmSuspend ? PC_SUSPEND_MODE : PC_RESTORE, -1, nullptr);
    return true;
  }
  return false;
}

void UsbSystemMonitorThread(void *) {
  Monitor &monitor = State();
  TraceMessage("ZAR=> Enter UsbSystemMonitorThread process=%lu\n", os::CurrentProcessId());
  if (!monitor.token.TryTake()) {
    monitor.ready = true;
    if (!monitor.token.Take(*monitor.stop)) return;
  }
  TraceMessage("ZAR=> UsbSystemMonitorThread process=%lu: Create a dummy window to receive system change "
               "notification messages\n",
               os::CurrentProcessId());
  StartVanishedSweeps();
  os::MonitorWindow window;
  const uint32_t error = window.Create(OnMessage, OnCreate, nullptr);
  if (error == 0)
    window.Run(*monitor.stop);
  else
    TraceMessage("ZAR=> !!! UsbSystemMonitorThread error %lu CreateWindow\n", error);
  window.Destroy();
  StopVanishedSweeps();
  monitor.token.Release();
}

} // namespace

bool StartMonitor() {
  Monitor &monitor = State();
  if (!monitor.stop || monitor.token.Open(kTokenName) != 0) return false;
  monitor.stop->Reset();
  monitor.stopping = false;
  monitor.ready = false;
  return monitor.thread.Start(UsbSystemMonitorThread, nullptr, true);
}

void StopMonitorThread(bool processEnding) {
  Monitor &monitor = State();
  if (!monitor.thread.Started()) return;
  monitor.stopping = true;
  monitor.stop->Set();
  if (processEnding) return;
  monitor.thread.Finish(os::Event::kInfinite);
}

void CloseMonitorToken() { State().token.Close(); }

int WaitForThreadReady() {
  Monitor &monitor = State();
  int result = monitor.ready ? 1 : 0;
  for (int poll = 0; result == 0 && poll < kReadyPolls; ++poll) {
    os::Sleep(kReadyPollMs);
    result = monitor.ready ? 1 : 0;
  }
  TraceMessage("ZAR=> WaitForThreadReady returns %d\n", result);
  return result;
}

} // namespace oxa::ZarUsb
