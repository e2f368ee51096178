// Device callbacks through the exports: their registration, what an open
// device hears of its camera's unplug, of the computer's power changes and
// of the camera's own events, and callbacks that call back into the library.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "heard.h"
#include "hibernation.h"
#include "open_camera.h"
#include "test_main.h"

using zar_test::Heard;
using zar_test::Line;
using zar_test::WaitFor;

namespace {

oxa::ZarUsb::emulator::CameraConfig Camera(const std::string &serial) {
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = serial;
  return config;
}

// A device whose callback closes it, afresh for each test.
struct ClosesItself {
  ZAR_DEV_HANDLE device = nullptr;
  Heard heard;
  std::atomic<ZAR_STATUS> closed{1};
};
ClosesItself *g_self = nullptr;

TEST(DeviceNotifications, AnUnplugTellsTheDeviceThenClosesItEvenWhenItsCallbackClosedItFirst) {
  zar_test::TraceCapture trace;
  ClosesItself self; // outlives the camera, whose callback reaches it
  zar_test::OpenCamera camera(Camera("UNP1"));
  ASSERT_TRUE(camera.Ready());
  self.device = camera.Device();
  g_self = &self;
  const auto closeOwnDevice = [](uint32_t event, void *pData, int64_t size, void *) {
    Heard::Note(event, pData, size, &g_self->heard);
    if (event == USB_UNPLUGGED_DEVICE) g_self->closed = DevClose(g_self->device);
  };
  Heard application;
  ASSERT_EQ(DevSetCallback(camera.Device(), closeOwnDevice, nullptr), ZAR_SUCCESS);
  ASSERT_EQ(TLSetCallback(camera.TL(), Heard::Note, &application), ZAR_SUCCESS);
  oxa::ZarUsb::emulator::Unplug(camera.Slot());
  ASSERT_TRUE(application.Has(Line(USB_UNPLUGGED_DEVICE, "ZC1000_#UNP1")));
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
  EXPECT_EQ(self.heard.Lines(), std::vector<std::string>{Line(USB_UNPLUGGED_DEVICE, "ZC1000_#UNP1")});
  EXPECT_EQ(DevClose(camera.Device()), ZAR_ERR_INVALID_HANDLE);
  EXPECT_TRUE(zar_test::WaitForCount(camera.TL(), 0));
  EXPECT_EQ(TLRemoveCallback(camera.TL(), Heard::Note), ZAR_SUCCESS);
}

TEST(DeviceNotifications, ASuspendReachesTheDeviceCallbacksAlone) {
  zar_test::ShortRecoveryWait wait;
  zar_test::OpenCamera camera(Camera("PWR1"));
  ASSERT_TRUE(camera.Ready());
  Heard device, application;
  ASSERT_EQ(DevSetCallback(camera.Device(), Heard::Note, &device), ZAR_SUCCESS);
  ASSERT_EQ(TLSetCallback(camera.TL(), Heard::Note, &application), ZAR_SUCCESS);
  oxa::ZarUsb::emulator::Suspend();
  ASSERT_TRUE(WaitFor([&] { return !device.Lines().empty(); }));
  EXPECT_EQ(device.Lines(), std::vector<std::string>{Line(PC_SUSPEND_MODE, "null", 0)});
  oxa::ZarUsb::emulator::Resume();
  ASSERT_TRUE(WaitFor([&] { return device.Lines().size() == 2; }));
  EXPECT_EQ(device.Lines().back(), Line(PC_RESTORE_SLEEP_MODE, "null", 0));
  for (const std::string &event : application.Lines())
    for (const uint32_t power : {PC_SUSPEND_MODE, PC_RESTORE_SLEEP_MODE})
      EXPECT_EQ(event.rfind(std::to_string(power), 0), std::string::npos) << "not for the application";
  EXPECT_EQ(TLRemoveCallback(camera.TL(), Heard::Note), ZAR_SUCCESS);
}

void Ignore(uint32_t, void *, int64_t, void *) {}

TEST(DeviceCallbackExports, RegistrationAndRemovalCodes) {
  zar_test::OpenCamera camera(Camera("DEVCB1"));
  ASSERT_TRUE(camera.Ready());
  int context = 0;
  EXPECT_EQ(DevSetCallback(camera.TL(), &Ignore, &context), ZAR_ERR_INVALID_HANDLE) << "the TL handle";
  EXPECT_EQ(DevSetCallback(camera.Device(), nullptr, &context), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevSetCallback(camera.Device(), &Ignore, &context), 0);
  EXPECT_EQ(DevSetCallback(camera.Device(), &Ignore, nullptr), 0) << "again, with another context";
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Ignore), 0);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Ignore), ZAR_ERR_NO_DATA) << "one entry per function";
  EXPECT_EQ(DevSetCallback(camera.Device(), &Ignore, &context), 0);
  ASSERT_EQ(DevClose(camera.Device()), 0);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Ignore), ZAR_ERR_INVALID_HANDLE);
}

// Device events as a callback received them: id, length and data.
struct Received {
  uint32_t id;
  int64_t length;
  std::vector<uint8_t> data;
  bool operator==(const Received &) const = default;
};

struct EventLog {
  std::mutex lock;
  std::vector<Received> events;
  std::atomic<int> afterClose{0};
  std::atomic<bool> closed{false};
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return events.size();
  }
};

void Log(uint32_t event, void *pData, int64_t size, void *pContext) {
  auto &log = *static_cast<EventLog *>(pContext);
  if (log.closed) ++log.afterClose;
  const auto *bytes = static_cast<const uint8_t *>(pData);
  std::lock_guard<std::mutex> guard(log.lock);
  log.events.push_back({event, size, std::vector<uint8_t>(bytes, bytes + size)});
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(DeviceEvents, ArriveWithTheirDataAndLengthOneCallbackEachInOrder) {
  zar_test::OpenCamera camera(Camera("EV1"));
  ASSERT_TRUE(camera.Ready());
  EventLog log;
  ASSERT_EQ(DevSetCallback(camera.Device(), Log, &log), ZAR_SUCCESS);
  std::vector<Received> raised;
  for (uint32_t burst = 0; burst < 5; ++burst) {
    for (uint32_t n = 0; n < 8; ++n) {
      const uint32_t i = burst * 8 + n;
      std::vector<uint8_t> data(i * 7 % 65);
      for (size_t b = 0; b < data.size(); ++b) data[b] = static_cast<uint8_t>(i + b);
      ASSERT_TRUE(oxa::ZarUsb::emulator::RaiseEvent(camera.Slot(), 0x4000 + i, data.data(),
                                                     static_cast<uint32_t>(data.size())));
      raised.push_back({0x4000 + i, static_cast<int64_t>(data.size()), data});
    }
    ASSERT_TRUE(WaitFor([&] { return log.Count() == raised.size(); })) << log.Count();
  }
  std::lock_guard<std::mutex> guard(log.lock);
  EXPECT_TRUE(log.events == raised);
}

TEST(DeviceEvents, ADriverThatFailsOrAnswersAtOnceEndsTheThreadWithoutACallback) {
  using namespace oxa::ZarUsb::emulator;
  for (FaultKind fault : {FaultKind::SystemError, FaultKind::AtOnce}) {
    zar_test::TraceCapture trace;
    ZAR_TL_HANDLE tl = nullptr;
    ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
    zar_test::PluggedCameras cameras;
    const uint32_t slot = cameras.Plug("EVF" + std::to_string(static_cast<int>(fault)));
    const std::string name = "ZC1000_#EVF" + std::to_string(static_cast<int>(fault));
    ASSERT_TRUE(zar_test::WaitFor([&] { return zar_test::ListedNames(tl) == std::vector<std::string>{name}; }));
    ASSERT_TRUE(RaiseEvent(slot, 1, nullptr, 0)); // queued for the at-once answer
    ASSERT_TRUE(InjectFault(slot, Request::GetEvent, fault, 1, 0));
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(tl, "USB", name.c_str(), &device), ZAR_SUCCESS);
    // The open returns once the thread has ended, which it then traces.
    EXPECT_TRUE(WaitFor([&] { return trace.Text().find("ZAR=> ThreadEvent terminated") != std::string::npos; }));
    EXPECT_EQ(trace.Text().find("FireCallback unEventID"), std::string::npos);
    EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
    TLClose(tl);
  }
}

struct OwnClose {
  ZAR_DEV_HANDLE device = nullptr;
  std::atomic<ZAR_STATUS> closed{1};
};
OwnClose *g_own = nullptr;

TEST(DeviceEvents, ACallbackMayCloseItsOwnDeviceWithoutWaitingForItself) {
  OwnClose own; // outlives the camera, whose callback reaches it
  zar_test::OpenCamera camera(Camera("EVC"));
  ASSERT_TRUE(camera.Ready());
  own.device = camera.Device();
  g_own = &own;
  const auto closeOwn = [](uint32_t, void *, int64_t, void *) { g_own->closed = DevClose(g_own->device); };
  ASSERT_EQ(DevSetCallback(camera.Device(), closeOwn, nullptr), ZAR_SUCCESS);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(oxa::ZarUsb::emulator::RaiseEvent(camera.Slot(), 9, nullptr, 0));
  ASSERT_TRUE(WaitFor([&] { return own.closed != 1; }));
  EXPECT_LT(MillisecondsSince(start), 2000) << "the close waited for its own thread";
  EXPECT_EQ(own.closed, ZAR_SUCCESS);
  EXPECT_EQ(DevClose(camera.Device()), ZAR_ERR_INVALID_HANDLE);
}

struct Stuck {
  std::atomic<bool> entered{false}, release{false}, returned{false};
};

TEST(DeviceEvents, CloseWaitsAtMostThreeSecondsForACallbackThatHangs) {
  zar_test::OpenCamera camera(Camera("EVS"));
  ASSERT_TRUE(camera.Ready());
  static Stuck stuck;
  stuck.entered = stuck.release = stuck.returned = false;
  const auto hang = [](uint32_t, void *, int64_t, void *) {
    stuck.entered = true;
    WaitFor([] { return stuck.release.load(); }, 60000);
    stuck.returned = true;
  };
  ASSERT_EQ(DevSetCallback(camera.Device(), hang, nullptr), ZAR_SUCCESS);
  ASSERT_TRUE(oxa::ZarUsb::emulator::RaiseEvent(camera.Slot(), 9, nullptr, 0));
  ASSERT_TRUE(WaitFor([] { return stuck.entered.load(); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DevClose(camera.Device()), ZAR_SUCCESS);
  const int64_t took = MillisecondsSince(start);
  EXPECT_GE(took, 2500);
  EXPECT_LT(took, 6000);
  // The thread, left running, ends once its callback returns, touching
  // nothing of the closed device.
  ASSERT_TRUE(oxa::ZarUsb::emulator::RaiseEvent(camera.Slot(), 10, nullptr, 0));
  stuck.release = true;
  EXPECT_TRUE(WaitFor([] { return stuck.returned.load(); }));
}

TEST(DeviceEvents, EventsRacingACloseOrAnUnplugEndWithIt) {
  for (const bool unplug : {false, true}) {
    zar_test::OpenCamera camera(Camera(unplug ? "EVU" : "EVD"));
    ASSERT_TRUE(camera.Ready());
    EventLog log;
    ASSERT_EQ(DevSetCallback(camera.Device(), Log, &log), ZAR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
      for (uint32_t i = 0; !stop; ++i) oxa::ZarUsb::emulator::RaiseEvent(camera.Slot(), 0x10000 | (i & 0xFFFF), &i, sizeof i);
    });
    ASSERT_TRUE(WaitFor([&] { return log.Count() >= 20; }));
    if (unplug) {
      oxa::ZarUsb::emulator::Unplug(camera.Slot());
      // Probed without closing: a close of its own here would race the
      // unplug's and leave the record to the next rescan.
      EXPECT_TRUE(WaitFor([&] { return DevSetCallback(camera.Device(), Log, &log) == ZAR_ERR_INVALID_HANDLE; }));
    } else {
      EXPECT_EQ(DevClose(camera.Device()), ZAR_SUCCESS);
    }
    log.closed = true;
    stop = true;
    raiser.join();
    EXPECT_EQ(log.afterClose, 0);
  }
}

} // namespace
