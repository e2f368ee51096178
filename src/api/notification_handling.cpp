#include "api/notification_handling.h"

#include <cstring>
#include <memory>
#include <string>

#include "api/ctl.h"
#include "api/sleep_recovery.h"
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

// The device path of the record, to tell the record apart later from one
// made for another camera at the same index; empty when it is not present.
std::string RecordPath(int32_t index) {
  TableLock lock;
  const DeviceRecord *record = lock ? GetPresentRecord(index) : nullptr;
  if (record == nullptr) return {};
  return std::string(record->szDevicePath, FieldLength(record->szDevicePath, sizeof record->szDevicePath));
}

// Step 1 of an unplug: the device this process holds on the camera's record
// is parked while the process sleeps; otherwise it is told, then closed. The
// record is emptied either way, unless it went meanwhile and a new camera
// has taken its index: once the device has let go of it, the monitor owner
// may empty it first (registry/vanished_records.h), and a rescan fill it
// again.
void HandleUnplug(int32_t index, char *name) {
  const std::string path = RecordPath(index);
  const std::shared_ptr<CDevice> device = HeldDevice(index);
  // Handled late, the message may name a camera whose record another camera
  // has taken since (and this process opened): that device stays.
  if (!device || device->GetName() != name) return;
  CInterface *owner = device->GetInterface();
  if (owner == nullptr) return;
  if (!ParkOnUnplug(device, name)) {
    TraceMessage("ZAR=> CallBackThread : FireCallback USB_UNPLUGGED_DEVICE for device %s\n", name);
    device->FireCallback(USB_UNPLUGGED_DEVICE, name, static_cast<int32_t>(kNameSize));
    TraceMessage("ZAR=> CallBackThread : => Force internal device close\n");
    // -6 when a callback closed the device already.
    owner->DeleteDevice(device.get());
  }
  TableLock lock;
  const std::string now = RecordPath(index);
  if (now.empty() || now == path) RemoveDisconnectedDevice(index);
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

// In this order: the held device of an unplugged camera, the recovery of a
// plugged one, the delivery to the transport-layer callbacks (none while
// the process sleeps or as it leaves a hibernation), the power steps.
void HandleNotification(const NotificationMessage &message) {
  // The thread's own copy, which the callbacks' name pointer points into;
  // terminated even when the name field is full.
  char name[kNameSize + 1];
  std::memcpy(name, message.szName, kNameSize);
  name[kNameSize] = '\0';
  const uint32_t event = message.dwEventCode;
  if (event == USB_UNPLUGGED_DEVICE) HandleUnplug(message.nIndex, name);
  if (event == USB_PLUGGED_DEVICE) RecoverOnPlug(name);
  if (g_pTL == nullptr) return;
  if (DeliversToApplication() && (event == USB_UNPLUGGED_DEVICE || event == USB_PLUGGED_DEVICE))
    g_pTL->FireCallbacks(event, name, kNameSize);
  if (event == PC_SUSPEND_MODE) OnSuspend();
  if (event == PC_RESTORE) OnRestore();
}

} // namespace oxa::ZarUsb
