#pragma once
// The transport layer's interface "USB" and the devices this process opened
// through it.
//
// Device lifetime: the interface holds its devices by shared pointer, and
// every export pins the device it works on (OpenDevices::Pin, whose index
// holds each device while it is in this list) for its duration. A
// DevClose (or unplug, or last TLClose) unlinks the device and closes it
// (CDevice::Close: the calls in flight end, then the reservation goes)
// before it returns, outside the interface lock, so that a thread inside a
// call may still ask the interface about handles. The object is destroyed
// when the last pin goes, so no thread ever works on a freed device.

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CDevice;

class CInterface : public std::enable_shared_from_this<CInterface> {
public:
  explicit CInterface(std::string name);
  virtual ~CInterface();
  CInterface(const CInterface &) = delete;
  CInterface &operator=(const CInterface &) = delete;

  std::string GetName();
  // The device of that name if this process has it open, else a new device
  // for the record `index` that this process has just reserved. Null when it
  // cannot be made; the reservation is then given back.
  std::shared_ptr<CDevice> OpenDevice(const std::string &name, uint32_t index);
  std::shared_ptr<CDevice> FindDevice(const std::string &name);
  // Unlinks and closes the device: 0, or -6 when this interface does not
  // hold it.
  int32_t DeleteDevice(CDevice *device);
  // Unlinks and closes every device (the last TLClose).
  void DeleteDevices();
  // Makes the handles of all its devices invalid at once, before
  // DeleteDevices closes them (the last TLClose, under the CTL lock).
  void WithdrawHandles();
  // Every open device, pinned, in opening order.
  std::list<std::shared_ptr<CDevice>> PinDevices();

private:
  std::string m_Name;
  os::CriticalSection m_Lock;
  std::list<std::shared_ptr<CDevice>> m_Devices; // in opening order
};

} // namespace oxa::ZarUsb
