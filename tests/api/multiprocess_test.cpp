// Several processes on one shared table: reservations seen across processes,
// the monitor role moving on, crashed processes not stopping the others, and
// a fresh table once every process has gone. Helpers are copies of this
// program, coordinated through marker files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "camera_bench.h"
#include "environment.h"
#include "os/named_mutex.h"
#include "os/namespace.h"
#include "temp_dir.h"
#include "test_main.h"

using zar_test::HelperProcess;
using zar_test::WaitFor;
using zar_test::WaitForCount;

namespace {

constexpr uint32_t kMarkerWaitMs = 60000;

void Touch(const std::filesystem::path &marker) { std::ofstream(marker).put('x'); }
bool Exists(const std::filesystem::path &marker) { return std::filesystem::exists(marker); }
bool AwaitMarker(const std::filesystem::path &marker) {
  return WaitFor([&] { return Exists(marker); }, kMarkerWaitMs);
}
std::string Read(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Helpers. Exit codes other than 0 name the check that failed.

// Opens the camera, holds it until told to close it, then waits to exit.
const bool kOpenAndHold = zar_test::RegisterHelper("open-and-hold", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(1);
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLOpenDevice(tl, "USB", args.at(0).c_str(), &device) != ZAR_SUCCESS) return 10;
  Touch(dir / "held");
  if (!AwaitMarker(dir / "close")) return 11;
  if (DevClose(device) != ZAR_SUCCESS) return 12;
  Touch(dir / "closed");
  AwaitMarker(dir / "exit");
  TLClose(tl);
  return 0;
});

// Takes the table lock and keeps it until killed.
const bool kHoldTableLock = zar_test::RegisterHelper("hold-table-lock", [](const std::vector<std::string> &args) {
  oxa::ZarUsb::os::NamedMutex table;
  if (table.Open("A8E5C897-286A-42d5-A004-522A9352D2B0") != 0) return 9;
  if (table.Acquire() == oxa::ZarUsb::os::NamedMutex::Lock::Failed) return 10;
  Touch(std::filesystem::path(args.at(0)) / "locked");
  AwaitMarker(std::filesystem::path(args.at(0)) / "never");
  return 0;
});

// The first process of a namespace: monitor owner; plugs and holds a camera
// until released (or killed).
const bool kMonitorFirst = zar_test::RegisterHelper("monitor-first", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = "HAND1";
  if (!oxa::ZarUsb::emulator::Plug(config)) return 10; // stays plugged when this process goes
  if (!WaitForCount(tl, 1)) return 10;
  if (TLOpenDevice(tl, "USB", "ZC1000_#HAND1", &device) != ZAR_SUCCESS) return 11;
  Touch(dir / "ready1");
  if (!AwaitMarker(dir / "release1")) return 12;
  DevClose(device);
  TLClose(tl);
  return 0;
});

// A second process: finds the first one's table and reservation, waits for
// the monitor role, then watches a plug itself.
const bool kMonitorSecond = zar_test::RegisterHelper("monitor-second", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (OpenDebugFile((dir / "trace2").wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC) != 0) return 10;
  EnableZarTrace(1);
  if (zar_test::ListedNames(tl) != std::vector<std::string>{"ZC1000_#HAND1"}) return 11;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpenDevice(tl, "USB", "ZC1000_#HAND1", &device) != ZAR_ERR_ACCESS_DENIED) return 12;
  Touch(dir / "ready2");
  const bool owner = WaitFor(
      [&] { return Read(dir / "trace2").find("Leave UpdateDevicesList") != std::string::npos; }, kMarkerWaitMs);
  if (!owner) return 13;
  oxa::ZarUsb::emulator::CameraConfig config;
  config.serial = "HAND2";
  if (!oxa::ZarUsb::emulator::Plug(config) || !WaitForCount(tl, 2)) return 14;
  TLClose(tl);
  CloseDebugFile();
  return 0;
});

// Plugs a camera, waits until it is listed, then waits to be told to exit
// (or killed).
const bool kPlugAndList = zar_test::RegisterHelper("plug-and-list", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (!oxa::ZarUsb::emulator::Plug({})) return 10;
  if (!WaitForCount(tl, 1)) return 11;
  Touch(dir / "listed");
  AwaitMarker(dir / "exit");
  return 0;
});

// Writes how many cameras the table lists.
const bool kCountDevices = zar_test::RegisterHelper("count-devices", [](const std::vector<std::string> &args) {
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  uint32_t count = 99;
  uint8_t changed = 0;
  TLUpdateDeviceList(tl, "USB", &changed); // after the first scan
  TLGetNumDevices(tl, "USB", &count);
  std::ofstream(std::filesystem::path(args.at(0)) / "count") << count;
  TLClose(tl);
  return 0;
});

// Helpers in a namespace of their own, so that the roles there start fresh.
class OtherNamespace {
  // Runs work with this namespace in the environment, for children to inherit.
  template <class Work> auto Inside(Work work) {
    const std::string own = std::getenv("ZAR_USB_NAMESPACE");
    zar_test::SetEnv("ZAR_USB_NAMESPACE", m_name.c_str());
    auto result = work();
    zar_test::SetEnv("ZAR_USB_NAMESPACE", own.c_str());
    return result;
  }

public:
  OtherNamespace() {
    std::random_device entropy;
    m_name = "mp-" + std::to_string(entropy());
  }
  ~OtherNamespace() {
    const std::string folder = Inside([] { return oxa::ZarUsb::os::NamespaceFolder(); });
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
  // Starts a helper there (emulation on unless told otherwise).
  std::unique_ptr<HelperProcess> Start(const std::string &helper, const std::vector<std::string> &args,
                                       bool emulation = true) {
    return Inside([&] {
      if (!emulation) zar_test::UnsetEnv("ZAR_USB_EMULATION");
      auto process = std::make_unique<HelperProcess>(helper, args);
      zar_test::SetEnv("ZAR_USB_EMULATION", "0");
      return process;
    });
  }

private:
  std::string m_name;
};

class MultiProcess : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS); }
  void TearDown() override { TLClose(m_tl); }

  // In a fresh namespace: the first process, which owns the monitor role and
  // holds a camera, then a second one waiting for the role.
  void StartOwnerAndWaiter(OtherNamespace &other) {
    const std::string dir = m_dir.Path().string();
    first = other.Start("monitor-first", {dir});
    ASSERT_TRUE(AwaitMarker(m_dir / "ready1")) << "first exit " << first->Wait(0);
    second = other.Start("monitor-second", {dir});
    ASSERT_TRUE(AwaitMarker(m_dir / "ready2")) << "second exit " << second->Wait(0);
  }

  ZAR_TL_HANDLE m_tl = nullptr;
  zar_test::TempDir m_dir;
  std::unique_ptr<HelperProcess> first, second;
};

TEST_F(MultiProcess, ACameraHeldByOneProcessIsRefusedToTheOthers) {
  zar_test::PluggedCameras cameras;
  cameras.Plug("MP1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  HelperProcess holder("open-and-hold", {"ZC1000_#MP1", m_dir.Path().string()});
  ASSERT_TRUE(AwaitMarker(m_dir / "held")) << "helper exit " << holder.Wait(0);
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#MP1", &device), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(device, nullptr);
  Touch(m_dir / "close");
  ASSERT_TRUE(AwaitMarker(m_dir / "closed"));
  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#MP1", &device), ZAR_SUCCESS) << "free after DevClose there";
  EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
  Touch(m_dir / "exit");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(MultiProcess, AProcessKilledHoldingTheTableLockDoesNotStopTheOthers) {
  HelperProcess holder("hold-table-lock", {m_dir.Path().string()});
  ASSERT_TRUE(AwaitMarker(m_dir / "locked")) << "helper exit " << holder.Wait(0);
  holder.Kill();
  EXPECT_NE(holder.Wait(), 0);
  zar_test::PluggedCameras cameras;
  cameras.Plug("LOCK1");
  EXPECT_TRUE(WaitForCount(m_tl, 1)) << "the table and the monitor work on";
}

TEST_F(MultiProcess, TheMonitorRoleMovesOnWhenItsOwnerUnloads) {
  OtherNamespace other;
  ASSERT_NO_FATAL_FAILURE(StartOwnerAndWaiter(other));
  EXPECT_EQ(Read(m_dir / "trace2").find("Create a dummy window"), std::string::npos) << "not monitor while waiting";
  Touch(m_dir / "release1");
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0) << "11: table zeroed, 12: reservation unseen, 13: role not taken, 14: no scan";
  const std::string trace = Read(m_dir / "trace2");
  EXPECT_NE(trace.find("InsertDevice Device already Referenced"), std::string::npos);
  EXPECT_EQ(trace.find("UpdateDevicesList : InsertDevice \\\\?\\zarusb-emu#slot00"), std::string::npos)
      << "the takeover scan announces no camera already listed";
}

TEST_F(MultiProcess, AKilledMonitorOwnerHandsTheRoleOn) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps the monitor semaphore of a killed owner taken";
#endif
  OtherNamespace other;
  ASSERT_NO_FATAL_FAILURE(StartOwnerAndWaiter(other));
  first->Kill();
  first->Wait();
  // The killed owner's reservation stays in the table; the second process
  // still takes the role and sees the next plug.
  EXPECT_EQ(second->Wait(), 0) << "13: role not taken, 14: no scan";
}

TEST_F(MultiProcess, TheTableStartsEmptyOnceEveryProcessHasGone) {
  for (const bool killed : {false, true}) {
    OtherNamespace other;
    const zar_test::TempDir dir;
    auto plugger = other.Start("plug-and-list", {dir.Path().string()});
    ASSERT_TRUE(AwaitMarker(dir / "listed")) << "exit " << plugger->Wait(0);
    if (killed)
      plugger->Kill();
    else
      Touch(dir / "exit");
    plugger->Wait();
    // The emulated camera is still on the bus; without emulation the new
    // process can only list what the table kept.
    auto counter = other.Start("count-devices", {dir.Path().string()}, false);
    EXPECT_EQ(counter->Wait(), 0);
    EXPECT_EQ(Read(dir / "count"), "0") << (killed ? "after a kill" : "after a normal exit");
  }
}

} // namespace
