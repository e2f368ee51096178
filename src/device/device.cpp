#include "device/device.h"

#include "acquisition/data_stream.h"
#include "api/lock_guard.h"

namespace oxa::ZarUsb {

CDevice::CDevice(CInterface *pInterface, std::string name, uint32_t unIndex)
    : m_pInterface(pInterface), m_Name(std::move(name)), m_unIndex(unIndex) {}

CDevice::~CDevice() = default;

bool CDevice::HasDataStream(const void *handle) {
  CLockGuard lock(&m_Lock);
  return m_pDataStream != nullptr && m_pDataStream.get() == handle;
}

} // namespace oxa::ZarUsb
