// The camera emulator through CDriverInterface, as the library uses it:
// registers, frames, events, unplugging, faults, and exclusive opening
// across processes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <future>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "emulator/test_pattern.h"
#include "environment.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using namespace oxa::ZarUsb::emulator;

namespace {

constexpr uint32_t kCamera = 1, kCustom = 2;

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

class Emulated : public ::testing::Test {
protected:
  void SetUp() override {
    os::SetSecondDeviceSource(&BusDevices());
    CameraConfig config;
    config.serial = "SN-" + std::to_string(++s_count);
    config.model = "ZC1000";
    config.width = 64;
    config.height = 8;
    auto slot = Plug(config);
    ASSERT_TRUE(slot.has_value());
    m_slot = *slot;
    for (const auto &camera : ListCameras())
      if (camera.slot == m_slot) m_path = camera.path;
    m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
    ASSERT_TRUE(m_driver->IsOpen()) << m_driver->m_dwLastError;
  }
  void TearDown() override {
    m_driver.reset();
    Unplug(m_slot);
  }

  // The driver's error, else its word.
  uint32_t Write(uint32_t mode, uint64_t address, const void *data, uint64_t size) {
    uint32_t word = 0;
    const uint32_t error = m_driver->WriteMem(mode, address, data, &size, &word);
    return error != 0 ? error : word;
  }
  uint32_t Write32(uint64_t address, uint32_t value) { return Write(kCamera, address, &value, 4); }
  // The value read, or the driver's error or word, as `failed` says.
  uint32_t Read32(uint64_t address, uint32_t *failed = nullptr) {
    uint32_t value = 0, word = 0;
    uint64_t size = 4;
    const uint32_t error = m_driver->ReadMem(kCamera, address, &value, &size, &word);
    if (failed != nullptr) *failed = error != 0 ? error : word;
    return value;
  }
  void LockAndQueue(std::vector<uint8_t> &buffer) {
    uint32_t word = 0;
    ASSERT_EQ(m_driver->LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word), 0u);
    ASSERT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 0u);
  }
  uint32_t Stream(uint32_t mode) {
    uint32_t word = 0;
    return m_driver->StartStopStream(mode, &word);
  }
  // Waits for the next frame; its information.
  FrameInfo NextFrame(driver::BufferCompletion &done) {
    FrameInfo info{};
    EXPECT_EQ(m_driver->GetBuffer(2000, &done), 0u);
    std::memcpy(&info, done.frameInfo, sizeof info);
    return info;
  }
  // Sends a GetEvent; its result at once.
  uint32_t GetEvent(driver::EventRecord &record, os::IoRequest &request) {
    EXPECT_TRUE(request.Prepare());
    return m_driver->GetEvent(&record, request);
  }

  static inline int s_count = 0;
  uint32_t m_slot = 0;
  std::string m_path;
  std::unique_ptr<CDriverInterface> m_driver;
};

// What the registers hold is read through the exports elsewhere; here, the
// driver's word for each refusal, and the custom-feature space to its end.
TEST_F(Emulated, RegistersAnswerWithTheCameraModelsWords) {
  const struct {
    uint64_t address;
    uint32_t value, word;
  } writes[] = {{0x100, 100, 0}, {0x108, kMono16, 0}, {0x10C, 1, error_word::kReadOnly},
                {0x108, 0x12345678, error_word::kValue}, {0x00, 1, error_word::kReadOnly},
                // The region stays on the sensor; exposure, gain and trigger mode within their ranges.
                {0x128, kMaxDimension - 99, error_word::kValue}, {0x128, kMaxDimension - 100, 0},
                {0x100, 101, error_word::kValue}, {0x128, 0, 0}, {0x120, FloatBits(9.0f), error_word::kValue},
                {0x124, FloatBits(24.5f), error_word::kValue}, {0x130, 2, error_word::kValue}};
  for (const auto &w : writes) EXPECT_EQ(Write32(w.address, w.value), w.word) << std::hex << w.address;
  uint32_t failed = 1;
  EXPECT_EQ(Read32(0x10C, &failed), 100u * 8 * 2) << "the payload follows the geometry";
  EXPECT_EQ(failed, 0u);
  Read32(0xA0, &failed);
  EXPECT_EQ(failed, error_word::kAddress) << "no register between the identity and the control block";
  const char blob[] = "custom feature bytes";
  ASSERT_EQ(Write(kCustom, 0x3F0 - sizeof blob, blob, sizeof blob), 0u);
  char back[sizeof blob] = {};
  uint64_t size = sizeof back;
  ASSERT_EQ(m_driver->ReadMem(kCustom, 0x3F0 - sizeof blob, back, &size, &failed), 0u);
  EXPECT_STREQ(back, blob);
}

TEST_F(Emulated, FramesLandInLockedBuffersInQueueOrder) {
  ASSERT_EQ(Write32(0x118, 0), 0u) << "unlimited frame rate";
  std::array<std::vector<uint8_t>, 3> buffers;
  for (auto &buffer : buffers) buffer.assign(64 * 8 + 16, 0xEE); // larger than a frame
  const std::array<size_t, 3> order = {2, 0, 1};
  for (size_t index : order) LockAndQueue(buffers[index]);
  driver::BufferCompletion done{};
  EXPECT_EQ(m_driver->GetBuffer(30, &done), 258u) << "no acquisition: nothing comes";
  EXPECT_EQ(done.driverError, error_word::kTimeout);
  ASSERT_EQ(Stream(1), 0u);

  for (uint64_t frame = 1; frame <= 3; ++frame) {
    const FrameInfo info = NextFrame(done);
    const std::vector<uint8_t> &buffer = buffers[order[frame - 1]];
    EXPECT_EQ(done.tag, driver::DriverTag(buffer.data())) << "queue order";
    EXPECT_EQ(info.frameId, frame);
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 8u);
    EXPECT_EQ(info.pixelFormat, kMono8);
    EXPECT_EQ(info.bytesWritten, 64u * 8);
    EXPECT_EQ(done.frameValue, 64u * 8);
    for (uint32_t y = 0; y < 8; ++y)
      for (uint32_t x = 0; x < 64; ++x)
        ASSERT_EQ(buffer[y * 64 + x], TestPattern::Level(x, y, frame)) << x << "," << y << " of frame " << frame;
    EXPECT_EQ(buffer[64 * 8], 0xEE) << "nothing past the frame";
  }
  ASSERT_EQ(Stream(0), 0u);
  uint32_t word = 0;
  for (auto &buffer : buffers) EXPECT_EQ(m_driver->FreeBuffer(buffer.data(), &word), 0u);
}

// Exposure and gain scale the brightness, the region's offset moves the
// pattern, and a Bayer format keeps one colour of each pixel.
TEST_F(Emulated, SettingsShapeTheImage) {
  ASSERT_EQ(Write32(0x118, 0), 0u);
  enum { R, G, B };
  const auto colour = [](uint8_t level, int c) {
    return static_cast<uint8_t>(c == R ? level : c == G ? 255 - level : level * 2);
  };
  const struct {
    const char *what;
    float exposure, gain;
    uint32_t offsetX, offsetY, format;
    std::function<uint8_t(uint32_t x, uint32_t y, uint8_t level)> expected;
  } cases[] = {
      {"half the exposure", 5000, 0, 0, 0, kMono8,
       [](uint32_t, uint32_t, uint8_t level) { return static_cast<uint8_t>((level + 1) / 2); }},
      {"twice the signal", 10000, 6.0206f, 0, 0, kMono8,
       [](uint32_t, uint32_t, uint8_t level) { return static_cast<uint8_t>(std::min(255, 2 * level)); }},
      {"offset", 10000, 0, 3, 2, kMono8,
       [](uint32_t, uint32_t, uint8_t level) { return static_cast<uint8_t>(level + 3 + 2); }},
      {"BayerRG8", 10000, 0, 0, 0, kBayerRG8,
       [&](uint32_t x, uint32_t y, uint8_t level) {
         const int filter[2][2] = {{R, G}, {G, B}};
         return colour(level, filter[y % 2][x % 2]);
       }},
      {"BayerGB8 with an odd offset", 10000, 0, 1, 0, kBayerGB8,
       [&](uint32_t x, uint32_t y, uint8_t level) {
         const int filter[2][2] = {{G, B}, {R, G}};
         return colour(static_cast<uint8_t>(level + 1), filter[y % 2][x % 2]);
       }},
  };
  std::vector<uint8_t> buffer(64 * 8);
  uint32_t word = 0;
  for (const auto &c : cases) {
    ASSERT_EQ(Write32(0x120, FloatBits(c.exposure)), 0u) << c.what;
    ASSERT_EQ(Write32(0x124, FloatBits(c.gain)), 0u) << c.what;
    ASSERT_EQ(Write32(0x128, c.offsetX), 0u) << c.what;
    ASSERT_EQ(Write32(0x12C, c.offsetY), 0u) << c.what;
    ASSERT_EQ(Write32(0x108, c.format), 0u) << c.what;
    LockAndQueue(buffer);
    ASSERT_EQ(Stream(1), 0u);
    driver::BufferCompletion done{};
    const FrameInfo info = NextFrame(done);
    ASSERT_EQ(Stream(0), 0u);
    for (uint32_t y = 0; y < 8; ++y)
      for (uint32_t x = 0; x < 64; ++x)
        ASSERT_EQ(buffer[y * 64 + x], c.expected(x, y, TestPattern::Level(x, y, info.frameId)))
            << c.what << ": " << x << "," << y;
    ASSERT_EQ(m_driver->FreeBuffer(buffer.data(), &word), 0u);
  }
}

// In trigger mode the camera makes exactly one frame per software trigger.
TEST_F(Emulated, EachSoftwareTriggerMakesOneFrame) {
  ASSERT_EQ(Write32(0x130, 1), 0u);
  std::array<std::vector<uint8_t>, 4> buffers;
  for (auto &buffer : buffers) {
    buffer.assign(64 * 8, 0);
    LockAndQueue(buffer);
  }
  ASSERT_EQ(Stream(1), 0u);
  driver::BufferCompletion done{};
  EXPECT_EQ(m_driver->GetBuffer(50, &done), 258u) << "no trigger, no frame";
  ASSERT_EQ(Write32(0x138, 1), 0u);
  ASSERT_EQ(Write32(0x138, 1), 0u);
  EXPECT_EQ(NextFrame(done).frameId, 1u);
  EXPECT_EQ(NextFrame(done).frameId, 2u);
  EXPECT_EQ(m_driver->GetBuffer(50, &done), 258u) << "two triggers, two frames";
  ASSERT_EQ(Write32(0x130, 0), 0u);
  EXPECT_EQ(NextFrame(done).frameId, 3u) << "free-running again";
}

TEST_F(Emulated, FramesFollowTheFrameRateAndSmallBuffersAreCut) {
  ASSERT_EQ(Write32(0x118, 100000), 0u) << "100 frames per second";
  std::array<std::vector<uint8_t>, 2> buffers = {std::vector<uint8_t>(100, 0), std::vector<uint8_t>(100, 0)};
  for (auto &buffer : buffers) LockAndQueue(buffer);
  ASSERT_EQ(Stream(1), 0u);
  driver::BufferCompletion done{};
  const FrameInfo first = NextFrame(done), second = NextFrame(done);
  EXPECT_EQ((second.timestampUs - first.timestampUs) % 10000, 0u) << "on the 10 ms grid";
  EXPECT_GE(second.timestampUs - first.timestampUs, 10000u);
  EXPECT_EQ(second.bytesWritten, 100u);
  EXPECT_EQ(done.frameValue, 64u * 8) << "the full size is reported beside what fitted";
}

TEST_F(Emulated, EventsComeFromTheTestRegisterAndWaitUntilCancelled) {
  EXPECT_EQ(Write32(0x11C, 0x4242), 0u);
  driver::EventRecord record{};
  os::IoRequest request;
  ASSERT_EQ(GetEvent(record, request), 997u) << "held, also with an event queued";
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(request), 0u);
  EXPECT_EQ(record.id, 0x4242u);
  EXPECT_EQ(record.length, 4);

  EXPECT_EQ(Write32(0x11C, 0x4343), 0u);
  ASSERT_TRUE(InjectFault(m_slot, Request::GetEvent, FaultKind::AtOnce, 1, 0));
  ASSERT_EQ(GetEvent(record, request), 0u) << "answered at once, as the fault asks";
  EXPECT_EQ(record.id, 0x4343u);

  ASSERT_EQ(GetEvent(record, request), 997u) << "held until an event comes";
  m_driver->CancelEvent(request);
  EXPECT_EQ(m_driver->EventResult(request), 995u);
}

// Raises event 7 with the data "other" on the camera of that slot: exit 0,
// or 3 when the bus refuses it.
const bool kRaiseEvent = zar_test::RegisterHelper("raise-event", [](const std::vector<std::string> &arguments) {
  const char data[] = "other";
  return RaiseEvent(static_cast<uint32_t>(std::stoul(arguments.at(0))), 7, data, sizeof data) ? 0 : 3;
});

// Nothing but the raise wakes the holder's driver while its request waits.
// Raised while nobody holds the camera, an event waits on the bus for the
// next open.
TEST_F(Emulated, AnEventRaisedElsewhereReachesTheHolderAtOnce) {
  driver::EventRecord record{};
  os::IoRequest request;
  ASSERT_EQ(GetEvent(record, request), 997u);
  zar_test::HelperProcess raiser("raise-event", {std::to_string(m_slot)});
  ASSERT_TRUE(raiser.Started());
  ASSERT_EQ(raiser.Wait(), 0);
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(request), 0u);
  EXPECT_EQ(record.id, 7u);
  EXPECT_EQ(record.length, 6);
  EXPECT_STREQ(reinterpret_cast<const char *>(record.data), "other");

  m_driver.reset();
  ASSERT_TRUE(RaiseEvent(m_slot, 8, nullptr, 0));
  m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
  ASSERT_TRUE(m_driver->IsOpen());
  ASSERT_EQ(GetEvent(record, request), 997u);
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(record.id, 8u);
}

TEST_F(Emulated, UnpluggingFailsWaitsAndEveryLaterRequest) {
  std::vector<uint8_t> buffer(64 * 8, 0xEE);
  LockAndQueue(buffer);
  os::IoRequest eventRequest;
  driver::EventRecord record{};
  ASSERT_EQ(GetEvent(record, eventRequest), 997u);
  driver::BufferCompletion done{};
  auto wait = std::async(std::launch::async, [&] { return m_driver->GetBuffer(os::Event::kInfinite, &done); });

  ASSERT_TRUE(Unplug(m_slot));
  // A wait already with the driver is cut short and reads as a failed
  // completion (the driver never wrote the record); one sent after the
  // unplug fails at once.
  const uint32_t waited = wait.get();
  if (waited == 258u)
    EXPECT_EQ(done.driverError, driver::kCompletionPreset);
  else
    EXPECT_EQ(waited, 1167u);
  ASSERT_TRUE(eventRequest.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(eventRequest), 1167u);
  EXPECT_EQ(Stream(1), 1167u);
  uint32_t failed = 0;
  Read32(0, &failed);
  EXPECT_EQ(failed, 1167u);
  EXPECT_TRUE(std::all_of(buffer.begin() + 4, buffer.end(), [](uint8_t b) { return b == 0xEE; }))
      << "no frame after the unplug";
  m_driver.reset();
  CDriverInterface again(m_path.c_str());
  EXPECT_EQ(again.m_dwLastError, 2u) << "an unplugged camera's path is gone";
}

// A reset replaces every camera: a handle opened before it never reaches
// the camera that takes its slot.
TEST_F(Emulated, AResetUnplugsEveryCameraForGood) {
  zar_test::SetEnv("ZAR_USB_EMULATION", "1");
  for (int reset = 0; reset < 2; ++reset) {
    ASSERT_EQ(Reset(), std::optional<uint32_t>(1u));
    uint32_t failed = 0;
    Read32(0, &failed);
    EXPECT_EQ(failed, 1167u) << "reset " << reset;
    const auto cameras = ListCameras();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].config.serial, "EMU0001");
    m_path = cameras[0].path;
    m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
  }
  zar_test::UnsetEnv("ZAR_USB_EMULATION");
}

TEST_F(Emulated, InjectedFaultsHitTheNextRequestsOfTheirKind) {
  uint32_t failed = 0, word = 0;
  ASSERT_TRUE(InjectFault(m_slot, Request::ReadMemCamera, FaultKind::SystemError, 2, 0));
  for (const uint32_t expected : {31u, 31u, 0u}) {
    Read32(0, &failed);
    EXPECT_EQ(failed, expected) << "only the next two";
  }
  std::vector<uint8_t> buffer(64, 0);
  ASSERT_EQ(m_driver->LockBuffer(buffer.data(), 64, &word), 0u);
  const auto queue = [&] { return m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word); };
  ASSERT_TRUE(InjectFault(m_slot, Request::QueueBuffer, FaultKind::DriverError, 1, 3));
  EXPECT_EQ(queue(), 998u);
  ASSERT_TRUE(InjectFault(m_slot, Request::QueueBuffer, FaultKind::Pend, 1, 0));
  EXPECT_EQ(queue(), 258u) << "held past the wait";
  EXPECT_EQ(queue(), 0u) << "the held one was cancelled";
}

// Holds a camera open until the marker file appears: exit 0, or 3 when the
// open failed.
const bool kHoldCamera = zar_test::RegisterHelper("hold-camera", [](const std::vector<std::string> &arguments) {
  os::SetSecondDeviceSource(&BusDevices());
  CDriverInterface driver(arguments.at(0).c_str());
  if (!driver.IsOpen()) return 3;
  zar_test::AwaitFile(arguments.at(1));
  return 0;
});

// A holder that lets go and one that is killed free the camera alike.
TEST_F(Emulated, OneOpenAtATimeAcrossProcessesUntilTheHolderGoes) {
  m_driver.reset();
  const zar_test::TempDir dir;
  for (const bool killed : {false, true}) {
    const auto marker = dir / (killed ? "never" : "release");
    zar_test::HelperProcess holder("hold-camera", {m_path, marker.string()});
    ASSERT_TRUE(zar_test::WaitFor([&] {
      for (const auto &camera : ListCameras())
        if (camera.slot == m_slot && camera.holderProcess == holder.Id()) return true;
      return false;
    })) << holder.Wait(0);
    CDriverInterface refused(m_path.c_str());
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_EQ(refused.m_dwLastError, 32u) << "a sharing violation";
    if (killed) {
      holder.Kill();
      EXPECT_NE(holder.Wait(), 0);
    } else {
      zar_test::Touch(marker);
      EXPECT_EQ(holder.Wait(), 0);
    }
    CDriverInterface mine(m_path.c_str());
    ASSERT_TRUE(mine.IsOpen()) << mine.m_dwLastError;
    CDriverInterface second(m_path.c_str());
    EXPECT_EQ(second.m_dwLastError, 32u) << "also within one process";
  }
}

} // namespace
