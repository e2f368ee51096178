#include "open_stream.h"

#include <cstring>

#include "emulator/test_pattern.h"

namespace zar_test {

oxa::ZarUsb::emulator::CameraConfig StreamConfig(const std::string &prefix) {
  static int next = 0;
  return {.serial = prefix + std::to_string(++next), .userName = "", .width = 64, .height = 8, .frameRateMilli = 0};
}

OpenStream::OpenStream(const oxa::ZarUsb::emulator::CameraConfig &config)
    : OpenCamera(config),
      m_frameBytes(config.width * config.height * oxa::ZarUsb::emulator::BytesPerPixel(config.pixelFormat)) {
  if (OpenCamera::Ready()) DevCreateDataStream(Device(), 0, &m_stream);
}

ZAR_STATUS OpenStream::Close() {
  const ZAR_STATUS closed = m_stream == nullptr ? ZAR_SUCCESS : DSClose(m_stream);
  m_stream = nullptr;
  return closed;
}

std::vector<uint32_t> AnnounceAndQueue(ZAR_DS_HANDLE stream, uint32_t bytes, uint32_t count) {
  std::vector<uint32_t> ids(count);
  for (uint32_t &id : ids)
    if (DSAllocAndAnnounceBuffer(stream, bytes, nullptr, nullptr, &id) != ZAR_SUCCESS ||
        DSQueueBuffer(stream, id) != ZAR_SUCCESS)
      return {};
  return ids;
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
