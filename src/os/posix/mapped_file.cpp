#include "os/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "os/namespace.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

MappedFile::~MappedFile() { Close(); }

uint32_t MappedFile::Open(const std::string &name, size_t size, bool *created) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return 5;
  const std::string path = folder + "/" + name;
  ScopedFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  const bool isNew = fd.IsValid();
  if (!isNew) fd.Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return LastWindowsError();
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return LastWindowsError();
  if (static_cast<size_t>(info.st_size) < size && ::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0)
    return LastWindowsError();
  void *data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (data == MAP_FAILED) return LastWindowsError();
  m_data = data;
  m_size = size;
  if (created != nullptr) *created = isNew;
  return 0;
}

void MappedFile::Close() noexcept {
  if (m_data != nullptr) ::munmap(m_data, m_size);
  m_data = nullptr;
  m_size = 0;
}

} // namespace oxa::ZarUsb::os
