#include "os/named_mutex.h"

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "os/namespace.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

namespace {

constexpr uint32_t kReady = 0x5A4D5458; // "ZMTX": the mutex was initialised

struct SharedMutex {
  pthread_mutex_t mutex;
  uint32_t ready;
};

SharedMutex *Shared(void *native) { return static_cast<SharedMutex *>(native); }

} // namespace

NamedMutex::~NamedMutex() { Close(); }

uint32_t NamedMutex::Open(const std::string &name, bool *alreadyExisted) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return 5;
  ScopedFd fd(::open((folder + "/" + name + ".mutex").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return LastWindowsError();
  // The file lock orders the first initialisation against other openers.
  if (::flock(fd.Get(), LOCK_EX) != 0) return LastWindowsError();
  uint32_t error = 0;
  void *mapped = MAP_FAILED;
  if (::ftruncate(fd.Get(), sizeof(SharedMutex)) != 0 ||
      (mapped = ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0)) ==
          MAP_FAILED) {
    error = LastWindowsError();
  } else {
    SharedMutex *shared = Shared(mapped);
    const bool existed = shared->ready == kReady;
    if (!existed) {
      pthread_mutexattr_t attr;
      pthread_mutexattr_init(&attr);
      pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
      pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
      pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
      pthread_mutex_init(&shared->mutex, &attr);
      pthread_mutexattr_destroy(&attr);
      shared->ready = kReady;
    }
    if (alreadyExisted != nullptr) *alreadyExisted = existed;
    m_native = shared;
  }
  ::flock(fd.Get(), LOCK_UN);
  return error;
}

NamedMutex::Lock NamedMutex::Acquire() noexcept {
  if (m_native == nullptr) return Lock::Failed;
  const int result = pthread_mutex_lock(&Shared(m_native)->mutex);
  if (result == 0) return Lock::Acquired;
  if (result == EOWNERDEAD) {
    pthread_mutex_consistent(&Shared(m_native)->mutex);
    return Lock::Abandoned;
  }
  return Lock::Failed;
}

bool NamedMutex::Release() noexcept {
  return m_native != nullptr && pthread_mutex_unlock(&Shared(m_native)->mutex) == 0;
}

void NamedMutex::Close() noexcept {
  if (m_native != nullptr) ::munmap(m_native, sizeof(SharedMutex));
  m_native = nullptr;
}

} // namespace oxa::ZarUsb::os
