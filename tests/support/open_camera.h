#pragma once
// The transport layer open with one emulated camera plugged and opened; the trace a test asked for.

#include <string>
#include <vector>

#include "camera_bench.h"
#include "temp_dir.h"

namespace zar_test {

class OpenCamera {
public:
  explicit OpenCamera(const oxa::ZarUsb::emulator::CameraConfig &config);
  ~OpenCamera();
  ZAR_TL_HANDLE TL() const { return m_tl; }
  ZAR_DEV_HANDLE Device() const { return m_device; }
  uint32_t Slot() const { return m_slot; }
  bool Ready() const { return m_device != nullptr; }

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  ZAR_DEV_HANDLE m_device = nullptr;
  uint32_t m_slot = 0;
  PluggedCameras m_cameras;
};

// Traces into a file of its own while it lives.
class TraceCapture {
public:
  TraceCapture();
  ~TraceCapture();
  std::string Text() const;
  std::vector<std::string> Lines(const std::string &part) const; // the lines containing `part`

private:
  TempDir m_dir;
};

} // namespace zar_test
