// Several processes on one shared table: reservations seen across processes,
// the monitor role moving on, crashed processes not stopping the others, and
// a fresh table once every process has gone. Helpers are copies of this
// program, coordinated through marker files.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "camera_bench.h"
#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "os/system_message.h"
#include "other_namespace.h"
#include "registry/shared_table.h"
#include "registry/table_snapshot.h"
#include "temp_dir.h"
#include "test_main.h"

using zar_test::AwaitFile;
using zar_test::FileText;
using zar_test::HelperProcess;
using zar_test::OtherNamespace;
using zar_test::Touch;
using zar_test::WaitFor;
using zar_test::WaitForCount;

namespace {

// The shared table as another process of the namespace sees it, written
// under its lock like the library does.
class TableView {
public:
  TableView() {
    bool existed = false;
    m_mutex.Open(oxa::ZarUsb::kTableMutexName);
    m_memory.Open(oxa::ZarUsb::kTableMappingName, sizeof(oxa::ZarUsb::SharedTableLayout), &existed);
  }
  oxa::ZarUsb::SharedTableLayout &Layout() { return *static_cast<oxa::ZarUsb::SharedTableLayout *>(m_memory.Data()); }
  // The enrolment count of the process; 0 when it has no slot.
  uint32_t Enrolment(uint32_t processId) {
    const Locked lock(m_mutex);
    for (const auto &slot : Layout().processes)
      if (slot.dwProcessId == processId) return slot.dwRefCount;
    return 0;
  }
  // Gives every free callback slot to that process.
  void FillSlots(uint32_t processId) {
    const Locked lock(m_mutex);
    for (auto &slot : Layout().processes)
      if (slot.dwProcessId == 0) slot = {processId, 1};
  }
  // The process that holds the camera of that name: 0 when none.
  uint32_t Holder(const std::string &name) {
    const Locked lock(m_mutex);
    for (const auto &record : Layout().records)
      if (oxa::ZarUsb::IsPresent(record) && name == record.szFriendlyName) return record.dwOwnerProcessId;
    return 0;
  }

private:
  struct Locked {
    explicit Locked(oxa::ZarUsb::os::NamedMutex &mutex) : m(mutex) { m.Acquire(); }
    ~Locked() { m.Release(); }
    oxa::ZarUsb::os::NamedMutex &m;
  };
  oxa::ZarUsb::os::NamedMutex m_mutex;
  oxa::ZarUsb::os::SharedMemory m_memory;
};

// Helpers. Exit codes other than 0 name the check that failed.

// Opens the transport layer twice, registers a callback, opens the camera
// (when named) and ends without closing anything.
const bool kOpenAndExit = zar_test::RegisterHelper("open-and-exit", [](const std::vector<std::string> &args) {
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS || TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLSetCallback(tl, [](uint32_t, void *, int64_t, void *) {}, nullptr) != ZAR_SUCCESS) return 10;
  if (!args.empty() && TLOpenDevice(tl, "USB", args.at(0).c_str(), &device) != ZAR_SUCCESS) return 11;
  return 0;
});

// Enrols (and opens the camera, when named), says so, and waits to be killed.
const bool kEnrolAndWait = zar_test::RegisterHelper("enrol-and-wait", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (args.size() > 2 && TLOpenDevice(tl, "USB", args.at(2).c_str(), &device) != ZAR_SUCCESS) return 10;
  Touch(dir / ("enrolled" + args.at(1)));
  AwaitFile(dir / "never");
  return 0;
});

// Says it runs, and waits to be killed.
const bool kIdle = zar_test::RegisterHelper("idle", [](const std::vector<std::string> &args) {
  Touch(std::filesystem::path(args.at(0)) / "idle");
  AwaitFile(std::filesystem::path(args.at(0)) / "never");
  return 0;
});

// Opens the transport layer while every slot is taken, then again when told.
const bool kOpenWhenFull = zar_test::RegisterHelper("open-when-full", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  ZAR_TL_HANDLE untouched = reinterpret_cast<ZAR_TL_HANDLE>(0x1234);
  ZAR_TL_HANDLE tl = untouched;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_ERR_GENERAL) return 9;
  if (tl != untouched) return 10;
  Touch(dir / "refused");
  AwaitFile(dir / "retry");
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 11;
  if (TLClose(tl) != ZAR_SUCCESS) return 12;
  // The failed open counted no open.
  return TLClose(tl) == ZAR_ERR_INVALID_HANDLE ? 0 : 13;
});

// Plugs cameras and keeps each open, so that the driver refuses every other
// opener: adding one to the table takes ten attempts, two seconds. The
// table lock, held meanwhile, keeps the monitor's scan from them until then.
const bool kPlugAndHoldOpen = zar_test::RegisterHelper("plug-and-hold-open", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  oxa::ZarUsb::os::NamedMutex table;
  if (table.Open(oxa::ZarUsb::kTableMutexName) != 0 || table.Acquire() == oxa::ZarUsb::os::NamedMutex::Lock::Failed)
    return 9;
  std::vector<uintptr_t> held;
  for (int i = 0; i < std::stoi(args.at(1)); ++i) {
    oxa::ZarUsb::emulator::CameraConfig config;
    config.serial = "STALL" + std::to_string(i);
    const auto slot = oxa::ZarUsb::emulator::Plug(config);
    if (!slot) return 10;
    held.push_back(oxa::ZarUsb::emulator::HoldCamera(*slot));
    if (held.back() == 0) return 11;
  }
  table.Release();
  AwaitFile(dir / "never");
  return 0;
});

// The monitor owner: unloads while a scan is trying to open a camera.
const bool kUnloadInScan = zar_test::RegisterHelper("unload-in-scan", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  if (OpenDebugFile((dir / "trace").wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC) != 0) return 9;
  EnableZarTrace(1);
  // The role is taken on the monitor thread, after the load: only its owner
  // has a window to post to.
  const bool owner = WaitFor([] {
    return oxa::ZarUsb::os::PostSystemMessage(oxa::ZarUsb::os::kWmDeviceChange, oxa::ZarUsb::os::kDbtDevNodesChanged);
  });
  if (!owner) return 11;
  Touch(dir / "owner");
  const bool retrying = WaitFor(
      [&] { return FileText(dir / "trace").find("failed to instanciate driver") != std::string::npos; }, 60000);
  return retrying ? 0 : 10;
});

// Opens the camera, holds it until told to close it, then waits to exit.
const bool kOpenAndHold = zar_test::RegisterHelper("open-and-hold", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(1);
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLOpenDevice(tl, "USB", args.at(0).c_str(), &device) != ZAR_SUCCESS) return 10;
  Touch(dir / "held");
  if (!AwaitFile(dir / "close")) return 11;
  if (DevClose(device) != ZAR_SUCCESS) return 12;
  Touch(dir / "closed");
  AwaitFile(dir / "exit");
  TLClose(tl);
  return 0;
});

// Opens the camera with tracing on, then closes it; exit 0 when it opened.
const bool kOpenTraced = zar_test::RegisterHelper("open-traced", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(1);
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (OpenDebugFile((dir / "trace").wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC) != 0) return 10;
  EnableZarTrace(1);
  if (TLOpenDevice(tl, "USB", args.at(0).c_str(), &device) != ZAR_SUCCESS) return 11;
  DevClose(device);
  TLClose(tl);
  return 0;
});

// Takes the table lock and keeps it until killed.
const bool kHoldTableLock = zar_test::RegisterHelper("hold-table-lock", [](const std::vector<std::string> &args) {
  oxa::ZarUsb::os::NamedMutex table;
  if (table.Open("A8E5C897-286A-42d5-A004-522A9352D2B0") != 0) return 9;
  if (table.Acquire() == oxa::ZarUsb::os::NamedMutex::Lock::Failed) return 10;
  Touch(std::filesystem::path(args.at(0)) / "locked");
  AwaitFile(std::filesystem::path(args.at(0)) / "never");
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
  if (!AwaitFile(dir / "release1")) return 12;
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
  const auto traced = [&](const char *text) {
    return WaitFor([&] { return FileText(dir / "trace2").find(text) != std::string::npos; }, 60000);
  };
  if (!traced("Create a dummy window")) return 13;
  Touch(dir / "owner2");
  if (!traced("Leave UpdateDevicesList")) return 13;
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
  AwaitFile(dir / "exit");
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

class MultiProcess : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    // The monitor window takes its name from the environment, which
    // OtherNamespace changes for a moment: it must exist before.
    uint8_t changed = 0;
    TLUpdateInterfaceList(m_tl, &changed);
  }
  void TearDown() override { TLClose(m_tl); }

  // In a fresh namespace: the first process, which owns the monitor role and
  // holds a camera, then a second one waiting for the role.
  void StartOwnerAndWaiter(OtherNamespace &other) {
    const std::string dir = m_dir.Path().string();
    first = other.Start("monitor-first", {dir});
    ASSERT_TRUE(AwaitFile(m_dir / "ready1")) << "first exit " << first->Wait(0);
    second = other.Start("monitor-second", {dir});
    ASSERT_TRUE(AwaitFile(m_dir / "ready2")) << "second exit " << second->Wait(0);
  }

  ZAR_TL_HANDLE m_tl = nullptr;
  zar_test::TempDir m_dir;
  std::unique_ptr<HelperProcess> first, second;
};

TEST_F(MultiProcess, ACameraHeldByOneProcessIsRefusedToTheOthers) {
  zar_test::PluggedCameras cameras;
  cameras.Plug("MP1");
  ASSERT_TRUE(WaitFor([&] { return zar_test::ListedNames(m_tl) == std::vector<std::string>{"ZC1000_#MP1"}; }));
  HelperProcess holder("open-and-hold", {"ZC1000_#MP1", m_dir.Path().string()});
  ASSERT_TRUE(AwaitFile(m_dir / "held")) << "helper exit " << holder.Wait(0);
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#MP1", &device), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(device, nullptr);
  Touch(m_dir / "close");
  ASSERT_TRUE(AwaitFile(m_dir / "closed"));
  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#MP1", &device), ZAR_SUCCESS) << "free after DevClose there";
  EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
  Touch(m_dir / "exit");
  EXPECT_EQ(holder.Wait(), 0);
}

// The snapshot maps the table beside this process's library and unmaps it
// again: the table stays alive, and a process that comes later finds it.
TEST_F(MultiProcess, ASnapshotBesideTheLibraryLeavesTheTableToIt) {
  zar_test::PluggedCameras cameras;
  cameras.Plug("SNAP1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  const auto listed = oxa::ZarUsb::ReadSharedTable();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].serialNumber, "SNAP1");
  HelperProcess counter("count-devices", {m_dir.Path().string()});
  EXPECT_EQ(counter.Wait(), 0);
  EXPECT_EQ(FileText(m_dir / "count"), "1");
}

// Another process's open finds the driver taken (as right after a kill) and
// tries again: meanwhile this process's table calls are answered, and the
// open succeeds once the driver is free, still within its tries.
TEST_F(MultiProcess, AnOpenWaitingForItsDriverLeavesTheTableToTheOthers) {
  zar_test::PluggedCameras cameras;
  const uint32_t slot = cameras.Plug("WAIT1");
  ASSERT_TRUE(zar_test::WaitForName(m_tl, "ZC1000_#WAIT1"));
  const uintptr_t hold = oxa::ZarUsb::emulator::HoldCamera(slot);
  ASSERT_NE(hold, 0u);
  HelperProcess opener("open-traced", {"ZC1000_#WAIT1", m_dir.Path().string()});
  const bool retrying =
      WaitFor([&] { return FileText(m_dir / "trace").find("failed to instanciate driver") != std::string::npos; }, 60000);
  uint32_t count = 0;
  EXPECT_EQ(TLGetNumDevices(m_tl, "USB", &count), ZAR_SUCCESS);
  oxa::ZarUsb::emulator::ReleaseCamera(hold);
  ASSERT_TRUE(retrying) << "exit " << opener.Wait(0);
  EXPECT_EQ(opener.Wait(), 0) << "11: the open gave up before the table call was answered";
}

TEST_F(MultiProcess, AProcessKilledHoldingTheTableLockDoesNotStopTheOthers) {
  HelperProcess holder("hold-table-lock", {m_dir.Path().string()});
  ASSERT_TRUE(AwaitFile(m_dir / "locked")) << "helper exit " << holder.Wait(0);
  holder.Kill();
  EXPECT_NE(holder.Wait(), 0);
  zar_test::PluggedCameras cameras;
  cameras.Plug("LOCK1");
  EXPECT_TRUE(WaitForCount(m_tl, 1)) << "the table and the monitor work on";
}

TEST_F(MultiProcess, TheMonitorRoleMovesOnWhenItsOwnerUnloads) {
  OtherNamespace other;
  ASSERT_NO_FATAL_FAILURE(StartOwnerAndWaiter(other));
  EXPECT_EQ(FileText(m_dir / "trace2").find("Create a dummy window"), std::string::npos) << "not monitor while waiting";
  Touch(m_dir / "release1");
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0) << "11: table zeroed, 12: reservation unseen, 13: role not taken, 14: no scan";
  const std::string trace = FileText(m_dir / "trace2");
  EXPECT_NE(trace.find("InsertDevice Device already Referenced"), std::string::npos);
  EXPECT_EQ(trace.find("UpdateDevicesList : InsertDevice \\\\?\\zarusb-emu#slot00"), std::string::npos)
      << "the takeover scan announces no camera already listed";
}

TEST_F(MultiProcess, AKilledMonitorOwnerHandsTheRoleOnWithinASecond) {
  OtherNamespace other;
  ASSERT_NO_FATAL_FAILURE(StartOwnerAndWaiter(other));
  const auto killed = std::chrono::steady_clock::now();
  first->Kill();
  ASSERT_TRUE(AwaitFile(m_dir / "owner2")) << "second exit " << second->Wait(0);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  first->Wait();
  // The second process sees the next plug as the new owner.
  EXPECT_EQ(second->Wait(), 0) << "13: role not taken, 14: no scan";
}

// The monitor owner unloads while its scan waits on a camera: the scan stops
// before the next camera and the unload waits for it (it never takes the
// table away from under it).
TEST_F(MultiProcess, UnloadingDuringASlowScanWaitsForItsCurrentCamera) {
  OtherNamespace other;
  auto owner = other.Start("unload-in-scan", {m_dir.Path().string()});
  ASSERT_TRUE(AwaitFile(m_dir / "owner")) << "exit " << owner->Wait(0);
  const std::string cameras = "15"; // 30 s of scanning
  auto holder = other.Start("plug-and-hold-open", {m_dir.Path().string(), cameras}, false);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(owner->Wait(20000), 0) << "9: no trace, 10: no scan, 11: no monitor window";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  EXPECT_EQ(holder->Wait(0), -1) << "still holding the cameras";
}

TEST_F(MultiProcess, TheTableStartsEmptyOnceEveryProcessHasGone) {
  for (const bool killed : {false, true}) {
    OtherNamespace other;
    const zar_test::TempDir dir;
    auto plugger = other.Start("plug-and-list", {dir.Path().string()});
    ASSERT_TRUE(AwaitFile(dir / "listed")) << "exit " << plugger->Wait(0);
    if (killed)
      plugger->Kill();
    else
      Touch(dir / "exit");
    plugger->Wait();
    // The emulated camera is still on the bus; without emulation the new
    // process can only list what the table kept.
    auto counter = other.Start("count-devices", {dir.Path().string()}, false);
    EXPECT_EQ(counter->Wait(), 0);
    EXPECT_EQ(FileText(dir / "count"), "0") << (killed ? "after a kill" : "after a normal exit");
  }
}

// Enrolment in the table's notification list, and the slots and records of
// processes that ended without giving them back. This process starts
// closed.
class Enrolment : public ::testing::Test {
protected:
  void SetUp() override {
    ZAR_TL_HANDLE tl = nullptr;
    ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
    // Cameras of earlier tests gone from the table.
    ASSERT_TRUE(WaitForCount(tl, 0));
    TLClose(tl);
  }

  const uint32_t m_self = oxa::ZarUsb::os::CurrentProcessId();
  TableView m_table;
  zar_test::TempDir m_dir;
};

TEST_F(Enrolment, FollowsTheOpenCountWhateverTheNesting) {
  // Callbacks that earlier tests left registered keep their counts.
  const uint32_t registered = m_table.Enrolment(m_self);
  ZAR_TL_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &first), ZAR_SUCCESS);
  ASSERT_EQ(TLOpen(nullptr, nullptr, &second), ZAR_SUCCESS);
  EXPECT_EQ(first, second);
  EXPECT_EQ(m_table.Enrolment(m_self), registered + 2);
  EXPECT_EQ(TLClose(first), ZAR_SUCCESS);
  EXPECT_EQ(m_table.Enrolment(m_self), registered + 1);
  uint32_t interfaces = 0;
  EXPECT_EQ(TLGetNumInterfaces(first, &interfaces), ZAR_SUCCESS) << "still open";
  EXPECT_EQ(TLClose(first), ZAR_SUCCESS);
  EXPECT_EQ(m_table.Enrolment(m_self), registered) << "withdrawn at the last close";
  EXPECT_EQ(TLClose(first), ZAR_ERR_INVALID_HANDLE);
  EXPECT_EQ(TLOpen(nullptr, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLClose(first), ZAR_ERR_INVALID_HANDLE) << "a refused open opens nothing";
}

TEST_F(Enrolment, AProcessEndingWithoutClosingWithdrawsAndFreesItsCamera) {
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  zar_test::PluggedCameras cameras;
  cameras.Plug("EXIT1");
  ASSERT_TRUE(WaitFor([&] { return zar_test::ListedNames(tl) == std::vector<std::string>{"ZC1000_#EXIT1"}; }));
  HelperProcess helper("open-and-exit", {"ZC1000_#EXIT1"});
  const uint32_t id = helper.Id();
  EXPECT_EQ(helper.Wait(), 0) << "9: open, 10: callback, 11: camera";
  // Read before anything reclaims what an ended process left.
  EXPECT_EQ(m_table.Enrolment(id), 0u);
  EXPECT_EQ(m_table.Holder("ZC1000_#EXIT1"), 0u);
  TLClose(tl);
}

// Every slot taken by a running process: TLOpen fails and changes nothing;
// once that process has ended, the next TLOpen takes one of its slots.
TEST_F(Enrolment, AFailedOpenChangesNothingAndEndedProcessesGiveTheirSlotsBack) {
  HelperProcess taker("idle", {m_dir.Path().string()});
  // Once loaded: a process clears what the table holds under its id as it
  // loads.
  ASSERT_TRUE(AwaitFile(m_dir / "idle")) << "exit " << taker.Wait(0);
  m_table.FillSlots(taker.Id());
  HelperProcess opener("open-when-full", {m_dir.Path().string()});
  ASSERT_TRUE(AwaitFile(m_dir / "refused")) << "exit " << opener.Wait(0) << " (9: opened, 10: handle written)";
  EXPECT_EQ(m_table.Enrolment(opener.Id()), 0u);
  taker.Kill();
  taker.Wait();
  Touch(m_dir / "retry");
  EXPECT_EQ(opener.Wait(), 0) << "11: not opened, 12: not closed, 13: a second close worked";
  EXPECT_EQ(m_table.Enrolment(taker.Id()), 0u) << "every slot of the ended process freed";
}

// Processes killed while enrolled, one of each wave holding the camera,
// while this process keeps the table open: more than the table has slots.
TEST_F(Enrolment, KilledProcessesLeaveNeitherSlotsNorCamerasBehind) {
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  zar_test::PluggedCameras cameras;
  cameras.Plug("KILL1");
  ASSERT_TRUE(WaitFor([&] { return zar_test::ListedNames(tl) == std::vector<std::string>{"ZC1000_#KILL1"}; }));
  int started = 0;
  for (const int wave : {15, 16}) {
    std::vector<std::unique_ptr<HelperProcess>> helpers;
    for (int i = 0; i < wave; ++i, ++started) {
      std::vector<std::string> args = {m_dir.Path().string(), std::to_string(started)};
      if (i == 0) args.push_back("ZC1000_#KILL1");
      helpers.push_back(std::make_unique<HelperProcess>("enrol-and-wait", args));
    }
    for (int i = 0; i < wave; ++i)
      ASSERT_TRUE(AwaitFile(m_dir / ("enrolled" + std::to_string(started - wave + i))))
          << "helper " << i << " exit " << helpers[i]->Wait(0) << " (9: TLOpen, 10: TLOpenDevice)";
    EXPECT_NE(m_table.Holder("ZC1000_#KILL1"), 0u);
    for (auto &helper : helpers) helper->Kill();
    for (auto &helper : helpers) helper->Wait();
  }
  HelperProcess last("open-and-hold", {"ZC1000_#KILL1", m_dir.Path().string()});
  ASSERT_TRUE(AwaitFile(m_dir / "held")) << "exit " << last.Wait(0) << " (9: TLOpen, 10: TLOpenDevice)";
  Touch(m_dir / "close");
  Touch(m_dir / "exit");
  EXPECT_EQ(last.Wait(), 0);
  TLClose(tl);
}

} // namespace
