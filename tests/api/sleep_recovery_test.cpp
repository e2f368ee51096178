// Open cameras kept across a suspend, through the exports: a plain sleep;
// cameras lost and back, back under another name, lost again or not back at
// all; a second suspend before the end; and the faults of the recovery (a
// failed relock, closes during the wait, register calls racing a park, unload
// with the timer due). Streaming across a hibernation: the cameras of this
// process and one of another process drop off the bus for a second and come
// back; the same stream handles stream again once started, into exactly the
// buffers that were queued before, with the right frames.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "hibernation.h"
#include "open_camera.h"
#include "open_stream.h"
#include "os/system_info.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace std::chrono;
using zar_test::Clock;
using zar_test::DeviceState;
using zar_test::HeldCameras;
using zar_test::ShortRecoveryWait;
using zar_test::WaitFor;
namespace emulator = oxa::ZarUsb::emulator;
using emulator::FaultKind;
using emulator::Request;

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
    emulator::Resume();
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
  emulator::Resume();
  zar_test::Repeating user([&] {
    ZAR_DEV_HANDLE device = nullptr;
    if (TLOpenDevice(held.TL(), "USB", third->name.c_str(), &device) == ZAR_SUCCESS) DevClose(device);
  });
  // Due 10 s after the resume: waited for three times as long.
  const auto restored = first->events.Await(PC_RESTORE_SLEEP_MODE, 30000);
  user.Stop();
  ASSERT_TRUE(restored);
  EXPECT_GE(duration_cast<milliseconds>(*restored - resumed).count(), 9900);
  EXPECT_TRUE(second->events.Await(PC_RESTORE_SLEEP_MODE));
  EXPECT_EQ(DeviceState(first->device), ZAR_SUCCESS) << "the camera stayed";
  EXPECT_EQ(held.TLEvents().Entries().size(), heard);
}

// One hibernation, a camera of each fate: `closed` (lost first, so its entry
// heads the list) is closed during the wait; `back` comes back while another
// thread's register calls race its park and its recovery; `renamed` comes
// back under another name; `again` comes back and is lost again; `away`
// never comes back. At the end of the wait the three still parked are told
// they are unplugged, then destroyed, and so are the transport layer's
// callbacks; nothing reaches `closed` after its close. Register calls take
// no device lock: each either reaches the camera or is refused, none uses a
// driver that went (ASan).
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
  m_held.Return(renamed, "Renamed");
  m_held.Return(back);
  m_held.Return(again);
  uint64_t size = 4;
  char bytes[4];
  EXPECT_EQ(GCReadData(closed.device, 0, 0x60, bytes, &size), ZAR_ERR_GENERAL) << "parked";
  EXPECT_EQ(DevClose(closed.device), ZAR_SUCCESS);
  EXPECT_EQ(DeviceState(closed.device), ZAR_ERR_INVALID_HANDLE);
  closed.device = nullptr;
  for (HeldCameras::Camera *camera : {&back, &again}) {
    ASSERT_TRUE(camera->events.Await(PC_RESTORE_HYBERNATE_MODE)) << camera->name;
    EXPECT_EQ(DeviceState(camera->device), ZAR_SUCCESS) << "the same handle reaches the camera again";
  }
  ASSERT_TRUE(m_held.Lose(again));
  EXPECT_EQ(DeviceState(again.device), ZAR_ERR_GENERAL) << "parked again";
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
  emulator::Suspend();
  ASSERT_TRUE(WaitFor([&] { return back.events.Count(PC_SUSPEND_MODE) == 2; }));
  emulator::Resume();
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
  ASSERT_TRUE(emulator::InjectFault(camera.slot, Request::LockBuffer, FaultKind::SystemError, 1, 0));
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
  emulator::CameraConfig config = zar_test::StreamConfig("UL");
  const uint32_t slot = cameras.Plug(config);
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  const std::string name = zar_test::CameraName(config);
  ASSERT_TRUE(zar_test::WaitForName(tl, name));
  zar_test::HelperProcess helper("exit-while-parked", {dir.Path().string(), name});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "ready")) << helper.Wait(0);
  emulator::Suspend();
  ASSERT_TRUE(zar_test::AwaitFile(dir / "suspended")) << helper.Wait(0);
  cameras.Unplug(slot);
  emulator::Resume();
  const Clock::time_point resumed = Clock::now();
  EXPECT_EQ(helper.Wait(60000), 0);
  EXPECT_LT(duration_cast<milliseconds>(Clock::now() - resumed).count(), 10000) << "ended before its timer";
  TLClose(tl);
}

constexpr uint32_t kBuffers = 4;

std::vector<uint32_t> Sorted(std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

// A stream of the device with kBuffers library buffers queued and running,
// after a few checked frames: its buffer IDs, sorted; empty when a step failed.
std::vector<uint32_t> StartStreaming(ZAR_DEV_HANDLE device, const emulator::CameraConfig &config,
                                     ZAR_DS_HANDLE *stream, std::string *why) {
  if (DevCreateDataStream(device, 0, stream) != ZAR_SUCCESS) return {};
  const std::vector<uint32_t> ids = zar_test::AnnounceAndQueue(*stream, config.width * config.height, kBuffers);
  if (ids.empty() || DSStartAcquisition(*stream, 0, 1000000) != ZAR_SUCCESS) return {};
  *why = zar_test::TakeFrames(*stream, config, 3);
  return why->empty() ? Sorted(ids) : std::vector<uint32_t>{};
}

// Empty when kBuffers frames came again, once started, exactly in the
// buffers given, else why not.
std::string StreamsAgain(ZAR_DS_HANDLE stream, const emulator::CameraConfig &config,
                         const std::vector<uint32_t> &queued) {
  if (DSStartAcquisition(stream, 0, 1) != ZAR_SUCCESS) return "start";
  std::vector<uint32_t> filled;
  const std::string why = zar_test::TakeFrames(stream, config, kBuffers, &filled);
  return !why.empty() || Sorted(filled) == queued ? why : "not the buffers queued before";
}

// Streams from the camera named (plugged by the test) in a process of its
// own, and streams again on the same handle after the hibernation.
const bool kStreamAcross = zar_test::RegisterHelper("stream-across-hibernation", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  emulator::CameraConfig config;
  config.width = static_cast<uint32_t>(std::stoul(args.at(2)));
  config.height = static_cast<uint32_t>(std::stoul(args.at(3)));
  static zar_test::EventLog events;
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  ZAR_DS_HANDLE stream = nullptr;
  std::string why;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLOpenDevice(tl, "USB", args.at(1).c_str(), &device) != ZAR_SUCCESS) return 10;
  if (DevSetCallback(device, zar_test::EventLog::Record, &events) != ZAR_SUCCESS) return 11;
  const std::vector<uint32_t> before = StartStreaming(device, config, &stream, &why);
  if (before.empty()) return 12;
  zar_test::Touch(dir / "streaming");
  if (!events.Await(PC_RESTORE_HYBERNATE_MODE, 60000)) return 13;
  if (!StreamsAgain(stream, config, before).empty()) return 14;
  DSClose(stream);
  DevClose(device);
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 15;
});

// The cameras of this process come back in the reverse order of their loss.
// Once the last is back the recovery has ended: nothing more comes at the
// end of the wait.
TEST(StreamingAcrossHibernation, TheSameStreamsStreamAgainIntoTheBuffersQueuedBefore) {
  ShortRecoveryWait wait; // before the helper starts: it inherits the setting
  HeldCameras held;
  zar_test::TempDir dir;
  std::vector<HeldCameras::Camera *> mine;
  std::vector<ZAR_DS_HANDLE> streams(2);
  std::vector<std::vector<uint32_t>> queued(2);
  for (size_t i = 0; i < 2; ++i) {
    mine.push_back(held.Open(zar_test::StreamConfig("HS")));
    ASSERT_TRUE(mine[i]);
    std::string why;
    queued[i] = StartStreaming(mine[i]->device, mine[i]->config, &streams[i], &why);
    ASSERT_EQ(queued[i].size(), kBuffers) << why;
  }
  zar_test::PluggedCameras theirs;
  const emulator::CameraConfig other = zar_test::StreamConfig("HS");
  const std::string otherName = zar_test::CameraName(other);
  uint32_t otherSlot = theirs.Plug(other);
  ASSERT_TRUE(held.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, otherName));
  zar_test::HelperProcess helper("stream-across-hibernation", {dir.Path().string(), otherName,
                                                               std::to_string(other.width),
                                                               std::to_string(other.height)});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "streaming")) << helper.Wait(0);

  ASSERT_TRUE(held.Suspend());
  for (HeldCameras::Camera *camera : mine) ASSERT_TRUE(held.Lose(*camera));
  theirs.Unplug(otherSlot);
  ASSERT_TRUE(zar_test::WaitForName(held.TL(), otherName, false)) << "parked by its process";
  emulator::Resume();
  oxa::ZarUsb::os::Sleep(1000); // the hibernation's gap
  held.Return(*mine[1]);
  held.Return(*mine[0]);
  otherSlot = theirs.Plug(other);

  for (size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE(mine[i]->events.Await(PC_RESTORE_HYBERNATE_MODE)) << mine[i]->name;
    EXPECT_EQ(DSStopAcquisition(streams[i], 0), ZAR_SUCCESS) << "left stopped";
    EXPECT_EQ(StreamsAgain(streams[i], mine[i]->config, queued[i]), "") << "the same handle";
    EXPECT_EQ(DSClose(streams[i]), ZAR_SUCCESS);
  }
  EXPECT_TRUE(Never([&] { return mine[0]->events.Entries().size() + mine[1]->events.Entries().size() != 4; }))
      << "the timer was deleted: nothing more at the end of the wait";
  EXPECT_EQ(helper.Wait(60000), 0);
}

// Hibernation after hibernation. While the camera is away one thread
// announces, queues and starts on the stream until a start succeeds, and
// another keeps opening the camera by name. Each recovery restores the same
// handles, and the one start that succeeded holds: once it is stopped no
// frame comes (a start let through before the relock would be forgotten by
// the stream and leave the camera streaming). The held camera is never
// handed out again, and its record is free once it is closed.
TEST(StreamingAcrossHibernation, EachRecoveryIsWholeForTheThreadsUsingTheCamera) {
  constexpr int kRounds = 50;
  ShortRecoveryWait wait;
  HeldCameras held;
  HeldCameras::Camera *camera = held.Open(zar_test::StreamConfig("HR"));
  ASSERT_TRUE(camera);
  ZAR_DS_HANDLE stream = nullptr;
  ASSERT_EQ(DevCreateDataStream(camera->device, 0, &stream), ZAR_SUCCESS);
  const uint32_t bytes = camera->config.width * camera->config.height;
  uint32_t kept = 0;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &kept), ZAR_SUCCESS);
  std::atomic<int> away{0}, started{0}, handedOut{0};
  zar_test::Repeating user([&] {
    const int round = away;
    if (round == started) return;
    uint32_t id = 0;
    if (DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &id) == ZAR_SUCCESS) DSQueueBuffer(stream, id);
    if (DSStartAcquisition(stream, 0, 1) == ZAR_SUCCESS) started = round;
  });
  zar_test::Repeating opener([&] {
    ZAR_DEV_HANDLE other = nullptr;
    if (TLOpenDevice(held.TL(), "USB", camera->name.c_str(), &other) == ZAR_SUCCESS) ++handedOut;
  });
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    emulator::Suspend();
    ASSERT_TRUE(WaitFor([&] { return camera->events.Count(PC_SUSPEND_MODE) == static_cast<size_t>(round); }));
    ASSERT_TRUE(held.Lose(*camera));
    away = round;
    emulator::Resume();
    held.Return(*camera);
    ASSERT_TRUE(WaitFor([&] {
      return camera->events.Count(PC_RESTORE_HYBERNATE_MODE) == static_cast<size_t>(round) ||
             camera->events.Count(USB_UNPLUGGED_DEVICE) != 0 || DeviceState(camera->device) == -2;
    }, 20000));
    ASSERT_EQ(camera->events.Count(USB_UNPLUGGED_DEVICE), 0u);
    ASSERT_EQ(DeviceState(camera->device), ZAR_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return started == round; }));
    EXPECT_EQ(DSStopAcquisition(stream, 0), ZAR_SUCCESS);
    EXPECT_EQ(DSFlushQueue(stream, 1), ZAR_SUCCESS);
    EXPECT_EQ(DSQueueBuffer(stream, kept), ZAR_SUCCESS);
    ZAR_WAIT_RESULT result{};
    EXPECT_EQ(DSWaitForBuffer(stream, 50, 0, &result, nullptr), ZAR_ERR_TIMEOUT);
    EXPECT_EQ(DSFlushQueue(stream, 1), ZAR_SUCCESS);
  }
  user.Stop();
  opener.Stop();
  EXPECT_EQ(handedOut, 0);
  EXPECT_EQ(DSClose(stream), ZAR_SUCCESS);
  ASSERT_EQ(DevClose(camera->device), ZAR_SUCCESS);
  camera->device = nullptr;
  ZAR_DEV_HANDLE again = nullptr;
  ASSERT_EQ(TLOpenDevice(held.TL(), "USB", camera->name.c_str(), &again), ZAR_SUCCESS) << "no reservation left";
  EXPECT_EQ(DevClose(again), ZAR_SUCCESS);
}

} // namespace
