#include "os/critical_section.h"

#include <new>
#include <windows.h>

namespace oxa::ZarUsb::os {

static_assert(sizeof(CRITICAL_SECTION) <= CriticalSection::kStorageSize);
static_assert(alignof(CRITICAL_SECTION) <= 8);

namespace {
CRITICAL_SECTION *Native(unsigned char *storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION *>(storage));
}
} // namespace

CriticalSection::CriticalSection() noexcept {
  InitializeCriticalSection(new (m_storage) CRITICAL_SECTION);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(Native(m_storage)); }

void CriticalSection::Enter() noexcept { EnterCriticalSection(Native(m_storage)); }

void CriticalSection::Leave() noexcept { LeaveCriticalSection(Native(m_storage)); }

} // namespace oxa::ZarUsb::os
