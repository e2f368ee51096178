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
  // Reserves the camera of that name and makes its device: 0 with *device
  // set, or the reservation's error (-4 when the camera is held, -7 when it
  // is not listed), or -6 when the device cannot be made (the reservation is
  // then given back). A name that this process has a device of is refused
  // with -4 before anything is reserved, also while that device is parked:
  // a parked device waits for its own camera (the recovery reserves it for
  // the device) and is never handed out for a new reservation, so no record
  // is ever left reserved with no device of this process on it.
  int32_t OpenDevice(const std::string &name, std::shared_ptr<CDevice> *device);
  // A new device for the record `index` that this process has just reserved,
  // added to the list; null when it cannot be made, and the reservation is
  // then given back. Throws std::bad_alloc when the device cannot be
  // allocated, the reservation given back as well.
  std::shared_ptr<CDevice> AddDevice(const std::string &name, uint32_t index);
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
