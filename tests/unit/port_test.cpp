#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "os/event.h"
#include "os/monitor_window.h"
#include "os/system_message.h"
#include "os/timer_queue.h"
#include "test_main.h"
#include "trace/trace_format.h"

using namespace oxa::ZarUsb::os;
using oxa::ZarUsb::FormatTraceText;
using zar_test::WaitFor;

namespace {

std::mutex g_lock;
std::vector<int> g_fired;
void NoteFired(void *id) { std::lock_guard<std::mutex> guard(g_lock); g_fired.push_back(*static_cast<int *>(id)); }
size_t Fired() { std::lock_guard<std::mutex> guard(g_lock); return g_fired.size(); }

// One-shot timers fire in order of their due times, cancelled before or while they run. A routine cancels its own timer;
// deleting the queue waits until it has returned and cancels the timer not yet due.
TEST(TimerQueue, TimersFireOnceInOrderUnlessCancelledAndDeletionWaitsForTheRunningRoutine) {
  g_fired.clear();
  TimerQueue queue;
  ASSERT_EQ(queue.Create(), 0u);
  int late = 3, cancelled = 2, early = 1;
  TimerQueue::TimerId timers[3] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(queue.Arm(NoteFired, &cancelled, 30, &timers[1]), 0u); // the first due: the one the queue waits for
  ASSERT_EQ(queue.Arm(NoteFired, &late, 300, &timers[0]), 0u);
  ASSERT_EQ(queue.Cancel(timers[1]), 0u);
  ASSERT_EQ(queue.Arm(NoteFired, &early, 50, &timers[2]), 0u);
  ASSERT_TRUE(WaitFor([] { return Fired() == 2; }));
  // Windows' timer queue may fire up to one clock tick (15.6 ms) early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 - 16));
  EXPECT_FALSE(WaitFor([] { return Fired() > 2; }, 300)) << "one shot each";
  EXPECT_EQ(g_fired, (std::vector<int>{1, 3}));
  EXPECT_EQ(queue.Cancel(timers[0]), 0u) << "a timer that ran is released";

  struct Running {
    std::atomic<TimerQueue::TimerId> self{0};
    std::unique_ptr<Event> started = Event::Create(true);
    std::atomic<bool> returned{false}; uint32_t cancelled = 1;
    TimerQueue queue; // the first to go
  } running;
  ASSERT_EQ(running.queue.Create(), 0u);
  const auto routine = [](void *context) {
    auto &state = *static_cast<Running *>(context);
    state.started->Set();
    while (state.self == 0) std::this_thread::yield();
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
  EXPECT_EQ(std::tuple(running.returned.load(), running.cancelled, never.load()), std::tuple(true, 0u, 0))
      << "returned before the deletion, its own timer cancelled, the later one never run";
  EXPECT_EQ(running.queue.Delete(), 0u) << "idempotent";
}


struct Heard { std::atomic_bool created{false}, release{true}; std::atomic_uint64_t messages{0}, wParam{0}; };
bool Refuse(void *) { return false; }
bool Accept(void *context) { return static_cast<Heard *>(context)->created = true; }
// Holds each message until released.
bool Note(void *context, uint32_t, uint64_t wParam) {
  auto &heard = *static_cast<Heard *>(context);
  while (!heard.release) std::this_thread::yield();
  heard.wParam = wParam;
  ++heard.messages;
  return true;
}

// A window whose creation failed leaves nothing behind; one busy with a message receives every message posted
// meanwhile: a suspend posted behind a burst of plugs is not lost.
TEST(MonitorWindow, AFailedWindowLeavesNothingBehindAndABusyOneLosesNoMessage) {
  constexpr uint32_t kPosted = 40;
  Heard heard;
  {
    MonitorWindow refused;
    EXPECT_EQ(refused.Create(Note, Refuse, &heard), MonitorWindow::kCreationRefused);
    EXPECT_FALSE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged)) << "a refused window still receives";
  }
  std::atomic<uint32_t> created{~0u};
  const auto stop = Event::Create(true);
  std::thread owner([&] { // the window runs on a thread of its own
    MonitorWindow window;
    if ((created = window.Create(Note, Accept, &heard)) == 0) window.Run(*stop);
  });
  EXPECT_TRUE(WaitFor([&] { return created != ~0u; }));
  EXPECT_EQ(created, 0u) << "the failed window's leftovers stop the next one";
  EXPECT_TRUE(heard.created);
  EXPECT_TRUE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged));
  EXPECT_TRUE(WaitFor([&] { return heard.wParam == kDbtDevNodesChanged; }));
  // The handler holds the next message until more posts have started than the POSIX endpoint queues (ten).
  heard.release = false;
  std::atomic<uint32_t> posting{0};
  std::thread releaser([&] { WaitFor([&] { return posting > 11; }); heard.release = true; });
  uint32_t posted = 0;
  while (posting++ < kPosted) posted += PostSystemMessage(kWmPowerBroadcast, kPbtApmSuspend) ? 1 : 0;
  releaser.join();
  EXPECT_EQ(posted, kPosted);
  EXPECT_TRUE(WaitFor([&] { return heard.messages == kPosted + 1; })) << heard.messages;
  stop->Set();
  owner.join();
}

// The trace formatter prints what the Windows C runtime prints, on every platform.
template <class... Args> std::string Format(const char *format, Args... args) {
  char buffer[512];
  FormatTraceText(buffer, sizeof buffer, format, args...);
  return buffer;
}

TEST(TraceFormat, WindowsConventionsFlagsWidthsAndPrecisionsPrintTheSameEverywhereAndWhatDoesNotFitIsCounted) {
  EXPECT_EQ(Format("0x%p|%p", reinterpret_cast<void *>(0xABCDEF12ull), static_cast<void *>(nullptr)),
            "0x00000000ABCDEF12|0000000000000000");
  EXPECT_EQ(Format("%I64d|%I64X|%I64u|%I64d", int64_t{-5000000000}, uint64_t{0xFEDCBA9876543210ull}, UINT64_MAX,
                   int64_t{INT64_MIN}),
            "-5000000000|FEDCBA9876543210|18446744073709551615|-9223372036854775808");
  // "l" is 32 bits, as a DWORD on Windows.
  EXPECT_EQ(Format("%lu %lu %d", uint32_t{4294967295u}, uint32_t{7}, -3), "4294967295 7 -3");
  EXPECT_EQ(Format("%s|%.0d|%c|%%", static_cast<const char *>(nullptr), 0, 'Z'), "(null)||Z|%");
  EXPECT_EQ(Format("%.2X |%.8X", 0x0Fu, 0x1234u), "0F |00001234");
  EXPECT_EQ(Format("%08x|%-6d|%6d|%+d % d %#x %#o", 0xABu, 42, -42, 5, 5, 255u, 8u),
            "000000ab|42    |   -42|+5  5 0xff 010");
  // A precision, even 0, turns the 0 flag off for integers.
  EXPECT_EQ(Format("%05.0d|%05.1x", 7, 0xAu), "    7|    a");
  EXPECT_EQ(Format("%.3s|%5s|%-5s|%*d|%.*s", "abcdef", "ab", "ab", 4, 7, 2, "xyz"), "abc|   ab|ab   |   7|xy");
  EXPECT_EQ(Format("%hd %hhu %d", 70000, 300, int32_t{INT32_MIN}), "4464 44 -2147483648");
  // Unknown conversions are copied; what does not fit, up to huge widths and precisions, is counted but not written.
  EXPECT_EQ(Format("%q and %"), "%q and %");
  char small[8];
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%s", "0123456789"), 10u);
  EXPECT_STREQ(small, "0123456");
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%2147483647d", 5), 2147483647u);
  EXPECT_STREQ(small, "       ");
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%.2147483646u|", 5u), 2147483647u);
  EXPECT_STREQ(small, "0000000");
  // Digits past INT_MAX, and INT_MIN through '*', count as INT_MAX.
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%99999999999s", "x"), 2147483647u);
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%*d", INT32_MIN, 7), 2147483647u);
  EXPECT_STREQ(small, "7      ");
  // The zeros of a precision past INT_MAX beside no width at all.
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%#.77777777777X", 1u), 2147483649u);
  EXPECT_STREQ(small, "0X00000");
}


} // namespace
