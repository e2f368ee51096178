#include "api/ctl.h"

#include <cstring>
#include <new>

#include "api/errors.h"
#include "api/notification_handling.h"
#include "api/sleep_recovery.h"
#include "os/lock_guard.h"
#include "device/device.h"
#include "registry/interface.h"
#include "registry/notification.h"
#include "registry/open_devices.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

CTL *g_pTL = nullptr;

void NullCallback(uint32_t, void *, int64_t, void *) {}

CTL::CTL() = default;

// An application that never closed leaves its opens to the unload, which
// closes them all as TLClose would (without its traces).
CTL::~CTL() {
  {
    CLockGuard lock(&m_Lock);
    while (m_nOpenCount != 0) {
      WithdrawOpen(m_nOpenCount == 1);
      Initialize(false);
    }
  }
  FinishClose();
  // No callback thread runs any more to arm a timer; a routine that runs
  // still finds the transport layer.
  CloseRecovery();
}

// Under the CTL lock: the devices leave the handle checks at once; FinishClose
// destroys them. The close counts as in progress from here to its end.
void CTL::LastCloseTeardown() {
  m_Closing = CloseInProgress();
  StopCallBackThread();
  for (const auto &item : m_Interfaces) item->WithdrawHandles();
  m_ClosedInterfaces.splice(m_ClosedInterfaces.end(), m_Interfaces);
  m_pErrors.reset();
}

void CTL::FinishClose() {
  std::list<std::shared_ptr<CInterface>> closed;
  CloseInProgress closing = NoCloseInProgress(); // ends after the devices
  {
    CLockGuard lock(&m_Lock);
    closed.swap(m_ClosedInterfaces);
    closing = std::move(m_Closing);
  }
  FinishCallBackThreads();
  StopRecovery();
  for (const auto &item : closed) item->DeleteDevices();
}

void CTL::Initialize(bool open) {
  CLockGuard lock(&m_Lock);
  if (open) {
    if (m_nOpenCount == 0) {
      m_pErrors = std::make_unique<CErrors>();
      FindOrCreateInterface("USB");
      if (StartRecovery()) StartCallBackThread(HandleNotification);
    }
    ++m_nOpenCount;
    return;
  }
  if (m_nOpenCount == 0) return;
  if (--m_nOpenCount == 0) LastCloseTeardown();
}

ZAR_STATUS CTL::Open() {
  CLockGuard lock(&m_Lock);
  ReclaimEndedProcesses();
  TraceMessage("ZAR=> Enter TLSetCallback hTL=0x%p\n", this);
  const ZAR_STATUS enrolled = SetCallback(NullCallback, nullptr);
  if (enrolled != ZAR_SUCCESS) return enrolled;
  try {
    Initialize(true);
  } catch (...) {
    WithdrawOpen(m_nOpenCount == 0);
    throw;
  }
  return ZAR_SUCCESS;
}

void CTL::Close() {
  CLockGuard lock(&m_Lock);
  TraceMessage("ZAR=> Enter TLRemoveCallback hTL=0x%p\n", this);
  if (m_nOpenCount == 0) return;
  WithdrawOpen(m_nOpenCount == 1);
  Initialize(false);
}

void CTL::WithdrawOpen(bool last) {
  CLockGuard lock(&m_CallbackLock);
  if (last) m_Callbacks.erase(NullCallback);
  UnregisterCallbackProcess();
}

bool CTL::IsValidHandle(const void *handle) {
  CLockGuard lock(&m_Lock);
  return handle == this && m_nOpenCount != 0;
}

std::list<std::shared_ptr<CDevice>> CTL::PinOpenDevices() {
  CLockGuard lock(&m_Lock);
  std::list<std::shared_ptr<CDevice>> devices;
  for (const auto &item : m_Interfaces) devices.splice(devices.end(), item->PinDevices());
  return devices;
}

std::shared_ptr<CInterface> CTL::FindOrCreateInterface(const std::string &name) {
  CLockGuard lock(&m_Lock);
  std::shared_ptr<CInterface> found;
  if (FindInterface(name.c_str(), &found)) return found;
  try {
    m_Interfaces.push_back(std::make_shared<CInterface>(name));
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return m_Interfaces.back();
}

bool CTL::FindInterface(const char *name, std::shared_ptr<CInterface> *pInterface) {
  CLockGuard lock(&m_Lock);
  for (const auto &item : m_Interfaces) {
    if (item->GetName() == name) {
      if (pInterface != nullptr) *pInterface = item;
      return true;
    }
  }
  return false;
}

uint32_t CTL::GetNumInterfaces() {
  CLockGuard lock(&m_Lock);
  return static_cast<uint32_t>(m_Interfaces.size());
}

ZAR_STATUS CTL::GetInterfaceName(uint32_t index, char *buffer, uint32_t size) {
  CLockGuard lock(&m_Lock);
  if (buffer == nullptr || index >= m_Interfaces.size()) return ZAR_ERR_INVALID_PARAMETER;
  auto item = m_Interfaces.begin();
  std::advance(item, index);
  const std::string name = (*item)->GetName();
  if (size <= name.size()) return ZAR_ERR_INVALID_PARAMETER;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return ZAR_SUCCESS;
}

const char *CTL::GetErrorText(int32_t code) {
  CLockGuard lock(&m_Lock);
  return m_pErrors ? m_pErrors->GetText(code) : nullptr;
}

ZAR_STATUS CTL::SetCallback(ZAR_CALLBACK pfn, void *pContext) {
  // A null function could only ever be skipped at delivery; it is refused.
  if (pfn == nullptr) return ZAR_ERR_INVALID_PARAMETER;
  CLockGuard lock(&m_CallbackLock);
  if (!RegisterCallbackProcess()) return ZAR_ERR_GENERAL;
  try {
    m_Callbacks[pfn] = pContext;
  } catch (...) {
    UnregisterCallbackProcess();
    throw;
  }
  return ZAR_SUCCESS;
}

ZAR_STATUS CTL::RemoveCallback(ZAR_CALLBACK pfn) {
  CLockGuard lock(&m_CallbackLock);
  const auto found = m_Callbacks.find(pfn);
  if (found == m_Callbacks.end()) return ZAR_ERR_NO_DATA;
  m_Callbacks.erase(found);
  return UnregisterCallbackProcess() ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
}

int32_t CTL::FireCallbacks(uint32_t event, void *pName, int64_t size) {
  std::map<ZAR_CALLBACK, void *> callbacks;
  {
    CLockGuard lock(&m_CallbackLock);
    callbacks = m_Callbacks;
  }
  for (const auto &[pfn, pContext] : callbacks) pfn(event, pName, size, pContext);
  return 0;
}

} // namespace oxa::ZarUsb
