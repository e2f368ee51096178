#pragma once
// An opened camera.

#include <cstdint>
#include <memory>
#include <string>

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CInterface;
class CDataStream;

class CDevice {
public:
  // unIndex: the camera's position in the shared camera table.
  CDevice(CInterface *pInterface, std::string name, uint32_t unIndex);
  virtual ~CDevice();
  CDevice(const CDevice &) = delete;
  CDevice &operator=(const CDevice &) = delete;

  CInterface *GetInterface() const { return m_pInterface; }
  const std::string &GetName() const { return m_Name; }
  // True when handle is this device's data stream (under the device lock).
  bool HasDataStream(const void *handle);

private:
  CInterface *m_pInterface; // owner, not owned
  std::string m_Name;
  uint32_t m_unIndex;
  os::CriticalSection m_Lock;
  std::unique_ptr<CDataStream> m_pDataStream;
};

} // namespace oxa::ZarUsb
