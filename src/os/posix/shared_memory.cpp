#include "os/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "os/namespace.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

SharedMemory::~SharedMemory() { Close(); }

uint32_t SharedMemory::Open(const std::string &name, size_t size, bool *alreadyExisted) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return 5;
  ScopedFd fd(::open((folder + "/" + name + ".shm").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return LastWindowsError();
  // Alone (the exclusive lock is free): start from zeros, then share.
  const bool alone = ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
  if (alone) {
    if (::ftruncate(fd.Get(), 0) != 0 || ::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0)
      return LastWindowsError();
  }
  if (::flock(fd.Get(), LOCK_SH) != 0) return LastWindowsError();
  void *data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (data == MAP_FAILED) return LastWindowsError();
  m_data = data;
  m_size = size;
  m_native = fd.Release();
  if (alreadyExisted != nullptr) *alreadyExisted = !alone;
  return 0;
}

void SharedMemory::Close() noexcept {
  if (m_data != nullptr) ::munmap(m_data, m_size);
  if (m_native != -1) ::close(static_cast<int>(m_native)); // drops the shared lock
  m_data = nullptr;
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
