// The process's index of open devices: what the device handle check reads.
// Pins racing closes are shown through the exports.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "device/device.h"
#include "registry/interface.h"
#include "registry/open_devices.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

// A close waits for the call that holds the device and lets the device go
// with that call's end; the handle is refused from the close's start on.
TEST(OpenDevices, ACloseWaitsForTheCallInFlightAndTheDeviceGoesWithIt) {
  const auto usb = std::make_shared<CInterface>("USB");
  std::weak_ptr<CDevice> watched;
  std::atomic<bool> pinned{false}, callEnded{false}, refused{false};
  {
    const std::shared_ptr<CDevice> device = usb->AddDevice("ZC1000_#PIN", 4);
    ASSERT_NE(device, nullptr);
    watched = device;
    EXPECT_FALSE(OpenDevices::Pin(reinterpret_cast<const void *>(0x10))) << "garbage";
    std::thread call([&, handle = static_cast<const void *>(device.get())] {
      const OpenDevices::DevicePin pin = OpenDevices::Pin(handle);
      pinned = pin.get() == handle;
      if (!pinned) return;
      refused = zar_test::WaitFor([&] { return !OpenDevices::Pin(handle); });
      callEnded = pin->GetName() == "ZC1000_#PIN";
    });
    ASSERT_TRUE(zar_test::WaitFor([&] { return pinned.load(); }));
    EXPECT_EQ(usb->DeleteDevice(device.get()), 0);
    EXPECT_TRUE(callEnded) << "the close returned before the call ended";
    call.join();
    EXPECT_TRUE(refused) << "the handle stayed valid during the close";
  }
  EXPECT_TRUE(watched.expired());
}

} // namespace
