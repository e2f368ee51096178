#include "camera_bench.h"

#include <algorithm>

#include "test_main.h"

namespace zar_test {

PluggedCameras::~PluggedCameras() {
  for (uint32_t slot : m_slots) oxa::ZarUsb::emulator::Unplug(slot);
}

uint32_t PluggedCameras::Plug(const std::string &serial, const std::string &model, const std::string &userName) {
  return Plug({.model = model, .serial = serial, .userName = userName});
}

uint32_t PluggedCameras::Plug(const oxa::ZarUsb::emulator::CameraConfig &config) {
  const auto slot = oxa::ZarUsb::emulator::Plug(config);
  if (!slot) return UINT32_MAX;
  m_slots.push_back(*slot);
  return *slot;
}

void PluggedCameras::Unplug(uint32_t slot) {
  oxa::ZarUsb::emulator::Unplug(slot);
  std::erase(m_slots, slot);
}

std::string CameraName(const oxa::ZarUsb::emulator::CameraConfig &config) {
  return (config.userName.empty() ? config.model : config.userName) + "_#" + config.serial;
}

std::vector<std::string> ListedNames(ZAR_TL_HANDLE tl) {
  std::vector<std::string> names;
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  for (uint32_t i = 0; i < count; ++i) {
    char name[260];
    if (TLGetDeviceName(tl, "USB", i, name, sizeof name) == ZAR_SUCCESS) names.emplace_back(name);
  }
  return names;
}

bool WaitForName(ZAR_TL_HANDLE tl, const std::string &name, bool listed, uint32_t milliseconds) {
  return WaitFor([&] { return (std::ranges::count(ListedNames(tl), name) > 0) == listed; }, milliseconds);
}

bool WaitForCount(ZAR_TL_HANDLE tl, uint32_t count, uint32_t milliseconds) {
  return WaitFor(
      [&] {
        uint32_t now = UINT32_MAX;
        return TLGetNumDevices(tl, "USB", &now) == ZAR_SUCCESS && now == count;
      },
      milliseconds);
}

} // namespace zar_test
