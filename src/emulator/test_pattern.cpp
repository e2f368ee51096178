#include "emulator/test_pattern.h"

#include <algorithm>
#include <cstring>

#include "emulator/camera_model.h"

namespace oxa::ZarUsb::emulator {

void TestPattern::Prepare(uint32_t width, uint32_t pixelFormat) {
  if (width == m_width && pixelFormat == m_pixelFormat) return;
  const uint32_t bytes = BytesPerPixel(pixelFormat);
  m_line.assign(static_cast<size_t>(width + 256) * bytes, 0);
  for (uint32_t i = 0; i < width + 256; ++i) {
    const auto level = static_cast<uint8_t>(i);
    uint8_t *pixel = m_line.data() + static_cast<size_t>(i) * bytes;
    if (pixelFormat == kMono8) {
      pixel[0] = level;
    } else if (pixelFormat == kMono16) {
      pixel[0] = 0;
      pixel[1] = level;
    } else {
      pixel[0] = level;
      pixel[1] = static_cast<uint8_t>(255 - level);
      pixel[2] = static_cast<uint8_t>(level * 2);
    }
  }
  m_width = width;
  m_pixelFormat = pixelFormat;
}

uint32_t TestPattern::Write(uint8_t *out, uint32_t capacity, uint32_t width, uint32_t height, uint32_t pixelFormat,
                            uint64_t frame) {
  const uint32_t bytes = BytesPerPixel(pixelFormat);
  if (bytes == 0) return 0;
  Prepare(width, pixelFormat);
  const size_t row = static_cast<size_t>(width) * bytes;
  const size_t total = std::min<size_t>(capacity, row * height);
  size_t written = 0;
  for (uint32_t y = 0; written < total; ++y) {
    const size_t shift = static_cast<size_t>((y + frame) & 0xFF) * bytes;
    const size_t count = std::min(row, total - written);
    std::memcpy(out + written, m_line.data() + shift, count);
    written += count;
  }
  return static_cast<uint32_t>(written);
}

} // namespace oxa::ZarUsb::emulator
