// The port's timer queue: one-shot timers in order of their due times,
// cancelled before or while they run; a deletion waits for a running routine.

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

std::mutex g_lock;
std::vector<int> g_fired;
void Note(void *context) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_fired.push_back(*static_cast<int *>(context));
}
size_t Fired() { std::lock_guard<std::mutex> guard(g_lock); return g_fired.size(); }

TEST(TimerQueue, TimersFireOnceInOrderOfTheirDueTimesUnlessCancelled) {
  g_fired.clear();
  TimerQueue queue;
  ASSERT_EQ(queue.Create(), 0u);
  int late = 3, cancelled = 2, early = 1;
  TimerQueue::TimerId timers[3] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(queue.Arm(Note, &cancelled, 30, &timers[1]), 0u); // the first due: the one the queue waits for
  ASSERT_EQ(queue.Arm(Note, &late, 300, &timers[0]), 0u);
  ASSERT_EQ(queue.Cancel(timers[1]), 0u);
  ASSERT_EQ(queue.Arm(Note, &early, 50, &timers[2]), 0u);
  ASSERT_TRUE(zar_test::WaitFor([] { return Fired() == 2; }));
  // Windows' timer queue may fire up to one clock tick (15.6 ms) early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 - 16));
  EXPECT_FALSE(zar_test::WaitFor([] { return Fired() > 2; }, 300)) << "one shot each";
  EXPECT_EQ(g_fired, (std::vector<int>{1, 3}));
  EXPECT_EQ(queue.Cancel(timers[0]), 0u) << "a timer that ran is released";
}

// A routine cancels its own timer; deleting the queue waits until it has
// returned and cancels the timer that is not due yet.
TEST(TimerQueue, DeletionWaitsForTheRunningRoutineAndCancelsTheRest) {
  struct Running {
    std::atomic<TimerQueue::TimerId> self{0};
    std::unique_ptr<Event> started = Event::Create(true);
    std::atomic<bool> returned{false};
    uint32_t cancelled = 1;
    TimerQueue queue; // the first to go
  } running;
  ASSERT_EQ(running.queue.Create(), 0u);
  const auto routine = [](void *context) {
    auto &state = *static_cast<Running *>(context);
    state.started->Set();
    while (state.self == 0) {
    }
    state.cancelled = state.queue.Cancel(state.self);
    Event::Create(false)->Wait(200);
    state.returned = true;
  };
  std::atomic<int> never{0};
  TimerQueue::TimerId later = 0, self = 0;
  const auto count = [](void *count) { ++*static_cast<std::atomic<int> *>(count); };
  ASSERT_EQ(running.queue.Arm(count, &never, 5000, &later), 0u);
  ASSERT_EQ(running.queue.Arm(routine, &running, 0, &self), 0u);
  running.self = self;
  ASSERT_TRUE(running.started->Wait(10000));
  EXPECT_EQ(running.queue.Delete(), 0u);
  EXPECT_TRUE(running.returned);
  EXPECT_EQ(running.cancelled, 0u);
  EXPECT_EQ(never, 0);
  EXPECT_EQ(running.queue.Delete(), 0u) << "idempotent";
}

} // namespace
