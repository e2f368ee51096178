// Reservations in the shared camera table, over an emulated camera.

#include <gtest/gtest.h>

#include <memory>

#include "driver/driver_interface.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "os/system_info.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

// A camera released while a request still pins its driver stays reserved
// until the driver is gone, so that nobody finds it free with the driver
// still refusing openers; then it is free and reserved again at once.
TEST(SharedTable, AReleasedCameraIsFreeOnlyOnceItsDriverIsClosed) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  ASSERT_TRUE(OpenSharedTable());
  emulator::CameraConfig config;
  config.serial = "FREED1";
  const auto slot = emulator::Plug(config);
  ASSERT_TRUE(slot);
  const std::string name = config.model + "_#" + config.serial;
  int32_t index = -1;
  ASSERT_TRUE(zar_test::WaitFor([&] { return ReserveDeviceByName(name.c_str(), &index) == 0; }));
  const uint32_t &owner = SharedTable()->records[index].dwOwnerProcessId;
  std::shared_ptr<CDriverInterface> inFlight = GetDeviceDriver(index, true);
  ASSERT_EQ(ReleaseDevice(index), 0);
  EXPECT_EQ(owner, os::CurrentProcessId());
  EXPECT_EQ(GetDeviceDriver(index, true), nullptr);
  inFlight.reset();
  EXPECT_EQ(owner, 0u);
  EXPECT_EQ(ReserveDeviceByName(name.c_str(), &index), 0);
  EXPECT_EQ(ReleaseDevice(index), 0);
  EXPECT_EQ(owner, 0u) << "freed at once without a pin";
  emulator::Unplug(*slot);
  StopMonitorThread(false);
  CloseSharedTable();
}

} // namespace
