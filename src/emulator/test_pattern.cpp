#include "emulator/test_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "emulator/camera_model.h"

namespace oxa::ZarUsb::emulator {

namespace {

bool IsBayer(uint32_t pixelFormat) { return pixelFormat == kBayerRG8 || pixelFormat == kBayerGB8; }

} // namespace

int TestPattern::FilterColour(uint32_t pixelFormat, uint32_t x, uint32_t y) {
  // Both orders have rows R G R G ... and G B G B ...; BayerRG8 starts with
  // the red one, BayerGB8 with the blue one.
  const bool redRow = (y % 2 == 0) == (pixelFormat == kBayerRG8);
  if (redRow) return x % 2 == 0 ? 0 : 1;
  return x % 2 == 1 ? 2 : 1;
}

void TestPattern::Prepare(uint32_t width, uint32_t pixelFormat, float brightness) {
  if (width == m_width && pixelFormat == m_pixelFormat && brightness == m_brightness && !m_lines.empty()) return;
  const uint32_t bytes = BytesPerPixel(pixelFormat);
  const size_t pixels = static_cast<size_t>(width) + 256;
  const int lines = IsBayer(pixelFormat) ? 4 : 1;
  m_lines.assign(pixels * bytes * lines, 0);
  const auto scaled = [brightness](uint8_t value) {
    return brightness == 1.0f ? value : static_cast<uint8_t>(std::min(255.0f, std::round(value * brightness)));
  };
  for (int line = 0; line < lines; ++line) {
    uint8_t *begin = m_lines.data() + pixels * bytes * line;
    for (uint32_t i = 0; i < pixels; ++i) {
      const auto level = static_cast<uint8_t>(i);
      uint8_t *pixel = begin + static_cast<size_t>(i) * bytes;
      if (pixelFormat == kMono8) {
        pixel[0] = scaled(level);
      } else if (pixelFormat == kMono16) {
        pixel[1] = scaled(level);
      } else if (pixelFormat == kRGB8) {
        for (int colour = 0; colour < 3; ++colour) pixel[colour] = scaled(Component(level, colour));
      } else {
        // Line 2 * row parity + shift parity: entry i lands at column i - shift.
        const uint32_t column = i + static_cast<uint32_t>(line & 1);
        pixel[0] = scaled(Component(level, FilterColour(pixelFormat, column, static_cast<uint32_t>(line >> 1))));
      }
    }
  }
  m_width = width;
  m_pixelFormat = pixelFormat;
  m_brightness = brightness;
}

uint32_t TestPattern::Write(uint8_t *out, uint32_t capacity, uint32_t width, uint32_t height, uint32_t pixelFormat,
                            uint64_t frame, const PatternLook &look) {
  const uint32_t bytes = BytesPerPixel(pixelFormat);
  if (bytes == 0) return 0;
  Prepare(width, pixelFormat, look.brightness);
  const size_t row = static_cast<size_t>(width) * bytes;
  const size_t line = (static_cast<size_t>(width) + 256) * bytes;
  const size_t total = std::min<size_t>(capacity, row * height);
  const bool bayer = IsBayer(pixelFormat);
  size_t written = 0;
  for (uint32_t y = 0; written < total; ++y) {
    const auto shift = static_cast<uint32_t>((y + look.offsetY + look.offsetX + frame) & 0xFF);
    const size_t first = bayer ? line * (2 * (y & 1) + (shift & 1)) : 0;
    const size_t count = std::min(row, total - written);
    std::memcpy(out + written, m_lines.data() + first + static_cast<size_t>(shift) * bytes, count);
    written += count;
  }
  return static_cast<uint32_t>(written);
}

} // namespace oxa::ZarUsb::emulator
