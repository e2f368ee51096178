// Streaming across a hibernation: the cameras of this process and one of
// another process drop off the bus for a second and come back; the same
// stream handles stream again once started, into exactly the buffers that
// were queued before, with the right frames.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "hibernation.h"
#include "open_stream.h"
#include "os/system_info.h"
#include "temp_dir.h"
#include "test_main.h"

using zar_test::WaitFor;

namespace {

constexpr uint32_t kBuffers = 4;

std::vector<uint32_t> Sorted(std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

// A stream of the device with kBuffers library buffers queued and running,
// after a few checked frames: its buffer IDs, sorted; empty when a step failed.
std::vector<uint32_t> StartStreaming(ZAR_DEV_HANDLE device, const oxa::ZarUsb::emulator::CameraConfig &config,
                                     ZAR_DS_HANDLE *stream, std::string *why) {
  if (DevCreateDataStream(device, 0, stream) != ZAR_SUCCESS) return {};
  const std::vector<uint32_t> ids = zar_test::AnnounceAndQueue(*stream, config.width * config.height, kBuffers);
  if (ids.empty() || DSStartAcquisition(*stream, 0, 1000000) != ZAR_SUCCESS) return {};
  *why = zar_test::TakeFrames(*stream, config, 3);
  return why->empty() ? Sorted(ids) : std::vector<uint32_t>{};
}

// Empty when kBuffers frames came again, once started, exactly in the
// buffers given, else why not.
std::string StreamsAgain(ZAR_DS_HANDLE stream, const oxa::ZarUsb::emulator::CameraConfig &config,
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
  if (!StreamsAgain(stream, config, before).empty()) return 14;
  DSClose(stream);
  DevClose(device);
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 15;
});

// The cameras of this process come back in the reverse order of their loss.
// Once the last is back the recovery has ended: nothing more comes at the
// end of the wait.
TEST(StreamingAcrossHibernation, TheSameStreamsStreamAgainIntoTheBuffersQueuedBefore) {
  zar_test::ShortRecoveryWait wait; // before the helper starts: it inherits the setting
  zar_test::HeldCameras held;
  zar_test::TempDir dir;
  std::vector<zar_test::HeldCameras::Camera *> mine;
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
  const oxa::ZarUsb::emulator::CameraConfig other = zar_test::StreamConfig("HS");
  const std::string otherName = zar_test::CameraName(other);
  uint32_t otherSlot = theirs.Plug(other);
  ASSERT_TRUE(held.TLEvents().Await(USB_PLUGGED_DEVICE, 20000, otherName));
  zar_test::HelperProcess helper("stream-across-hibernation", {dir.Path().string(), otherName,
                                                               std::to_string(other.width),
                                                               std::to_string(other.height)});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "streaming")) << helper.Wait(0);

  ASSERT_TRUE(held.Suspend());
  for (zar_test::HeldCameras::Camera *camera : mine) ASSERT_TRUE(held.Lose(*camera));
  theirs.Unplug(otherSlot);
  ASSERT_TRUE(zar_test::WaitForName(held.TL(), otherName, false)) << "parked by its process";
  oxa::ZarUsb::emulator::Resume();
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
  EXPECT_FALSE(WaitFor([&] { return mine[0]->events.Entries().size() + mine[1]->events.Entries().size() != 4; },
                       zar_test::ShortRecoveryWait::kMilliseconds + 1500))
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
  zar_test::ShortRecoveryWait wait;
  zar_test::HeldCameras held;
  zar_test::HeldCameras::Camera *camera = held.Open(zar_test::StreamConfig("HR"));
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
    oxa::ZarUsb::emulator::Suspend();
    ASSERT_TRUE(WaitFor([&] { return camera->events.Count(PC_SUSPEND_MODE) == static_cast<size_t>(round); }));
    ASSERT_TRUE(held.Lose(*camera));
    away = round;
    oxa::ZarUsb::emulator::Resume();
    held.Return(*camera);
    ASSERT_TRUE(WaitFor([&] {
      return camera->events.Count(PC_RESTORE_HYBERNATE_MODE) == static_cast<size_t>(round) ||
             camera->events.Count(USB_UNPLUGGED_DEVICE) != 0 || zar_test::DeviceState(camera->device) == -2;
    }, 20000));
    ASSERT_EQ(camera->events.Count(USB_UNPLUGGED_DEVICE), 0u);
    ASSERT_EQ(zar_test::DeviceState(camera->device), ZAR_SUCCESS);
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
