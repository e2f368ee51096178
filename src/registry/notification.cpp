#include "registry/notification.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <memory>
#include <mutex>
#include <vector>

#include "os/event.h"
#include "os/message_pipe.h"
#include "os/system_info.h"
#include "os/thread.h"
#include "registry/closes_in_progress.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

namespace {

constexpr uint32_t kReadCapacity = 512;

// The callback thread of the process and the pipe reader that feeds it.
// The reader only reads: it hands each message over and is back at the pipe
// at once, so a broadcaster (which holds the table lock) never waits for an
// application callback, and a callback may take any library lock.
//
// There is at most one reader at a time, so that the pipe of the process
// always has a single server: a stopped run whose reader has not ended yet
// is taken up again by the next start instead of a second one being started
// beside it (its stop's wake then finds it running and goes on). A stop
// wakes the reader through the pipe object itself, never through the pipe's
// name: the name may lead nowhere by then (on POSIX the namespace folder
// with the endpoint file may have been removed), and a stop that waited for
// a message to arrive there would hang the last close. The reader decides to
// end under the lock, at a moment when its pipe instance is not listening,
// so nothing sent after that decision can reach it.
//
// A stop drops the messages handed over and not yet delivered, and the
// reader hands over nothing more once the stop has come: the close that
// stops the run waits only for the message being handled (its callbacks
// running), never for a backlog. A run's callback thread ends once the
// reader has ended and that message is done.
enum class RunState { Running, Stopping, Ended };

// One run; its fields are guarded by the lock of CallbackThreads unless said.
struct CallbackThread {
  NotificationHandler handler = nullptr; // set before the threads start
  std::string pipeName;                  // set before the threads start
  RunState state = RunState::Running;
  std::deque<NotificationMessage> messages;
  uint32_t deliveryThreadId = 0;
  std::unique_ptr<os::Event> ready = os::Event::Create(true);
  bool serving = false; // written by the reader before `ready`
  // Its reader's pipe; shared with a stop that wakes it outside the lock.
  std::shared_ptr<os::MessagePipeServer> pipe = std::make_shared<os::MessagePipeServer>();
  os::Thread reader, delivery;
};

// Never destroyed: the threads may outlive static destruction at exit.
struct CallbackThreads {
  std::mutex lock;
  std::condition_variable changed;
  std::unique_ptr<CallbackThread> current;
  std::vector<std::unique_ptr<CallbackThread>> retired; // ended, to be waited for
};

CallbackThreads &Threads() {
  static auto *threads = new CallbackThreads;
  return *threads;
}

void EndRun(CallbackThreads &threads, CallbackThread &run) {
  run.state = RunState::Ended;
  threads.changed.notify_all();
}

// True while the reader is to go on; otherwise records that it ends.
bool GoesOn(CallbackThread &run) {
  CallbackThreads &threads = Threads();
  std::lock_guard<std::mutex> guard(threads.lock);
  if (run.state == RunState::Running) return true;
  EndRun(threads, run);
  return false;
}

void PipeReader(void *context) {
  CallbackThread &run = *static_cast<CallbackThread *>(context);
  CallbackThreads &threads = Threads();
  os::MessagePipeServer &pipe = *run.pipe;
  run.serving = pipe.Create(run.pipeName) == 0;
  run.ready->Set();
  if (!run.serving) return;
  for (;;) {
    const bool connected = pipe.Connect();
    if (!GoesOn(run)) break;
    if (connected) {
      alignas(NotificationMessage) unsigned char buffer[kReadCapacity];
      uint32_t bytes = 0;
      if (pipe.Read(buffer, sizeof buffer, &bytes) == 0 && bytes == sizeof(NotificationMessage)) {
        NotificationMessage message;
        std::memcpy(&message, buffer, sizeof message);
        std::lock_guard<std::mutex> guard(threads.lock);
        // Dropped when a stop has come, or when there is no memory for it.
        if (run.state == RunState::Running) {
          try {
            run.messages.push_back(message);
            threads.changed.notify_all();
          } catch (const std::bad_alloc &) {
          }
        }
      }
    }
    if (!GoesOn(run)) break;
    if (pipe.Renew() != 0) {
      std::lock_guard<std::mutex> guard(threads.lock);
      EndRun(threads, run);
      break;
    }
  }
  pipe.Close();
}

// Delivers the messages one at a time, in order, holding no lock.
void CallBackThread(void *context) {
  const LibraryThreadMark mark; // the last TLClose waits for this thread
  CallbackThread &run = *static_cast<CallbackThread *>(context);
  CallbackThreads &threads = Threads();
  std::unique_lock<std::mutex> guard(threads.lock);
  run.deliveryThreadId = os::CurrentThreadId();
  for (;;) {
    threads.changed.wait(guard, [&] { return !run.messages.empty() || run.state == RunState::Ended; });
    if (run.messages.empty()) return;
    const NotificationMessage message = run.messages.front();
    run.messages.pop_front();
    guard.unlock();
    // An exception must not end the process from this thread: the message
    // is dropped.
    try {
      run.handler(message);
    } catch (...) {
    }
    guard.lock();
  }
}

// Waits for the threads of the runs given.
void Finish(std::vector<std::unique_ptr<CallbackThread>> runs) {
  for (auto &run : runs) {
    run->reader.Finish(os::Event::kInfinite);
    run->delivery.Finish(os::Event::kInfinite);
  }
}

} // namespace

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
  std::unique_lock<std::mutex> guard(threads.lock);
  if (threads.current) {
    if (threads.current->state != RunState::Ended) {
      threads.current->state = RunState::Running;
      return true;
    }
    threads.retired.push_back(std::move(threads.current));
  }
  auto run = std::make_unique<CallbackThread>();
  if (!run->ready) return false;
  run->handler = handler;
  run->pipeName = CallbackPipeName(os::CurrentProcessId());
  if (!run->delivery.Start(CallBackThread, run.get(), false)) return false;
  if (run->reader.Start(PipeReader, run.get(), false)) run->ready->Wait(os::Event::kInfinite);
  if (!run->serving) {
    EndRun(threads, *run);
    guard.unlock(); // the threads end without it
    run->reader.Finish(os::Event::kInfinite);
    run->delivery.Finish(os::Event::kInfinite);
    return false;
  }
  threads.current = std::move(run);
  return true;
}

int StopCallBackThread() {
  CallbackThreads &threads = Threads();
  std::shared_ptr<os::MessagePipeServer> pipe;
  {
    std::lock_guard<std::mutex> guard(threads.lock);
    if (!threads.current || threads.current->state != RunState::Running) return 1;
    threads.current->state = RunState::Stopping;
    threads.current->messages.clear();
    pipe = threads.current->pipe;
  }
  return pipe->Wake() == 0 ? 1 : 0;
}

void FinishCallBackThreads() {
  CallbackThreads &threads = Threads();
  const uint32_t self = os::CurrentThreadId();
  std::vector<std::unique_ptr<CallbackThread>> ended;
  {
    std::unique_lock<std::mutex> guard(threads.lock);
    CallbackThread *run = threads.current.get();
    if (run != nullptr && run->deliveryThreadId != self) {
      // Until it has ended, or a start has taken it up again.
      threads.changed.wait(guard,
                           [&] { return threads.current.get() != run || run->state != RunState::Stopping; });
      if (threads.current.get() == run && run->state == RunState::Ended)
        threads.retired.push_back(std::move(threads.current));
    }
    std::erase_if(threads.retired, [&](std::unique_ptr<CallbackThread> &retired) {
      if (retired->deliveryThreadId == self) return false;
      ended.push_back(std::move(retired));
      return true;
    });
  }
  Finish(std::move(ended));
}

} // namespace oxa::ZarUsb
