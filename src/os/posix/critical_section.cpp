#include "os/critical_section.h"

#include <new>
#include <pthread.h>

namespace oxa::ZarUsb::os {

static_assert(sizeof(pthread_mutex_t) <= CriticalSection::kStorageSize);
static_assert(alignof(pthread_mutex_t) <= 8);

namespace {
pthread_mutex_t *Native(unsigned char *storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t *>(storage));
}
} // namespace

CriticalSection::CriticalSection() noexcept {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (m_storage) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(Native(m_storage)); }

void CriticalSection::Enter() noexcept { pthread_mutex_lock(Native(m_storage)); }

void CriticalSection::Leave() noexcept { pthread_mutex_unlock(Native(m_storage)); }

} // namespace oxa::ZarUsb::os
