#include "api/ctl.h"

#include <cstring>

#include "api/errors.h"
#include "api/lock_guard.h"
#include "registry/interface.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

CTL *g_pTL = nullptr;

void NullCallback(uint32_t, void *, int64_t, void *) {}

CTL::CTL() = default;

CTL::~CTL() {
  CLockGuard lock(&m_Lock);
  if (m_nOpenCount != 0) LastCloseTeardown();
  m_nOpenCount = 0;
}

void CTL::LastCloseTeardown() {
  DeleteInterfaces();
  m_pErrors.reset();
}

void CTL::Initialize(bool open) {
  CLockGuard lock(&m_Lock);
  if (open) {
    if (m_nOpenCount == 0) {
      m_pErrors = std::make_unique<CErrors>();
      FindOrCreateInterface("USB");
    }
    ++m_nOpenCount;
    return;
  }
  if (m_nOpenCount == 0) return;
  if (--m_nOpenCount == 0) LastCloseTeardown();
}

bool CTL::IsValidHandle(const void *handle) {
  CLockGuard lock(&m_Lock);
  return handle == this && m_nOpenCount != 0;
}

bool CTL::IsDeviceHandle(const void *handle) {
  CLockGuard lock(&m_Lock);
  for (const auto &item : m_Interfaces)
    if (item->HasDevice(handle)) return true;
  return false;
}

bool CTL::IsDataStreamHandle(const void *handle) {
  CLockGuard lock(&m_Lock);
  for (const auto &item : m_Interfaces)
    if (item->HasDataStream(handle)) return true;
  return false;
}

CInterface *CTL::FindOrCreateInterface(const std::string &name) {
  CLockGuard lock(&m_Lock);
  CInterface *found = nullptr;
  if (FindInterface(name.c_str(), &found)) return found;
  auto created = std::unique_ptr<CInterface>(new (std::nothrow) CInterface(name));
  if (!created) return nullptr;
  m_Interfaces.push_back(std::move(created));
  return m_Interfaces.back().get();
}

bool CTL::FindInterface(const char *name, CInterface **ppInterface) {
  CLockGuard lock(&m_Lock);
  for (const auto &item : m_Interfaces) {
    if (item->GetName() == name) {
      if (ppInterface != nullptr) *ppInterface = item.get();
      return true;
    }
  }
  return false;
}

void CTL::DeleteInterfaces() {
  CLockGuard lock(&m_Lock);
  m_Interfaces.clear();
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
  const std::string &name = (*item)->GetName();
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

} // namespace oxa::ZarUsb
