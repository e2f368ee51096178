#pragma once
// The transport layer's interface "USB" and the devices opened through it.

#include <list>
#include <memory>
#include <string>

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CDevice;

class CInterface {
public:
  explicit CInterface(std::string name);
  // Destroys every device still open.
  virtual ~CInterface();
  CInterface(const CInterface &) = delete;
  CInterface &operator=(const CInterface &) = delete;

  const std::string &GetName() const { return m_Name; }
  // True when handle is one of this interface's open devices.
  bool HasDevice(const void *handle);
  // True when handle is the data stream of one of its devices.
  bool HasDataStream(const void *handle);
  // Removes the device from the open devices and destroys it; false when
  // this interface does not hold it.
  bool DeleteDevice(CDevice *device);

private:
  std::string m_Name;
  os::CriticalSection m_Lock;
  std::list<std::unique_ptr<CDevice>> m_Devices;
};

} // namespace oxa::ZarUsb
