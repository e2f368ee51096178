#include "os/message_pipe.h"

#include <windows.h>

#include "os/namespace.h"
#include "os/win32/scoped_handle.h"

namespace oxa::ZarUsb::os {

namespace {

constexpr DWORD kPipeBufferSize = 512;

std::string PipePath(const std::string &name) { return "\\\\.\\pipe\\" + NamespacedName(name); }

// A client's connection to the pipe at that path: waits up to kPipeBusyWaits
// times kPipeBusyWaitMs while the pipe is busy.
struct ClientEnd {
  ScopedHandle pipe;
  DWORD error = 0;
};

ClientEnd Connection(const std::string &path) {
  ClientEnd client;
  for (uint32_t wait = 0;; ++wait) {
    client.pipe.Reset(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    client.error = client.pipe ? 0 : GetLastError();
    if (client.error == 0) return client;
    if (client.error != ERROR_PIPE_BUSY || wait == kPipeBusyWaits) return client;
    if (!WaitNamedPipeA(path.c_str(), kPipeBusyWaitMs)) {
      client.error = GetLastError();
      return client;
    }
  }
}

} // namespace

uint32_t MessagePipeServer::Create(const std::string &name) noexcept {
  Close();
  try {
    m_path = PipePath(name);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return Renew();
}

// A client that wrote and closed before the wait began leaves its message
// in the instance (ERROR_NO_DATA): it counts as connected, so the message is
// read rather than lost.
bool MessagePipeServer::Connect() noexcept {
  if (m_native == -1) return false;
  if (ConnectNamedPipe(reinterpret_cast<HANDLE>(m_native), nullptr)) return true;
  const DWORD error = GetLastError();
  return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

uint32_t MessagePipeServer::Read(void *buffer, uint32_t capacity, uint32_t *bytes) noexcept {
  *bytes = 0;
  if (m_native == -1) return kErrorBrokenPipe;
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(m_native), buffer, capacity, &read, nullptr)) return GetLastError();
  *bytes = read;
  return 0;
}

// A new instance for every client: instances are never disconnected for
// reuse. The next instance exists before the last one closes, so a client
// never finds the pipe missing in between (it finds it busy, and waits).
uint32_t MessagePipeServer::Renew() noexcept {
  const HANDLE instance =
      CreateNamedPipeA(m_path.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                       PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
  const DWORD error = instance == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  Close();
  if (error != 0) return error;
  m_native = reinterpret_cast<intptr_t>(instance);
  return 0;
}

MessagePipeServer::~MessagePipeServer() { Close(); }

uint32_t MessagePipeServer::Wake() noexcept { return Connection(m_path).error; }

void MessagePipeServer::Close() noexcept {
  if (m_native != -1) CloseHandle(reinterpret_cast<HANDLE>(m_native));
  m_native = -1;
}

uint32_t WritePipeMessage(const std::string &name, const void *data, uint32_t size) noexcept {
  std::string path;
  try {
    path = PipePath(name);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const ClientEnd client = Connection(path);
  if (client.error != 0) return client.error;
  const ScopedHandle &pipe = client.pipe;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(pipe.Get(), data, size, &written, nullptr)) return GetLastError();
  return written == size ? 0 : ERROR_MORE_DATA;
}

} // namespace oxa::ZarUsb::os
