#include "watch_command.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "command_support.h"
#include "os/event.h"
#include "os/interrupt.h"
#include "zar_usb.h"

namespace zarusb {

namespace {

struct Watch {
  std::mutex print; // callbacks come from the callback thread and the device's event thread
  std::string camera;
};

const char *EventName(uint32_t event) {
  switch (event) {
  case USB_UNPLUGGED_DEVICE:
    return "USB_UNPLUGGED_DEVICE";
  case USB_PLUGGED_DEVICE:
    return "USB_PLUGGED_DEVICE";
  case PC_SUSPEND_MODE:
    return "PC_SUSPEND_MODE";
  case PC_RESTORE:
    return "PC_RESTORE";
  case PC_RESTORE_SLEEP_MODE:
    return "PC_RESTORE_SLEEP_MODE";
  case PC_RESTORE_HYBERNATE_MODE:
    return "PC_RESTORE_HYBERNATE_MODE";
  default:
    return nullptr;
  }
}

// Time of day (UTC) with milliseconds.
std::string Now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 86400000;
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  return text;
}

// One line: time, event, camera, and the data in hex for the camera's own
// events (the library's events carry the camera's name, shown as the camera).
void PrintEvent(Watch &watch, uint32_t event, const void *pData, int64_t size, const std::string &camera) {
  const char *known = EventName(event);
  std::string line = Now() + "  ";
  if (known != nullptr) {
    line += known;
  } else {
    char name[32];
    std::snprintf(name, sizeof name, "device event 0x%X", event);
    line += name;
  }
  line += "  " + camera;
  if (known == nullptr && pData != nullptr && size > 0) {
    line += " ";
    const auto *bytes = static_cast<const uint8_t *>(pData);
    for (int64_t i = 0; i < size && i < 64; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
      line += hex;
    }
  }
  std::lock_guard<std::mutex> guard(watch.print);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void OnTransportLayer(uint32_t event, void *pData, int64_t size, void *pContext) {
  auto &watch = *static_cast<Watch *>(pContext);
  const char *name = static_cast<const char *>(pData);
  PrintEvent(watch, event, nullptr, size, name != nullptr ? std::string(name, strnlen(name, 260)) : "");
}

void OnDevice(uint32_t event, void *pData, int64_t size, void *pContext) {
  auto &watch = *static_cast<Watch *>(pContext);
  PrintEvent(watch, event, pData, size, watch.camera);
}

} // namespace

void AddWatchCommand(CLI::App &app) {
  auto seconds = std::make_shared<uint32_t>(0);
  auto serial = std::make_shared<std::string>();
  CLI::App *watch = app.add_subcommand("watch", "Print plug, unplug and power events, and the device events of an "
                                                "opened camera, one line each, until interrupted");
  watch->add_option("--seconds", *seconds, "End after this many seconds (default: run until interrupted)");
  watch->add_option("--open", *serial, "Open this camera (listed name or serial number) and print its device events too");
  watch->callback([seconds, serial] {
    const Session session(*serial, !serial->empty());
    Watch state;
    state.camera = session.Name();
    const ZAR_STATUS registered = TLSetCallback(session.TL(), OnTransportLayer, &state);
    if (registered != ZAR_SUCCESS) Fail("cannot register for events: " + ErrorText(session.TL(), registered));
    if (session.Device() != nullptr) {
      const ZAR_STATUS set = DevSetCallback(session.Device(), OnDevice, &state);
      if (set != ZAR_SUCCESS) Fail("cannot register for device events: " + ErrorText(session.TL(), set));
    }
    {
      std::lock_guard<std::mutex> guard(state.print);
      std::printf("Watching%s%s (Ctrl-C to end)\n", state.camera.empty() ? "" : " ", state.camera.c_str());
      std::fflush(stdout);
    }
    // The run's length, or until Ctrl-C: the watch then ends as after its
    // seconds, its lines written out.
    const auto end = oxa::ZarUsb::os::Event::Create(true);
    if (!end) Fail("out of resources");
    {
      const auto interrupt = oxa::ZarUsb::os::InterruptWatch::Start([&end] { end->Set(); });
      end->Wait(*seconds != 0 ? *seconds * 1000 : oxa::ZarUsb::os::Event::kInfinite);
    }
    if (session.Device() != nullptr) DevRemoveCallback(session.Device(), OnDevice);
    TLRemoveCallback(session.TL(), OnTransportLayer);
  });
}

} // namespace zarusb
