#include "registry/interface.h"

#include <new>

#include "os/list_unlink.h"
#include "os/lock_guard.h"
#include "device/device.h"
#include "registry/closes_in_progress.h"
#include "registry/open_devices.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

CInterface::CInterface(std::string name) : m_Name(std::move(name)) {}

CInterface::~CInterface() = default;

std::string CInterface::GetName() {
  CLockGuard lock(&m_Lock);
  return m_Name;
}

std::shared_ptr<CDevice> CInterface::OpenDevice(const std::string &name, uint32_t index) {
  CLockGuard lock(&m_Lock);
  if (auto found = FindDevice(name)) return found;
  std::shared_ptr<CDevice> device;
  try {
    device = std::make_shared<CDevice>(shared_from_this(), name, index);
  } catch (const std::bad_alloc &) {
    ReleaseDevice(static_cast<int32_t>(index));
    return nullptr;
  }
  try {
    m_Devices.push_back(device);
  } catch (const std::bad_alloc &) {
    // The device made of the reservation gives it back as it goes.
    return nullptr;
  }
  if (!OpenDevices::Add(device)) {
    m_Devices.pop_back();
    return nullptr;
  }
  return device;
}

std::shared_ptr<CDevice> CInterface::FindDevice(const std::string &name) {
  CLockGuard lock(&m_Lock);
  for (const auto &device : m_Devices)
    if (device && device->GetName() == name) return device;
  return nullptr;
}

int32_t CInterface::DeleteDevice(CDevice *device) {
  const CloseInProgress closing;
  std::shared_ptr<CDevice> removed;
  {
    CLockGuard lock(&m_Lock);
    removed = Unlink(m_Devices, device);
    if (removed) OpenDevices::Remove(device);
  }
  if (!removed) return -6;
  removed->Close();
  return 0;
}

void CInterface::DeleteDevices() {
  const CloseInProgress closing;
  std::list<std::shared_ptr<CDevice>> removed;
  {
    CLockGuard lock(&m_Lock);
    removed.swap(m_Devices);
  }
  for (const auto &device : removed) {
    OpenDevices::Remove(device.get());
    device->Close();
  }
}

void CInterface::WithdrawHandles() {
  CLockGuard lock(&m_Lock);
  for (const auto &device : m_Devices) OpenDevices::Remove(device.get());
}

std::list<std::shared_ptr<CDevice>> CInterface::PinDevices() {
  CLockGuard lock(&m_Lock);
  return m_Devices;
}

} // namespace oxa::ZarUsb
