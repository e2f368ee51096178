#include "os/message_pipe.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "os/posix/scoped_fd.h"
#include "os/posix/socket_endpoint.h"
#include "os/posix/system_error.h"

namespace oxa::ZarUsb::os {

namespace {

constexpr int kBacklog = 64;
constexpr uint32_t kErrorPipeBusy = 231;

uint64_t EndpointId(const std::string &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
}

} // namespace

uint32_t MessagePipeServer::Create(const std::string &name) noexcept {
  Close();
  SocketEndpoint endpoint;
  if (const uint32_t error = FindSocketEndpoint(name, &endpoint); error != 0) return error;
  m_path = std::move(endpoint.path);
  ScopedFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) return LastWindowsError();
  // A live owner of this name would be this very process: an existing
  // endpoint was left by an ended process whose id has come round again.
  ::unlink(m_path.c_str());
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr *>(&endpoint.address), sizeof endpoint.address) != 0 ||
      ::listen(fd.Get(), kBacklog) != 0)
    return LastWindowsError();
  m_endpointId = EndpointId(m_path);
  if (m_wake == -1) {
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake == -1) return LastWindowsError();
  }
  m_native = fd.Release();
  return 0;
}

MessagePipeServer::~MessagePipeServer() {
  Close();
  if (m_wake != -1) ::close(static_cast<int>(m_wake));
}

uint32_t MessagePipeServer::Wake() noexcept {
  const uint64_t one = 1;
  return ::write(static_cast<int>(m_wake), &one, sizeof one) == sizeof one ? 0 : LastWindowsError();
}

bool MessagePipeServer::Connect() noexcept {
  if (m_native == -1) return false;
  pollfd fds[2] = {{static_cast<int>(m_native), POLLIN, 0}, {static_cast<int>(m_wake), POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0)
    if (errno != EINTR) return false;
  uint64_t wakes;
  if (::read(static_cast<int>(m_wake), &wakes, sizeof wakes) == sizeof wakes) return false;
  int connection;
  do {
    connection = ::accept4(static_cast<int>(m_native), nullptr, nullptr, SOCK_CLOEXEC);
  } while (connection < 0 && errno == EINTR);
  if (connection < 0) return false;
  m_connection = connection;
  return true;
}

uint32_t MessagePipeServer::Read(void *buffer, uint32_t capacity, uint32_t *bytes) noexcept {
  *bytes = 0;
  if (m_connection == -1) return kErrorBrokenPipe;
  iovec part{buffer, capacity};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t received;
  do {
    received = ::recvmsg(static_cast<int>(m_connection), &message, 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return LastWindowsError();
  if (received == 0) return kErrorBrokenPipe;
  if ((message.msg_flags & MSG_TRUNC) != 0) return kErrorMoreData;
  *bytes = static_cast<uint32_t>(received);
  return 0;
}

uint32_t MessagePipeServer::Renew() noexcept {
  if (m_connection != -1) ::close(static_cast<int>(m_connection));
  m_connection = -1;
  return m_native != -1 ? 0 : kErrorBrokenPipe;
}

void MessagePipeServer::Close() noexcept {
  Renew();
  if (m_native == -1) return;
  ::close(static_cast<int>(m_native));
  m_native = -1;
  if (m_endpointId != 0 && EndpointId(m_path) == m_endpointId) ::unlink(m_path.c_str());
  m_endpointId = 0;
}

uint32_t WritePipeMessage(const std::string &name, const void *data, uint32_t size) noexcept {
  SocketEndpoint endpoint;
  if (const uint32_t error = FindSocketEndpoint(name, &endpoint); error != 0) return error;
  ScopedFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) return LastWindowsError();
  // A full backlog is a busy pipe: the connect waits up to this long for room.
  timeval busyWait{0, static_cast<suseconds_t>(kPipeBusyWaitMs) * 1000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &busyWait, sizeof busyWait);
  int connected;
  do {
    connected = ::connect(fd.Get(), reinterpret_cast<sockaddr *>(&endpoint.address), sizeof endpoint.address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) {
    if (errno == EAGAIN) return kErrorPipeBusy;
    // An endpoint nobody listens on any more: its owner has ended.
    if (errno == ECONNREFUSED) return 2; // ERROR_FILE_NOT_FOUND
    return LastWindowsError();
  }
  const ssize_t sent = ::send(fd.Get(), data, size, MSG_NOSIGNAL);
  if (sent < 0) return LastWindowsError();
  return static_cast<size_t>(sent) == size ? 0 : kErrorMoreData;
}

} // namespace oxa::ZarUsb::os
