#include "os/system_message.h"

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include "os/namespace.h"
#include "os/posix/scoped_fd.h"

namespace oxa::ZarUsb::os {

bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept {
  const std::string path = NamespacedName(kSystemMonitorWindowClass);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const SystemMessage datagram{message, 0, wParam};
  return ::sendto(fd.Get(), &datagram, sizeof datagram, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&address),
                  sizeof address) == sizeof datagram;
}

} // namespace oxa::ZarUsb::os
