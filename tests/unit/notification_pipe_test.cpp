// The notification message byte for byte, pipes of ended processes, and the
// callback thread's stop however soon, or with its pipe's name gone.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "os/message_pipe.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/notification.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

constexpr uint32_t kNotFound = 2;

std::vector<unsigned char> Bytes(const NotificationMessage &message) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&message);
  return {bytes, bytes + sizeof message};
}

TEST(NotificationMessage, CarriesCodeIndexAndTheWholeNameFieldLittleEndian) {
  char name[260];
  std::vector<unsigned char> expected = {0xFF, 0x7F, 0x00, 0x00, 29, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < sizeof name; ++i) expected.push_back(static_cast<unsigned char>(name[i] = char(i + 1)));
  EXPECT_EQ(Bytes(MakeNotificationMessage(0x7FFF, 29, name)), expected);
  expected.assign({0x01, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  expected.resize(268, 0);
  EXPECT_EQ(Bytes(MakeNotificationMessage(0x8001, -1, nullptr)), expected);

  EXPECT_EQ(CallbackPipeName(0x4D2), "Callback_000004D2");
  EXPECT_EQ(CallbackPipeName(0xABCDEF12), "Callback_ABCDEF12");
}

// Serves a pipe of the given name until killed.
const bool kServePipe = zar_test::RegisterHelper("serve-pipe", [](const std::vector<std::string> &args) {
  os::MessagePipeServer pipe;
  if (pipe.Create(args.at(0)) != 0) return 9;
  zar_test::Touch(std::filesystem::path(args.at(1)) / "serving");
  zar_test::WaitFor([] { return false; }, 120000);
  return 0;
});

// A pipe whose owner was killed is gone, not busy; the next owner serves its name again.
TEST(MessagePipe, APipeWhoseOwnerEndedFailsAtOnceAndItsNameCanBeServedAgain) {
  const std::string name = "PipeTest_" + std::to_string(os::CurrentProcessId());
  EXPECT_EQ(os::WritePipeMessage(name, "x", 1), kNotFound);
  zar_test::TempDir dir;
  zar_test::HelperProcess owner("serve-pipe", {name, dir.Path().string()});
  ASSERT_TRUE(zar_test::AwaitFile(dir.Path() / "serving")) << owner.Wait(0);
  owner.Kill();
  owner.Wait();
  EXPECT_EQ(os::WritePipeMessage(name, "x", 1), kNotFound);

  os::MessagePipeServer pipe;
  ASSERT_EQ(pipe.Create(name), 0u);
  ASSERT_EQ(os::WritePipeMessage(name, "ok", 2), 0u);
  ASSERT_TRUE(pipe.Connect());
  char received[8] = {};
  uint32_t bytes = 0;
  EXPECT_EQ(pipe.Read(received, sizeof received, &bytes), 0u);
  EXPECT_EQ(std::string(received, bytes), "ok");
  pipe.Close();
  EXPECT_EQ(os::WritePipeMessage(name, "x", 1), kNotFound);
}

std::atomic<int> g_received{0};
void Record(const NotificationMessage &) { ++g_received; }

class CallBackThread : public ::testing::Test {
protected:
  void TearDown() override { StopCallBackThread(); FinishCallBackThreads(); }
  static inline const std::string m_pipe = CallbackPipeName(os::CurrentProcessId());
};

// A stop right after the start still ends the thread, and its pipe. A start
// before the stopped thread has ended keeps it on: one server, which neither
// its stop message nor the wait for stopped threads ends.
TEST_F(CallBackThread, EndsOnStopAndAStartBeforeItsEndKeepsItOn) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    StopCallBackThread();
    FinishCallBackThreads();
    EXPECT_EQ(os::WritePipeMessage(m_pipe, "x", 1), kNotFound);
  }
  EXPECT_EQ(StopCallBackThread(), 1); // nothing runs
  ASSERT_TRUE(StartCallBackThread(Record));
  for (int round = 0; round < 20; ++round) {
    StopCallBackThread();
    ASSERT_TRUE(StartCallBackThread(Record));
    FinishCallBackThreads();
  }
  g_received = 0;
  const NotificationMessage message = MakeNotificationMessage(0x8000, 0, nullptr);
  ASSERT_EQ(SendPipeMessage(m_pipe, &message, sizeof message), 1);
  EXPECT_TRUE(zar_test::WaitFor([] { return g_received == 1; }));
}

// Where the pipe has an endpoint file (POSIX), its removal (with the
// namespace folder) must not keep the stop from ending the thread.
TEST_F(CallBackThread, EndsOnStopWhenThePipesNameLeadsNowhere) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    std::error_code ignored;
    std::filesystem::remove(os::NamespacedName(m_pipe), ignored);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread stopper([ended] { StopCallBackThread(); FinishCallBackThreads(); *ended = true; });
    if (!zar_test::WaitFor([&] { return ended->load(); })) {
      stopper.detach();
      std::fputs("the stop of the callback thread hangs\n", stderr);
      std::abort(); // the thread cannot be ended, nor this test torn down
    }
    stopper.join();
  }
}

} // namespace
