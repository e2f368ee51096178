#include "os/low_level_file.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace oxa::ZarUsb::os {

LowLevelFile::~LowLevelFile() { Close(); }

int LowLevelFile::Open(const wchar_t *path, int flags, int shareMode, int permission) noexcept {
  Close();
  if (path == nullptr) return EINVAL;
  int fd = -1;
  const errno_t error = _wsopen_s(&fd, path, flags, shareMode, permission);
  if (error != 0) return error;
  m_fd = fd;
  return 0;
}

int64_t LowLevelFile::Tell() const noexcept {
  if (m_fd == -1) return -1;
  return _telli64(m_fd);
}

int64_t LowLevelFile::Write(const void *data, uint32_t size) const noexcept {
  if (m_fd == -1) return -1;
  return _write(m_fd, data, size);
}

void LowLevelFile::Close() noexcept {
  if (m_fd != -1) {
    _close(m_fd);
    m_fd = -1;
  }
}

} // namespace oxa::ZarUsb::os
