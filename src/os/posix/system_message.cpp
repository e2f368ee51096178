#include "os/system_message.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>

#include "os/posix/scoped_fd.h"
#include "os/posix/socket_endpoint.h"

namespace oxa::ZarUsb::os {

namespace {

// The endpoint queues only a few datagrams (net.unix.max_dgram_qlen, 10 by
// default) where a window's queue holds thousands of messages. When it is
// full, a device change adds nothing: the rescans queued before it run after
// the change and see it. Any other message (a suspend, a resume) waits up to
// this long for room instead of being dropped.
constexpr suseconds_t kRoomWaitMs = 10000;

} // namespace

bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept {
  SocketEndpoint endpoint;
  if (FindSocketEndpoint(kSystemMonitorWindowClass, &endpoint) != 0) return false;
  ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const SystemMessage datagram{message, 0, wParam};
  const auto send = [&](int flags) {
    ssize_t sent;
    do {
      sent = ::sendto(fd.Get(), &datagram, sizeof datagram, flags, reinterpret_cast<sockaddr *>(&endpoint.address),
                      sizeof endpoint.address);
    } while (sent < 0 && errno == EINTR);
    return sent == sizeof datagram;
  };
  if (send(MSG_DONTWAIT)) return true;
  if (errno != EAGAIN) return false;
  if (message == kWmDeviceChange) return true;
  timeval roomWait{kRoomWaitMs / 1000, (kRoomWaitMs % 1000) * 1000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &roomWait, sizeof roomWait);
  return send(0);
}

} // namespace oxa::ZarUsb::os
