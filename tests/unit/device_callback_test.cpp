// A device's callbacks and the recovery of its stream, on a CDevice opened
// in this process over the shared table and an emulated camera: delivery in
// address order with each context, a callback that calls back into the
// library, and buffers locked and queued again on a new driver after a
// hibernation.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

#include "acquisition/data_stream.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "registry/interface.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

// The camera named `name`, plugged and reserved by this process; -1 when it
// did not show up in time.
int32_t PlugAndReserve(const emulator::CameraConfig &config) {
  if (!emulator::Plug(config)) return -1;
  const std::string name = config.model + "_#" + config.serial;
  int32_t index = -1;
  zar_test::WaitFor([&] { return ReserveDeviceByName(name.c_str(), &index) == 0; });
  return index;
}

class DeviceCallbacks : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    s_open = OpenSharedTable();
  }
  static void TearDownTestSuite() {
    StopMonitorThread(false);
    CloseSharedTable();
  }
  void SetUp() override {
    ASSERT_TRUE(s_open);
    emulator::CameraConfig config;
    config.serial = "CB" + std::to_string(++s_next);
    config.width = 32;
    config.height = 4;
    config.frameRateMilli = 0;
    m_index = PlugAndReserve(config);
    ASSERT_GE(m_index, 0);
    m_device = m_interface->AddDevice(config.model + "_#" + config.serial, static_cast<uint32_t>(m_index));
    ASSERT_TRUE(m_device);
  }
  void TearDown() override {
    m_interface->DeleteDevices();
    m_device.reset();
  }

  static inline bool s_open = false;
  static inline int s_next = 0;
  int32_t m_index = -1;
  std::shared_ptr<CInterface> m_interface = std::make_shared<CInterface>("USB");
  std::shared_ptr<CDevice> m_device;
};

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

TEST_F(DeviceCallbacks, EveryFunctionOnceInAddressOrderWithItsLatestContext) {
  int a = 0, b = 0, c = 0;
  ASSERT_EQ(m_device->SetCallback(&Second, &a), 0);
  ASSERT_EQ(m_device->SetCallback(&First, &b), 0);
  ASSERT_EQ(m_device->SetCallback(&Second, &c), 0) << "again: the context is replaced";
  g_calls.clear();
  EXPECT_EQ(m_device->FireCallback(0x7FFF, nullptr, -5), 0);
  ASSERT_EQ(g_calls.size(), 2u);
  const bool firstIsLower = reinterpret_cast<uintptr_t>(&First) < reinterpret_cast<uintptr_t>(&Second);
  EXPECT_EQ(g_calls[0].function, firstIsLower ? 1 : 2);
  for (const Call &call : g_calls) {
    EXPECT_EQ(call.event, 0x7FFFu);
    EXPECT_EQ(call.size, -5) << "the length widened with its sign";
    EXPECT_EQ(call.context, call.function == 1 ? static_cast<void *>(&b) : &c);
  }

  EXPECT_EQ(m_device->RemoveCallback(&First), 0);
  g_calls.clear();
  m_device->FireCallback(0x8001, nullptr, 0);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].function, 2);
}

// A callback that registers another: delivery walks a copy, and holds no
// lock while a callback runs. (One that closes its own device is the
// device event tests' to show.)
void Registers(uint32_t, void *, int64_t, void *context) {
  ++*static_cast<int *>(context);
  g_device->SetCallback(&First, nullptr);
}

TEST_F(DeviceCallbacks, ACallbackMayCallBackIntoTheLibrary) {
  int calls = 0;
  g_device = m_device.get();
  ASSERT_EQ(m_device->SetCallback(&Registers, &calls), 0);
  g_calls.clear();
  auto fired = std::async(std::launch::async, [&] { return m_device->FireCallback(1, nullptr, 0); });
  ASSERT_EQ(fired.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(g_calls.empty()) << "a function registered during a delivery waits for the next one";
}

// After a hibernation the camera is on a new record: the stream's buffers are
// locked with the new driver, the queued ones queued again, and acquisition
// is left stopped.
TEST_F(DeviceCallbacks, RecoveryRelocksTheBuffersOnTheNewRecord) {
  ZAR_DS_HANDLE handle = nullptr;
  ASSERT_EQ(m_device->CreateDataStream(0, &handle), 0);
  const auto stream = m_device->PinDataStream(handle);
  ASSERT_TRUE(stream);
  std::vector<uint32_t> ids(3);
  for (uint32_t &id : ids) ASSERT_EQ(stream->AllocAndAnnounceBuffer(128, nullptr, nullptr, &id), 0);
  ASSERT_EQ(stream->QueueBuffer(ids[1]), 0);
  ASSERT_EQ(stream->StartAcquisition(0, 1), 0);
  ZAR_WAIT_RESULT result{};
  ASSERT_EQ(stream->WaitForBuffer(2000, &result), 0);
  ASSERT_EQ(stream->QueueBuffer(ids[1]), 0);

  // The same camera comes back elsewhere: another record, another driver.
  emulator::CameraConfig again;
  again.serial = "CB-BACK" + std::to_string(s_next);
  again.width = 32;
  again.height = 4;
  again.frameRateMilli = 0;
  const int32_t newIndex = PlugAndReserve(again);
  ASSERT_GE(newIndex, 0);
  ASSERT_NE(newIndex, m_index);
  ASSERT_TRUE(m_device->Park());
  EXPECT_EQ(stream->QueueBuffer(ids[2]), ZAR_ERR_GENERAL) << "parked";
  EXPECT_EQ(m_device->RecoverFromHybernate(static_cast<uint32_t>(m_index)), ZAR_ERR_GENERAL)
      << "a record without driver: the device stays parked";
  EXPECT_TRUE(m_device->IsParked());
  ASSERT_EQ(m_device->RecoverFromHybernate(static_cast<uint32_t>(newIndex)), 0);
  EXPECT_EQ(m_device->GetIndex(), static_cast<uint32_t>(newIndex));
  EXPECT_EQ(GetDeviceDriver(newIndex, true)->m_pDevice, m_device.get());

  EXPECT_EQ(stream->RevokeBuffer(ids[0], nullptr, nullptr), 0) << "stopped, and locked on the new driver";
  EXPECT_EQ(stream->QueueBuffer(ids[1]), ZAR_ERR_ACCESS_DENIED) << "still queued";
  EXPECT_EQ(stream->QueueBuffer(ids[2]), 0);
  ASSERT_EQ(stream->StartAcquisition(0, 1), 0);
  ASSERT_EQ(stream->WaitForBuffer(2000, &result), 0) << "frames come from the new camera";
  EXPECT_EQ(result.iID, ids[1]) << "the buffer the recovery queued again comes first";
}

} // namespace
