#include "registry/interface.h"

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

// The look-up and the reservation take one hold of the interface lock, so
// no device of that name can appear in between; a recovery, which reserves
// for a parked device of the list, then either finds the record free or
// reserved by another process, never by this open.
int32_t CInterface::OpenDevice(const std::string &name, std::shared_ptr<CDevice> *device) {
  CLockGuard lock(&m_Lock);
  if (FindDevice(name)) return -4;
  int32_t index = kTableRecords;
  if (const int32_t reserved = ReserveDeviceByName(name.c_str(), &index); reserved != 0) return reserved;
  std::shared_ptr<CDevice> made = AddDevice(name, static_cast<uint32_t>(index));
  if (!made) return -6;
  *device = std::move(made);
  return 0;
}

std::shared_ptr<CDevice> CInterface::AddDevice(const std::string &name, uint32_t index) {
  CLockGuard lock(&m_Lock);
  std::shared_ptr<CDevice> device;
  try {
    device = std::make_shared<CDevice>(shared_from_this(), name, index);
  } catch (...) {
    ReleaseDevice(static_cast<int32_t>(index));
    throw;
  }
  // From here on the device made of the reservation gives it back as it goes.
  m_Devices.push_back(device);
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
