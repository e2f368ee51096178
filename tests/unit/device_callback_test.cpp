// A device's callbacks, on a CDevice opened in this process over the shared
// table and an emulated camera: delivery in address order with each context,
// and a callback that calls back into the library.

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <vector>

#include "device/device.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "registry/interface.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

struct Call {
  int function;
  uint32_t event;
  int64_t size;
  void *context;
};
std::vector<Call> g_calls;
CDevice *g_device = nullptr;

void First(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({1, event, size, context}); }
void Second(uint32_t event, void *, int64_t size, void *context) { g_calls.push_back({2, event, size, context}); }
// Registers another function: delivery walks a copy, and holds no lock while
// a callback runs. (One that closes its own device is the device event
// tests' to show.)
void Registers(uint32_t, void *, int64_t, void *context) {
  ++*static_cast<int *>(context);
  g_device->SetCallback(&First, nullptr);
}

TEST(DeviceCallbacks, EveryFunctionOnceInAddressOrderWithItsLatestContext) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  ASSERT_TRUE(OpenSharedTable());
  emulator::CameraConfig config;
  config.serial = "CB1";
  ASSERT_TRUE(emulator::Plug(config));
  int32_t index = -1;
  ASSERT_TRUE(zar_test::WaitFor([&] { return ReserveDeviceByName("ZC1000_#CB1", &index) == 0; }));
  const auto usb = std::make_shared<CInterface>("USB");
  const std::shared_ptr<CDevice> device = usb->AddDevice("ZC1000_#CB1", static_cast<uint32_t>(index));
  ASSERT_TRUE(device);

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
  StopMonitorThread(false);
  CloseSharedTable();
}

} // namespace
