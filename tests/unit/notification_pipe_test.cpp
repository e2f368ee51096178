// The notification message, the per-process message pipe, and the callback
// thread that serves it: layouts byte for byte, message boundaries, pipes
// of ended processes, dropped messages, stopping and starting again.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/message_pipe.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/notification.h"
#include "temp_dir.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

constexpr uint32_t kNotFound = 2;

// Serves a pipe of the given name until killed.
const bool kServePipe = zar_test::RegisterHelper("serve-pipe", [](const std::vector<std::string> &args) {
  os::MessagePipeServer pipe;
  if (pipe.Create(args.at(0)) != 0) return 9;
  zar_test::Touch(std::filesystem::path(args.at(1)) / "serving");
  zar_test::WaitFor([] { return false; }, 120000);
  return 0;
});

std::vector<unsigned char> Bytes(const void *data, size_t size) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  return {bytes, bytes + size};
}

TEST(NotificationMessage, CarriesCodeIndexAndTheWholeNameFieldLittleEndian) {
  char name[260];
  for (size_t i = 0; i < sizeof name; ++i) name[i] = static_cast<char>(i + 1);
  const NotificationMessage unplug = MakeNotificationMessage(0x7FFF, 29, name);
  std::vector<unsigned char> expected = {0xFF, 0x7F, 0x00, 0x00, 29, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < sizeof name; ++i) expected.push_back(static_cast<unsigned char>(i + 1));
  EXPECT_EQ(Bytes(&unplug, sizeof unplug), expected);

  const NotificationMessage power = MakeNotificationMessage(0x8001, -1, nullptr);
  expected.assign({0x01, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  expected.resize(268, 0);
  EXPECT_EQ(Bytes(&power, sizeof power), expected);

  EXPECT_EQ(CallbackPipeName(0x4D2), "Callback_000004D2");
  EXPECT_EQ(CallbackPipeName(0xABCDEF12), "Callback_ABCDEF12");
}

class MessagePipe : public ::testing::Test {
protected:
  // Writes one message and reads it at the server with the given capacity.
  uint32_t RoundTrip(os::MessagePipeServer &pipe, const std::vector<char> &message, uint32_t capacity,
                     std::vector<char> *received) {
    EXPECT_EQ(os::WritePipeMessage(m_name, message.data(), static_cast<uint32_t>(message.size())), 0u);
    EXPECT_TRUE(pipe.Connect());
    std::vector<char> buffer(capacity);
    uint32_t bytes = 0;
    const uint32_t error = pipe.Read(buffer.data(), capacity, &bytes);
    buffer.resize(bytes);
    *received = buffer;
    EXPECT_EQ(pipe.Renew(), 0u);
    return error;
  }

  std::string m_name = "PipeTest_" + std::to_string(os::CurrentProcessId());
};

TEST_F(MessagePipe, DeliversEachMessageWholeAndApartAndRefusesOneLongerThanAsked) {
  os::MessagePipeServer pipe;
  ASSERT_EQ(pipe.Create(m_name), 0u);
  std::vector<char> received;
  for (size_t size : {4, 267, 268, 269, 300, 512}) {
    std::vector<char> message(size);
    for (size_t i = 0; i < size; ++i) message[i] = static_cast<char>(size + i);
    EXPECT_EQ(RoundTrip(pipe, message, 512, &received), 0u) << size;
    EXPECT_EQ(received, message) << size;
  }
  EXPECT_EQ(RoundTrip(pipe, std::vector<char>(268, 'x'), 100, &received), os::kErrorMoreData);
}

TEST_F(MessagePipe, APipeWhoseOwnerEndedFailsAtOnceAndItsNameCanBeServedAgain) {
  EXPECT_EQ(os::WritePipeMessage(m_name + "_none", "x", 1), kNotFound);

  zar_test::TempDir dir;
  zar_test::HelperProcess owner("serve-pipe", {m_name, dir.Path().string()});
  ASSERT_TRUE(zar_test::AwaitFile(dir.Path() / "serving")) << owner.Wait(0);
  owner.Kill();
  owner.Wait();
  // Not a busy pipe to be waited for: gone.
  EXPECT_EQ(os::WritePipeMessage(m_name, "x", 1), kNotFound);

  os::MessagePipeServer pipe;
  ASSERT_EQ(pipe.Create(m_name), 0u);
  std::vector<char> received;
  EXPECT_EQ(RoundTrip(pipe, {'o', 'k'}, 512, &received), 0u);
  EXPECT_EQ(received, (std::vector<char>{'o', 'k'}));
  pipe.Close();
  EXPECT_EQ(os::WritePipeMessage(m_name, "x", 1), kNotFound);
}

// What the callback thread handed on, for the tests' handlers.
struct Received {
  std::mutex lock;
  std::vector<std::string> names;
  void Add(const NotificationMessage &message) {
    std::lock_guard<std::mutex> guard(lock);
    names.emplace_back(message.szName, strnlen(message.szName, sizeof message.szName));
  }
  std::vector<std::string> Names() {
    std::lock_guard<std::mutex> guard(lock);
    return names;
  }
};
Received g_received;

void Record(const NotificationMessage &message) { g_received.Add(message); }

// Stops the thread it runs on when told to, then records as usual.
void StopOnRequest(const NotificationMessage &message) {
  if (std::strcmp(message.szName, "stop") == 0) {
    StopCallBackThread();
    FinishCallBackThreads(); // must not wait for itself
  }
  g_received.Add(message);
}

class CallBackThread : public ::testing::Test {
protected:
  void SetUp() override {
    std::lock_guard<std::mutex> guard(g_received.lock);
    g_received.names.clear();
  }
  void TearDown() override {
    StopCallBackThread();
    FinishCallBackThreads();
  }

  static bool Send(const std::string &name) {
    char field[260] = {};
    std::strncpy(field, name.c_str(), sizeof field - 1);
    const NotificationMessage message = MakeNotificationMessage(0x8000, 0, field);
    return SendPipeMessage(m_pipe, &message, sizeof message) == 1;
  }
  static bool SendSize(uint32_t size) {
    std::vector<char> message(size, 'z');
    return SendPipeMessage(m_pipe, message.data(), size) == 1;
  }
  static bool Got(const std::vector<std::string> &names) {
    return zar_test::WaitFor([&] { return g_received.Names() == names; });
  }

  static inline const std::string m_pipe = CallbackPipeName(os::CurrentProcessId());
};

TEST_F(CallBackThread, HandsOnWholeMessagesInOrderAndDropsEveryOtherSize) {
  ASSERT_TRUE(StartCallBackThread(Record));
  for (uint32_t size : {4u, 267u, 269u, 300u}) EXPECT_TRUE(SendSize(size)) << size;
  EXPECT_TRUE(Send("first"));
  EXPECT_TRUE(Send("second"));
  EXPECT_TRUE(Got({"first", "second"})) << g_received.Names().size();
}

TEST_F(CallBackThread, EndsOnStopAndAFreshStartServesTheSamePipe) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    ASSERT_TRUE(Send("round" + std::to_string(round)));
    ASSERT_TRUE(zar_test::WaitFor([&] { return g_received.Names().size() == size_t(round + 1); }));
    StopCallBackThread();
    FinishCallBackThreads();
    EXPECT_EQ(os::WritePipeMessage(m_pipe, "x", 1), kNotFound);
  }
  EXPECT_EQ(StopCallBackThread(), 1); // nothing runs
  // A stop right after the start still ends the thread.
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    StopCallBackThread();
    FinishCallBackThreads();
    EXPECT_EQ(os::WritePipeMessage(m_pipe, "x", 1), kNotFound);
  }
  // A start before the stopped thread has ended keeps it on: one server,
  // which neither its stop message nor the wait for stopped threads ends.
  ASSERT_TRUE(StartCallBackThread(Record));
  for (int round = 0; round < 20; ++round) {
    StopCallBackThread();
    ASSERT_TRUE(StartCallBackThread(Record));
    FinishCallBackThreads();
  }
  ASSERT_TRUE(Send("kept on"));
  EXPECT_TRUE(zar_test::WaitFor([] { return g_received.Names().size() == 4; }));
  EXPECT_EQ(g_received.Names().back(), "kept on");
}

// Where the pipe has an endpoint file (POSIX), removing it, as a removal of
// the namespace folder does, must not keep the stop from ending the thread.
TEST_F(CallBackThread, EndsOnStopWhenThePipesNameLeadsNowhere) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    std::error_code ignored;
    std::filesystem::remove(os::NamespacedName(m_pipe), ignored);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread stopper([ended] {
      StopCallBackThread();
      FinishCallBackThreads();
      *ended = true;
    });
    if (!zar_test::WaitFor([&] { return ended->load(); })) {
      stopper.detach();
      std::fputs("the stop of the callback thread hangs\n", stderr);
      std::abort(); // the thread cannot be ended, nor this test torn down
    }
    stopper.join();
  }
}

TEST_F(CallBackThread, AHandlerMayStopItsOwnThreadAndStartItAgain) {
  ASSERT_TRUE(StartCallBackThread(StopOnRequest));
  ASSERT_TRUE(Send("stop"));
  ASSERT_TRUE(Got({"stop"}));
  ASSERT_TRUE(StartCallBackThread(Record));
  ASSERT_TRUE(Send("after"));
  EXPECT_TRUE(Got({"stop", "after"}));
}

} // namespace
