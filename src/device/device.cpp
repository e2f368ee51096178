#include "device/device.h"

#include "acquisition/data_stream.h"
#include "os/lock_guard.h"
#include "driver/driver_interface.h"
#include "registry/interface.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

CDevice::CDevice(std::shared_ptr<CInterface> pInterface, std::string name, uint32_t unIndex)
    : m_pInterface(std::move(pInterface)), m_strName(std::move(name)), m_unIndex(unIndex) {
  TraceMessage("ZAR=> Enter CDevice(%s)\n", m_strName.c_str());
  if (const auto driver = GetDeviceDriver(static_cast<int32_t>(m_unIndex), true)) driver->m_pDevice = this;
}

CDevice::~CDevice() {
  TraceMessage("ZAR=> Enter ~CDevice\n");
  CLockGuard lock(&m_csLock);
  for (auto &stream : m_listDataStreams) {
    if (!stream) continue;
    TraceMessage("ZAR=> ~CDevice => delete pDataStream = 0x%X\n",
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(stream.get())));
    stream.reset();
  }
  ReleaseDevice(static_cast<int32_t>(m_unIndex));
}

CInterface *CDevice::GetInterface() {
  CLockGuard lock(&m_csLock);
  return m_pInterface.get();
}

uint32_t CDevice::GetIndex() {
  CLockGuard lock(&m_csLock);
  return m_unIndex;
}

std::string CDevice::GetName() {
  CLockGuard lock(&m_csLock);
  return m_strName;
}

bool CDevice::HasDataStream(const void *handle) {
  CLockGuard lock(&m_csLock);
  for (const auto &stream : m_listDataStreams)
    if (stream && stream.get() == handle) return true;
  return false;
}

} // namespace oxa::ZarUsb
