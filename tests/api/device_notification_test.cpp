// What an open device hears of its camera's unplug and of the computer's
// power changes, and device callbacks that call back into the library.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "open_camera.h"
#include "test_main.h"

using zar_test::WaitFor;

namespace {

// The events a callback heard, in order, as "event data-or-null length".
struct Heard {
  std::mutex lock;
  std::vector<std::string> events;
  void Add(uint32_t event, const void *pData, int64_t size) {
    const std::string data = pData == nullptr ? "null" : static_cast<const char *>(pData);
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(std::to_string(event) + " " + data + " " + std::to_string(size));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }
  size_t Count() { return Events().size(); }
  bool Has(const std::string &event) {
    return WaitFor([&] {
      const auto all = Events();
      return std::find(all.begin(), all.end(), event) != all.end();
    });
  }
};

void Note(uint32_t event, void *pData, int64_t size, void *pContext) {
  static_cast<Heard *>(pContext)->Add(event, pData, size);
}

std::string Event(uint32_t event, const std::string &data, int64_t size) {
  return std::to_string(event) + " " + data + " " + std::to_string(size);
}

oxa::ZarUsb::emulator::CameraConfig Camera(const std::string &serial) {
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = serial;
  return config;
}

struct ClosesItself {
  ZAR_DEV_HANDLE device = nullptr;
  Heard heard;
  std::atomic<ZAR_STATUS> closed{1};
};

TEST(DeviceNotifications, AnUnplugTellsTheDeviceThenClosesItEvenWhenItsCallbackClosedItFirst) {
  zar_test::TraceCapture trace;
  zar_test::OpenCamera camera(Camera("UNP1"));
  ASSERT_TRUE(camera.Ready());
  static ClosesItself self;
  self.device = camera.Device();
  const auto closeOwnDevice = [](uint32_t event, void *pData, int64_t size, void *) {
    self.heard.Add(event, pData, size);
    if (event == USB_UNPLUGGED_DEVICE) self.closed = DevClose(self.device);
  };
  Heard application;
  ASSERT_EQ(DevSetCallback(camera.Device(), closeOwnDevice, nullptr), ZAR_SUCCESS);
  ASSERT_EQ(TLSetCallback(camera.TL(), Note, &application), ZAR_SUCCESS);
  oxa::ZarUsb::emulator::Unplug(camera.Slot());
  ASSERT_TRUE(application.Has(Event(USB_UNPLUGGED_DEVICE, "ZC1000_#UNP1", 260)));
  const std::vector<std::string> expected{
      "ZAR=> CallBackThread : USB_UNPLUGGED_DEVICE:ZC1000_#UNP1 => bSleep=0",
      "ZAR=> CallBackThread : FireCallback USB_UNPLUGGED_DEVICE for device ZC1000_#UNP1",
      "ZAR=> Enter DevClose hDev=",
      "ZAR=> CallBackThread : => Force internal device close",
      "ZAR=> Enter RemoveDisconnectedDevice Index=",
  };
  std::vector<std::string> seen;
  for (const std::string &line : trace.Lines("ZAR=> "))
    for (const std::string &part : expected)
      if (line.rfind(part, 0) == 0) seen.push_back(part);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(self.closed, ZAR_SUCCESS);
  EXPECT_EQ(self.heard.Events(), std::vector<std::string>{Event(USB_UNPLUGGED_DEVICE, "ZC1000_#UNP1", 260)});
  EXPECT_EQ(DevClose(camera.Device()), ZAR_ERR_INVALID_HANDLE);
  EXPECT_TRUE(zar_test::WaitForCount(camera.TL(), 0));
  EXPECT_EQ(TLRemoveCallback(camera.TL(), Note), ZAR_SUCCESS);
}

TEST(DeviceNotifications, ASuspendReachesTheDeviceCallbacksAlone) {
  zar_test::OpenCamera camera(Camera("PWR1"));
  ASSERT_TRUE(camera.Ready());
  Heard device, application;
  ASSERT_EQ(DevSetCallback(camera.Device(), Note, &device), ZAR_SUCCESS);
  ASSERT_EQ(TLSetCallback(camera.TL(), Note, &application), ZAR_SUCCESS);
  oxa::ZarUsb::emulator::Suspend();
  ASSERT_TRUE(WaitFor([&] { return device.Count() != 0; }));
  EXPECT_EQ(device.Events(), std::vector<std::string>{Event(PC_SUSPEND_MODE, "null", 0)});
  // A plug after the suspend is heard, so the suspend was handled before it.
  zar_test::PluggedCameras later;
  later.Plug("PWR2");
  ASSERT_TRUE(application.Has(Event(USB_PLUGGED_DEVICE, "ZC1000_#PWR2", 260)));
  for (const std::string &event : application.Events())
    EXPECT_EQ(event.rfind(std::to_string(PC_SUSPEND_MODE), 0), std::string::npos) << "not for the application";
  oxa::ZarUsb::emulator::Resume();
  EXPECT_EQ(TLRemoveCallback(camera.TL(), Note), ZAR_SUCCESS);
}

} // namespace
