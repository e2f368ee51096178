// The camera emulator through CDriverInterface, as the library uses it:
// registers, frames, events, unplugging, faults, and exclusive opening
// across processes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "emulator/test_pattern.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using namespace oxa::ZarUsb::emulator;

namespace {

constexpr uint32_t kCamera = 1, kTransportLayer = 0, kCustom = 2;


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

  uint32_t Write32(uint64_t address, uint32_t value) {
    uint64_t size = 4;
    uint32_t word = 0;
    const uint32_t error = m_driver->WriteMem(kCamera, address, &value, &size, &word);
    return error != 0 ? error : word;
  }
  std::string ReadText(uint32_t mode, uint64_t address, uint64_t length) {
    std::vector<char> text(length + 1, '\0');
    uint64_t size = length;
    uint32_t word = 0;
    EXPECT_EQ(m_driver->ReadMem(mode, address, text.data(), &size, &word), 0u);
    EXPECT_EQ(word, 0u);
    return text.data();
  }

  static inline int s_count = 0;
  uint32_t m_slot = 0;
  std::string m_path;
  std::unique_ptr<CDriverInterface> m_driver;
};

TEST_F(Emulated, RegistersAnswerAsTheCameraModelDefines) {
  EXPECT_EQ(ReadText(kCamera, 0x00, 32), "RK46");
  EXPECT_EQ(ReadText(kCamera, 0x20, 32), "ZC1000");
  EXPECT_EQ(ReadText(kCamera, 0x40, 32), "1.0");
  EXPECT_EQ(ReadText(kCamera, 0x60, 32), "SN-" + std::to_string(s_count));

  // The user name is writable, and the payload follows the geometry.
  uint64_t size = 5;
  uint32_t word = 0;
  ASSERT_EQ(m_driver->WriteMem(kCamera, 0x80, "Left", &size, &word), 0u);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(ReadText(kCamera, 0x80, 16), "Left");
  EXPECT_EQ(Write32(0x100, 100), 0u);
  EXPECT_EQ(Write32(0x108, kMono16), 0u);
  uint32_t payload = 0;
  size = 4;
  ASSERT_EQ(m_driver->ReadMem(kCamera, 0x10C, &payload, &size, &word), 0u);
  EXPECT_EQ(payload, 100u * 8 * 2);

  EXPECT_EQ(Write32(0x10C, 1), error_word::kReadOnly);
  EXPECT_EQ(Write32(0x108, 0x12345678), error_word::kValue);
  EXPECT_EQ(Write32(0x00, 1), error_word::kReadOnly);
  size = 4;
  ASSERT_EQ(m_driver->ReadMem(kCamera, 0xA0, &payload, &size, &word), 0u);
  EXPECT_EQ(word, error_word::kAddress) << "no register between the identity and the control block";

  uint32_t version = 0;
  size = 4;
  ASSERT_EQ(m_driver->ReadMem(kTransportLayer, 0x00, &version, &size, &word), 0u);
  EXPECT_EQ(version, 0x00010503u);
  const char blob[] = "custom feature bytes";
  size = sizeof blob;
  ASSERT_EQ(m_driver->WriteMem(kCustom, 0x3F0 - sizeof blob, blob, &size, &word), 0u);
  EXPECT_EQ(ReadText(kCustom, 0x3F0 - sizeof blob, sizeof blob), blob);
}


TEST_F(Emulated, FramesLandInLockedBuffersInQueueOrder) {
  ASSERT_EQ(Write32(0x118, 0), 0u) << "unlimited frame rate";
  std::array<std::vector<uint8_t>, 3> buffers;
  uint32_t word = 0;
  for (auto &buffer : buffers) {
    buffer.assign(64 * 8 + 16, 0xEE); // larger than a frame
    ASSERT_EQ(m_driver->LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word), 0u);
  }
  const std::array<size_t, 3> order = {2, 0, 1};
  for (size_t index : order) ASSERT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffers[index].data()), &word), 0u);
  ASSERT_EQ(m_driver->StartStopStream(1, &word), 0u);

  for (uint64_t frame = 1; frame <= 3; ++frame) {
    driver::BufferCompletion done{};
    ASSERT_EQ(m_driver->GetBuffer(2000, &done), 0u);
    const std::vector<uint8_t> &buffer = buffers[order[frame - 1]];
    EXPECT_EQ(done.tag, driver::DriverTag(buffer.data())) << "queue order";
    FrameInfo info;
    std::memcpy(&info, done.frameInfo, sizeof info);
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
  ASSERT_EQ(m_driver->StartStopStream(0, &word), 0u);
  for (auto &buffer : buffers) EXPECT_EQ(m_driver->FreeBuffer(buffer.data(), &word), 0u);
}

TEST_F(Emulated, FramesFollowTheFrameRateAndSmallBuffersAreCut) {
  ASSERT_EQ(Write32(0x118, 100000), 0u) << "100 frames per second";
  std::array<std::vector<uint8_t>, 2> buffers = {std::vector<uint8_t>(100, 0), std::vector<uint8_t>(100, 0)};
  uint32_t word = 0;
  for (auto &buffer : buffers) {
    ASSERT_EQ(m_driver->LockBuffer(buffer.data(), 100, &word), 0u);
    ASSERT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 0u);
  }
  ASSERT_EQ(m_driver->StartStopStream(1, &word), 0u);
  FrameInfo first{}, second{};
  driver::BufferCompletion done{};
  ASSERT_EQ(m_driver->GetBuffer(2000, &done), 0u);
  std::memcpy(&first, done.frameInfo, sizeof first);
  ASSERT_EQ(m_driver->GetBuffer(2000, &done), 0u);
  std::memcpy(&second, done.frameInfo, sizeof second);
  EXPECT_EQ((second.timestampUs - first.timestampUs) % 10000, 0u) << "on the 10 ms grid";
  EXPECT_GE(second.timestampUs - first.timestampUs, 10000u);
  EXPECT_EQ(second.bytesWritten, 100u);
  EXPECT_EQ(done.frameValue, 64u * 8) << "the full size is reported beside what fitted";
}

TEST_F(Emulated, GetBufferEndsAtTheDriversTimeout) {
  driver::BufferCompletion done{};
  EXPECT_EQ(m_driver->GetBuffer(30, &done), 258u) << "no acquisition: nothing comes";
  EXPECT_EQ(done.driverError, error_word::kTimeout);
}

TEST_F(Emulated, EventsComeFromTheTestRegisterAndFromOutside) {
  EXPECT_EQ(Write32(0x11C, 0x4242), 0u);
  driver::EventRecord record{};
  os::IoRequest request;
  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u) << "held, also with an event queued";
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(request), 0u);
  EXPECT_EQ(record.id, 0x4242u);
  EXPECT_EQ(record.length, 4);

  EXPECT_EQ(Write32(0x11C, 0x4343), 0u);
  ASSERT_TRUE(InjectFault(m_slot, Request::GetEvent, FaultKind::AtOnce, 1, 0));
  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 0u) << "answered at once, as the fault asks";
  EXPECT_EQ(record.id, 0x4343u);

  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u) << "held until an event comes";
  const char data[] = "outside";
  ASSERT_TRUE(RaiseEvent(m_slot, 7, data, sizeof data));
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(request), 0u);
  EXPECT_EQ(record.id, 7u);
  EXPECT_EQ(record.length, static_cast<int32_t>(sizeof data));
  EXPECT_STREQ(reinterpret_cast<const char *>(record.data), "outside");

  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u);
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
  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u);
  zar_test::HelperProcess raiser("raise-event", {std::to_string(m_slot)});
  ASSERT_TRUE(raiser.Started());
  ASSERT_EQ(raiser.Wait(), 0);
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(m_driver->EventResult(request), 0u);
  EXPECT_EQ(record.id, 7u);
  EXPECT_STREQ(reinterpret_cast<const char *>(record.data), "other");

  m_driver.reset();
  ASSERT_TRUE(RaiseEvent(m_slot, 8, nullptr, 0));
  m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
  ASSERT_TRUE(m_driver->IsOpen());
  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u);
  ASSERT_TRUE(request.Completion().Wait(5000));
  EXPECT_EQ(record.id, 8u);
}

TEST_F(Emulated, UnpluggingFailsWaitsAndEveryLaterRequest) {
  std::vector<uint8_t> buffer(64 * 8, 0xEE);
  uint32_t word = 0;
  ASSERT_EQ(m_driver->LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word), 0u);
  ASSERT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 0u);
  os::IoRequest eventRequest;
  ASSERT_TRUE(eventRequest.Prepare());
  driver::EventRecord record{};
  ASSERT_EQ(m_driver->GetEvent(&record, eventRequest), 997u);
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
  EXPECT_EQ(m_driver->StartStopStream(1, &word), 1167u);
  uint64_t size = 4;
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, buffer.data(), &size, &word), 1167u);
  EXPECT_TRUE(std::all_of(buffer.begin() + 4, buffer.end(), [](uint8_t b) { return b == 0xEE; }))
      << "no frame after the unplug";
  m_driver.reset();
  CDriverInterface again(m_path.c_str());
  EXPECT_EQ(again.m_dwLastError, 2u) << "an unplugged camera's path is gone";
}

TEST_F(Emulated, InjectedFaultsHitTheNextRequestsOfTheirKind) {
  uint8_t data[48];
  uint64_t size = 48;
  uint32_t word = 0;
  ASSERT_TRUE(InjectFault(m_slot, Request::ReadMemCamera, FaultKind::SystemError, 2, 0));
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 31u);
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 31u);
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 0u) << "only the next two";

  ASSERT_TRUE(InjectFault(m_slot, Request::ReadMemCamera, FaultKind::DriverError, 1, 0x99));
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 0u);
  EXPECT_EQ(word, 0x99u);

  ASSERT_TRUE(InjectFault(m_slot, Request::ReadMemCamera, FaultKind::ByteCount, 2, 1000));
  size = 48;
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 0u);
  EXPECT_EQ(size, 48u) << "a count above the request is cut to it";
  ASSERT_TRUE(InjectFault(m_slot, Request::ReadMemCamera, FaultKind::ByteCount, 1, 7));
  EXPECT_EQ(m_driver->ReadMem(kCamera, 0, data, &size, &word), 0u);
  EXPECT_EQ(size, 7u);

  std::vector<uint8_t> buffer(64, 0);
  ASSERT_EQ(m_driver->LockBuffer(buffer.data(), 64, &word), 0u);
  ASSERT_TRUE(InjectFault(m_slot, Request::QueueBuffer, FaultKind::DriverError, 1, 3));
  EXPECT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 998u);
  ASSERT_TRUE(InjectFault(m_slot, Request::QueueBuffer, FaultKind::Pend, 1, 0));
  EXPECT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 258u) << "held past the wait";
  EXPECT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 0u) << "the held one was cancelled";
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
