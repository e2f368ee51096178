// A camera of the shared table, reserved by this process over an emulated
// camera: its reservation while a request pins its driver, the callbacks of a
// device opened on it; and who counts as a record's running owner.

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device.h"
#include "driver/driver_interface.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "os/child_process.h"
#include "os/system_info.h"
#include "registry/interface.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

// The table open, and a camera of its own plugged and reserved.
class ReservedCamera : public ::testing::Test {
protected:
  void SetUp() override {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    ASSERT_TRUE(OpenSharedTable());
    emulator::CameraConfig config;
    config.serial = "RES" + std::to_string(++s_count);
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

// A record's owner counts as running while its process runs under the start
// time noted for it: not once it has ended, even before its parent reaps it,
// nor when its id names a later process.
TEST(RecordOwners, AnOwnerRunsOnlyAsTheProcessItWas) {
  const uint32_t self = os::CurrentProcessId();
  EXPECT_TRUE(os::ProcessRunning(self, os::CurrentProcessStartTime()));
  EXPECT_FALSE(os::ProcessRunning(self, os::CurrentProcessStartTime() + 1));
  os::ChildProcess child;
  ASSERT_EQ(child.Start(os::ExecutablePath(), {"--gtest_list_tests"}), 0u);
  EXPECT_TRUE(zar_test::WaitFor([&] { return !os::ProcessRunning(child.Id(), 0); }))
      << "an ended child not reaped yet";
  int exitCode = -1;
  EXPECT_TRUE(child.Wait(10000, &exitCode));
}

// A camera released while a request still pins its driver stays reserved
// until the driver is gone, so that nobody finds it free while the driver
// still refuses openers.
TEST_F(ReservedCamera, AReleasedCameraIsFreeOnlyOnceItsDriverIsClosed) {
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
}

struct Call { int function; uint32_t event; int64_t size; void *context; };
std::vector<Call> g_calls;
CDevice *g_device = nullptr;

void First(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({1, event, size, context}); }
void Second(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({2, event, size, context}); }
// Registers another function: delivery walks a copy, and holds no lock while a callback runs.
void Registers(uint32_t, void *, int64_t, void *context) {
  ++*static_cast<int *>(context);
  g_device->SetCallback(&First, nullptr);
}

TEST_F(ReservedCamera, DeviceCallbacksRunOnceEachInAddressOrderWithTheirLatestContext) {
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

} // namespace
