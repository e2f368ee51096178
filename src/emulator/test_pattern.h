#pragma once
// The emulated camera's image: a diagonal gradient that moves one pixel per
// frame. Pixel (x, y) of frame f has the level (x + y + f) mod 256, or with
// a region of interest at (ox, oy) of the sensor, (x + ox + y + oy + f) mod
// 256: Mono8 as that byte, Mono16 as that level times 256, RGB8 as the colour
// (level, 255 - level, 2 * level mod 256), BayerRG8 and BayerGB8 as the one
// component of that colour their filter passes at the pixel. Exposure and
// gain scale each byte by the brightness (rounded, at most 255). Rows are
// copied from prepared lines, so a frame costs about what copying it costs.

#include <cstdint>
#include <vector>

namespace oxa::ZarUsb::emulator {

// What the camera's settings change in the image.
struct PatternLook {
  uint32_t offsetX = 0;
  uint32_t offsetY = 0;
  float brightness = 1.0f;
};

class TestPattern {
public:
  // Writes frame `frame` of that geometry into out (capacity bytes, cut when
  // smaller than the frame); returns the bytes written.
  uint32_t Write(uint8_t *out, uint32_t capacity, uint32_t width, uint32_t height, uint32_t pixelFormat,
                 uint64_t frame, const PatternLook &look = {});

  // The level of pixel (x, y) in frame f, for checking images.
  static uint8_t Level(uint32_t x, uint32_t y, uint64_t frame) { return static_cast<uint8_t>(x + y + frame); }
  // The colour of a level: red, green, blue.
  static uint8_t Component(uint8_t level, int colour) {
    return static_cast<uint8_t>(colour == 0 ? level : colour == 1 ? 255 - level : level * 2);
  }
  // The colour a Bayer format's filter passes at pixel (x, y): 0 red, 1
  // green, 2 blue.
  static int FilterColour(uint32_t pixelFormat, uint32_t x, uint32_t y);

private:
  void Prepare(uint32_t width, uint32_t pixelFormat, float brightness);

  // width + 256 pixels each: one line, or for a Bayer format four, by the
  // parity of the row and of the shift the row is copied at.
  std::vector<uint8_t> m_lines;
  uint32_t m_width = 0;
  uint32_t m_pixelFormat = 0;
  float m_brightness = 1.0f;
};

} // namespace oxa::ZarUsb::emulator
