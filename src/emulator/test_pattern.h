#pragma once
// The emulated camera's image: a diagonal gradient that moves one pixel per
// frame. Pixel (x, y) of frame f has the level (x + y + f) mod 256: Mono8 as
// that byte, Mono16 as that level times 256, RGB8 as (level, 255 - level,
// 2 * level mod 256). Rows are copied from one prepared line, so a frame
// costs about what copying it costs.

#include <cstdint>
#include <vector>

namespace oxa::ZarUsb::emulator {

class TestPattern {
public:
  // Writes frame `frame` of that geometry into out (capacity bytes, cut when
  // smaller than the frame); returns the bytes written.
  uint32_t Write(uint8_t *out, uint32_t capacity, uint32_t width, uint32_t height, uint32_t pixelFormat,
                 uint64_t frame);

  // The level of pixel (x, y) in frame f, for checking images.
  static uint8_t Level(uint32_t x, uint32_t y, uint64_t frame) { return static_cast<uint8_t>(x + y + frame); }

private:
  void Prepare(uint32_t width, uint32_t pixelFormat);

  std::vector<uint8_t> m_line; // width + 256 pixels
  uint32_t m_width = 0;
  uint32_t m_pixelFormat = 0;
};

} // namespace oxa::ZarUsb::emulator
