// The monitor window: one whose creation fails leaves nothing behind; one
// busy with a message still receives every message posted meanwhile.

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
  std::atomic<bool> created{false}, release{true};
  std::atomic<uint32_t> messages{0};
  std::atomic<uint64_t> wParam{0};
};
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

// A window created and run on a thread of its own until the owner goes;
// the constructor waits for its creation to succeed.
class Window {
public:
  explicit Window(Heard &heard) : m_heard(heard), m_thread([this] {
    MonitorWindow window;
    created = window.Create(Note, Accept, &m_heard);
    if (created == 0) window.Run(*m_stop);
  }) {
    EXPECT_TRUE(WaitFor([&] { return created != ~0u; }));
    EXPECT_EQ(created, 0u) << "the failed window's leftovers stop the next one";
  }
  ~Window() { m_heard.release = true; m_stop->Set(); m_thread.join(); }

private:
  std::atomic<uint32_t> created{~0u};
  Heard &m_heard;
  std::unique_ptr<Event> m_stop = Event::Create(true);
  std::thread m_thread;
};

TEST(MonitorWindow, AWindowThatFailsToBeCreatedLeavesNothingBehind) {
  Heard heard;
  {
    MonitorWindow refused;
    EXPECT_EQ(refused.Create(Note, Refuse, &heard), MonitorWindow::kCreationRefused);
    EXPECT_FALSE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged)) << "a refused window still receives";
  }
  Window window(heard);
  EXPECT_TRUE(heard.created);
  EXPECT_TRUE(PostSystemMessage(kWmDeviceChange, kDbtDevNodesChanged));
  EXPECT_TRUE(WaitFor([&] { return heard.wParam == kDbtDevNodesChanged; }));
}

// A suspend posted behind a burst of plugs is not lost.
TEST(MonitorWindow, MessagesPostedWhileItIsBusyAllArrive) {
  constexpr uint32_t kPosted = 40;
  Heard heard;
  heard.release = false;
  Window window(heard);
  // The handler holds the first message until more posts have started than
  // the POSIX endpoint queues (ten).
  std::atomic<uint32_t> posting{0};
  std::thread releaser([&] { WaitFor([&] { return posting > 11; }); heard.release = true; });
  uint32_t posted = 0;
  while (posting++ < kPosted) posted += PostSystemMessage(kWmPowerBroadcast, kPbtApmSuspend) ? 1 : 0;
  releaser.join();
  EXPECT_EQ(posted, kPosted);
  EXPECT_TRUE(WaitFor([&] { return heard.messages == kPosted; })) << heard.messages;
}

} // namespace
