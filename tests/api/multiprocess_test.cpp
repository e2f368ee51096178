// Several processes on one shared table: enrolment, reservations, the monitor role, processes ending anyhow, namespaces.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <optional>

#include "camera_bench.h"
#include "heard.h"
#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "os/system_message.h"
#include "other_namespace.h"
#include "registry/shared_table.h"
#include "registry/table_snapshot.h"
#include "temp_dir.h"
#include "test_main.h"

namespace zar = oxa::ZarUsb;
using namespace zar_test;

namespace {

// The helper of the multi-process, notification and namespace tests: runs the steps after its folder ("verb
// [argument]"), leaving open what it opened, and exits with the number of the first that failed (0: none).
int RunSteps(const std::vector<std::string> &args) {
  static std::filesystem::path dir; // static: the callbacks reach it
  dir = args.at(0);
  static Heard heard;
  zar::os::NamedMutex table;
  ZAR_TL_HANDLE tl = nullptr, untouched = &heard, refused = untouched;
  ZAR_DEV_HANDLE device = nullptr;
  std::optional<uint32_t> slot;
  uint8_t changed = 0;
  // Stays plugged when this process goes.
  const auto plug = [](const std::string &serial) { return zar::emulator::Plug({.serial = serial, .userName = ""}); };
  // Never returns before "exit": the pipe of the process stays busy.
  const auto stuck = [](uint32_t, void *, int64_t, void *) { Touch(dir / "stuck"); AwaitFile(dir / "exit"); };
  for (size_t step = 1; step < args.size(); ++step) {
    const size_t space = std::min(args[step].find(' '), args[step].size());
    const std::string verb = args[step].substr(0, space), arg = args[step].substr(std::min(space + 1, args[step].size()));
    std::vector<std::string> heardLines{Line(USB_PLUGGED_DEVICE, arg)};
    if (verb == "heard-plug-unplug") heardLines.push_back(Line(USB_UNPLUGGED_DEVICE, arg));
    bool done = true;
    if (verb == "open") done = TLOpen(nullptr, nullptr, &tl) == ZAR_SUCCESS;
    else if (verb == "open-refused") // every callback slot taken: the open fails and writes no handle
      done = TLOpen(nullptr, nullptr, &refused) == ZAR_ERR_GENERAL && refused == untouched;
    else if (verb == "close" || verb == "closed")
      done = TLClose(tl) == (verb == "close" ? ZAR_SUCCESS : ZAR_ERR_INVALID_HANDLE);
    else if (verb == "callback") done = TLSetCallback(tl, Heard::Note, &heard) == ZAR_SUCCESS;
    else if (verb == "stuck-callback") done = TLSetCallback(tl, stuck, nullptr) == ZAR_SUCCESS;
    else if (verb == "heard-plug" || verb == "heard-plug-unplug")
      done = WaitFor([&] { return heard.Lines(arg) == heardLines; }, 60000);
    else if (verb == "opendev" || verb == "refused")
      done = TLOpenDevice(tl, "USB", arg.c_str(), &device) == (verb == "opendev" ? ZAR_SUCCESS : ZAR_ERR_ACCESS_DENIED);
    else if (verb == "devclose") done = DevClose(device) == ZAR_SUCCESS;
    else if (verb == "plug") done = (slot = plug(arg)).has_value();
    else if (verb == "unplug") done = slot && zar::emulator::Unplug(*slot);
    else if (verb == "listed") done = WaitForCount(tl, std::stoul(arg));
    else if (verb == "scanned") done = TLUpdateDeviceList(tl, "USB", &changed) == ZAR_SUCCESS; // the first scan
    else if (verb == "touch") Touch(dir / arg);
    else if (verb == "await") done = AwaitFile(dir / arg);
    else if (verb == "trace")
      done = (EnableZarTrace(1), OpenDebugFile((dir / "trace").wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT) == 0);
    else if (verb == "traced")
      done = WaitFor([&] { return FileText(dir / "trace").find(arg) != std::string::npos; }, 60000);
    else if (verb == "monitor") // only the monitor thread's owner has a window to post to
      done = WaitFor([] { return zar::os::PostSystemMessage(zar::os::kWmDeviceChange, zar::os::kDbtDevNodesChanged); });
    else if (verb == "lock")
      done = table.Open(zar::kTableMutexName) == 0 && table.Acquire() != zar::os::NamedMutex::Lock::Failed;
    else if (verb == "unlock") table.Release();
    else if (verb == "stall") // cameras kept open, so that the driver refuses every other opener
      for (int i = 0; i < std::stoi(arg) && done; ++i)
        done = (slot = plug("STALL" + std::to_string(i))) && zar::emulator::HoldCamera(*slot) != 0;
    else done = false;
    if (!done) return static_cast<int>(step);
  }
  return 0;
}
const bool kSteps = zar_test::RegisterHelper("steps", RunSteps);

// The marker file came, or the helper failed before it (which step).
::testing::AssertionResult Reached(const std::filesystem::path &marker, HelperProcess &helper) {
  if (AwaitFile(marker)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed step " << helper.Wait(0);
}

// The process holding the camera of that name in the table (0: none).
uint32_t Holder(const std::string &name) {
  for (const zar::ListedCamera &camera : zar::ReadSharedTable())
    if (camera.friendlyName == name) return camera.ownerProcessId;
  return 0;
}

struct MultiProcess : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    uint8_t changed = 0; // the monitor window, named from the environment OtherNamespace changes
    TLUpdateInterfaceList(m_tl, &changed);
  }
  void TearDown() override { TLClose(m_tl); }

  ZAR_TL_HANDLE m_tl = nullptr;
  TempDir m_dir;
};

// The monitor role passes to the second process once the first unloads, or within a second of its kill; the takeover
// scan announces no camera already listed. Once every process has gone the table starts empty.
TEST_F(MultiProcess, TheMonitorRoleMovesOnAndTheTableStartsEmptyOnceEveryProcessHasGone) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "unloaded");
    OtherNamespace other;
    const TempDir dir;
    auto first = other.Start("steps", {dir.Path().string(), "open", "plug HAND1", "listed 1", "opendev ZC1000_#HAND1",
                                       "touch ready1", "await release1", "devclose", "close"});
    ASSERT_TRUE(Reached(dir / "ready1", *first));
    auto second = other.Start("steps", {dir.Path().string(), "open", "trace", "listed 1", "refused ZC1000_#HAND1",
                                        "touch ready2", "traced Create a dummy window", "touch owner2",
                                        "traced Leave UpdateDevicesList", "plug HAND2", "listed 2", "touch done",
                                        "await exit"});
    ASSERT_TRUE(Reached(dir / "ready2", *second));
    EXPECT_EQ(FileText(dir / "trace").find("Create a dummy window"), std::string::npos) << "monitor while waiting";
    const auto gone = std::chrono::steady_clock::now();
    killed ? first->Kill() : Touch(dir / "release1");
    ASSERT_TRUE(Reached(dir / "owner2", *second));
    EXPECT_TRUE(!killed || std::chrono::steady_clock::now() - gone < std::chrono::seconds(1)) << "late after the kill";
    EXPECT_EQ(first->Wait() != 0, killed);
    ASSERT_TRUE(Reached(dir / "done", *second));
    killed ? second->Kill() : Touch(dir / "exit");
    EXPECT_EQ(second->Wait() != 0, killed);
    const std::string trace = FileText(dir / "trace");
    EXPECT_NE(trace.find("InsertDevice Device already Referenced"), std::string::npos);
    EXPECT_EQ(trace.find("UpdateDevicesList : InsertDevice \\\\?\\zarusb-emu#slot00"), std::string::npos)
        << "the takeover scan announces no camera already listed";
    // Without emulation a new process lists only what the table kept.
    EXPECT_EQ(other.Start("steps", {dir.Path().string(), "open", "listed 0"}, false)->Wait(), 0) << "table kept";
  }
}

// Guards a hang at exit (Windows): a process ending while its monitor thread scans, the first of its namespace, waits
// for nothing that thread held. An owner unloading while its scan waits on a camera stops the scan and waits for it.
TEST_F(MultiProcess, AProcessEndingAsItsMonitorScansEndsAtOnceOrAfterTheCameraTheScanWaitsOn) {
  for (int round = 0; round < 20; ++round)
    EXPECT_EQ(OtherNamespace().Start("steps", {m_dir.Path().string()})->Wait(), 0) << "round " << round;
  OtherNamespace other;
  const std::string dir = m_dir.Path().string();
  auto owner = other.Start("steps", {dir, "trace", "monitor", "touch owner", "traced failed to instanciate driver"});
  ASSERT_TRUE(Reached(m_dir / "owner", *owner));
  // Each held camera costs the scan ten attempts (2 s); all held first.
  auto holder = other.Start("steps", {dir, "lock", "stall 15", "unlock", "await never"}, false);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(owner->Wait(20000), 0) << "failed step";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  EXPECT_EQ(holder->Wait(0), -1) << "still holding the cameras";
}

// Enrolment in the table's notification list, read under the table lock.
struct Enrolment : ::testing::Test {
  void SetUp() override {
    ZAR_TL_HANDLE tl = nullptr;
    ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
    ASSERT_TRUE(WaitForCount(tl, 0)); // cameras of earlier tests gone
    TLClose(tl);
    bool existed = false;
    m_mutex.Open(zar::kTableMutexName);
    m_memory.Open(zar::kTableMappingName, sizeof(zar::SharedTableLayout), &existed);
  }
  // The process's enrolment count (0: none); `fill` first gives it every free slot.
  uint32_t Slots(uint32_t processId, bool fill = false) {
    uint32_t count = 0;
    m_mutex.Acquire();
    for (zar::CallbackProcessSlot &slot : static_cast<zar::SharedTableLayout *>(m_memory.Data())->processes) {
      if (fill && slot.dwProcessId == 0) slot = {processId, 1};
      if (slot.dwProcessId == processId && count == 0) count = slot.dwRefCount;
    }
    m_mutex.Release();
    return count;
  }

  const uint32_t m_self = zar::os::CurrentProcessId();
  zar::os::NamedMutex m_mutex;
  zar::os::SharedMemory m_memory;
  TempDir m_dir;
  const std::string m_path = m_dir.Path().string();
};

// Enrolment follows the open count. Every slot taken by a running process: TLOpen fails and changes nothing; once that
// process has ended, the next TLOpen takes one of its slots. One killed holding the table lock stops nobody. An exit
// without closing, or kills while enrolled (more processes than slots, one of each wave holding the camera), leave no
// slot or camera behind; an open finding the driver taken retries without blocking the table; only the holder opens.
TEST_F(Enrolment, FollowsTheOpenCountAndProcessesEndingAnyWayLeaveTheirSlotsTheTableAndTheirCameraToTheOthers) {
  const uint32_t registered = Slots(m_self); // callbacks earlier tests left
  ZAR_TL_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &first), ZAR_SUCCESS);
  ASSERT_EQ(TLOpen(nullptr, nullptr, &second), ZAR_SUCCESS);
  EXPECT_EQ(first, second);
  EXPECT_EQ(Slots(m_self), registered + 2);
  EXPECT_EQ(TLClose(first), ZAR_SUCCESS);
  EXPECT_EQ(Slots(m_self), registered + 1);
  uint32_t interfaces = 0;
  EXPECT_EQ(TLGetNumInterfaces(first, &interfaces), ZAR_SUCCESS) << "still open";
  EXPECT_EQ(TLClose(first), ZAR_SUCCESS);
  EXPECT_EQ(Slots(m_self), registered) << "withdrawn at the last close";

  HelperProcess taker("steps", {m_path, "open", "touch enrolled", "await never"});
  ASSERT_TRUE(Reached(m_dir / "enrolled", taker)); // a process clears its id's slots as it loads
  Slots(taker.Id(), true);
  HelperProcess opener("steps", {m_path, "open-refused", "touch refused", "await retry", "open", "close", "closed"});
  ASSERT_TRUE(Reached(m_dir / "refused", opener));
  EXPECT_EQ(Slots(opener.Id()), 0u);
  taker.Kill(); taker.Wait();
  Touch(m_dir / "retry");
  EXPECT_EQ(opener.Wait(), 0) << "failed step";
  EXPECT_EQ(Slots(taker.Id()), 0u) << "every slot of the ended process freed";

  const std::string name = "ZC1000_#KILL1";
  HelperProcess locker("steps", {m_path, "lock", "touch locked", "await never"});
  ASSERT_TRUE(Reached(m_dir / "locked", locker));
  locker.Kill();
  EXPECT_NE(locker.Wait(), 0);
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  PluggedCameras cameras;
  const uint32_t slot = cameras.Plug("KILL1");
  ASSERT_TRUE(WaitForName(tl, name)) << "the table and the monitor work on";
  HelperProcess exits("steps", {m_path, "open", "open", "callback", "opendev " + name});
  EXPECT_EQ(exits.Wait(), 0) << "failed step";
  // Read before anything reclaims what the ended process left.
  EXPECT_EQ(Slots(exits.Id()), 0u);
  EXPECT_EQ(Holder(name), 0u);

  int started = 0;
  for (const int wave : {15, 16}) {
    std::vector<std::unique_ptr<HelperProcess>> helpers;
    for (int i = 0; i < wave; ++i, ++started) {
      std::vector<std::string> steps = {m_path, "open", "touch enrolled" + std::to_string(started), "await never"};
      if (i == 0) steps.insert(steps.begin() + 2, "opendev " + name);
      helpers.push_back(std::make_unique<HelperProcess>("steps", steps));
    }
    for (int i = 0; i < wave; ++i)
      ASSERT_TRUE(Reached(m_dir / ("enrolled" + std::to_string(started - wave + i)), *helpers[i])) << i;
    EXPECT_NE(Holder(name), 0u);
    for (auto &helper : helpers) helper->Kill();
    for (auto &helper : helpers) helper->Wait();
  }

  const uintptr_t taken = zar::emulator::HoldCamera(slot); // as a process just killed may still hold it
  ASSERT_NE(taken, 0u);
  HelperProcess last("steps", {m_path, "trace", "open", "opendev " + name, "touch held", "await close", "devclose",
                               "touch closed", "await exit", "close"});
  const bool retrying = WaitFor(
      [&] { return FileText(m_dir / "trace").find("failed to instanciate driver") != std::string::npos; }, 60000);
  uint32_t count = 0;
  EXPECT_EQ(TLGetNumDevices(tl, "USB", &count), ZAR_SUCCESS);
  zar::emulator::ReleaseCamera(taken);
  ASSERT_TRUE(retrying) << "failed step " << last.Wait(0);
  ASSERT_TRUE(AwaitFile(m_dir / "held")) << "gave up before the table call was answered: " << last.Wait(0);
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(tl, "USB", name.c_str(), &device), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(device, nullptr);
  Touch(m_dir / "close");
  ASSERT_TRUE(AwaitFile(m_dir / "closed"));
  ASSERT_EQ(TLOpenDevice(tl, "USB", name.c_str(), &device), ZAR_SUCCESS) << "free after DevClose there";
  EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
  Touch(m_dir / "exit");
  EXPECT_EQ(last.Wait(), 0);
  TLClose(tl);
}

// In a namespace with a long name, and in none, a camera plugged after the library's first scan reaches it (the
// emulator's message finds the monitor, the monitor's broadcast finds the callback pipe) and can be opened.
int PlugSeen(OtherNamespace &&other) {
  const TempDir dir;
  return other
      .Start("steps", {dir.Path().string(), "open", "callback", "scanned", "listed 0", "plug SEEN1", "listed 1",
                       "heard-plug ZC1000_#SEEN1", "opendev ZC1000_#SEEN1", "devclose", "unplug", "close"})
      ->Wait(60000);
}

TEST(Namespaces, AHundredCharacterNameWorksLikeAShortOne) {
  EXPECT_EQ(PlugSeen(OtherNamespace(100)), 0) << "failed step";
}

// Run by its own test entry on Windows once no other program has the library loaded in the default namespace.
TEST(DefaultNamespace, HearsTheEmulator) {
  if (std::getenv("ZAR_TEST_DEFAULT_NAMESPACE") == nullptr) GTEST_SKIP() << "run by the default_namespace test";
  EXPECT_EQ(PlugSeen(OtherNamespace(OtherNamespace::Default{})), 0) << "failed step";
}

} // namespace
