#include "os/low_level_file.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace oxa::ZarUsb::os {

namespace {

// The Windows C runtime's flag values, which callers use on every platform.
constexpr int kWriteOnly = 0x0001, kReadWrite = 0x0002, kAppend = 0x0008,
              kCreate = 0x0100, kTruncate = 0x0200, kExclusive = 0x0400;

int PosixFlags(int crtFlags) {
  int flags = (crtFlags & kReadWrite) ? O_RDWR : (crtFlags & kWriteOnly) ? O_WRONLY : O_RDONLY;
  if (crtFlags & kAppend) flags |= O_APPEND;
  if (crtFlags & kCreate) flags |= O_CREAT;
  if (crtFlags & kTruncate) flags |= O_TRUNC;
  if (crtFlags & kExclusive) flags |= O_EXCL;
  return flags | O_CLOEXEC;
}

// errno values that differ between glibc and the Windows C runtime.
int WindowsErrno(int error) {
  switch (error) {
  case ENAMETOOLONG: return 38;
  case ELOOP: return 114;
  case EDEADLK: return 36;
  default: return error <= 34 ? error : 22; // 1-34 agree; the rest is EINVAL
  }
}

bool AppendUtf8(std::string &out, wchar_t wc) {
  const auto c = static_cast<uint32_t>(wc);
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    return false;
  }
  return true;
}

} // namespace

LowLevelFile::~LowLevelFile() { Close(); }

int LowLevelFile::Open(const wchar_t *path, int flags, int /*shareMode*/, int permission) noexcept {
  Close();
  if (path == nullptr) return 22;
  std::string utf8;
  try {
    for (const wchar_t *p = path; *p != L'\0'; ++p)
      if (!AppendUtf8(utf8, *p)) return 22;
  } catch (...) {
    return 12; // ENOMEM
  }
  // 0x100 read / 0x80 write are the owner's rights; the umask applies as usual.
  const mode_t mode = ((permission & 0x100) ? 0444 : 0) | ((permission & 0x80) ? 0222 : 0);
  const int fd = ::open(utf8.c_str(), PosixFlags(flags), mode);
  if (fd == -1) return WindowsErrno(errno);
  m_fd = fd;
  return 0;
}

int64_t LowLevelFile::Tell() const noexcept {
  if (m_fd == -1) return -1;
  return ::lseek(m_fd, 0, SEEK_CUR);
}

int64_t LowLevelFile::Write(const void *data, uint32_t size) const noexcept {
  if (m_fd == -1) return -1;
  return ::write(m_fd, data, size);
}

void LowLevelFile::Close() noexcept {
  if (m_fd != -1) {
    ::close(m_fd);
    m_fd = -1;
  }
}

} // namespace oxa::ZarUsb::os
