#include "os/named_event.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "os/event.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/socket_endpoint.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

namespace {

// One datagram to the endpoint. A full queue already holds a set that the
// next wait takes, and a refused one has no owner: neither waits.
bool SendSet(int fd, const SocketEndpoint &endpoint) {
  const char set = 1;
  const auto sent = ::sendto(fd, &set, sizeof set, MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr *>(&endpoint.address), sizeof endpoint.address);
  return sent == sizeof set || errno == EAGAIN;
}

} // namespace

NamedEvent::~NamedEvent() { Close(); }

uint32_t NamedEvent::Create(const std::string &name) noexcept {
  Close();
  SocketEndpoint endpoint;
  if (const uint32_t error = FindSocketEndpoint(name, &endpoint); error != 0) return error;
  ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return LastWindowsError();
  ::unlink(endpoint.path.c_str()); // left by an owner that died
  if (::bind(fd.Get(), reinterpret_cast<sockaddr *>(&endpoint.address), sizeof endpoint.address) != 0)
    return LastWindowsError();
  try {
    m_name = name;
  } catch (...) {
    ::unlink(endpoint.path.c_str());
    return 8;
  }
  m_native = fd.Release();
  return 0;
}

void NamedEvent::Close() noexcept {
  if (m_native == -1) return;
  ::close(static_cast<int>(m_native));
  m_native = -1;
  SocketEndpoint endpoint;
  if (FindSocketEndpoint(m_name, &endpoint) == 0) ::unlink(endpoint.path.c_str());
}

void NamedEvent::Set() noexcept {
  SocketEndpoint endpoint;
  if (m_native != -1 && FindSocketEndpoint(m_name, &endpoint) == 0) SendSet(static_cast<int>(m_native), endpoint);
}

bool NamedEvent::Wait(uint32_t milliseconds) noexcept {
  if (m_native == -1) return false;
  const int fd = static_cast<int>(m_native);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int timeout = -1;
    if (milliseconds != Event::kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (wait.revents & POLLIN) == 0) return false;
    // Every set so far is taken by this wait.
    char sets[64];
    while (::recv(fd, sets, sizeof sets, MSG_DONTWAIT) > 0) {
    }
    return true;
  }
}

bool NamedEvent::SetByName(const std::string &name) noexcept {
  SocketEndpoint endpoint;
  if (FindSocketEndpoint(name, &endpoint) != 0) return false;
  ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return fd && SendSet(fd.Get(), endpoint);
}

} // namespace oxa::ZarUsb::os
