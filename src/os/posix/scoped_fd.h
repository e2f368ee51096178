#pragma once
// Owns one POSIX file descriptor and closes it when it goes.

#include <unistd.h>
#include <utility>

namespace oxa::ZarUsb::os {

class ScopedFd {
public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : m_fd(fd) {}
  ~ScopedFd() { Reset(); }
  ScopedFd(ScopedFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  ScopedFd &operator=(ScopedFd &&other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  ScopedFd(const ScopedFd &) = delete;
  ScopedFd &operator=(const ScopedFd &) = delete;

  int Get() const { return m_fd; }
  bool IsValid() const { return m_fd >= 0; }
  explicit operator bool() const { return IsValid(); }
  // Gives up ownership without closing.
  int Release() { return std::exchange(m_fd, -1); }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

private:
  int m_fd = -1;
};

} // namespace oxa::ZarUsb::os
