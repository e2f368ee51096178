#include "open_camera.h"

#include "test_main.h"

#include <sstream>

namespace zar_test {

OpenCamera::OpenCamera(const oxa::ZarUsb::emulator::CameraConfig &config) {
  if (TLOpen(nullptr, nullptr, &m_tl) != ZAR_SUCCESS) return;
  m_slot = m_cameras.Plug(config);
  const std::string name = CameraName(config);
  if (WaitForName(m_tl, name)) TLOpenDevice(m_tl, "USB", name.c_str(), &m_device);
}

OpenCamera::~OpenCamera() {
  if (m_device != nullptr) DevClose(m_device);
  TLClose(m_tl);
}

TraceCapture::TraceCapture() {
  OpenDebugFile((m_dir / "trace.txt").wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC | ZAR_O_BINARY);
  EnableZarTrace(1);
}

TraceCapture::~TraceCapture() {
  EnableZarTrace(0);
  CloseDebugFile();
}

std::string TraceCapture::Text() const { return FileText(m_dir / "trace.txt"); }

std::vector<std::string> TraceCapture::Lines(const std::string &part) const {
  std::vector<std::string> lines;
  std::istringstream text(Text());
  std::string line;
  while (std::getline(text, line))
    if (line.find(part) != std::string::npos) lines.push_back(line);
  return lines;
}

} // namespace zar_test
