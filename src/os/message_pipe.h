#pragma once
// The message pipe of a process: other processes of the namespace each
// connect, write one message and go; the owner reads one message per
// connection, its boundaries kept.
//
// Windows: a message-mode named pipe "\\.\pipe\<name>" (with the namespace
// prefix of the other named objects), inbound, 512-byte buffers, one
// instance at a time: the owner makes a new instance after each message, and
// a client that finds the instance taken waits for it. POSIX: a
// SOCK_SEQPACKET socket of that name in the namespace folder; one accepted
// connection stands for one instance, and connections made while the owner
// is busy queue in the listen backlog instead of waiting.

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kPipeBusyWaitMs = 200;
constexpr uint32_t kPipeBusyWaits = 10;

// The server end. Create, Connect, Read, Renew and Close belong to one
// thread, the owner's; none of them is safe against another thread using
// the same object. Wake alone may be called from any thread, from the end of
// the owner's successful Create until the object is destroyed (the owner
// must not Create again meanwhile).
class MessagePipeServer {
public:
  MessagePipeServer() = default;
  ~MessagePipeServer();
  MessagePipeServer(const MessagePipeServer &) = delete;
  MessagePipeServer &operator=(const MessagePipeServer &) = delete;

  // Makes the pipe of that name and its first instance. An endpoint of that
  // name that an ended process left (its id since given to this process) is
  // replaced. 0 or the system error.
  uint32_t Create(const std::string &name) noexcept;
  // Blocks without limit until a client has connected to the instance; true
  // then. False when the connection failed (the instance is then of no use:
  // Renew it).
  bool Connect() noexcept;
  // Reads the connected client's one message, at most `capacity` bytes.
  // Blocks until the client has written or gone. 0 with *bytes set; a longer
  // message fails with kErrorMoreData, a client gone without writing with
  // kErrorBrokenPipe; else the system error.
  uint32_t Read(void *buffer, uint32_t capacity, uint32_t *bytes) noexcept;
  // Ends the owner's wait in Connect: the one blocked now, or else its next
  // one. Never depends on the pipe's name still leading to this pipe (POSIX:
  // the endpoint file may have been removed or replaced). POSIX: Connect
  // polls an eventfd beside the listening socket and returns false; never
  // blocks. Windows: a pipe's name lasts as long as its instances, so a
  // connection to it is made and closed at once, which Connect takes for a
  // client and Read finds broken; waits for a busy instance as
  // WritePipeMessage does. 0 or the system error.
  uint32_t Wake() noexcept;
  // Ends the current connection and makes the instance for the next client.
  // 0 or the system error (the pipe is then closed).
  uint32_t Renew() noexcept;
  // Closes the pipe. POSIX: removes the endpoint, unless another process
  // (or a later server of this one) has replaced it in the meantime.
  void Close() noexcept;

private:
  std::string m_path;
  intptr_t m_native = -1;     // pipe instance HANDLE, or the listening socket
  intptr_t m_connection = -1; // POSIX: the accepted connection
  uint64_t m_endpointId = 0;  // POSIX: the endpoint file's inode
  intptr_t m_wake = -1;       // POSIX: the eventfd of Wake
};

// Connects to the pipe of that name in this namespace and writes one
// message of `size` bytes. When the pipe is busy it waits up to
// kPipeBusyWaitMs for it and tries again, at most kPipeBusyWaits times (a
// reader that never frees its pipe cannot hold the writer for ever). A pipe
// whose owner has ended fails at once. Any thread. 0 when the message was
// written, else the system error (2 when there is no such pipe, 231 when it
// stayed busy).
uint32_t WritePipeMessage(const std::string &name, const void *data, uint32_t size) noexcept;

} // namespace oxa::ZarUsb::os
