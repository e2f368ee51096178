// Open cameras kept across a suspend, through the exports: a plain sleep;
// cameras lost and back, back under another name, lost again or not back at
// all; a second suspend before the end; and the faults of the recovery (a
// failed relock, closes during the wait, register calls racing a park, unload
// with the timer due).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "hibernation.h"
#include "open_camera.h"
#include "open_stream.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace std::chrono;
using zar_test::Clock;
using zar_test::DeviceState;
using zar_test::HeldCameras;
using zar_test::ShortRecoveryWait;
using zar_test::WaitFor;

namespace {

constexpr uint32_t kWait = ShortRecoveryWait::kMilliseconds;
// How long a check that nothing happens at the end of the wait goes on.
constexpr uint32_t kPastTheWait = kWait + 1500;

bool Never(const std::function<bool()> &happens) { return !WaitFor(happens, kPastTheWait); }

class SleepRecovery : public ::testing::Test {
protected:
  void TearDown() override {
    if (HasFailure()) std::fputs(m_trace.Text().c_str(), stderr);
  }
  // Opens `count` cameras; empty when one failed.
  std::vector<HeldCameras::Camera *> Open(const std::string &prefix, size_t count) {
    std::vector<HeldCameras::Camera *> cameras;
    for (size_t i = 0; i < count; ++i) {
      cameras.push_back(m_held.Open(zar_test::StreamConfig(prefix)));
      if (cameras.back() == nullptr) return {};
    }
    return cameras;
  }
  // Suspends, loses the cameras in their order and resumes.
  bool LoseAll(const std::vector<HeldCameras::Camera *> &cameras) {
    if (cameras.empty() || !m_held.Suspend()) return false;
    m_heard = m_held.TLEvents().Entries().size();
    for (HeldCameras::Camera *camera : cameras)
      if (!m_held.Lose(*camera)) return false;
    oxa::ZarUsb::emulator::Resume();
    return true;
  }
  // What the transport layer's callbacks heard since the suspend.
  std::vector<zar_test::EventLog::Entry> HeardSinceTheSuspend() {
    const auto entries = m_held.TLEvents().Entries();
    return {entries.begin() + static_cast<ptrdiff_t>(std::min(m_heard, entries.size())), entries.end()};
  }
  ShortRecoveryWait m_wait; // before the cameras: the library reads it at each resume
  HeldCameras m_held;
  zar_test::TraceCapture m_trace;
  size_t m_heard = 0;
};

// The real wait: 10 s after the resume every device hears the restore; the
// transport layer's callbacks hear nothing of a sleep. The application opens
// and closes a third camera while the timer walks the open devices.
TEST(SleepRecoveryWait, APlainSleepRestoresEveryDeviceTenSecondsAfterTheResume) {
  HeldCameras held;
  HeldCameras::Camera *first = held.Open(zar_test::StreamConfig("PS"));
  HeldCameras::Camera *second = held.Open(zar_test::StreamConfig("PS"));
  HeldCameras::Camera *third = held.Open(zar_test::StreamConfig("PS"));
  ASSERT_TRUE(first && second && third);
  ASSERT_EQ(DevClose(third->device), ZAR_SUCCESS);
  third->device = nullptr;
  ASSERT_TRUE(held.Suspend());
  const size_t heard = held.TLEvents().Entries().size();
  const Clock::time_point resumed = Clock::now();
  oxa::ZarUsb::emulator::Resume();
  zar_test::Repeating user([&] {
    ZAR_DEV_HANDLE device = nullptr;
    if (TLOpenDevice(held.TL(), "USB", third->name.c_str(), &device) == ZAR_SUCCESS) DevClose(device);
  });
  // Due 10 s after the resume: waited for three times as long.
  const auto restored = first->events.Await(PC_RESTORE_SLEEP_MODE, 30000);
  user.Stop();
  ASSERT_TRUE(restored);
  EXPECT_GE(duration_cast<milliseconds>(*restored - resumed).count(), 9900);
  EXPECT_TRUE(second->events.Await(PC_RESTORE_SLEEP_MODE, 1000));
  EXPECT_EQ(DeviceState(first->device), ZAR_SUCCESS) << "the camera stayed";
  EXPECT_EQ(held.TLEvents().Entries().size(), heard);
}

// One hibernation, a camera of each fate: `closed` (lost first, so its entry
// heads the list) is closed during the wait; `again` comes back, is restored
// on its own handle and is lost again; `back` comes back while another
// thread's register calls race its park and its recovery; `renamed` comes
// back under another name; `away` never comes back. At the end of the wait
// the three still parked are told they are unplugged, then destroyed, and
// so are the transport layer's callbacks; nothing reaches `closed` after its
// close. Register calls take no device lock: each either reaches the camera
// or is refused, none uses a driver that went (ASan).
TEST_F(SleepRecovery, EachParkedDeviceMeetsItsFateAtTheEndOfTheWait) {
  const auto cameras = Open("FT", 5);
  ASSERT_EQ(cameras.size(), 5u);
  HeldCameras::Camera &closed = *cameras[0], &back = *cameras[1], &renamed = *cameras[2], &again = *cameras[3],
                      &away = *cameras[4];
  std::atomic<int> read{0}, refused{0}, wrong{0};
  std::vector<uint8_t> data(4096);
  zar_test::Repeating reader([&, device = back.device] {
    uint64_t size = data.size();
    const ZAR_STATUS status = GCReadData(device, 0, 0x1000, data.data(), &size);
    ++(status == ZAR_SUCCESS ? read : status == ZAR_ERR_GENERAL || status == ZAR_ERR_ACCESS_DENIED ? refused : wrong);
  });
  ASSERT_TRUE(WaitFor([&] { return read > 0; }));
  ASSERT_TRUE(LoseAll(cameras));
  const Clock::time_point resumed = Clock::now(); // just after the resume was sent
  ASSERT_TRUE(WaitFor([&] { return refused > 0; })) << "parked";
  uint64_t size = 4;
  char bytes[4];
  EXPECT_EQ(GCReadData(closed.device, 0, 0x60, bytes, &size), ZAR_ERR_GENERAL) << "parked";
  EXPECT_EQ(DevClose(closed.device), ZAR_SUCCESS);
  EXPECT_EQ(DeviceState(closed.device), ZAR_ERR_INVALID_HANDLE);
  closed.device = nullptr;
  m_held.Return(again);
  ASSERT_TRUE(again.events.Await(PC_RESTORE_HYBERNATE_MODE));
  ASSERT_TRUE(m_held.Lose(again));
  EXPECT_EQ(DeviceState(again.device), ZAR_ERR_GENERAL) << "parked again";
  m_held.Return(back);
  m_held.Return(renamed, "Renamed");
  ASSERT_TRUE(back.events.Await(PC_RESTORE_HYBERNATE_MODE));
  EXPECT_EQ(DeviceState(back.device), ZAR_SUCCESS) << "the same handle reaches the camera again";
  const int before = read;
  EXPECT_TRUE(WaitFor([&] { return read > before; })) << "read " << read << ", refused " << refused;
  reader.Stop();
  EXPECT_EQ(wrong, 0);

  for (HeldCameras::Camera *camera : {&renamed, &again, &away}) {
    const auto unplugged = camera->events.Await(USB_UNPLUGGED_DEVICE);
    ASSERT_TRUE(unplugged) << camera->name;
    EXPECT_GE(duration_cast<milliseconds>(*unplugged - resumed).count(), kWait - 20) << camera->name;
    EXPECT_EQ(camera->events.Entries().back().name, camera->name);
    EXPECT_TRUE(WaitFor([&] { return DeviceState(camera->device) == ZAR_ERR_INVALID_HANDLE; })) << "destroyed";
    EXPECT_TRUE(m_held.TLEvents().Await(USB_UNPLUGGED_DEVICE, 2000, camera->name)) << camera->name;
  }
  EXPECT_EQ(renamed.events.Count(PC_RESTORE_HYBERNATE_MODE), 0u) << "not taken for the parked one";
  EXPECT_EQ(closed.events.Entries().size(), 1u) << "nothing after its close";
  EXPECT_EQ(DeviceState(back.device), ZAR_SUCCESS);
  EXPECT_EQ(back.events.Count(USB_UNPLUGGED_DEVICE), 0u);
  EXPECT_EQ(HeardSinceTheSuspend().size(), 3u) << "the plugs came while the process slept";
  ZAR_DEV_HANDLE other = nullptr;
  const std::string name = "Renamed_#" + renamed.config.serial;
  ASSERT_EQ(TLOpenDevice(m_held.TL(), "USB", name.c_str(), &other), ZAR_SUCCESS) << "a camera like any other";
  EXPECT_EQ(DevClose(other), ZAR_SUCCESS);
}

TEST_F(SleepRecovery, ASecondSuspendBeforeTheEndLeavesTheParkedDevicesWithoutEvents) {
  const auto cameras = Open("SS", 2);
  ASSERT_TRUE(LoseAll(cameras));
  HeldCameras::Camera &back = *cameras[0], &away = *cameras[1];
  m_held.Return(back);
  ASSERT_TRUE(back.events.Await(PC_RESTORE_HYBERNATE_MODE));
  oxa::ZarUsb::emulator::Suspend();
  ASSERT_TRUE(WaitFor([&] { return back.events.Count(PC_SUSPEND_MODE) == 2; }));
  oxa::ZarUsb::emulator::Resume();
  ASSERT_TRUE(back.events.Await(PC_RESTORE_SLEEP_MODE, kPastTheWait + 5000)) << "a plain sleep for it";
  EXPECT_EQ(away.events.Entries().size(), 1u) << "the parked one heard nothing after the first suspend";
  EXPECT_EQ(DeviceState(away.device), ZAR_ERR_GENERAL) << "still parked";
  // Its camera back: not handed out while the parked device is open, and
  // free once that is closed.
  m_held.Return(away);
  ASSERT_TRUE(zar_test::WaitForName(m_held.TL(), away.name));
  ZAR_DEV_HANDLE again = nullptr;
  EXPECT_EQ(TLOpenDevice(m_held.TL(), "USB", away.name.c_str(), &again), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(DevClose(away.device), ZAR_SUCCESS);
  away.device = nullptr;
  ASSERT_EQ(TLOpenDevice(m_held.TL(), "USB", away.name.c_str(), &again), ZAR_SUCCESS) << "no reservation left";
  EXPECT_EQ(DevClose(again), ZAR_SUCCESS);
}

// A relock the driver refuses: the camera is reported unplugged and the
// device closed.
TEST_F(SleepRecovery, ARelockThatFailsReportsTheCameraUnplugged) {
  const auto cameras = Open("RF", 1);
  ASSERT_EQ(cameras.size(), 1u);
  HeldCameras::Camera &camera = *cameras[0];
  ZAR_DS_HANDLE stream = nullptr;
  ASSERT_EQ(DevCreateDataStream(camera.device, 0, &stream), ZAR_SUCCESS);
  ASSERT_EQ(zar_test::AnnounceAndQueue(stream, 512, 1).size(), 1u);
  ASSERT_TRUE(LoseAll(cameras));
  EXPECT_EQ(DSStartAcquisition(stream, 0, 1), ZAR_ERR_GENERAL) << "parked";
  ZAR_WAIT_RESULT result{};
  EXPECT_EQ(DSWaitForBuffer(stream, 100, 0, &result, nullptr), ZAR_ERR_GENERAL) << "parked";
  m_held.Return(camera);
  // The library finds the camera only after its scan's pause: in time.
  ASSERT_TRUE(oxa::ZarUsb::emulator::InjectFault(camera.slot, oxa::ZarUsb::emulator::Request::LockBuffer,
                                                 oxa::ZarUsb::emulator::FaultKind::SystemError, 1, 0));
  ASSERT_TRUE(WaitFor([&] { return DeviceState(camera.device) == ZAR_ERR_INVALID_HANDLE; }));
  EXPECT_EQ(m_trace.Lines("RecoverFromHybernate Error = -6").size(), 1u);
  EXPECT_EQ(camera.events.Count(USB_UNPLUGGED_DEVICE), 1u);
  EXPECT_TRUE(m_held.TLEvents().Await(USB_UNPLUGGED_DEVICE, 2000, camera.name));
  EXPECT_EQ(DSClose(stream), ZAR_ERR_INVALID_HANDLE);
}

TEST_F(SleepRecovery, TheTransportLayerClosedDuringTheWaitEndsTheRecovery) {
  const auto cameras = Open("TC", 1);
  ASSERT_TRUE(LoseAll(cameras));
  HeldCameras::Camera &camera = *cameras[0];
  m_held.CloseTL();
  EXPECT_TRUE(Never([&] { return camera.events.Entries().size() != 1; }));
  EXPECT_TRUE(HeardSinceTheSuspend().empty());
  camera.device = nullptr;
  // A new open starts from a normal state: the camera back is just plugged.
  HeldCameras reopened;
  m_held.Return(camera);
  EXPECT_TRUE(reopened.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, camera.name));
}

// Holds the camera named, parked, with its resume's timer due, and returns
// (the library unloads at exit with the timer due).
const bool kExitWhileParked = zar_test::RegisterHelper("exit-while-parked", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  static zar_test::EventLog events;
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  const std::string trace = (dir / "trace.txt").string();
  const std::wstring wtrace(trace.begin(), trace.end());
  OpenDebugFile(wtrace.c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC | ZAR_O_BINARY);
  EnableZarTrace(1);
  if (TLOpenDevice(tl, "USB", args.at(1).c_str(), &device) != ZAR_SUCCESS) return 10;
  if (DevSetCallback(device, zar_test::EventLog::Record, &events) != ZAR_SUCCESS) return 11;
  zar_test::Touch(dir / "ready");
  if (!events.Await(PC_SUSPEND_MODE, 30000)) return 12;
  zar_test::Touch(dir / "suspended");
  const bool due = WaitFor(
      [&] { return zar_test::FileText(trace).find("PC_RESTORE : Create Timer") != std::string::npos; }, 30000);
  if (!due || DeviceState(device) != ZAR_ERR_GENERAL) return 13;
  return 0; // neither the device nor the transport layer closed
});

TEST(SleepRecoveryUnload, AProcessEndsWithItsTimerDue) {
  zar_test::TempDir dir;
  zar_test::PluggedCameras cameras;
  oxa::ZarUsb::emulator::CameraConfig config = zar_test::StreamConfig("UL");
  const uint32_t slot = cameras.Plug(config);
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  const std::string name = zar_test::CameraName(config);
  ASSERT_TRUE(zar_test::WaitForName(tl, name));
  zar_test::HelperProcess helper("exit-while-parked", {dir.Path().string(), name});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "ready")) << helper.Wait(0);
  oxa::ZarUsb::emulator::Suspend();
  ASSERT_TRUE(zar_test::AwaitFile(dir / "suspended")) << helper.Wait(0);
  cameras.Unplug(slot);
  oxa::ZarUsb::emulator::Resume();
  const Clock::time_point resumed = Clock::now();
  EXPECT_EQ(helper.Wait(60000), 0);
  EXPECT_LT(duration_cast<milliseconds>(Clock::now() - resumed).count(), 10000) << "ended before its timer";
  TLClose(tl);
}

} // namespace
