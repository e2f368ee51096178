#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <functional>
#include <tuple>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus.h"
#include "emulator/bus_devices.h"
#include "emulator/emulation_config.h"
#include "emulator/emulator.h"
#include "emulator/test_pattern.h"
#include "environment.h"
#include "temp_dir.h"

using namespace oxa::ZarUsb;
using namespace oxa::ZarUsb::emulator;

namespace {

uint32_t FloatBits(float value) { return std::bit_cast<uint32_t>(value); }

// A 64 x 8 Mono8 camera of its own, free-running at no set frame rate, open.
struct Emulated : ::testing::Test {
  void SetUp() override {
    os::SetSecondDeviceSource(&BusDevices());
    const auto slot = Plug(
        {.serial = "SN-" + std::to_string(++s_count), .userName = {}, .width = 64, .height = 8, .frameRateMilli = 0});
    ASSERT_TRUE(slot.has_value());
    m_slot = *slot;
    for (const auto &camera : ListCameras())
      if (camera.slot == m_slot) m_path = camera.path;
    m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
    ASSERT_TRUE(m_driver->IsOpen()) << m_driver->m_dwLastError;
  }
  void TearDown() override { m_driver.reset(); Unplug(m_slot); }

  // The driver's error, else its word.
  uint32_t Write32(uint64_t address, uint32_t value) {
    uint32_t word = 0; uint64_t size = 4;
    const uint32_t error = m_driver->WriteMem(driver::kAccessCamera, address, &value, &size, &word);
    return error != 0 ? error : word;
  }
  void LockAndQueue(std::vector<uint8_t> &buffer) {
    uint32_t word = 0;
    ASSERT_EQ(m_driver->LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word), 0u);
    ASSERT_EQ(m_driver->QueueBuffer(driver::DriverTag(buffer.data()), &word), 0u);
  }
  uint32_t Stream(uint32_t mode) { uint32_t word = 0; return m_driver->StartStopStream(mode, &word); }
  // The next frame's information, or its id 0 when none came in time.
  FrameInfo NextFrame(driver::BufferCompletion &done, uint32_t timeoutMs = 2000) {
    FrameInfo info{};
    if (m_driver->GetBuffer(timeoutMs, &done) == 0) std::memcpy(&info, done.frameInfo, sizeof info);
    return info;
  }

  static inline int s_count = 0;
  uint32_t m_slot = 0;
  std::string m_path;
  std::unique_ptr<CDriverInterface> m_driver;
};

// Each refusal's driver word (register contents are checked through the exports), the settings' image. An event
// request is held until an event (from the test register, or raised before the open) or a cancel. Triggered: one frame
// per software trigger; free-running: on the frame rate's grid, cut to a small buffer. A reset.
TEST_F(Emulated, RegistersSettingsEventsTriggersAndTheFrameRatesGridBehaveAsTheModelsAndAResetUnplugsForGood) {
  using error_word::kReadOnly, error_word::kValue;
  const struct { uint64_t address; uint32_t value, word; } writes[] = { // the region stays on the sensor
      {0x100, 100, 0}, {0x108, kMono16, 0}, {0x10C, 1, kReadOnly}, {0x108, 0x12345678, kValue}, {0x00, 1, kReadOnly},
      {0x128, kMaxDimension - 99, kValue}, {0x128, kMaxDimension - 100, 0}, {0x100, 101, kValue}, {0x128, 0, 0},
      {0x120, FloatBits(9.0f), kValue}, {0x124, FloatBits(24.5f), kValue}, {0x130, 2, kValue}};
  for (const auto &w : writes) EXPECT_EQ(Write32(w.address, w.value), w.word) << std::hex << w.address;
  // Exposure and gain scale the brightness, the region's offset moves the pattern, a Bayer format keeps one colour.
  ASSERT_EQ(Write32(0x100, 64), 0u);
  enum { R, G, B };
  static constexpr int kRG[2][2] = {{R, G}, {G, B}}, kGB[2][2] = {{G, B}, {R, G}};
  const auto colour = [](uint8_t level, int c) { return uint8_t(c == R ? level : c == G ? 255 - level : level * 2); };
  const struct { const char *what; float exposure, gain; uint32_t offsetX, offsetY, format;
                 std::function<uint8_t(uint32_t x, uint32_t y, uint8_t level)> expected; } cases[] = {
      {"half the exposure", 5000, 0, 0, 0, kMono8, [](uint32_t, uint32_t, uint8_t l) { return uint8_t((l + 1) / 2); }},
      {"twice the signal", 10000, 6.0206f, 0, 0, kMono8,
       [](uint32_t, uint32_t, uint8_t l) { return uint8_t(std::min(255, 2 * l)); }},
      {"offset", 10000, 0, 3, 2, kMono8, [](uint32_t, uint32_t, uint8_t l) { return uint8_t(l + 3 + 2); }},
      {"BayerRG8", 10000, 0, 0, 0, kBayerRG8,
       [&](uint32_t x, uint32_t y, uint8_t l) { return colour(l, kRG[y % 2][x % 2]); }},
      {"BayerGB8 with an odd offset", 10000, 0, 1, 0, kBayerGB8,
       [&](uint32_t x, uint32_t y, uint8_t l) { return colour(uint8_t(l + 1), kGB[y % 2][x % 2]); }},
  };
  std::vector<uint8_t> buffer(64 * 8);
  uint32_t word = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t settings[][2] = {{0x120, FloatBits(c.exposure)}, {0x124, FloatBits(c.gain)},
                                    {0x128, c.offsetX}, {0x12C, c.offsetY}, {0x108, c.format}};
    for (const auto &setting : settings) ASSERT_EQ(Write32(setting[0], setting[1]), 0u);
    LockAndQueue(buffer);
    ASSERT_EQ(Stream(1), 0u);
    driver::BufferCompletion done{};
    const FrameInfo info = NextFrame(done);
    ASSERT_EQ(Stream(0), 0u);
    ASSERT_NE(info.frameId, 0u);
    for (uint32_t y = 0; y < 8; ++y)
      for (uint32_t x = 0; x < 64; ++x)
        ASSERT_EQ(buffer[y * 64 + x], c.expected(x, y, TestPattern::Level(x, y, info.frameId))) << x << "," << y;
    ASSERT_EQ(m_driver->FreeBuffer(buffer.data(), &word), 0u);
  }
  driver::EventRecord record{};
  os::IoRequest request;
  for (const bool closed : {false, true}) {
    SCOPED_TRACE(closed);
    if (closed) {
      m_driver.reset();
      ASSERT_TRUE(RaiseEvent(m_slot, 8, "data", 5));
      m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
    }
    ASSERT_TRUE(request.Prepare());
    ASSERT_EQ(m_driver->GetEvent(&record, request), 997u);
    if (!closed) { EXPECT_EQ(Write32(0x11C, 0x4242), 0u); }
    ASSERT_TRUE(request.Completion().Wait(5000));
    EXPECT_EQ(m_driver->EventResult(request), 0u);
    EXPECT_EQ(record.id, closed ? 8u : 0x4242u);
    EXPECT_EQ(record.length, closed ? 5 : 4);
  }
  EXPECT_STREQ(reinterpret_cast<const char *>(record.data), "data");
  ASSERT_TRUE(request.Prepare());
  ASSERT_EQ(m_driver->GetEvent(&record, request), 997u);
  m_driver->CancelEvent(request);
  EXPECT_EQ(m_driver->EventResult(request), 995u) << "cancelled";
  ASSERT_EQ(Write32(0x130, 1), 0u);
  std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(100));
  for (auto &buffer : buffers) LockAndQueue(buffer);
  ASSERT_EQ(Stream(1), 0u);
  driver::BufferCompletion done{};
  EXPECT_EQ(NextFrame(done, 50).frameId, 0u) << "no trigger, no frame";
  for (int trigger = 0; trigger < 2; ++trigger) ASSERT_EQ(Write32(0x138, 1), 0u);
  for (uint64_t id = 1; id <= 2; ++id) EXPECT_EQ(NextFrame(done).frameId, id);
  EXPECT_EQ(NextFrame(done, 50).frameId, 0u) << "two triggers, two frames";
  ASSERT_EQ(Write32(0x118, 100000), 0u) << "100 frames per second";
  ASSERT_EQ(Write32(0x130, 0), 0u);
  const FrameInfo first = NextFrame(done), second = NextFrame(done);
  EXPECT_EQ(first.frameId, 3u) << "free-running again";
  EXPECT_EQ((second.timestampUs - first.timestampUs) % 10000, 0u) << "on the 10 ms grid";
  EXPECT_GE(second.timestampUs - first.timestampUs, 10000u);
  EXPECT_EQ(second.bytesWritten, 100u);
  EXPECT_EQ(done.frameValue, 64u * 8) << "the full size is reported beside what fitted";

  // A reset replaces every camera: a handle opened before it never reaches the camera that takes its slot.
  zar_test::SetEnv("ZAR_USB_EMULATION", "1");
  for (int reset = 0; reset < 2; ++reset) {
    ASSERT_EQ(Reset(), std::optional<uint32_t>(1u));
    EXPECT_EQ(Write32(0x100, 64), 1167u) << "reset " << reset;
    const auto cameras = ListCameras();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].config.serial, "EMU0001");
    m_path = cameras[0].path;
    m_driver = std::make_unique<CDriverInterface>(m_path.c_str());
  }
  zar_test::UnsetEnv("ZAR_USB_EMULATION");
}

// A number asks for that many default cameras, a file for the cameras it describes (defaults filling gaps), else none.
TEST(EmulationConfig, ANumberOrAFileSaysWhichCamerasArePluggedWithinWhatTheRegistersHold) {
  const auto configured = [](const char *setting, std::string *why = nullptr) {
    if (setting != nullptr) zar_test::SetEnv("ZAR_USB_EMULATION", setting);
    const auto cameras = ConfiguredCameras(why);
    zar_test::UnsetEnv("ZAR_USB_EMULATION");
    return cameras;
  };
  auto cameras = configured("3");
  ASSERT_EQ(cameras.size(), 3u);
  EXPECT_EQ(std::tie(cameras[0].serial, cameras[2].serial, cameras[2].interfaceClass),
            std::tuple("EMU0001", "EMU0003", 2u));
  EXPECT_TRUE(configured("0").empty());
  EXPECT_TRUE(configured(nullptr).empty());
  std::string why;
  EXPECT_TRUE(configured("/no/such/file.json", &why).empty());
  EXPECT_NE(why.find("/no/such/file.json"), std::string::npos) << why;

  const zar_test::TempDir dir;
  const auto path = dir / "cameras.json";
  std::ofstream(path) << R"({"cameras": [
      {"model": "ZC2000", "serial": "A1", "version": "2.13", "width": 1280, "height": 1024,
       "pixel_format": "Mono16", "frame_rate": 12.5, "interface_class": 20, "name": "Left"},
      {"serial": "B2"}]})";
  cameras = configured(path.string().c_str());
  ASSERT_EQ(cameras.size(), 2u);
  const CameraConfig &left = cameras[0];
  EXPECT_EQ(std::tie(left.model, left.version, left.userName, left.width, left.height, left.pixelFormat,
                     left.frameRateMilli, left.interfaceClass),
            std::tuple("ZC2000", "2.13", "Left", 1280u, 1024u, kMono16, 12500u, 20u));
  EXPECT_EQ(cameras[1].model, CameraConfig{}.model) << "defaults fill what is missing";

  // Broken descriptions, and numbers that the registers cannot hold, are refused with a reason; the largest they hold
  // are taken. A sensor larger than the width and height registers take is not plugged.
  for (const std::string text :
       {R"({"cameras": [{"pixel_format": "Bayer"}]})", "not json", R"({"cameras": [{"width": 1e20}]})",
        R"({"cameras": [{"width": -1}]})", R"({"cameras": [{"height": 480.5}]})",
        R"({"cameras": [{"register90": 4294967296}]})", R"({"cameras": [{"interface_class": "3"}]})",
        R"({"cameras": [{"frame_rate": 1e10}]})", R"({"cameras": [{"frame_rate": -2}]})"}) {
    why.clear();
    EXPECT_TRUE(ParseCameras(text, &why).empty()) << text;
    EXPECT_TRUE(text.find("Bayer") == std::string::npos ? !why.empty() : why.find("pixel_format") != std::string::npos)
        << text << ": " << why;
  }
  const auto largest = ParseCameras(R"({"cameras": [{"register90": 4294967295, "frame_rate": 4294967}]})", &why);
  ASSERT_EQ(largest.size(), 1u) << why;
  EXPECT_EQ(std::tuple(largest[0].register90, largest[0].frameRateMilli), std::tuple(4294967295u, 4294967000u));

  CameraSlot slot{};
  const auto plugs = [&](uint32_t w, uint32_t h) { return PlugInto(slot, {.userName = {}, .width = w, .height = h}); };
  EXPECT_TRUE(plugs(kMaxDimension, kMaxDimension));
  for (uint32_t wide : {kMaxDimension + 1, 0xFFFFFFFFu})
    EXPECT_EQ(std::pair(plugs(wide, kMaxDimension), plugs(1, wide)), std::pair(false, false)) << wide;
}

} // namespace
