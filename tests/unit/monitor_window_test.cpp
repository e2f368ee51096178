// The monitor window: a window whose creation fails leaves nothing behind,
// so the next one in the process is created and hears posted messages; a
// window busy with one message still receives every message posted
// meanwhile (a suspend posted behind a burst of plugs is not lost).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "os/event.h"
#include "os/monitor_window.h"
#include "os/system_message.h"
#include "test_main.h"

using namespace oxa::ZarUsb::os;
using zar_test::WaitFor;

namespace {

struct Heard {
  std::atomic<bool> created{false};
  std::atomic<uint64_t> wParam{0};
};

bool Refuse(void *) { return false; }
bool Accept(void *context) {
  static_cast<Heard *>(context)->created = true;
  return true;
}
bool Note(void *context, uint32_t message, uint64_t wParam) {
  if (message != kWmDeviceChange) return false;
  static_cast<Heard *>(context)->wParam = wParam;
  return true;
}

TEST(MonitorWindow, AWindowThatFailsToBeCreatedLeavesNothingBehind) {
  Heard heard;
  {
    MonitorWindow refused;
    EXPECT_EQ(refused.Create(Note, Refuse, &heard), MonitorWindow::kCreationRefused);
    EXPECT_FALSE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged)) << "a refused window still receives";
  }

  std::unique_ptr<Event> stop = Event::Create(true);
  ASSERT_TRUE(stop);
  std::atomic<uint32_t> created{~0u};
  std::thread owner([&] {
    MonitorWindow window;
    created = window.Create(Note, Accept, &heard);
    if (created == 0) window.Run(*stop);
  });
  EXPECT_TRUE(WaitFor([&] { return created != ~0u; }));
  EXPECT_EQ(created, 0u) << "the failed window's leftovers stop the next one";
  EXPECT_TRUE(heard.created);
  if (created == 0) {
    EXPECT_TRUE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged));
    EXPECT_TRUE(WaitFor([&] { return heard.wParam == kDbtDevNodesChanged; }));
  }
  stop->Set();
  owner.join();
}

struct Queue {
  std::atomic<bool> release{false};
  std::atomic<uint32_t> heard{0};
};

bool Hold(void *context, uint32_t, uint64_t) {
  auto &queue = *static_cast<Queue *>(context);
  while (!queue.release) std::this_thread::yield();
  ++queue.heard;
  return true;
}

TEST(MonitorWindow, MessagesPostedWhileItIsBusyAllArrive) {
  constexpr uint32_t kPosted = 40;
  Queue queue;
  std::unique_ptr<Event> stop = Event::Create(true);
  ASSERT_TRUE(stop);
  std::atomic<uint32_t> created{~0u};
  std::thread owner([&] {
    MonitorWindow window;
    created = window.Create(Hold, [](void *) { return true; }, &queue);
    if (created == 0) window.Run(*stop);
  });
  ASSERT_TRUE(WaitFor([&] { return created != ~0u; }));
  // The handler holds the first message until more posts have started than
  // the POSIX endpoint queues (ten).
  std::atomic<uint32_t> posting{0};
  uint32_t posted = 0;
  if (created == 0) {
    std::thread releaser([&] {
      WaitFor([&] { return posting > 11; });
      queue.release = true;
    });
    while (posting++ < kPosted) posted += PostSystemMessage(kWmPowerBroadcast, kPbtApmSuspend) ? 1 : 0;
    releaser.join();
  }
  EXPECT_EQ(posted, kPosted);
  EXPECT_TRUE(WaitFor([&] { return queue.heard == kPosted; })) << queue.heard;
  queue.release = true;
  stop->Set();
  owner.join();
}

} // namespace
