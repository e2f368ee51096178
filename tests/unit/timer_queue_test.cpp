// The port's timer queue: one-shot timers in order of their due times,
// cancelled before or while they run, and a deletion that waits for a
// routine that runs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "os/event.h"
#include "os/timer_queue.h"
#include "test_main.h"

using oxa::ZarUsb::os::Event;
using oxa::ZarUsb::os::TimerQueue;

namespace {

struct Fired {
  std::mutex lock;
  std::vector<int> order;
  static void Note(void *context) {
    auto *item = static_cast<std::pair<Fired *, int> *>(context);
    std::lock_guard<std::mutex> guard(item->first->lock);
    item->first->order.push_back(item->second);
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return order.size();
  }
};

TEST(TimerQueue, TimersFireOnceInOrderOfTheirDueTimesUnlessCancelled) {
  TimerQueue queue;
  ASSERT_EQ(queue.Create(), 0u);
  Fired fired;
  std::pair<Fired *, int> late{&fired, 3}, cancelled{&fired, 2}, early{&fired, 1};
  TimerQueue::TimerId timers[3] = {};
  const auto start = std::chrono::steady_clock::now();
  // The timer cancelled is the first due: the one the queue waits for.
  ASSERT_EQ(queue.Arm(Fired::Note, &cancelled, 30, &timers[1]), 0u);
  ASSERT_EQ(queue.Arm(Fired::Note, &late, 300, &timers[0]), 0u);
  ASSERT_EQ(queue.Cancel(timers[1]), 0u);
  ASSERT_EQ(queue.Arm(Fired::Note, &early, 50, &timers[2]), 0u);
  ASSERT_TRUE(zar_test::WaitFor([&] { return fired.Count() == 2; }));
  // Windows' timer queue may fire up to one clock tick (15.6 ms) early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 - 16));
  EXPECT_FALSE(zar_test::WaitFor([&] { return fired.Count() > 2; }, 300)) << "one shot each";
  EXPECT_EQ(fired.order, (std::vector<int>{1, 3}));
  EXPECT_EQ(queue.Cancel(timers[0]), 0u) << "a timer that ran is released";
}

// A routine cancels its own timer; deleting the queue waits until it has
// returned and cancels the timer that is not due yet.
TEST(TimerQueue, DeletionWaitsForTheRunningRoutineAndCancelsTheRest) {
  struct Running {
    TimerQueue *queue;
    std::atomic<TimerQueue::TimerId> self{0};
    std::unique_ptr<Event> started = Event::Create(true);
    std::atomic<bool> returned{false};
    uint32_t cancelled = 1;
  } running;
  TimerQueue queue;
  ASSERT_EQ(queue.Create(), 0u);
  running.queue = &queue;
  const auto routine = [](void *context) {
    auto &state = *static_cast<Running *>(context);
    state.started->Set();
    while (state.self == 0) {
    }
    state.cancelled = state.queue->Cancel(state.self);
    Event::Create(false)->Wait(200);
    state.returned = true;
  };
  std::atomic<int> never{0};
  TimerQueue::TimerId later = 0;
  ASSERT_EQ(queue.Arm([](void *count) { ++*static_cast<std::atomic<int> *>(count); }, &never, 5000, &later), 0u);
  TimerQueue::TimerId self = 0;
  ASSERT_EQ(queue.Arm(routine, &running, 0, &self), 0u);
  running.self = self;
  ASSERT_TRUE(running.started->Wait(10000));
  EXPECT_EQ(queue.Delete(), 0u);
  EXPECT_TRUE(running.returned);
  EXPECT_EQ(running.cancelled, 0u);
  EXPECT_EQ(never, 0);
  EXPECT_EQ(queue.Delete(), 0u) << "idempotent";
}

} // namespace
