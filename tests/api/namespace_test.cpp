// Namespaces a user may give, and none: in each, a camera plugged after the
// library's first scan reaches it (the emulator's message finds the monitor,
// the monitor's broadcast finds the callback pipe) and can be opened.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "camera_bench.h"
#include "other_namespace.h"
#include "test_main.h"

namespace {

// Exit codes of the helper, for the test's messages.
constexpr const char *kPlugSeenCodes = "9: no TL, 10: not empty at first, 11: no plug, 12: not listed, "
                                       "13: no callback, 14: not opened";

std::atomic<bool> g_plugHeard{false};

void OnPlug(uint32_t event, void *, int64_t, void *) {
  if (event == USB_PLUGGED_DEVICE) g_plugHeard = true;
}

// Plugs a camera once the library has scanned, and sees it come.
const bool kPlugSeen = zar_test::RegisterHelper("plug-seen", [](const std::vector<std::string> &) {
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  TLSetCallback(tl, OnPlug, nullptr);
  uint8_t changed = 0;
  uint32_t count = 99;
  TLUpdateDeviceList(tl, "USB", &changed); // after the first scan
  TLGetNumDevices(tl, "USB", &count);
  if (count != 0) return 10;
  zar_test::PluggedCameras cameras;
  if (cameras.Plug("SEEN1") == UINT32_MAX) return 11;
  int result = 0;
  ZAR_DEV_HANDLE device = nullptr;
  if (!zar_test::WaitForCount(tl, 1))
    result = 12;
  else if (!zar_test::WaitFor([] { return g_plugHeard.load(); }))
    result = 13;
  else if (TLOpenDevice(tl, "USB", "ZC1000_#SEEN1", &device) != ZAR_SUCCESS || DevClose(device) != ZAR_SUCCESS)
    result = 14;
  TLClose(tl);
  return result;
});

TEST(Namespaces, AHundredCharacterNameWorksLikeAShortOne) {
  zar_test::OtherNamespace longName(100);
  EXPECT_EQ(longName.Start("plug-seen", {})->Wait(60000), 0) << kPlugSeenCodes;
}

// Its own test entry runs this, on Windows, once no other test program has
// the library loaded in the default namespace (the first process of each
// stays there while its copy works in a namespace of its own); under Wine
// that namespace belongs to the build's prefix. Elsewhere the default
// namespace is the user's own, shared with whatever runs beside the tests.
TEST(DefaultNamespace, HearsTheEmulator) {
  if (std::getenv("ZAR_TEST_DEFAULT_NAMESPACE") == nullptr) GTEST_SKIP() << "run by the default_namespace test";
  zar_test::OtherNamespace none{zar_test::OtherNamespace::Default{}};
  EXPECT_EQ(none.Start("plug-seen", {})->Wait(60000), 0) << kPlugSeenCodes;
}

} // namespace
