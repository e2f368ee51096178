#include "open_stream.h"

#include <cstring>

#include "emulator/test_pattern.h"

namespace zar_test {

oxa::ZarUsb::emulator::CameraConfig StreamConfig(const std::string &prefix) {
  static int next = 0;
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = prefix + std::to_string(++next);
  config.width = 64;
  config.height = 8;
  config.frameRateMilli = 0;
  return config;
}

OpenStream::OpenStream(const oxa::ZarUsb::emulator::CameraConfig &config) : m_config(config), m_camera(config) {
  if (m_camera.Ready()) DevCreateDataStream(m_camera.Device(), 0, &m_stream);
}

OpenStream::~OpenStream() {
  if (m_stream != nullptr) DSClose(m_stream);
}

ZAR_STATUS OpenStream::Close() {
  const ZAR_STATUS closed = DSClose(m_stream);
  m_stream = nullptr;
  return closed;
}

uint32_t OpenStream::FrameBytes() const {
  return m_config.width * m_config.height * oxa::ZarUsb::emulator::BytesPerPixel(m_config.pixelFormat);
}

std::vector<uint32_t> OpenStream::AnnounceAndQueue(uint32_t count) {
  return zar_test::AnnounceAndQueue(m_stream, FrameBytes(), count);
}

std::vector<uint32_t> AnnounceAndQueue(ZAR_DS_HANDLE stream, uint32_t bytes, uint32_t count) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = 0;
    if (DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &id) != ZAR_SUCCESS) return {};
    if (DSQueueBuffer(stream, id) != ZAR_SUCCESS) return {};
    ids.push_back(id);
  }
  return ids;
}

std::string TakeFrames(ZAR_DS_HANDLE stream, const oxa::ZarUsb::emulator::CameraConfig &config, uint32_t count,
                       std::vector<uint32_t> *ids, std::chrono::steady_clock::time_point *first) {
  uint64_t last = 0;
  for (uint32_t i = 0; i < count; ++i) {
    ZAR_WAIT_RESULT result{};
    if (const ZAR_STATUS waited = DSWaitForBuffer(stream, 5000, 0, &result, nullptr); waited != ZAR_SUCCESS)
      return "wait " + std::to_string(waited);
    if (first != nullptr && i == 0) *first = std::chrono::steady_clock::now();
    const uint64_t frame = FrameId(result);
    if (frame <= last) return "frame id " + std::to_string(frame) + " after " + std::to_string(last);
    last = frame;
    const std::string mismatch =
        PatternMismatch(static_cast<const uint8_t *>(result.pBase), config.width, config.height, frame);
    if (!mismatch.empty()) return mismatch;
    if (ids != nullptr) ids->push_back(result.iID);
    if (DSQueueBuffer(stream, result.iID) != ZAR_SUCCESS) return "requeue";
  }
  return {};
}

std::string PatternMismatch(const uint8_t *data, uint32_t width, uint32_t height, uint64_t frameId) {
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      if (data[y * width + x] != oxa::ZarUsb::emulator::TestPattern::Level(x, y, frameId))
        return "pixel " + std::to_string(x) + "," + std::to_string(y) + " of frame " + std::to_string(frameId);
  return {};
}

uint64_t FrameId(const ZAR_WAIT_RESULT &result) {
  oxa::ZarUsb::emulator::FrameInfo info;
  std::memcpy(&info, result.aFrameInfo, sizeof info);
  return info.frameId;
}

} // namespace zar_test
