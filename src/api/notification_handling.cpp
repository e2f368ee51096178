#include "api/notification_handling.h"

#include <cstring>
#include <memory>

#include "api/ctl.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "registry/interface.h"
#include "registry/notification.h"
#include "registry/open_devices.h"
#include "registry/shared_table.h"
#include "trace/trace.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

namespace {

constexpr int64_t kNameSize = sizeof(NotificationMessage::szName);

// Plug and unplug reach the transport-layer callbacks while the transport
// layer object exists.
void DeliverToApplication(uint32_t event, char *name) {
  if (g_pTL != nullptr) g_pTL->FireCallbacks(event, name, kNameSize);
}

// Step 1 of an unplug: the device this process holds on the camera's record
// is told, then closed, and the record emptied.
void CloseUnpluggedDevice(int32_t index, char *name) {
  const std::shared_ptr<CDevice> device = HeldDevice(index);
  if (!device) return;
  CInterface *owner = device->GetInterface();
  if (owner == nullptr) return;
  TraceMessage("ZAR=> CallBackThread : USB_UNPLUGGED_DEVICE:%s => bSleep=%d\n", name, 0);
  TraceMessage("ZAR=> CallBackThread : FireCallback USB_UNPLUGGED_DEVICE for device %s\n", name);
  device->FireCallback(USB_UNPLUGGED_DEVICE, name, static_cast<int32_t>(kNameSize));
  TraceMessage("ZAR=> CallBackThread : => Force internal device close\n");
  // -6 when a callback closed the device already.
  owner->DeleteDevice(device.get());
  RemoveDisconnectedDevice(index);
}

} // namespace

// The device is read from the record's driver under the table lock, but
// taken from the open-device index after it: the index's lock is taken under
// the interface's and the transport layer's, which come before the table
// lock elsewhere (TLOpen). A device closed in between is not
// found; one made since at the same address is told apart by its index.
std::shared_ptr<CDevice> HeldDevice(int32_t index) {
  CDevice *candidate = nullptr;
  {
    TableLock lock;
    if (!lock) return nullptr;
    if (const auto driver = GetDeviceDriver(index, false)) candidate = static_cast<CDevice *>(driver->m_pDevice);
  }
  if (candidate == nullptr) return nullptr;
  std::shared_ptr<CDevice> device = OpenDevices::Share(candidate);
  if (!device || device->GetIndex() != static_cast<uint32_t>(index)) return nullptr;
  return device;
}

// Power events before sleep recovery: a suspend reaches the callbacks of
// every device this process holds; at the resume they hear that the sleep
// is over. No device is parked, so plug and unplug are delivered throughout.
void HandlePowerEvent(uint32_t event) {
  if (event == PC_SUSPEND_MODE) {
    TraceMessage("ZAR=> CallBackThread : PC_SUSPEND_MODE\n");
    for (int32_t index = 0; index < kTableRecords; ++index)
      if (const auto device = HeldDevice(index)) device->FireCallback(PC_SUSPEND_MODE, nullptr, 0);
    return;
  }
  if (event != PC_RESTORE) return;
  for (int32_t index = 0; index < kTableRecords; ++index) {
    const auto device = HeldDevice(index);
    if (!device) continue;
    TraceMessage("ZAR=> CallBackTimerRoutine : Fire PC_RESTORE_SLEEP_MODE for device %s\n", device->GetName().c_str());
    device->FireCallback(PC_RESTORE_SLEEP_MODE, nullptr, 0);
  }
}

void HandleNotification(const NotificationMessage &message) {
  // The thread's own copy, which the callbacks' name pointer points into;
  // terminated even when the name field is full.
  char name[kNameSize + 1];
  std::memcpy(name, message.szName, kNameSize);
  name[kNameSize] = '\0';
  switch (message.dwEventCode) {
  case USB_UNPLUGGED_DEVICE:
    CloseUnpluggedDevice(message.nIndex, name);
    DeliverToApplication(message.dwEventCode, name);
    break;
  case USB_PLUGGED_DEVICE:
    TraceMessage("ZAR=> CallBackThread : USB_PLUGGED_DEVICE:%s bHybernate=%d, nRecoverCount=%d\n", name, 0, 0);
    DeliverToApplication(message.dwEventCode, name);
    break;
  case PC_SUSPEND_MODE:
  case PC_RESTORE:
    HandlePowerEvent(message.dwEventCode);
    break;
  default:
    break;
  }
}

} // namespace oxa::ZarUsb
