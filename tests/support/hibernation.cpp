#include "hibernation.h"

#include <algorithm>

#include "os/system_info.h"
#include "test_main.h"

namespace zar_test {

void EventLog::Record(uint32_t code, void *pData, int64_t size, void *pContext) {
  auto &log = *static_cast<EventLog *>(pContext);
  std::string name = pData != nullptr && size == 260 ? std::string(static_cast<const char *>(pData)) : "";
  std::lock_guard<std::mutex> guard(log.m_lock);
  log.m_entries.push_back({code, std::move(name), Clock::now()});
}

std::optional<Clock::time_point> EventLog::Await(uint32_t code, uint32_t milliseconds, const std::string &name) {
  std::optional<Clock::time_point> at;
  WaitFor(
      [&] {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const Entry &entry : m_entries)
          if (entry.code == code && (name.empty() || entry.name == name) && !at) at = entry.at;
        return at.has_value();
      },
      milliseconds);
  return at;
}

size_t EventLog::Count(uint32_t code) {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<size_t>(
      std::count_if(m_entries.begin(), m_entries.end(), [&](const Entry &entry) { return entry.code == code; }));
}

std::vector<EventLog::Entry> EventLog::Entries() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_entries;
}

ShortRecoveryWait::ShortRecoveryWait() {
  oxa::ZarUsb::os::SetEnv("ZAR_USB_TEST_RECOVERY_DELAY_MS", std::to_string(kMilliseconds).c_str());
}

ShortRecoveryWait::~ShortRecoveryWait() { oxa::ZarUsb::os::UnsetEnv("ZAR_USB_TEST_RECOVERY_DELAY_MS"); }

HeldCameras::HeldCameras() {
  if (TLOpen(nullptr, nullptr, &m_tl) == ZAR_SUCCESS) TLSetCallback(m_tl, EventLog::Record, &m_tlEvents);
}

HeldCameras::~HeldCameras() {
  for (Camera &camera : m_cameras)
    if (camera.device != nullptr) DevClose(camera.device);
  CloseTL();
}

void HeldCameras::CloseTL() {
  if (m_tl == nullptr) return;
  TLRemoveCallback(m_tl, EventLog::Record);
  TLClose(m_tl);
  m_tl = nullptr;
}

HeldCameras::Camera *HeldCameras::Open(const oxa::ZarUsb::emulator::CameraConfig &config) {
  Camera &camera = m_cameras.emplace_back();
  camera.config = config;
  camera.name = CameraName(config);
  camera.slot = m_plugged.Plug(config);
  if (!WaitForName(m_tl, camera.name) || TLOpenDevice(m_tl, "USB", camera.name.c_str(), &camera.device) != ZAR_SUCCESS) return nullptr;
  if (DevSetCallback(camera.device, EventLog::Record, &camera.events) != ZAR_SUCCESS) return nullptr;
  return &camera;
}

bool HeldCameras::Suspend() {
  if (!oxa::ZarUsb::emulator::Suspend()) return false;
  return std::all_of(m_cameras.begin(), m_cameras.end(), [](Camera &camera) {
    return camera.device == nullptr || camera.events.Await(PC_SUSPEND_MODE).has_value();
  });
}

// The record is emptied once the device is parked (or closed): the name
// is free again then for the camera's return.
bool HeldCameras::Lose(Camera &camera) {
  m_plugged.Unplug(camera.slot);
  return WaitForName(m_tl, camera.name, false);
}

void HeldCameras::Return(Camera &camera, const std::string &userName) {
  oxa::ZarUsb::emulator::CameraConfig config = camera.config;
  config.userName = userName;
  camera.slot = m_plugged.Plug(config);
}

Repeating::Repeating(std::function<void()> step)
    : m_thread([this, step = std::move(step)] {
        while (!m_stop) step();
      }) {}

void Repeating::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
}

int32_t DeviceState(ZAR_DEV_HANDLE device) {
  ZAR_DEVICE_INFO info{};
  uint32_t size = sizeof info;
  return DevGetInfo(device, &info, &size);
}

} // namespace zar_test
