#include "registry/interface.h"

#include "api/lock_guard.h"
#include "device/device.h"

namespace oxa::ZarUsb {

CInterface::CInterface(std::string name) : m_Name(std::move(name)) {}

CInterface::~CInterface() {
  CLockGuard lock(&m_Lock);
  m_Devices.clear();
}

bool CInterface::HasDevice(const void *handle) {
  CLockGuard lock(&m_Lock);
  for (const auto &device : m_Devices)
    if (device.get() == handle) return true;
  return false;
}

bool CInterface::HasDataStream(const void *handle) {
  CLockGuard lock(&m_Lock);
  for (const auto &device : m_Devices)
    if (device->HasDataStream(handle)) return true;
  return false;
}

bool CInterface::DeleteDevice(CDevice *device) {
  std::unique_ptr<CDevice> removed;
  {
    CLockGuard lock(&m_Lock);
    for (auto item = m_Devices.begin(); item != m_Devices.end(); ++item) {
      if (item->get() == device) {
        removed = std::move(*item);
        m_Devices.erase(item);
        break;
      }
    }
  }
  // Destroyed outside the interface lock: a device's teardown waits for its
  // own threads, which may ask this interface about handles meanwhile.
  return removed != nullptr;
}

} // namespace oxa::ZarUsb
