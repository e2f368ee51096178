#include "os/monitor_token.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "os/event.h"
#include "os/namespace.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

namespace {
// How often a waiting process looks whether the role is free.
constexpr uint32_t kPollMs = 20;
} // namespace

MonitorToken::~MonitorToken() { Close(); }

uint32_t MonitorToken::Open(const std::string &name) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return 5;
  const int fd = ::open((folder + "/" + name + ".token").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return LastWindowsError();
  m_native = fd;
  return 0;
}

bool MonitorToken::TryTake() noexcept {
  return m_native != -1 && ::flock(static_cast<int>(m_native), LOCK_EX | LOCK_NB) == 0;
}

bool MonitorToken::Take(Event &stop) noexcept {
  if (m_native == -1) return false;
  for (;;) {
    if (TryTake()) return true;
    if (stop.Wait(kPollMs)) return false;
  }
}

void MonitorToken::Release() noexcept {
  if (m_native != -1) ::flock(static_cast<int>(m_native), LOCK_UN);
}

void MonitorToken::Close() noexcept {
  if (m_native != -1) ::close(static_cast<int>(m_native));
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
