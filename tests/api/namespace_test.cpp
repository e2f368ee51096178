// In a namespace with a long name, and in none, a camera plugged after the
// library's first scan reaches it (the emulator's message finds the monitor,
// the monitor's broadcast finds the callback pipe) and can be opened.

#include <gtest/gtest.h>

#include <cstdlib>

#include "other_namespace.h"
#include "temp_dir.h"

namespace {

int PlugSeen(zar_test::OtherNamespace &other) {
  const zar_test::TempDir dir;
  return other
      .Start("steps", {dir.Path().string(), "open", "callback", "scanned", "listed 0", "plug SEEN1", "listed 1",
                       "heard-plug ZC1000_#SEEN1", "opendev ZC1000_#SEEN1", "devclose", "unplug", "close"})
      ->Wait(60000);
}

TEST(Namespaces, AHundredCharacterNameWorksLikeAShortOne) {
  zar_test::OtherNamespace longName(100);
  EXPECT_EQ(PlugSeen(longName), 0) << "failed step";
}

// Run by its own test entry on Windows once no other test program has the
// library loaded in the default namespace (under Wine, the build prefix's).
TEST(DefaultNamespace, HearsTheEmulator) {
  if (std::getenv("ZAR_TEST_DEFAULT_NAMESPACE") == nullptr) GTEST_SKIP() << "run by the default_namespace test";
  zar_test::OtherNamespace none{zar_test::OtherNamespace::Default{}};
  EXPECT_EQ(PlugSeen(none), 0) << "failed step";
}

} // namespace
