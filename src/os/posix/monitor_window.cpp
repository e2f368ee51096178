#include "os/monitor_window.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "os/event.h"
#include "os/posix/socket_endpoint.h"
#include "os/posix/system_error.h"
#include "os/system_message.h"

namespace oxa::ZarUsb::os {

MonitorWindow::~MonitorWindow() { Destroy(); }

uint32_t MonitorWindow::Create(Handler handler, CreateHandler onCreate, void *context) noexcept {
  Destroy();
  SocketEndpoint endpoint;
  if (const uint32_t error = FindSocketEndpoint(kSystemMonitorWindowClass, &endpoint); error != 0) return error;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastWindowsError();
  // Only the holder of the monitor role creates the endpoint: an existing
  // one was left by a holder that died.
  ::unlink(endpoint.path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr *>(&endpoint.address), sizeof endpoint.address) != 0) {
    const uint32_t error = LastWindowsError();
    ::close(fd);
    return error;
  }
  m_native = fd;
  m_handler = handler;
  m_context = context;
  if (!onCreate(context)) {
    Destroy();
    return kCreationRefused;
  }
  return 0;
}

void MonitorWindow::Run(Event &stop) noexcept {
  if (m_native == -1) return;
  pollfd fds[2] = {{static_cast<int>(m_native), POLLIN, 0}, {static_cast<int>(stop.Native()), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) return;
    if (fds[0].revents & POLLIN) {
      SystemMessage message{};
      if (::recv(static_cast<int>(m_native), &message, sizeof message, MSG_DONTWAIT) == sizeof message)
        m_handler(m_context, message.message, message.wParam);
    }
  }
}

void MonitorWindow::Destroy() noexcept {
  if (m_native == -1) return;
  // The path the endpoint was bound to, as the socket has it: looking it up
  // again would make the namespace folder anew when a program removed it on
  // its way out before the library unloads.
  sockaddr_un bound{};
  socklen_t size = sizeof bound;
  const bool named = ::getsockname(static_cast<int>(m_native), reinterpret_cast<sockaddr *>(&bound), &size) == 0 &&
                     size > offsetof(sockaddr_un, sun_path) && bound.sun_path[0] != '\0';
  ::close(static_cast<int>(m_native));
  if (named) ::unlink(bound.sun_path);
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
