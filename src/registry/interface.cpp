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

} // namespace oxa::ZarUsb
