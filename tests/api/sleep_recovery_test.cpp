// Open cameras kept across a suspend: the fates of lost cameras, and streams streaming again after a hibernation.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "hibernation.h"
#include "open_stream.h"
#include "os/system_info.h"
#include "test_main.h"

using namespace std::chrono;
using zar_test::ShortRecoveryWait;
using zar_test::WaitFor;
namespace emulator = oxa::ZarUsb::emulator;
using Clock = steady_clock;

namespace {

constexpr uint32_t kWait = ShortRecoveryWait::kMilliseconds;
constexpr uint32_t kPastTheWait = kWait + 1500; // how long "nothing at the end of the wait" is watched

bool Never(const std::function<bool()> &happens) { return !WaitFor(happens, kPastTheWait); }

// DevGetInfo's answer for the handle: 0 open and bound, -6 parked, -2 gone.
int32_t DeviceState(ZAR_DEV_HANDLE device) {
  ZAR_DEVICE_INFO info{}; uint32_t size = sizeof info; return DevGetInfo(device, &info, &size);
}

// TLOpenDevice's answer for the name, or, when it opened, DevClose's.
ZAR_STATUS OpenAndClose(ZAR_TL_HANDLE tl, const std::string &name) {
  ZAR_DEV_HANDLE device = nullptr; const ZAR_STATUS opened = TLOpenDevice(tl, "USB", name.c_str(), &device);
  return opened != ZAR_SUCCESS ? opened : DevClose(device);
}

// What a callback (ZAR_CALLBACK, this its context) heard: codes, the camera name carried, and when.
struct EventLog {
  struct Entry { uint32_t code; std::string name; Clock::time_point at; };
  static void Record(uint32_t code, void *pData, int64_t size, void *pContext) {
    auto &log = *static_cast<EventLog *>(pContext); std::lock_guard<std::mutex> guard(log.m_lock);
    log.m_entries.push_back({code, pData != nullptr && size == 260 ? static_cast<const char *>(pData) : "", Clock::now()});
  }
  // When the first event of that code (and name, if given) came, waited for.
  std::optional<Clock::time_point> Await(uint32_t code, uint32_t milliseconds = 20000, const std::string &name = "") {
    std::optional<Clock::time_point> at;
    WaitFor([&] {
      for (const Entry &entry : Entries())
        if (entry.code == code && (name.empty() || entry.name == name)) return (at = entry.at).has_value();
      return false;
    }, milliseconds);
    return at;
  }
  size_t Count(uint32_t code) { size_t n = 0; for (const Entry &entry : Entries()) n += entry.code == code; return n; }
  std::vector<Entry> Entries() { std::lock_guard<std::mutex> guard(m_lock); return m_entries; }
  std::mutex m_lock; std::vector<Entry> m_entries;
};

// Runs `step` over and over on a thread of its own until the thread is assigned {} or goes.
std::jthread Repeating(std::function<void()> step) {
  return std::jthread([step](std::stop_token stop) { while (!stop.stop_requested()) step(); });
}

// The transport layer open with a callback, and cameras plugged and opened with callbacks of their own; the
// steps of a suspend one by one.
class HeldCameras {
public:
  struct Camera { emulator::CameraConfig config; std::string name; uint32_t slot = 0; ZAR_DEV_HANDLE device = nullptr;
                  EventLog events; };
  HeldCameras() { if (TLOpen(nullptr, nullptr, &m_tl) == ZAR_SUCCESS) TLSetCallback(m_tl, EventLog::Record, &m_tlEvents); }
  ~HeldCameras() { for (Camera &camera : m_cameras) Close(camera); CloseTL(); }
  ZAR_TL_HANDLE TL() const { return m_tl; }
  EventLog &TLEvents() { return m_tlEvents; }
  // Plugs a camera of StreamConfig(prefix) (for another process to open).
  Camera &Plug(const std::string &prefix) {
    Camera &camera = m_cameras.emplace_back();
    camera.name = zar_test::CameraName(camera.config = zar_test::StreamConfig(prefix));
    camera.slot = m_plugged.Plug(camera.config);
    return camera;
  }
  // Plugs and opens `count` cameras; empty when one failed.
  std::vector<Camera *> Open(const std::string &prefix, size_t count) {
    std::vector<Camera *> opened;
    while (opened.size() < count) {
      Camera &camera = Plug(prefix);
      if (!zar_test::WaitForName(m_tl, camera.name) || TLOpenDevice(m_tl, "USB", camera.name.c_str(), &camera.device) != 0 ||
          DevSetCallback(camera.device, EventLog::Record, &camera.events) != ZAR_SUCCESS)
        return {};
      opened.push_back(&camera);
    }
    return opened;
  }
  ZAR_STATUS Close(Camera &c) { const auto d = std::exchange(c.device, nullptr); return d ? DevClose(d) : ZAR_SUCCESS; }
  // The camera drops off the bus; once parked (or closed) its name is free.
  bool Lose(Camera &camera) { m_plugged.Unplug(camera.slot); return zar_test::WaitForName(m_tl, camera.name, false); }
  // Suspends (every open device hears it), loses the cameras in their order and resumes.
  bool Hibernate(const std::vector<Camera *> &lost) {
    if (!emulator::Suspend()) return false;
    for (Camera &camera : m_cameras) if (camera.device != nullptr && !camera.events.Await(PC_SUSPEND_MODE)) return false;
    m_heard = m_tlEvents.Entries().size();
    for (Camera *camera : lost) if (!Lose(*camera)) return false;
    m_resumed = Clock::now(); return emulator::Resume();
  }
  Clock::time_point Resumed() const { return m_resumed; }
  // How many events the transport layer's callbacks heard since the last Hibernate's suspend.
  size_t HeardSinceTheSuspend() { return m_tlEvents.Entries().size() - m_heard; }
  // The camera back in a new slot (as after a hibernation), maybe renamed.
  void Return(Camera &camera, const std::string &userName = "") {
    emulator::CameraConfig config = camera.config; config.userName = userName;
    camera.slot = m_plugged.Plug(config);
  }
  void CloseTL() { // the devices go with it
    if (m_tl != nullptr) { TLRemoveCallback(m_tl, EventLog::Record); TLClose(std::exchange(m_tl, nullptr)); }
  }

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  EventLog m_tlEvents;
  std::deque<Camera> m_cameras;
  zar_test::PluggedCameras m_plugged;
  size_t m_heard = 0; Clock::time_point m_resumed;
};
using Camera = HeldCameras::Camera;

class SleepRecovery : public ::testing::Test {
protected:
  void TearDown() override { if (HasFailure()) std::fputs(m_trace.Text().c_str(), stderr); }
  ShortRecoveryWait m_wait; // before the cameras
  HeldCameras m_held;
  zar_test::TraceCapture m_trace;
};

// The real wait: 10 s after the resume every device hears the restore, the transport layer nothing;
// meanwhile a third camera is opened and closed.
TEST(SleepRecoveryWait, APlainSleepRestoresEveryDeviceTenSecondsAfterTheResume) {
  HeldCameras held;
  const auto cameras = held.Open("PS", 3);
  ASSERT_TRUE(cameras.size() == 3 && held.Close(*cameras[2]) == ZAR_SUCCESS && held.Hibernate({}));
  std::jthread user = Repeating([&] { OpenAndClose(held.TL(), cameras[2]->name); });
  const auto restored = cameras[0]->events.Await(PC_RESTORE_SLEEP_MODE, 30000); // three times the wait
  user = {};
  ASSERT_TRUE(restored);
  EXPECT_GE(duration_cast<milliseconds>(*restored - held.Resumed()).count(), 9900);
  EXPECT_TRUE(cameras[1]->events.Await(PC_RESTORE_SLEEP_MODE));
  EXPECT_EQ(DeviceState(cameras[0]->device), ZAR_SUCCESS) << "the camera stayed";
  EXPECT_TRUE(held.HeardSinceTheSuspend() == 0u);
}

// One hibernation, a camera of each fate: `closed` (heading the list) is closed during the wait; `back` returns
// while register calls race its park and recovery (each reaches the camera or is refused, none uses a driver
// that went); `renamed` returns renamed; `again` returns and is lost again; `away` never returns; `refused`
// returns but the driver refuses its stream's relock: reported unplugged and destroyed at once. At the end of
// the wait the three still parked are reported unplugged, to them and the transport layer, and destroyed.
TEST_F(SleepRecovery, EachParkedDeviceMeetsItsFateAtTheEndOfTheWait) {
  const auto cameras = m_held.Open("FT", 6);
  ASSERT_EQ(cameras.size(), 6u);
  Camera &closed = *cameras[0], &back = *cameras[1], &renamed = *cameras[2], &again = *cameras[3], &away = *cameras[4],
         &refused = *cameras[5];
  ZAR_DS_HANDLE stream = nullptr; ZAR_WAIT_RESULT result{};
  ASSERT_EQ(DevCreateDataStream(refused.device, 0, &stream), ZAR_SUCCESS);
  ASSERT_EQ(zar_test::AnnounceAndQueue(stream, 512, 1).size(), 1u);
  std::atomic<int> read{0}, denied{0}, wrong{0}; std::vector<uint8_t> data(4096);
  std::jthread reader = Repeating([&, device = back.device] {
    uint64_t size = data.size(); const ZAR_STATUS status = GCReadData(device, 0, 0x1000, data.data(), &size);
    ++(status == ZAR_SUCCESS ? read : status == ZAR_ERR_GENERAL || status == ZAR_ERR_ACCESS_DENIED ? denied : wrong);
  });
  ASSERT_TRUE(WaitFor([&] { return read > 0; }));
  ASSERT_TRUE(m_held.Hibernate(cameras));
  ASSERT_TRUE(WaitFor([&] { return denied > 0; })) << "parked";
  EXPECT_EQ(DSStartAcquisition(stream, 0, 1), ZAR_ERR_GENERAL) << "parked";
  EXPECT_EQ(DSWaitForBuffer(stream, 100, 0, &result, nullptr), ZAR_ERR_GENERAL) << "parked";
  m_held.Return(refused); // in time: the library finds the camera only after its scan's pause
  ASSERT_TRUE(emulator::InjectFault(refused.slot, emulator::Request::LockBuffer, emulator::FaultKind::SystemError, 1, 0));
  m_held.Return(renamed, "Renamed"); m_held.Return(back); m_held.Return(again);
  uint64_t size = 4; char bytes[4];
  EXPECT_EQ(GCReadData(closed.device, 0, 0x60, bytes, &size), ZAR_ERR_GENERAL) << "parked";
  const ZAR_DEV_HANDLE closedHandle = closed.device; EXPECT_EQ(m_held.Close(closed), ZAR_SUCCESS);
  EXPECT_EQ(DeviceState(closedHandle), ZAR_ERR_INVALID_HANDLE);
  for (Camera *camera : {&back, &again}) {
    ASSERT_TRUE(camera->events.Await(PC_RESTORE_HYBERNATE_MODE)) << camera->name;
    EXPECT_EQ(DeviceState(camera->device), ZAR_SUCCESS) << "the same handle reaches the camera again";
  }
  ASSERT_TRUE(m_held.Lose(again));
  EXPECT_EQ(DeviceState(again.device), ZAR_ERR_GENERAL) << "parked again";
  const int before = read;
  EXPECT_TRUE(WaitFor([&] { return read > before; })) << "read " << read << ", refused " << denied;
  reader = {};
  EXPECT_EQ(wrong, 0);

  for (Camera *camera : {&renamed, &again, &away, &refused}) {
    const auto unplugged = camera->events.Await(USB_UNPLUGGED_DEVICE); ASSERT_TRUE(unplugged) << camera->name;
    EXPECT_TRUE(camera == &refused || *unplugged - m_held.Resumed() >= milliseconds(kWait - 20)) << camera->name;
    EXPECT_EQ(camera->events.Entries().back().name, camera->name);
    EXPECT_TRUE(WaitFor([&] { return DeviceState(camera->device) == ZAR_ERR_INVALID_HANDLE; })) << "destroyed";
    EXPECT_TRUE(m_held.TLEvents().Await(USB_UNPLUGGED_DEVICE, 2000, camera->name)) << camera->name;
  }
  EXPECT_EQ(m_trace.Lines("RecoverFromHybernate Error = -6").size(), 1u);
  EXPECT_EQ(refused.events.Count(USB_UNPLUGGED_DEVICE), 1u);
  EXPECT_EQ(DSClose(stream), ZAR_ERR_INVALID_HANDLE) << "destroyed with its device";
  EXPECT_EQ(renamed.events.Count(PC_RESTORE_HYBERNATE_MODE), 0u) << "not taken for the parked one";
  EXPECT_EQ(closed.events.Entries().size(), 1u) << "nothing after its close";
  EXPECT_EQ(DeviceState(back.device), ZAR_SUCCESS);
  EXPECT_EQ(back.events.Count(USB_UNPLUGGED_DEVICE), 0u);
  EXPECT_EQ(m_held.HeardSinceTheSuspend(), 4u) << "the plugs came while the process slept";
  EXPECT_EQ(OpenAndClose(m_held.TL(), "Renamed_#" + renamed.config.serial), ZAR_SUCCESS) << "a camera like any other";
}

// After a second suspend the parked one hears nothing more, and its camera back is handed out once it is closed.
TEST_F(SleepRecovery, ASecondSuspendOrATransportLayerCloseBeforeTheEndLeavesTheParkedDevicesWithoutEvents) {
  const auto cameras = m_held.Open("SS", 2);
  ASSERT_TRUE(cameras.size() == 2 && m_held.Hibernate(cameras));
  Camera &back = *cameras[0], &away = *cameras[1];
  m_held.Return(back);
  ASSERT_TRUE(back.events.Await(PC_RESTORE_HYBERNATE_MODE));
  emulator::Suspend();
  ASSERT_TRUE(WaitFor([&] { return back.events.Count(PC_SUSPEND_MODE) == 2; }));
  emulator::Resume();
  ASSERT_TRUE(back.events.Await(PC_RESTORE_SLEEP_MODE, kPastTheWait + 5000)) << "a plain sleep for it";
  EXPECT_EQ(away.events.Entries().size(), 1u) << "nothing after the first suspend";
  EXPECT_EQ(DeviceState(away.device), ZAR_ERR_GENERAL) << "still parked";
  m_held.Return(away);
  ASSERT_TRUE(zar_test::WaitForName(m_held.TL(), away.name));
  EXPECT_EQ(OpenAndClose(m_held.TL(), away.name), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(m_held.Close(away), ZAR_SUCCESS);
  EXPECT_EQ(OpenAndClose(m_held.TL(), away.name), ZAR_SUCCESS) << "no reservation left";

  // The transport layer closed during the wait: nothing at its end; a new open sees the camera back plugged.
  const auto closing = m_held.Open("TC", 1);
  ASSERT_TRUE(closing.size() == 1 && m_held.Hibernate(closing));
  m_held.CloseTL();
  EXPECT_TRUE(Never([&] { return closing[0]->events.Entries().size() != 1; }));
  EXPECT_TRUE(m_held.HeardSinceTheSuspend() == 0u);
  closing[0]->device = back.device = nullptr;
  HeldCameras reopened;
  m_held.Return(*closing[0]);
  EXPECT_TRUE(reopened.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, closing[0]->name));
}

constexpr uint32_t kBuffers = 4;

// Waits for `count` frames, queueing each buffer again: empty when each had the pattern and a frame id above the
// last, else why not. The filled buffers' IDs are added to `ids`.
std::string TakeFrames(ZAR_DS_HANDLE stream, const emulator::CameraConfig &config, uint32_t count,
                       std::vector<uint32_t> *ids = nullptr) {
  for (uint64_t i = 0, last = 0; i < count; ++i) {
    ZAR_WAIT_RESULT result{};
    if (const ZAR_STATUS waited = DSWaitForBuffer(stream, 5000, 0, &result, nullptr); waited != ZAR_SUCCESS)
      return "wait " + std::to_string(waited);
    const uint64_t frame = zar_test::FrameId(result);
    if (frame <= std::exchange(last, frame)) return "frame id " + std::to_string(frame) + " not rising";
    const auto *data = static_cast<const uint8_t *>(result.pBase);
    if (auto why = zar_test::PatternMismatch(data, config.width, config.height, frame); !why.empty()) return why;
    if (ids != nullptr) ids->push_back(result.iID);
    if (DSQueueBuffer(stream, result.iID) != ZAR_SUCCESS) return "requeue";
  }
  return {};
}

// Streams kBuffers library buffers and checks a few frames: the IDs (empty when a step failed).
std::vector<uint32_t> StartStreaming(ZAR_DEV_HANDLE device, const emulator::CameraConfig &config, ZAR_DS_HANDLE *stream) {
  if (DevCreateDataStream(device, 0, stream) != ZAR_SUCCESS) return {};
  const std::vector<uint32_t> ids = zar_test::AnnounceAndQueue(*stream, config.width * config.height, kBuffers);
  if (ids.empty() || DSStartAcquisition(*stream, 0, 1000000) != ZAR_SUCCESS) return {};
  return TakeFrames(*stream, config, 3).empty() ? ids : std::vector<uint32_t>{};
}

// Empty when, once started, kBuffers frames came exactly in the buffers given, else why not.
std::string StreamsAgain(ZAR_DS_HANDLE stream, const emulator::CameraConfig &config, const std::vector<uint32_t> &queued) {
  if (DSStartAcquisition(stream, 0, 1) != ZAR_SUCCESS) return "start";
  std::vector<uint32_t> filled;
  if (std::string why = TakeFrames(stream, config, kBuffers, &filled); !why.empty()) return why;
  return std::is_permutation(filled.begin(), filled.end(), queued.begin(), queued.end()) ? "" : "not the buffers queued";
}

// In a helper: opens the camera named (StreamConfig's geometry) with a log as its callback. "park": holds it
// parked until its resume's timer is due and returns with nothing closed (the library unloads with the timer
// due). "stream": streams, and again on the same handle after the hibernation.
const bool kHeldCamera = zar_test::RegisterHelper("held-camera", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  static EventLog events;
  ZAR_TL_HANDLE tl = nullptr; ZAR_DEV_HANDLE device = nullptr; ZAR_DS_HANDLE stream = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS || TLOpenDevice(tl, "USB", args.at(1).c_str(), &device) != ZAR_SUCCESS ||
      DevSetCallback(device, EventLog::Record, &events) != ZAR_SUCCESS)
    return 10;
  if (args.at(2) == "park") {
    const std::filesystem::path trace = dir / "trace.txt";
    OpenDebugFile(trace.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC | ZAR_O_BINARY);
    EnableZarTrace(1);
    zar_test::Touch(dir / "ready");
    if (!events.Await(PC_SUSPEND_MODE, 30000)) return 12;
    zar_test::Touch(dir / "suspended");
    const auto due = [&] { return zar_test::FileText(trace).find("PC_RESTORE : Create Timer") != std::string::npos; };
    return WaitFor(due, 30000) && DeviceState(device) == ZAR_ERR_GENERAL ? 0 : 13;
  }
  const emulator::CameraConfig config = zar_test::StreamConfig("");
  const std::vector<uint32_t> before = StartStreaming(device, config, &stream);
  if (before.empty()) return 12;
  zar_test::Touch(dir / "ready");
  if (!events.Await(PC_RESTORE_HYBERNATE_MODE, 60000)) return 13;
  if (!StreamsAgain(stream, config, before).empty()) return 14;
  DSClose(stream); DevClose(device);
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 15;
});

TEST(SleepRecoveryUnload, AProcessEndsWithItsTimerDue) {
  zar_test::TempDir dir; HeldCameras held;
  Camera &camera = held.Plug("UL");
  ASSERT_TRUE(zar_test::WaitForName(held.TL(), camera.name));
  zar_test::HelperProcess helper("held-camera", {dir.Path().string(), camera.name, "park"});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "ready")) << helper.Wait(0);
  emulator::Suspend();
  ASSERT_TRUE(zar_test::AwaitFile(dir / "suspended")) << helper.Wait(0);
  ASSERT_TRUE(held.Lose(camera)) << "parked by its process";
  emulator::Resume(); const Clock::time_point resumed = Clock::now();
  EXPECT_EQ(helper.Wait(60000), 0);
  EXPECT_LT(duration_cast<milliseconds>(Clock::now() - resumed).count(), 10000) << "ended before its timer";
}

// Two cameras of this process (back in reverse order) and one of another. Once the last is back the
// recovery has ended: nothing comes at the end of the wait.
TEST(StreamingAcrossHibernation, TheSameStreamsStreamAgainIntoTheBuffersQueuedBefore) {
  ShortRecoveryWait wait; // before the helper starts: it inherits the setting
  HeldCameras held; zar_test::TempDir dir;
  const auto mine = held.Open("HS", 2);
  ASSERT_EQ(mine.size(), 2u);
  std::vector<ZAR_DS_HANDLE> streams(2); std::vector<std::vector<uint32_t>> queued(2);
  for (size_t i = 0; i < 2; ++i)
    ASSERT_EQ((queued[i] = StartStreaming(mine[i]->device, mine[i]->config, &streams[i])).size(), kBuffers);
  Camera &theirs = held.Plug("HS");
  ASSERT_TRUE(held.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, theirs.name));
  zar_test::HelperProcess helper("held-camera", {dir.Path().string(), theirs.name, "stream"});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "ready")) << helper.Wait(0);
  ASSERT_TRUE(held.Hibernate({mine[0], mine[1], &theirs})) << "parked by its process too";
  oxa::ZarUsb::os::Sleep(1000); // the hibernation's gap
  held.Return(*mine[1]); held.Return(*mine[0]); held.Return(theirs);
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

// Hibernation after hibernation, while one thread announces, queues and starts until a start succeeds and another
// opens the camera by name. Each recovery restores the same handles, and the start that succeeded holds: once
// stopped no frame comes (a start let through before the relock would leave the camera streaming). The held
// camera is never handed out again.
TEST(StreamingAcrossHibernation, EachRecoveryIsWholeForTheThreadsUsingTheCamera) {
  constexpr int kRounds = 50;
  ShortRecoveryWait wait;
  HeldCameras held;
  const auto cameras = held.Open("HR", 1);
  ASSERT_EQ(cameras.size(), 1u);
  Camera *camera = cameras[0];
  ZAR_DS_HANDLE stream = nullptr; uint32_t kept = 0; ZAR_WAIT_RESULT result{};
  ASSERT_EQ(DevCreateDataStream(camera->device, 0, &stream), ZAR_SUCCESS);
  const uint32_t bytes = camera->config.width * camera->config.height;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &kept), ZAR_SUCCESS);
  std::atomic<int> away{0}, started{0}, handedOut{0};
  std::jthread user = Repeating([&] {
    const int round = away; uint32_t id = 0;
    if (round == started) return;
    if (DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &id) == ZAR_SUCCESS) DSQueueBuffer(stream, id);
    if (DSStartAcquisition(stream, 0, 1) == ZAR_SUCCESS) started = round;
  });
  std::jthread opener = Repeating([&] { handedOut += OpenAndClose(held.TL(), camera->name) == ZAR_SUCCESS; });
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
    EXPECT_EQ(DSWaitForBuffer(stream, 50, 0, &result, nullptr), ZAR_ERR_TIMEOUT);
    EXPECT_EQ(DSFlushQueue(stream, 1), ZAR_SUCCESS);
  }
  user = {}; opener = {};
  EXPECT_EQ(handedOut, 0);
  EXPECT_EQ(DSClose(stream), ZAR_SUCCESS);
  ASSERT_EQ(held.Close(*camera), ZAR_SUCCESS);
  EXPECT_EQ(OpenAndClose(held.TL(), camera->name), ZAR_SUCCESS) << "no reservation left";
}

} // namespace
