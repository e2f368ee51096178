// Device callbacks through the exports: registration and removal codes, and
// a camera that keeps its registrations only while it is open.

#include <gtest/gtest.h>

#include "open_camera.h"

namespace {

void Callback(uint32_t, void *, int64_t, void *) {}

TEST(DeviceCallbackExports, RegistrationAndRemovalCodes) {
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = "DEVCB1";
  zar_test::OpenCamera camera(config);
  ASSERT_TRUE(camera.Ready());
  int context = 0;
  EXPECT_EQ(DevSetCallback(camera.TL(), &Callback, &context), ZAR_ERR_INVALID_HANDLE) << "the TL handle";
  EXPECT_EQ(DevSetCallback(camera.Device(), nullptr, &context), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevSetCallback(camera.Device(), &Callback, &context), 0);
  EXPECT_EQ(DevSetCallback(camera.Device(), &Callback, nullptr), 0) << "again, with another context";
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Callback), 0);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Callback), ZAR_ERR_NO_DATA) << "one entry per function";
  EXPECT_EQ(DevSetCallback(camera.Device(), &Callback, &context), 0);
  ASSERT_EQ(DevClose(camera.Device()), 0);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), &Callback), ZAR_ERR_INVALID_HANDLE);
}

} // namespace
