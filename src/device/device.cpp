#include "device/device.h"

#include <new>

#include "acquisition/data_stream.h"
#include "acquisition/thread_event.h"
#include "os/list_unlink.h"
#include "os/lock_guard.h"
#include "driver/driver_interface.h"
#include "registry/closes_in_progress.h"
#include "registry/interface.h"
#include "registry/open_devices.h"
#include "registry/recovery_state.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {
// Outside the table: a closed or parked device reaches no driver.
constexpr uint32_t kClosedIndex = 0xFFFFFFFFu;
constexpr uint32_t kParkedIndex = 0xFFFFFFFEu;
} // namespace

CDevice::CDevice(std::shared_ptr<CInterface> pInterface, std::string name, uint32_t unIndex)
    : m_pInterface(std::move(pInterface)), m_strName(std::move(name)), m_unIndex(unIndex) {
  TraceMessage("ZAR=> Enter CDevice(%s)\n", m_strName.c_str());
  m_pThreadEvent = MakeThreadEvent();
  m_pDriver = GetDeviceDriver(static_cast<int32_t>(m_unIndex), true);
  if (m_pDriver) m_pDriver->m_pDevice = this;
  m_pRegisterDriver.store(m_pDriver.get(), std::memory_order_release);
}

std::unique_ptr<CThreadEvent> CDevice::MakeThreadEvent() {
  try {
    return std::make_unique<CThreadEvent>(this);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

CDevice::~CDevice() {
  TraceMessage("ZAR=> Enter ~CDevice\n");
  Close();
}

// The order keeps the close bounded and free of deadlocks:
// 0. The event thread stops first, holding no lock: a device callback
//    running on it may call into this device (even close it), and the stop
//    waits for it a bounded time only.
// 0. Then the device is marked closing (so it can no longer be parked) and taken
//    off the recovery list, before any other lock is held: the recovery
//    takes the list's lock before a device's.
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
// 3. Register calls, which take no device lock, are drained (holding no
//    lock): the driver is hidden from later ones, those in flight end.
// 4. Under the device lock again the reservation goes and the index is
//    cleared: calls that come later find no driver, and a reservation this
//    process makes later for the same record is never reached through here.
//    Only this device's own reservation is released (its driver links back to
//    it), never one made since for another device or a register access. The
//    device's own pin on the driver is dropped after both locks are given
//    back, so a driver interface that goes with it never goes under them.
void CDevice::Close() {
  std::shared_ptr<CDriverInterface> pinned;
  std::list<std::shared_ptr<CDataStream>> streams;
  std::unique_ptr<CThreadEvent> events;
  {
    CLockGuard lock(&m_csLock);
    events = std::move(m_pThreadEvent);
  }
  events.reset();
  {
    CLockGuard lock(&m_csLock);
    m_bClosing = true;
  }
  ForgetParkedDevice(this);
  {
    CLockGuard lock(&m_csLock);
    streams.swap(m_listDataStreams);
  }
  for (auto &stream : streams) {
    if (!stream) continue;
    TraceMessage("ZAR=> ~CDevice => delete pDataStream = 0x%X\n", AddressLow32(stream.get()));
    stream->Close();
    stream.reset();
  }
  DrainRegisterCalls();
  CLockGuard lock(&m_csLock);
  if (m_unIndex != kClosedIndex) LeaveRecord(kClosedIndex, &pinned);
}

void CDevice::LeaveRecord(uint32_t state, std::shared_ptr<CDriverInterface> *pinned) {
  const auto index = static_cast<int32_t>(m_unIndex);
  m_unIndex = state;
  *pinned = std::move(m_pDriver);
  TableLock table;
  if (const auto driver = GetDeviceDriver(index, true); driver != nullptr && driver->m_pDevice == this)
    ReleaseDevice(index);
}

CInterface *CDevice::GetInterface() {
  CLockGuard lock(&m_csLock);
  return m_pInterface.get();
}

bool CDevice::HasOwner() { return GetInterface() != nullptr; }

void CDevice::DeleteThroughOwner() {
  if (CInterface *owner = GetInterface()) owner->DeleteDevice(this);
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

std::shared_ptr<CDataStream> CDevice::PinDataStream(const void *handle) {
  CLockGuard lock(&m_csLock);
  for (const auto &stream : m_listDataStreams)
    if (stream && stream.get() == handle) return stream;
  return nullptr;
}

int32_t CDevice::SetCallback(ZAR_CALLBACK pfn, void *pContext) {
  // A null function could only ever be skipped at delivery; it is refused.
  if (pfn == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  CLockGuard lock(&m_csLock);
  if (!Driver()) return ZAR_ERR_GENERAL;
  CLockGuard callbacks(&m_CallbackLock);
  m_mapCallbacks[pfn] = pContext;
  return ZAR_SUCCESS;
}

int32_t CDevice::RemoveCallback(ZAR_CALLBACK pfn) {
  CLockGuard lock(&m_csLock);
  if (!Driver()) return ZAR_ERR_GENERAL;
  CLockGuard callbacks(&m_CallbackLock);
  const auto found = m_mapCallbacks.find(pfn);
  if (found == m_mapCallbacks.end()) return ZAR_ERR_NO_DATA;
  m_mapCallbacks.erase(found);
  return ZAR_SUCCESS;
}

int32_t CDevice::FireCallback(uint32_t event, void *pData, int32_t length) {
  std::map<ZAR_CALLBACK, void *> callbacks;
  {
    CLockGuard lock(&m_CallbackLock);
    callbacks = m_mapCallbacks;
  }
  // Nothing of the device is touched from here on: a callback may close it.
  for (const auto &[function, context] : callbacks) function(event, pData, static_cast<int64_t>(length), context);
  return 0;
}

int32_t CDevice::CreateDataStream(uint32_t channel, ZAR_DS_HANDLE *pHandle) {
  CLockGuard lock(&m_csLock);
  if (pHandle == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  if (channel != 0 || !m_listDataStreams.empty()) return ZAR_ERR_INVALID_PARAMETER;
  const std::shared_ptr<CDataStream> stream = AddDataStream();
  if (!stream) return ZAR_ERR_GENERAL;
  *pHandle = stream.get();
  return ZAR_SUCCESS;
}

std::shared_ptr<CDataStream> CDevice::AddDataStream() {
  CLockGuard lock(&m_csLock);
  TraceMessage("ZAR=> Enter CDevice::AddDataStream()\n");
  if (!Driver()) return nullptr;
  auto stream = std::make_shared<CDataStream>(this);
  TraceMessage("ZAR=> CDevice::AddDataStream() => Add pDataStream = 0x%X\n", AddressLow32(stream.get()));
  m_listDataStreams.push_back(stream);
  return stream;
}

// The stream is unlinked under the device lock but closed after it: a
// stream operation holds the stream's lock while it asks the device for its
// index, so closing under the device lock could block both threads for good.
// A wait in progress is woken first, so the close never waits for its timeout.
int32_t CDevice::DeleteDataStream(CDataStream *stream) {
  TraceMessage("ZAR=> Enter CDevice::DeleteDataStream : 0x%X\n", AddressLow32(stream));
  const CloseInProgress closing;
  std::shared_ptr<CDataStream> removed;
  {
    CLockGuard lock(&m_csLock);
    removed = Unlink(m_listDataStreams, stream);
    if (!removed) return ZAR_ERR_GENERAL;
    TraceMessage("ZAR=> CDevice::DeleteDataStream : delete DataStream 0x%X\n", AddressLow32(stream));
  }
  removed->Close();
  return ZAR_SUCCESS;
}

// The driver interface of the record goes after both locks are given back
// (the device's own pin is the last one, unless a request still runs), and
// after the register calls that may use it have ended, which are waited for
// without the device lock (other calls wait for it meanwhile, holding their
// call pins). A close that starts in between wins: the device is not parked.
bool CDevice::Park() {
  std::shared_ptr<CDriverInterface> pinned;
  const auto parkable = [this] { return !m_bClosing && m_unIndex != kClosedIndex && m_unIndex != kParkedIndex; };
  {
    CLockGuard lock(&m_csLock);
    if (!parkable()) return false;
  }
  DrainRegisterCalls();
  CLockGuard lock(&m_csLock);
  if (!parkable()) return false;
  LeaveRecord(kParkedIndex, &pinned);
  return true;
}

bool CDevice::IsParked() {
  CLockGuard lock(&m_csLock);
  return m_unIndex == kParkedIndex;
}

// Runs on the notification thread. The streams are held (RecoveryHold) from
// before the new driver is published until their buffers are locked in it,
// so the rebinding is whole for every stream operation; they are taken
// outside the device lock (stream before device, as every operation takes
// them), and the index and driver change under the device lock inside.
int32_t CDevice::RecoverFromHybernate(uint32_t newIndex) {
  std::list<std::shared_ptr<CDataStream>> streams;
  std::shared_ptr<CDriverInterface> driver = GetDeviceDriver(static_cast<int32_t>(newIndex), true);
  std::unique_ptr<CThreadEvent> events;
  {
    CLockGuard lock(&m_csLock);
    if (m_bClosing || m_unIndex != kParkedIndex || !driver) return ZAR_ERR_GENERAL;
    events = std::move(m_pThreadEvent);
    // A parked device makes no stream: the list stays as it is until the
    // holds are taken (a stream closed meanwhile relocks nothing).
    streams = m_listDataStreams;
  }
  events.reset(); // the old thread stops holding no lock (see Close)
  int32_t result = ZAR_SUCCESS;
  {
    std::list<CDataStream::RecoveryHold> holds;
    for (const auto &stream : streams)
      if (stream) holds.emplace_back(*stream);
    {
      CLockGuard lock(&m_csLock);
      if (m_bClosing) return ZAR_ERR_GENERAL;
      m_unIndex = newIndex;
      m_pDriver = driver;
      driver->m_pDevice = this;
      m_pRegisterDriver.store(driver.get(), std::memory_order_release);
    }
    for (const auto &stream : streams) {
      if (!stream) continue;
      result = stream->RelockBuffers(*driver);
      if (result != ZAR_SUCCESS) break;
    }
  }
  events = MakeThreadEvent();
  {
    CLockGuard lock(&m_csLock);
    if (!m_bClosing) m_pThreadEvent = std::move(events);
  }
  events.reset();
  return result;
}

} // namespace oxa::ZarUsb
