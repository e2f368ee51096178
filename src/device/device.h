#pragma once
// A camera opened by this process. Its handle is the object's address. It
// reaches its camera's driver through the shared table (the driver of the
// record it reserved), never by a handle of its own.

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CInterface;
class CDataStream;

class CDevice {
public:
  // unIndex: the camera's record in the shared table, reserved by this
  // process. Links the record's driver back to this device.
  CDevice(std::shared_ptr<CInterface> pInterface, std::string name, uint32_t unIndex);
  // Destroys the data streams and gives the reservation back.
  virtual ~CDevice();
  CDevice(const CDevice &) = delete;
  CDevice &operator=(const CDevice &) = delete;

  CInterface *GetInterface();
  uint32_t GetIndex();
  std::string GetName();
  // True when handle is this device's data stream.
  bool HasDataStream(const void *handle);

private:
  // Kept alive by the device: an operation still running on a device after
  // the last TLClose finds its interface in place.
  std::shared_ptr<CInterface> m_pInterface;
  std::string m_strName;
  uint32_t m_unIndex;
  os::CriticalSection m_csLock;
  std::list<std::unique_ptr<CDataStream>> m_listDataStreams;
};

} // namespace oxa::ZarUsb
