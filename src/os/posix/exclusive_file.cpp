#include "os/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "os/namespace.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

ExclusiveFile::~ExclusiveFile() { Close(); }

uint32_t ExclusiveFile::Open(const std::string &name) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return 5;
  // flock belongs to the open file description: a second open in the same
  // process is refused just as one in another process.
  ScopedFd fd(::open((folder + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return LastWindowsError();
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return LastWindowsError();
  m_native = fd.Release();
  return 0;
}

void ExclusiveFile::Close() noexcept {
  if (m_native != -1) ::close(static_cast<int>(m_native));
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
