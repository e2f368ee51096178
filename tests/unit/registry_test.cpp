#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/interface_classes.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "os/child_process.h"
#include "os/device_sources.h"
#include "os/message_pipe.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/interface.h"
#include "registry/monitor.h"
#include "registry/notification.h"
#include "registry/shared_table.h"
#include "temp_dir.h"
#include "test_main.h"
#include "trace/trace.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

// The table open, and a camera of its own plugged and reserved.
struct ReservedCamera : ::testing::Test {
  void SetUp() override {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    ASSERT_TRUE(OpenSharedTable());
    const emulator::CameraConfig config{.serial = "RES" + std::to_string(++s_count), .userName = {}};
    m_slot = emulator::Plug(config);
    ASSERT_TRUE(m_slot);
    m_name = config.model + "_#" + config.serial;
    ASSERT_TRUE(zar_test::WaitFor([&] { return ReserveDeviceByName(m_name.c_str(), &m_index) == 0; }));
  }
  void TearDown() override { if (m_slot) emulator::Unplug(*m_slot); StopMonitorThread(false); CloseSharedTable(); }

  static inline int s_count = 0;
  std::optional<uint32_t> m_slot;
  std::string m_name;
  int32_t m_index = -1;
};

struct Call { int function; uint32_t event; int64_t size; void *context; };
std::vector<Call> g_calls;
CDevice *g_device = nullptr;

void First(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({1, event, size, context}); }
void Second(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({2, event, size, context}); }
// Registers another function: delivery walks a copy, and holds no lock while a callback runs.
void Registers(uint32_t, void *, int64_t, void *calls) {
  ++*static_cast<int *>(calls);
  g_device->SetCallback(&First, nullptr);
}

// A camera released while a request pins its driver stays reserved until the driver (which refuses openers) is gone.
// A record's owner runs while its process runs under the start time noted for it: not once it has ended, even before
// it is reaped, nor when its id names a later one. Device callbacks run once each, in address order, latest context.
TEST_F(ReservedCamera, AReleasedCameraIsFreeOnlyOnceItsDriverIsClosedOwnersRunAsTheProcessTheyWereCallbacksOnceEach) {
  const uint32_t &owner = SharedTable()->records[m_index].dwOwnerProcessId;
  std::shared_ptr<CDriverInterface> inFlight = GetDeviceDriver(m_index, true);
  ASSERT_EQ(ReleaseDevice(m_index), 0);
  EXPECT_EQ(owner, os::CurrentProcessId());
  EXPECT_EQ(GetDeviceDriver(m_index, true), nullptr);
  inFlight.reset();
  EXPECT_EQ(owner, 0u);
  EXPECT_EQ(ReserveDeviceByName(m_name.c_str(), &m_index), 0);
  EXPECT_EQ(ReleaseDevice(m_index), 0);
  EXPECT_EQ(owner, 0u) << "freed at once without a pin";
  EXPECT_TRUE(os::ProcessRunning(os::CurrentProcessId(), os::CurrentProcessStartTime()));
  EXPECT_FALSE(os::ProcessRunning(os::CurrentProcessId(), os::CurrentProcessStartTime() + 1));
  os::ChildProcess child;
  ASSERT_EQ(child.Start(os::ExecutablePath(), {"--gtest_list_tests"}), 0u);
  EXPECT_TRUE(zar_test::WaitFor([&] { return !os::ProcessRunning(child.Id(), 0); }))
      << "an ended child not reaped yet";
  int exitCode = -1;
  EXPECT_TRUE(child.Wait(10000, &exitCode));

  ASSERT_EQ(ReserveDeviceByName(m_name.c_str(), &m_index), 0);
  const auto usb = std::make_shared<CInterface>("USB");
  const std::shared_ptr<CDevice> device = usb->AddDevice(m_name, static_cast<uint32_t>(m_index));
  ASSERT_TRUE(device);
  g_calls.clear();
  int a = 0, b = 0, c = 0;
  ASSERT_EQ(device->SetCallback(&Second, &a), 0);
  ASSERT_EQ(device->SetCallback(&First, &b), 0);
  ASSERT_EQ(device->SetCallback(&Second, &c), 0) << "again: the context is replaced";

  EXPECT_EQ(device->FireCallback(0x7FFF, nullptr, -5), 0);
  ASSERT_EQ(g_calls.size(), 2u);
  const bool firstIsLower = reinterpret_cast<uintptr_t>(&First) < reinterpret_cast<uintptr_t>(&Second);
  EXPECT_EQ(g_calls[0].function, firstIsLower ? 1 : 2);
  for (const Call &call : g_calls) {
    EXPECT_EQ(call.event, 0x7FFFu);
    EXPECT_EQ(call.size, -5) << "the length widened with its sign";
    EXPECT_EQ(call.context, call.function == 1 ? static_cast<void *>(&b) : &c);
  }

  EXPECT_EQ(device->RemoveCallback(&First), 0);
  int calls = 0;
  g_device = device.get();
  ASSERT_EQ(device->SetCallback(&Registers, &calls), 0);
  g_calls.clear();
  auto fired = std::async(std::launch::async, [&] { return device->FireCallback(0x8001, nullptr, 0); });
  ASSERT_EQ(fired.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(g_calls.size(), 1u) << "a function registered during a delivery waits for the next one";
  EXPECT_EQ(g_calls[0].function, 2);
  usb->DeleteDevices();
}


// A scan's traces, in order, when a member the platform port lists cannot be read. Class 3 holds two members it cannot
// read: the path of the first, the second itself.
struct UnreadableMembers final : os::DeviceSource {
  std::vector<os::DeviceInterfaceEntry> Members(const os::Guid &classGuid, uint32_t) override {
    if (std::memcmp(&classGuid, &driver::kInterfaceClasses[3], sizeof classGuid) != 0) return {};
    return {{7, {}, 122, true}, {7, {}, 6, false}};
  }
  bool Owns(const char *) const noexcept override { return false; }
  std::unique_ptr<os::DeviceIo> Open(const char *, uint32_t *error) noexcept override {
    *error = os::kErrorFileNotFound;
    return nullptr;
  }
};

TEST(Enumeration, AMemberWhosePathCannotBeReadIsTracedAfterItsEnumeration) {
  const zar_test::TempDir dir;
  const auto path = dir / "trace.txt";
  ASSERT_EQ(OpenTraceFile(path.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC), 0);
  EnableTrace(true);
  UnreadableMembers source;
  os::SetSecondDeviceSource(&source);
  ASSERT_TRUE(OpenSharedTable()); // this process's monitor scans at once
  EXPECT_EQ(WaitForThreadReady(), 1);
  StopMonitorThread(false);
  CloseSharedTable();
  os::SetSecondDeviceSource(nullptr);
  EnableTrace(false);
  CloseTraceFile();

  const std::string text = zar_test::FileText(path);
  size_t at = 0;
  for (const std::string line : {"UpdateDevicesList : SetupDiEnumDeviceInterfaces => unIndexGID=3 dwCount=0",
                                 "!!! UpdateDevicesList : SetupDiGetInterfaceDeviceDetail Error=122 unIndexGID=3 dwCount=0",
                                 "!!! UpdateDevicesList : SetupDiEnumDeviceInterfaces Error=6 unIndexGID=3 dwCount=1"}) {
    at = text.find("ZAR=> " + line + " dwNbDevicesFound=0", at);
    ASSERT_NE(at, std::string::npos) << "missing, or not in this order: " << line << "\n" << text;
  }
  EXPECT_EQ(text.find("SetupDiEnumDeviceInterfaces => unIndexGID=3 dwCount=1"), std::string::npos)
      << "a member that did not enumerate is not traced as enumerated";
}

constexpr uint32_t kNotFound = 2;

std::vector<unsigned char> Bytes(const NotificationMessage &message) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&message);
  return {bytes, bytes + sizeof message};
}

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

struct CallBackThread : ::testing::Test {
  void TearDown() override { StopCallBackThread(); FinishCallBackThreads(); }
  static inline const std::string m_pipe = CallbackPipeName(os::CurrentProcessId());
};

// The notification message byte for byte. A stop right after the start still ends the thread and its pipe; a start
// before the stopped thread ended keeps it on (one server, which neither its stop message nor the wait for stopped
// threads ends); removing the pipe's endpoint file (POSIX) with the namespace folder keeps no stop from ending it.
TEST_F(CallBackThread, CarriesMessagesByteForByteAndEndsOnStopHoweverSoonAndAStartBeforeItsEndKeepsItOn) {
  char name[260];
  std::vector<unsigned char> expected = {0xFF, 0x7F, 0x00, 0x00, 29, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < sizeof name; ++i) expected.push_back(static_cast<unsigned char>(name[i] = char(i + 1)));
  EXPECT_EQ(Bytes(MakeNotificationMessage(0x7FFF, 29, name)), expected);
  expected.assign({0x01, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  expected.resize(268, 0);
  EXPECT_EQ(Bytes(MakeNotificationMessage(0x8001, -1, nullptr)), expected);

  EXPECT_EQ(CallbackPipeName(0x4D2), "Callback_000004D2");
  EXPECT_EQ(CallbackPipeName(0xABCDEF12), "Callback_ABCDEF12");
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(StartCallBackThread(Record));
    StopCallBackThread(); FinishCallBackThreads();
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
  for (int round = 0; round < 3; ++round) {
    if (round > 0) { ASSERT_TRUE(StartCallBackThread(Record)); }
    std::error_code ignored;
    std::filesystem::remove(os::NamespacedName(m_pipe), ignored);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread stopper([ended] { StopCallBackThread(); FinishCallBackThreads(); *ended = true; });
    if (!zar_test::WaitFor([&] { return ended->load(); })) { // the thread can be neither ended nor torn down
      std::fputs("the stop of the callback thread hangs\n", stderr);
      std::abort();
    }
    stopper.join();
  }
}


} // namespace
