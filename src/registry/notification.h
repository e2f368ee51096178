#pragma once
// Plug, unplug and power events travel from the monitor owner to every
// enrolled process: one message per event on each process's callback pipe,
// which the process's callback thread reads and hands to its handler.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace oxa::ZarUsb {

// One event on the pipe, 268 bytes, little-endian.
struct NotificationMessage {
  uint32_t dwEventCode;
  int32_t nIndex;     // table index of the camera; -1 for power events
  char szName[260];   // the camera's friendly name field, whole
};
static_assert(sizeof(NotificationMessage) == 268);
static_assert(offsetof(NotificationMessage, nIndex) == 4);
static_assert(offsetof(NotificationMessage, szName) == 8);

// The message of an event: the 260 bytes at `name`, or zeroes without one.
// Inline, as the pipe's name below: programs that write to the pipe from
// the side (tests) need them without the library's code.
inline NotificationMessage MakeNotificationMessage(uint32_t event, int32_t index, const char *name) {
  NotificationMessage message{};
  message.dwEventCode = event;
  message.nIndex = index;
  if (name != nullptr) std::memcpy(message.szName, name, sizeof message.szName);
  return message;
}

// The name of a process's callback pipe: "Callback_" and the id in eight
// upper-case hexadecimal digits.
inline std::string CallbackPipeName(uint32_t processId) {
  char name[32];
  std::snprintf(name, sizeof name, "Callback_%.8X", processId);
  return name;
}

// Writes the event (with the table index and the camera's 260-byte name
// field, or none) to the pipe of every process enrolled in the table, in
// slot order. Holds the table lock throughout, so broadcasts never
// interleave. A process whose pipe is gone is skipped at once; a busy one
// is waited for as the pipe does.
void BroadcastEvent(uint32_t event, int32_t index, const char *name);

// Writes one message to the named pipe: 1 when written, 0 otherwise.
int SendPipeMessage(const std::string &pipeName, const void *data, uint32_t size);

// Called on the callback thread for each 268-byte message, one at a time.
using NotificationHandler = void (*)(const NotificationMessage &message);

// Starts this process's callback thread and returns once its pipe exists,
// so that every broadcast from then on reaches it. A thread told to stop
// that has not ended yet is kept on instead. True when a thread serves the
// pipe. Messages of any size other than 268 bytes are dropped.
bool StartCallBackThread(NotificationHandler handler);
// Tells the callback thread to end and wakes its pipe reader through the
// pipe object, whether or not the pipe's name still leads to it. Messages
// received and not yet handled are dropped, and so is any that arrives from
// now on; the thread ends once the message it may be handling is done.
// Does not wait for it
// (beyond the pipe's wait when it is busy, on Windows), so it may be called
// under the transport layer's lock. 1 when no thread ran or the reader was
// woken, else 0.
int StopCallBackThread();
// Waits until a callback thread told to end has ended (or been kept on by
// a start). Returns at once on the callback thread itself (a callback that
// closed the transport layer): that thread ends after the callback. Call it
// holding no library lock, since a callback running on the thread may call
// back into the library.
void FinishCallBackThreads();

} // namespace oxa::ZarUsb
