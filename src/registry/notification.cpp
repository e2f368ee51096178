#include "registry/notification.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "os/event.h"
#include "os/message_pipe.h"
#include "os/system_info.h"
#include "os/thread.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

namespace {

constexpr uint32_t kReadCapacity = 512;

// One run of the callback thread. Each run has its own flag, so that a run
// still finishing a callback after it was told to stop never takes up the
// flag of the run that replaced it.
struct CallbackThread {
  NotificationHandler handler = nullptr;
  std::string pipeName;
  std::atomic<bool> running{true};
  std::atomic<uint32_t> threadId{0};
  std::unique_ptr<os::Event> ready = os::Event::Create(true);
  bool serving = false; // written by the thread before `ready`
  os::Thread thread;
};

// The runs not yet waited for; the last one is current while its flag is
// set. Never destroyed: a run may outlive static destruction at exit.
struct CallbackThreads {
  std::mutex lock;
  std::vector<std::unique_ptr<CallbackThread>> runs;
};

CallbackThreads &Threads() {
  static auto *threads = new CallbackThreads;
  return *threads;
}

void CallBackThread(void *context) {
  CallbackThread &run = *static_cast<CallbackThread *>(context);
  run.threadId = os::CurrentThreadId();
  os::MessagePipeServer pipe;
  run.serving = pipe.Create(run.pipeName) == 0;
  run.ready->Set();
  if (!run.serving) return;
  for (;;) {
    const bool connected = pipe.Connect();
    if (!run.running) break;
    if (connected) {
      alignas(NotificationMessage) unsigned char buffer[kReadCapacity];
      uint32_t bytes = 0;
      if (pipe.Read(buffer, sizeof buffer, &bytes) == 0 && bytes == sizeof(NotificationMessage)) {
        NotificationMessage message;
        std::memcpy(&message, buffer, sizeof message);
        // An exception must not end the process from this thread: the
        // message is dropped.
        try {
          run.handler(message);
        } catch (...) {
        }
      }
    }
    if (!run.running || pipe.Renew() != 0) break;
  }
  run.running = false;
}

// Takes out every run that has ended or been told to end, except the
// calling thread's own (it cannot wait for itself). Under the lock; the
// caller destroys them, which waits for their threads, after leaving it,
// since a run may be in a callback that starts or stops the thread itself.
void TakeStoppedRuns(CallbackThreads &threads, std::vector<std::unique_ptr<CallbackThread>> *stopped) {
  const uint32_t self = os::CurrentThreadId();
  std::erase_if(threads.runs, [&](std::unique_ptr<CallbackThread> &run) {
    if (run->running || run->threadId == self) return false;
    stopped->push_back(std::move(run));
    return true;
  });
}

} // namespace

NotificationMessage MakeNotificationMessage(uint32_t event, int32_t index, const char *name) {
  NotificationMessage message{};
  message.dwEventCode = event;
  message.nIndex = index;
  if (name != nullptr) std::memcpy(message.szName, name, sizeof message.szName);
  return message;
}

std::string CallbackPipeName(uint32_t processId) {
  char name[32];
  std::snprintf(name, sizeof name, "Callback_%.8X", processId);
  return name;
}

void BroadcastEvent(uint32_t event, int32_t index, const char *name) {
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr) return;
  const NotificationMessage message = MakeNotificationMessage(event, index, name);
  for (const CallbackProcessSlot &slot : table->processes)
    if (slot.dwProcessId != 0) os::WritePipeMessage(CallbackPipeName(slot.dwProcessId), &message, sizeof message);
}

int SendPipeMessage(const std::string &pipeName, const void *data, uint32_t size) {
  return os::WritePipeMessage(pipeName, data, size) == 0 ? 1 : 0;
}

bool StartCallBackThread(NotificationHandler handler) {
  CallbackThreads &threads = Threads();
  std::vector<std::unique_ptr<CallbackThread>> stopped; // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(threads.lock);
  TakeStoppedRuns(threads, &stopped);
  if (!threads.runs.empty() && threads.runs.back()->running) return true;
  auto run = std::make_unique<CallbackThread>();
  if (!run->ready) return false;
  run->handler = handler;
  run->pipeName = CallbackPipeName(os::CurrentProcessId());
  // The flag is set before the thread exists, so that a stop that comes
  // at once is never undone by the thread's start.
  if (!run->thread.Start(CallBackThread, run.get(), false)) return false;
  run->ready->Wait(os::Event::kInfinite);
  if (!run->serving) return false; // the thread has ended
  threads.runs.push_back(std::move(run));
  return true;
}

int StopCallBackThread() {
  CallbackThreads &threads = Threads();
  std::lock_guard<std::mutex> guard(threads.lock);
  if (threads.runs.empty() || !threads.runs.back()->running.exchange(false)) return 1;
  const uint32_t stop = kStopMessage;
  return SendPipeMessage(threads.runs.back()->pipeName, &stop, sizeof stop);
}

void FinishCallBackThreads() {
  CallbackThreads &threads = Threads();
  std::vector<std::unique_ptr<CallbackThread>> stopped; // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(threads.lock);
  TakeStoppedRuns(threads, &stopped);
}

} // namespace oxa::ZarUsb
