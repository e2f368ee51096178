#include "os/system_message.h"

#include <sys/socket.h>

#include "os/posix/scoped_fd.h"
#include "os/posix/socket_endpoint.h"

namespace oxa::ZarUsb::os {

bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept {
  SocketEndpoint endpoint;
  if (FindSocketEndpoint(kSystemMonitorWindowClass, &endpoint) != 0) return false;
  ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const SystemMessage datagram{message, 0, wParam};
  return ::sendto(fd.Get(), &datagram, sizeof datagram, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&endpoint.address),
                  sizeof endpoint.address) == sizeof datagram;
}

} // namespace oxa::ZarUsb::os
