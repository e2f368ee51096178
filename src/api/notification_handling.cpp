#include "api/notification_handling.h"

#include <cstring>

#include "api/ctl.h"
#include "registry/notification.h"
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

} // namespace

void HandleNotification(const NotificationMessage &message) {
  // The thread's own copy, which the callbacks' name pointer points into;
  // terminated even when the name field is full.
  char name[kNameSize + 1];
  std::memcpy(name, message.szName, kNameSize);
  name[kNameSize] = '\0';
  switch (message.dwEventCode) {
  case USB_UNPLUGGED_DEVICE:
    DeliverToApplication(message.dwEventCode, name);
    break;
  case USB_PLUGGED_DEVICE:
    TraceMessage("ZAR=> CallBackThread : USB_PLUGGED_DEVICE:%s bHybernate=%d, nRecoverCount=%d\n", name, 0, 0);
    DeliverToApplication(message.dwEventCode, name);
    break;
  default:
    break;
  }
}

} // namespace oxa::ZarUsb
