// Streaming across a hibernation: the cameras of this process and one of
// another process drop off the bus for a second and come back; the same
// stream handles stream again once started, into exactly the buffers that
// were queued before, with the right frames. Measures the time from a
// camera's return to its restore event and from there to its first frame.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hibernation.h"
#include "open_stream.h"
#include "os/system_info.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace std::chrono;
using zar_test::Clock;
using zar_test::WaitFor;

namespace {

constexpr uint32_t kBuffers = 4;
constexpr uint32_t kGapMs = 1000;

// The buffer IDs of `count` frames, each checked against the test pattern
// and queued again; empty when a frame failed.
std::vector<uint32_t> TakeFrames(ZAR_DS_HANDLE stream, const oxa::ZarUsb::emulator::CameraConfig &config,
                                 uint32_t count, std::string *why, Clock::time_point *first = nullptr) {
  std::vector<uint32_t> ids;
  for (uint32_t frame = 0; frame < count; ++frame) {
    ZAR_WAIT_RESULT result{};
    if (const ZAR_STATUS status = DSWaitForBuffer(stream, 5000, 0, &result, nullptr); status != ZAR_SUCCESS) {
      *why = "wait: " + std::to_string(status);
      return {};
    }
    if (first != nullptr && frame == 0) *first = Clock::now();
    *why = zar_test::PatternMismatch(static_cast<const uint8_t *>(result.pBase), config.width, config.height,
                                     zar_test::FrameId(result));
    if (!why->empty()) return {};
    ids.push_back(result.iID);
    if (DSQueueBuffer(stream, result.iID) != ZAR_SUCCESS) {
      *why = "requeue";
      return {};
    }
  }
  return ids;
}

// A stream with kBuffers library buffers queued and running, after a few
// checked frames. Its buffer IDs; empty on failure.
std::vector<uint32_t> StartStreaming(ZAR_DEV_HANDLE device, const oxa::ZarUsb::emulator::CameraConfig &config,
                                     ZAR_DS_HANDLE *stream, std::string *why) {
  if (DevCreateDataStream(device, 0, stream) != ZAR_SUCCESS) return {};
  std::vector<uint32_t> ids;
  const uint32_t bytes = config.width * config.height;
  for (uint32_t i = 0; i < kBuffers; ++i) {
    uint32_t id = 0;
    if (DSAllocAndAnnounceBuffer(*stream, bytes, nullptr, nullptr, &id) != ZAR_SUCCESS) return {};
    if (DSQueueBuffer(*stream, id) != ZAR_SUCCESS) return {};
    ids.push_back(id);
  }
  if (DSStartAcquisition(*stream, 0, 1000000) != ZAR_SUCCESS) return {};
  if (TakeFrames(*stream, config, 3, why).empty()) return {};
  return ids;
}

bool SameSet(std::vector<uint32_t> a, std::vector<uint32_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

// Streams from the camera named (plugged by the test) in a process of its
// own, and streams again on the same handle after the hibernation.
const bool kStreamAcross = zar_test::RegisterHelper("stream-across-hibernation", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  oxa::ZarUsb::emulator::CameraConfig config;
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
  if (DSStartAcquisition(stream, 0, 1) != ZAR_SUCCESS) return 14;
  if (!SameSet(TakeFrames(stream, config, kBuffers, &why), before)) return 15;
  DSClose(stream);
  DevClose(device);
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 16;
});

TEST(StreamingAcrossHibernation, TheSameStreamsStreamAgainIntoTheBuffersQueuedBefore) {
  zar_test::ShortRecoveryWait wait; // before the helper starts: it inherits the setting
  zar_test::HeldCameras held;
  zar_test::TempDir dir;
  struct Streaming {
    zar_test::HeldCameras::Camera *camera;
    ZAR_DS_HANDLE stream = nullptr;
    std::vector<uint32_t> queued;
    Clock::time_point returned;
  };
  std::vector<Streaming> mine;
  for (int i = 0; i < 2; ++i) {
    zar_test::HeldCameras::Camera *camera = held.Open(zar_test::StreamConfig("HS"));
    ASSERT_TRUE(camera);
    Streaming streaming{camera, nullptr, {}, {}};
    std::string why;
    streaming.queued = StartStreaming(camera->device, camera->config, &streaming.stream, &why);
    ASSERT_EQ(streaming.queued.size(), kBuffers) << why;
    mine.push_back(streaming);
  }
  zar_test::PluggedCameras theirs;
  const oxa::ZarUsb::emulator::CameraConfig other = zar_test::StreamConfig("HS");
  const std::string otherName = zar_test::CameraName(other);
  // The baseline: a camera's plug reaching the transport-layer callbacks.
  const Clock::time_point plugged = Clock::now();
  uint32_t otherSlot = theirs.Plug(other);
  const auto heard = held.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, otherName);
  ASSERT_TRUE(heard);
  const auto toPlug = duration_cast<microseconds>(*heard - plugged).count();
  zar_test::HelperProcess helper("stream-across-hibernation", {dir.Path().string(), otherName,
                                                               std::to_string(other.width),
                                                               std::to_string(other.height)});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "streaming")) << helper.Wait(0);

  ASSERT_TRUE(held.Suspend());
  for (Streaming &streaming : mine) ASSERT_TRUE(held.Lose(*streaming.camera));
  // The application keeps using the first camera while it is away and while
  // it is rebound: every call answers, none sees a half-made stream.
  std::atomic<bool> restored{false};
  std::set<ZAR_STATUS> answers;
  std::thread user([&] {
    uint64_t size = 4;
    char bytes[4];
    ZAR_WAIT_RESULT result{};
    uint32_t id = 0;
    while (!restored) {
      answers.insert(DSWaitForBuffer(mine[0].stream, 5, 0, &result, nullptr));
      answers.insert(DSQueueBuffer(mine[0].stream, mine[0].queued[0]));
      answers.insert(DSGetBufferID(mine[0].stream, 0, &id));
      answers.insert(GCReadData(mine[0].camera->device, 0, 0x60, bytes, &size));
    }
  });
  theirs.Unplug(otherSlot);
  ASSERT_TRUE(zar_test::WaitForName(held.TL(), otherName, false)) << "parked by its process";
  oxa::ZarUsb::emulator::Resume();
  oxa::ZarUsb::os::Sleep(kGapMs); // the hibernation's gap
  for (Streaming &streaming : mine) streaming.returned = held.Return(*streaming.camera);
  otherSlot = theirs.Plug(other);

  EXPECT_TRUE(mine[0].camera->events.Await(PC_RESTORE_HYBERNATE_MODE));
  restored = true;
  user.join();
  const std::set<ZAR_STATUS> expected{ZAR_SUCCESS, ZAR_ERR_ACCESS_DENIED, ZAR_ERR_GENERAL, ZAR_ERR_TIMEOUT};
  EXPECT_TRUE(std::includes(expected.begin(), expected.end(), answers.begin(), answers.end()))
      << "parked: no driver; rebound: stopped, the buffers still queued";
  EXPECT_EQ(answers.count(ZAR_ERR_GENERAL), 1u);
  for (Streaming &streaming : mine) {
    const auto restored = streaming.camera->events.Await(PC_RESTORE_HYBERNATE_MODE);
    ASSERT_TRUE(restored) << streaming.camera->name;
    EXPECT_EQ(DSStopAcquisition(streaming.stream, 0), ZAR_SUCCESS) << "left stopped";
    ASSERT_EQ(DSStartAcquisition(streaming.stream, 0, 1), ZAR_SUCCESS) << "the same handle";
    std::string why;
    Clock::time_point first;
    const std::vector<uint32_t> after = TakeFrames(streaming.stream, streaming.camera->config, kBuffers, &why, &first);
    ASSERT_EQ(after.size(), kBuffers) << why;
    EXPECT_TRUE(SameSet(after, streaming.queued)) << "exactly the buffers queued before";
    const auto toRestore = duration_cast<microseconds>(*restored - streaming.returned).count();
    const auto toFrame = duration_cast<microseconds>(first - *restored).count();
    std::printf("%s: return -> PC_RESTORE_HYBERNATE_MODE %.1f ms (%.2f x a plug's notice, %.1f ms), "
                "callback -> first frame %.1f ms\n",
                streaming.camera->name.c_str(), toRestore / 1000.0, static_cast<double>(toRestore) / toPlug,
                toPlug / 1000.0, toFrame / 1000.0);
    ::testing::Test::RecordProperty(streaming.camera->name + "_restore_us", std::to_string(toRestore));
    ::testing::Test::RecordProperty(streaming.camera->name + "_first_frame_us", std::to_string(toFrame));
    EXPECT_EQ(DSClose(streaming.stream), ZAR_SUCCESS);
  }
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
  zar_test::ShortRecoveryWait wait;
  zar_test::HeldCameras held;
  zar_test::HeldCameras::Camera *camera = held.Open(zar_test::StreamConfig("HR"));
  ASSERT_TRUE(camera);
  ZAR_DS_HANDLE stream = nullptr;
  ASSERT_EQ(DevCreateDataStream(camera->device, 0, &stream), ZAR_SUCCESS);
  const uint32_t bytes = camera->config.width * camera->config.height;
  uint32_t kept = 0;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &kept), ZAR_SUCCESS);
  std::atomic<bool> done{false};
  std::atomic<int> away{0}, started{0}, handedOut{0};
  struct Threads {
    std::atomic<bool> &done;
    std::thread user, opener;
    void Join() {
      done = true;
      if (user.joinable()) user.join();
      if (opener.joinable()) opener.join();
    }
    ~Threads() { Join(); }
  } threads{done,
            std::thread([&] {
              while (!done) {
                const int round = away;
                if (round == started) {
                  std::this_thread::yield();
                  continue;
                }
                uint32_t id = 0;
                if (DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &id) == ZAR_SUCCESS)
                  DSQueueBuffer(stream, id);
                if (DSStartAcquisition(stream, 0, 1) == ZAR_SUCCESS) started = round;
              }
            }),
            std::thread([&] {
              while (!done) {
                ZAR_DEV_HANDLE other = nullptr;
                if (TLOpenDevice(held.TL(), "USB", camera->name.c_str(), &other) == ZAR_SUCCESS) ++handedOut;
                std::this_thread::yield();
              }
            })};
  for (int round = 1; round <= kRounds; ++round) {
    oxa::ZarUsb::emulator::Suspend();
    ASSERT_TRUE(WaitFor([&] { return camera->events.Count(PC_SUSPEND_MODE) == static_cast<size_t>(round); }));
    ASSERT_TRUE(held.Lose(*camera));
    away = round;
    oxa::ZarUsb::emulator::Resume();
    held.Return(*camera);
    ASSERT_TRUE(WaitFor([&] {
      return camera->events.Count(PC_RESTORE_HYBERNATE_MODE) == static_cast<size_t>(round) ||
             camera->events.Count(USB_UNPLUGGED_DEVICE) != 0 || zar_test::DeviceState(camera->device) == -2;
    }, 20000)) << "round " << round;
    ASSERT_EQ(camera->events.Count(USB_UNPLUGGED_DEVICE), 0u) << "round " << round;
    ASSERT_EQ(zar_test::DeviceState(camera->device), ZAR_SUCCESS) << "round " << round;
    ASSERT_TRUE(WaitFor([&] { return started == round; })) << "round " << round;
    EXPECT_EQ(DSStopAcquisition(stream, 0), ZAR_SUCCESS);
    EXPECT_EQ(DSFlushQueue(stream, 1), ZAR_SUCCESS);
    EXPECT_EQ(DSQueueBuffer(stream, kept), ZAR_SUCCESS);
    ZAR_WAIT_RESULT result{};
    EXPECT_EQ(DSWaitForBuffer(stream, 50, 0, &result, nullptr), ZAR_ERR_TIMEOUT) << "round " << round;
    EXPECT_EQ(DSFlushQueue(stream, 1), ZAR_SUCCESS);
  }
  threads.Join();
  EXPECT_EQ(handedOut, 0);
  EXPECT_EQ(DSClose(stream), ZAR_SUCCESS);
  ASSERT_EQ(DevClose(camera->device), ZAR_SUCCESS);
  camera->device = nullptr;
  ZAR_DEV_HANDLE again = nullptr;
  ASSERT_EQ(TLOpenDevice(held.TL(), "USB", camera->name.c_str(), &again), ZAR_SUCCESS) << "no reservation left";
  EXPECT_EQ(DevClose(again), ZAR_SUCCESS);
}

} // namespace
