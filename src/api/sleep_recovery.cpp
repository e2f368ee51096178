#include "api/sleep_recovery.h"

#include <cstring>
#include <mutex>

#include "api/ctl.h"
#include "api/notification_handling.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "registry/closes_in_progress.h"
#include "registry/interface.h"
#include "registry/recovery_state.h"
#include "registry/shared_table.h"
#include "trace/trace.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

namespace {

constexpr int32_t kNameSize = sizeof(RecoverEntry::szFriendlyName);

// Tells the device's and the transport layer's callbacks that the camera
// has gone, then closes the device.
void ReportUnplugged(const std::shared_ptr<CDevice> &device, char *name, const char *trace) {
  if (device) {
    device->FireCallback(USB_UNPLUGGED_DEVICE, name, kNameSize);
    if (CInterface *usb = device->GetInterface()) usb->DeleteDevice(device.get());
  }
  TraceMessage(trace, name);
  if (g_pTL != nullptr) g_pTL->FireCallbacks(USB_UNPLUGGED_DEVICE, name, kNameSize);
}

} // namespace

bool StartRecovery() {
  RecoveryState &state = Recovery();
  std::lock_guard<std::mutex> guard(state.lock);
  ResetRecovery(state);
  if (state.timerQueue.IsOpen()) return true;
  if (const uint32_t error = state.timerQueue.Create(); error != 0) {
    TraceMessage("ZAR=> !!! CallBackThread : CreateTimerQueue failed (%d)\n", static_cast<int32_t>(error));
    return false;
  }
  return true;
}

void StopRecovery() {
  RecoveryState &state = Recovery();
  std::lock_guard<std::mutex> guard(state.lock);
  ResetRecovery(state);
}

// The routine may be waiting for the lock: the queue is deleted without it.
void CloseRecovery() {
  RecoveryState &state = Recovery();
  StopRecovery();
  if (const uint32_t error = state.timerQueue.Delete(); error != 0)
    TraceMessage("ZAR=> !!! CallBackThread : DeleteTimerQueue failed (%d)\n", static_cast<int32_t>(error));
}

// A timer of an earlier resume is cancelled: a new suspend starts the
// recovery afresh, and its own resume arms its own full wait. The devices
// parked before stay parked, without a camera, until they are closed.
void OnSuspend() {
  RecoveryState &state = Recovery();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    ResetRecovery(state);
    state.bSleep = 1;
  }
  TraceMessage("ZAR=> CallBackThread : PC_SUSPEND_MODE\n");
  for (int32_t index = 0; index < kTableRecords; ++index)
    if (const std::shared_ptr<CDevice> device = HeldDevice(index)) device->FireCallback(PC_SUSPEND_MODE, nullptr, 0);
}

// One timer at a time: a second resume replaces the wait of the first.
void OnRestore() {
  RecoveryState &state = Recovery();
  TraceMessage("ZAR=> CallBackThread : PC_RESTORE : Create Timer CallBackTimerRoutine\n");
  std::lock_guard<std::mutex> guard(state.lock);
  CancelRecoveryTimer(state);
  if (const uint32_t error = state.timerQueue.Arm(CallBackTimerRoutine, &state, RecoveryDelayMs(), &state.timer);
      error != 0)
    TraceMessage("ZAR=> !!! CallBackThread : CreateTimerQueueTimer failed (%d)\n", static_cast<int32_t>(error));
}

// Parked under the lock, so that an entry of the list is always a parked
// device: a close on another thread either finds the entry (and takes it
// off) or has marked the device closing before, and then it is not parked.
bool ParkOnUnplug(const std::shared_ptr<CDevice> &device, const char *name) {
  RecoveryState &state = Recovery();
  std::lock_guard<std::mutex> guard(state.lock);
  TraceMessage("ZAR=> CallBackThread : USB_UNPLUGGED_DEVICE:%s => bSleep=%d\n", name, state.bSleep);
  if (state.bSleep == 0) return false;
  state.bHybernate = 1;
  TraceMessage("ZAR=> CallBackThread : This is a hybernate ! (due to unplug)\n");
  if (device->Park()) AppendRecoverEntry(state, name, device);
  return true;
}

// The lock is held from the look-up to the end of the rebinding, so the
// timer finds the entry either still waiting or recovered. No application
// callback runs under it: the restore event, and the close of a device that
// could not be recovered, come after it.
//
// A failed attempt reports the camera unplugged to the device's and the
// transport layer's callbacks and closes the device, as the timer does for
// a camera that did not come back: no device is ever closed without an
// event. The record it reserved is given back when no device took it over
// (a device bound before its relock failed gives it back as it closes); it
// stays listed, so the camera can be opened again. A record that another
// process holds is left alone.
void RecoverOnPlug(const char *name) {
  RecoveryState &state = Recovery();
  std::shared_ptr<CDevice> device; // released after the lock (see RecoverEntry)
  char recovered[kNameSize] = {};
  int32_t index = kTableRecords;
  int32_t reserved = -1;
  int32_t result = ZAR_ERR_GENERAL;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    TraceMessage("ZAR=> CallBackThread : USB_PLUGGED_DEVICE:%s bHybernate=%d, nRecoverCount=%d\n", name,
                 state.bHybernate, state.nRecoverCount);
    if (state.bHybernate == 0 || state.nRecoverCount == 0) return;
    const int32_t position = FindRecoverEntry(state, name);
    if (position < 0) return;
    RecoverEntry &entry = state.entries[position];
    std::memcpy(recovered, entry.szFriendlyName, kNameSize);
    TraceMessage("ZAR=> CallBackThread : USB_PLUGGED_DEVICE : Recover %s\n", recovered);
    device = entry.pDevice.lock();
    reserved = ReserveDeviceByName(recovered, &index);
    if (reserved != 0) {
      TraceMessage("ZAR=> !!! CallBackThread : OpenDevice Error = %d\n", reserved);
    } else {
      result = device ? device->RecoverFromHybernate(static_cast<uint32_t>(index)) : ZAR_ERR_GENERAL;
      if (result == ZAR_SUCCESS)
        TraceMessage("ZAR=> CallBackThread : Fire PC_RESTORE_HYBERNATE_MODE for device %s\n", recovered);
      else
        TraceMessage("ZAR=> !!! CallBackThread : RecoverFromHybernate Error = %d\n", result);
    }
    RemoveRecoverEntry(state, position);
    if (state.nRecoverCount == 0) {
      if (const uint32_t error = CancelRecoveryTimer(state); error != 0)
        TraceMessage("ZAR=> !!! CallBackThread : DeleteTimerQueue failed (%d)\n", static_cast<int32_t>(error));
      state.bSleep = 0;
      TraceMessage("ZAR=> CallBackThread : End of hybernate : all devices are recovered\n");
    }
  }
  if (result == ZAR_SUCCESS) {
    device->FireCallback(PC_RESTORE_HYBERNATE_MODE, nullptr, 0);
    return;
  }
  if (device)
    ReportUnplugged(device, recovered, "ZAR=> CallBackThread : FireCallback USB_UNPLUGGED_DEVICE for device %s\n");
  if (reserved != 0) return;
  TableLock table;
  if (const auto driver = GetDeviceDriver(index, true); driver != nullptr && driver->m_pDevice == nullptr)
    ReleaseDevice(index);
}

bool DeliversToApplication() {
  RecoveryState &state = Recovery();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.bSleep != 0) return false;
  if (state.bHybernate == 0) return true;
  state.bHybernate = 0;
  TraceMessage("ZAR=> CallBackThread : End of Hybernate\n");
  return false;
}

// The decision and the change of the state take one hold of the lock; the
// callbacks run after it, on this timer thread, for the devices taken off
// the list or (plain sleep) for every device open at that moment and bound
// to its camera (a device that a second suspend left parked hears nothing
// more), pinned
// under the transport layer's and the interfaces' locks and called outside
// them, so that application threads may open and close devices meanwhile.
void CallBackTimerRoutine(void *context) {
  const LibraryThreadMark mark; // the last TLClose waits for this routine
  RecoveryState &state = *static_cast<RecoveryState *>(context);
  RecoverEntry timedOut[kMaxRecoverEntries];
  int32_t count = 0;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    TraceMessage("ZAR=> Enter CallBackTimerRoutine bHybernate=%d, bSleep=%d, nRecoverCount=%d\n", state.bHybernate,
                 state.bSleep, state.nRecoverCount);
    if (state.bSleep == 0) return;
    state.bSleep = 0;
    if (state.bHybernate == 1 && state.nRecoverCount > 0) {
      TraceMessage("ZAR=> CallBackTimerRoutine Hybernate case\n");
      state.bHybernate = 0;
      for (; state.nRecoverCount > 0; ++count) {
        timedOut[count] = state.entries[0];
        RemoveRecoverEntry(state, 0);
      }
    }
  }
  for (int32_t position = 0; position < count; ++position)
    ReportUnplugged(timedOut[position].pDevice.lock(), timedOut[position].szFriendlyName,
                    "ZAR=> CallBackTimerRoutine : FireCallback USB_UNPLUGGED_DEVICE for device %s\n");
  if (count > 0 || g_pTL == nullptr) return;
  for (const std::shared_ptr<CDevice> &device : g_pTL->PinOpenDevices()) {
    if (device->IsParked()) continue; // no camera to restore: left by an earlier suspend
    TraceMessage("ZAR=> CallBackTimerRoutine : Fire PC_RESTORE_SLEEP_MODE for device %s\n", device->GetName().c_str());
    device->FireCallback(PC_RESTORE_SLEEP_MODE, nullptr, 0);
  }
}

} // namespace oxa::ZarUsb
