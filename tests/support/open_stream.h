#pragma once
// An emulated camera opened with its data stream created, for the stream
// tests; and the checks of a filled frame against the emulator's pattern.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "open_camera.h"

namespace zar_test {

// A camera config of its own (serial numbers never repeat within a run), 64x8
// Mono8 at an unlimited frame rate unless changed.
oxa::ZarUsb::emulator::CameraConfig StreamConfig(const std::string &prefix);

class OpenStream {
public:
  explicit OpenStream(const oxa::ZarUsb::emulator::CameraConfig &config);
  ~OpenStream();
  bool Ready() const { return m_stream != nullptr; }
  ZAR_TL_HANDLE TL() const { return m_camera.TL(); }
  ZAR_DEV_HANDLE Device() const { return m_camera.Device(); }
  ZAR_DS_HANDLE Stream() const { return m_stream; }
  uint32_t Slot() const { return m_camera.Slot(); }
  const oxa::ZarUsb::emulator::CameraConfig &Config() const { return m_config; }
  uint32_t FrameBytes() const;
  // Announces `count` library buffers of a frame's size and queues them;
  // their IDs (empty when a step failed).
  std::vector<uint32_t> AnnounceAndQueue(uint32_t count);
  // The stream handle is forgotten (closed elsewhere).
  void Forget() { m_stream = nullptr; }
  // DSClose of the stream, which is then forgotten.
  ZAR_STATUS Close();

private:
  oxa::ZarUsb::emulator::CameraConfig m_config;
  OpenCamera m_camera;
  ZAR_DS_HANDLE m_stream = nullptr;
};

// The fixture of the stream tests: a stream of a camera of its own, open for
// each test.
class StreamFixture : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(m_stream.Ready()); }
  ZAR_DS_HANDLE Stream() const { return m_stream.Stream(); }
  OpenStream m_stream{StreamConfig("DS")};
};

// Announces `count` library buffers of `bytes` each on the stream and queues
// them; their IDs (empty when a step failed).
std::vector<uint32_t> AnnounceAndQueue(ZAR_DS_HANDLE stream, uint32_t bytes, uint32_t count);
// Waits for `count` frames and queues each buffer again: empty when each came
// with the pattern at the config's geometry and a frame id above the last,
// else why not. The filled buffers' IDs are added to `ids`; `first` is when
// the first frame came.
std::string TakeFrames(ZAR_DS_HANDLE stream, const oxa::ZarUsb::emulator::CameraConfig &config, uint32_t count,
                       std::vector<uint32_t> *ids = nullptr, std::chrono::steady_clock::time_point *first = nullptr);

// Empty when the frame in `data` is frame `frameId` of the test pattern at
// that geometry (Mono8), else where it differs.
std::string PatternMismatch(const uint8_t *data, uint32_t width, uint32_t height, uint64_t frameId);
// The frame id the emulator wrote into a wait result's frame information.
uint64_t FrameId(const ZAR_WAIT_RESULT &result);

} // namespace zar_test
