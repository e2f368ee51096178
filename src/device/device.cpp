#include "device/device.h"

#include "acquisition/data_stream.h"
#include "os/lock_guard.h"
#include "driver/driver_interface.h"
#include "registry/interface.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {
// Outside the table: a closed device reaches no driver.
constexpr uint32_t kClosedIndex = 0xFFFFFFFFu;
} // namespace

CDevice::CDevice(std::shared_ptr<CInterface> pInterface, std::string name, uint32_t unIndex)
    : m_pInterface(std::move(pInterface)), m_strName(std::move(name)), m_unIndex(unIndex) {
  TraceMessage("ZAR=> Enter CDevice(%s)\n", m_strName.c_str());
  if (const auto driver = GetDeviceDriver(static_cast<int32_t>(m_unIndex), true)) driver->m_pDevice = this;
}

CDevice::~CDevice() {
  TraceMessage("ZAR=> Enter ~CDevice\n");
  Close();
}

// The order keeps the close bounded and free of deadlocks:
// 1. Under the device lock the streams leave the list. Every register,
//    information and description-file call holds that lock for its whole
//    duration, so taking it waits for the calls in flight; a thread inside
//    such a call (a callback that closes its own device) already holds it,
//    as the lock is re-entrant.
// 2. The streams are destroyed outside the device lock, since a stream
//    operation holds its stream's lock and then takes the device's. This is
//    where whatever waits without limit on the device's behalf ends: a
//    stream's destructor first wakes a DSWaitForBuffer blocked in it (that
//    wait holds the stream's lock), then takes the stream's lock.
// 3. Under the device lock again the reservation goes and the index is
//    cleared: calls that come later find no driver, and a reservation this
//    process makes later for the same record is never reached through here.
//    Only this device's own reservation is released (its driver links back to
//    it), never one made since for another device or a register access.
void CDevice::Close() {
  std::list<std::unique_ptr<CDataStream>> streams;
  {
    CLockGuard lock(&m_csLock);
    streams.swap(m_listDataStreams);
  }
  for (auto &stream : streams) {
    if (!stream) continue;
    TraceMessage("ZAR=> ~CDevice => delete pDataStream = 0x%X\n",
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(stream.get())));
    stream.reset();
  }
  CLockGuard lock(&m_csLock);
  if (m_unIndex == kClosedIndex) return;
  const auto index = static_cast<int32_t>(m_unIndex);
  m_unIndex = kClosedIndex;
  TableLock table;
  if (const auto driver = GetDeviceDriver(index, true); driver != nullptr && driver->m_pDevice == this)
    ReleaseDevice(index);
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
