#pragma once
// Emulated cameras plugged for one test and unplugged at its end; waiting for the list to show them.

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "zar_usb.h"

namespace zar_test {

class PluggedCameras {
public:
  ~PluggedCameras();
  uint32_t Plug(const std::string &serial, const std::string &model = "ZC1000", const std::string &userName = "");
  uint32_t Plug(const oxa::ZarUsb::emulator::CameraConfig &config);
  void Unplug(uint32_t slot);

private:
  std::vector<uint32_t> m_slots;
};

// The name a camera of that config is listed under (when no other camera took it first).
std::string CameraName(const oxa::ZarUsb::emulator::CameraConfig &config);
std::vector<std::string> ListedNames(ZAR_TL_HANDLE tl);
// Waits until the transport layer lists the name (with listed false: no longer lists it), or `count` cameras.
bool WaitForName(ZAR_TL_HANDLE tl, const std::string &name, bool listed = true, uint32_t milliseconds = 10000);
bool WaitForCount(ZAR_TL_HANDLE tl, uint32_t count, uint32_t milliseconds = 20000);

} // namespace zar_test
