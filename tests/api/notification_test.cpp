// Transport-layer and device callbacks in every process, including ones that call back in, close their device or hang.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "heard.h"
#include "hibernation.h"
#include "open_stream.h"
#include "os/message_pipe.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/notification.h"
#include "test_main.h"

namespace emulator = oxa::ZarUsb::emulator;
using namespace zar_test;

namespace {

struct TransportLayerCallbacks : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_EQ(TLSetCallback(m_tl, Heard::Note, &m_recorder), ZAR_SUCCESS);
    s_tl = m_tl;
    s_status = 1;
  }
  void TearDown() override { TLRemoveCallback(m_tl, Heard::Note); TLClose(m_tl); }
  // Writes a plug of that name straight to this process's callback pipe.
  static uint32_t SendPlugToSelf(std::string name) {
    using namespace oxa::ZarUsb;
    name.resize(260); // the message takes a 260-byte field
    const auto message = MakeNotificationMessage(USB_PLUGGED_DEVICE, 0, name.c_str());
    return os::WritePipeMessage(CallbackPipeName(os::CurrentProcessId()), &message, sizeof message);
  }

  // For the callbacks: the transport layer, and what they found (1: not yet).
  static inline ZAR_TL_HANDLE s_tl = nullptr;
  static inline std::atomic<ZAR_STATUS> s_status{1};
  ZAR_TL_HANDLE m_tl = nullptr;
  Heard m_recorder;
  TempDir m_dir;
  PluggedCameras m_cameras;
};

// Plug and unplug reach every enrolled process in order; a dead one, or one whose callback never returns, delays nobody.
TEST_F(TransportLayerCallbacks, PlugAndUnplugReachEveryProcessPastDeadAndStuckOnesAndLeaveNoStaleRecord) {
  const std::string dir = m_dir.Path().string();
  HelperProcess dead("steps", {dir, "open", "touch enrolled", "await never"});
  HelperProcess stuck("steps", {dir, "open", "stuck-callback", "touch ready", "await exit", "close"});
  HelperProcess watcher("steps", {dir, "open", "callback", "touch watching", "heard-plug-unplug ZC1000_#NT1", "close"});
  for (const char *ready : {"enrolled", "ready", "watching"}) ASSERT_TRUE(AwaitFile(m_dir / ready)) << ready;
  dead.Kill(); dead.Wait();
  const uint32_t slot = m_cameras.Plug("NT1");
  ASSERT_TRUE(AwaitFile(m_dir / "stuck"));
  for (const char *serial : {"DS2", "DS3"}) m_cameras.Plug(serial);
  for (const char *name : {"ZC1000_#NT1", "ZC1000_#DS2", "ZC1000_#DS3"})
    EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, name))) << name;
  m_cameras.Unplug(slot);
  EXPECT_TRUE(m_recorder.Has(Line(USB_UNPLUGGED_DEVICE, "ZC1000_#NT1")));
  EXPECT_EQ(watcher.Wait(), 0) << "failed step";
  Touch(m_dir / "exit");
  EXPECT_EQ(stuck.Wait(), 0) << "failed step";

  // A holder closes its device as soon as a request fails, which can be before this process's callback thread handles
  // the unplug: the record goes all the same, the camera comes back under its own name, each unplug heard once.
  const std::string name = "ZC1000_#HF1";
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> expected;
  for (int round = 0; round < 8 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint32_t held = m_cameras.Plug("HF1");
    ASSERT_TRUE(WaitForName(m_tl, name)) << ListedNames(m_tl).size();
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", name.c_str(), &device), ZAR_SUCCESS);
    std::thread holder([device] {
      char text[16];
      for (uint64_t size = sizeof text; GCReadData(device, 0, 0x20, text, &size) == ZAR_SUCCESS;) size = sizeof text;
      DevClose(device);
    });
    m_cameras.Unplug(held);
    holder.join();
    ASSERT_TRUE(WaitForName(m_tl, name, false, 5000)) << "stale record";
    expected.insert(expected.end(), {Line(USB_PLUGGED_DEVICE, name), Line(USB_UNPLUGGED_DEVICE, name)});
  }
  EXPECT_TRUE(WaitFor([&] { return m_recorder.Lines(name).size() >= expected.size(); }));
  EXPECT_EQ(m_recorder.Lines(name), expected);
}

// The library keeps the namespace it loaded in when ZAR_USB_NAMESPACE changes after: the monitor still finds the pipe.
// A callback opens and closes the camera it hears of, makes the last close and reopens; a fresh thread serves the pipe.
TEST_F(TransportLayerCallbacks, ACallbackMayReopenTheTransportLayerAndTheLastCloseWaitsForTheRunningOne) {
  ASSERT_EQ(TLClose(m_tl), ZAR_SUCCESS);
  const std::string own = std::getenv("ZAR_USB_NAMESPACE");
  oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", (own + "-elsewhere").c_str());
  const ZAR_STATUS opened = TLOpen(nullptr, nullptr, &m_tl);
  const std::string folder = oxa::ZarUsb::os::NamespaceFolder();
  oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", own.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  ASSERT_EQ(opened, ZAR_SUCCESS);
  s_tl = m_tl;
  const auto reenter = [](uint32_t event, void *pData, int64_t, void *) {
    ZAR_DEV_HANDLE device = nullptr;
    ZAR_TL_HANDLE tl = nullptr;
    if (event != USB_PLUGGED_DEVICE || std::strcmp(static_cast<const char *>(pData), "ZC1000_#RE1") != 0) return;
    const ZAR_STATUS opened = TLOpenDevice(s_tl, "USB", static_cast<const char *>(pData), &device);
    const bool reopened = DevClose(device) == ZAR_SUCCESS && TLClose(s_tl) == ZAR_SUCCESS &&
                          TLOpen(nullptr, nullptr, &tl) == ZAR_SUCCESS;
    s_status = reopened || opened != ZAR_SUCCESS ? opened : ZAR_ERR_GENERAL;
  };
  ASSERT_EQ(TLSetCallback(m_tl, reenter, nullptr), ZAR_SUCCESS);
  m_cameras.Plug("RE1");
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "ZC1000_#RE1"))) << "the monitor lost the pipe";
  ASSERT_TRUE(WaitFor([] { return s_status != 1; }));
  EXPECT_EQ(s_status, ZAR_SUCCESS);
  ASSERT_EQ(SendPlugToSelf("after"), 0u);
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "after")));
  EXPECT_EQ(TLRemoveCallback(m_tl, reenter), ZAR_SUCCESS);

  // A callback calling exports that take the transport layer's lock while the last close runs: the close does not
  // deadlock, returns after it, drops the plugs queued behind it and removes the pipe.
  static std::atomic<int> calls;
  const auto slow = [](uint32_t, void *, int64_t, void *) {
    if (calls++ != 0) return;
    uint32_t count = 0;
    ZAR_DEV_HANDLE device = nullptr;
    WaitFor([&] { return TLGetNumInterfaces(s_tl, &count) == ZAR_ERR_INVALID_HANDLE; });
    const bool refused = TLGetNumDevices(s_tl, "USB", &count) == ZAR_ERR_INVALID_HANDLE &&
                         TLOpenDevice(s_tl, "USB", "nothing", &device) == ZAR_ERR_INVALID_HANDLE;
    s_status = refused ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
  };
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    calls = 0; s_status = 1;
    ASSERT_EQ(TLSetCallback(m_tl, slow, nullptr), ZAR_SUCCESS);
    ASSERT_EQ(SendPlugToSelf("running"), 0u);
    ASSERT_TRUE(WaitFor([] { return calls.load() == 1; }));
    for (const char *queued : {"queued1", "queued2", "queued3"}) ASSERT_EQ(SendPlugToSelf(queued), 0u);
    auto closing = std::async(std::launch::async, [&] { return TLClose(m_tl); });
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "deadlock";
    EXPECT_EQ(closing.get(), ZAR_SUCCESS);
    EXPECT_EQ(s_status, ZAR_SUCCESS) << "returned before the running callback, or it was let in";
    EXPECT_EQ(calls, 1) << "queued plugs delivered by the close";
    EXPECT_EQ(SendPlugToSelf("closed"), 2u) << "no pipe while closed";
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_EQ(TLRemoveCallback(m_tl, slow), ZAR_SUCCESS);
    ASSERT_EQ(SendPlugToSelf("reopened"), 0u);
    ASSERT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "reopened"))) << "the callback outlived the close";
  }
  EXPECT_TRUE(m_recorder.Lines("queued").empty()) << "delivered after the close";
}

// A device callback noting what it hears and closing its device; a transport-layer one noting into it after "tl ".
struct ClosesItself { ZAR_DEV_HANDLE device = nullptr; Heard heard; std::atomic<ZAR_STATUS> closed{1}; };

void CloseOwnDevice(uint32_t event, void *pData, int64_t size, void *context) {
  auto *self = static_cast<ClosesItself *>(context);
  Heard::Note(event, pData, size, &self->heard);
  self->closed = DevClose(self->device);
}

void NoteAfterTheDevice(uint32_t event, void *pData, int64_t size, void *context) {
  static_cast<ClosesItself *>(context)->heard.Add("tl " + Line(event, static_cast<const char *>(pData), size));
}

// Events arrive with their data and length, in order, one callback each (registered twice, it is kept once with its
// latest context); a suspend and the end of the sleep arrive without data.
TEST(DeviceEvents, ArriveWithTheirDataAndLengthOneCallbackEachInOrderAsDoesASleepAndNoneAfterACloseOrAnUnplug) {
  ShortRecoveryWait wait;
  Heard heard; // outlives the camera, whose callback reaches it
  OpenCamera camera(StreamConfig("EV1"));
  ASSERT_TRUE(camera.Ready());
  EXPECT_EQ(DevSetCallback(camera.Device(), nullptr, &heard), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(DevSetCallback(camera.Device(), Heard::NoteBytes, nullptr), ZAR_SUCCESS);
  ASSERT_EQ(DevSetCallback(camera.Device(), Heard::NoteBytes, &heard), ZAR_SUCCESS);
  std::vector<std::string> raised;
  for (uint32_t i = 0; i < 40; ++i) {
    std::string data(i * 7 % 65, '\0');
    for (size_t b = 0; b < data.size(); ++b) data[b] = static_cast<char>(i + b);
    ASSERT_TRUE(emulator::RaiseEvent(camera.Slot(), 0x4000 + i, data.data(), static_cast<uint32_t>(data.size())));
    raised.push_back(Line(0x4000 + i, data, static_cast<int64_t>(data.size())));
    if (i % 8 == 7) { ASSERT_TRUE(WaitFor([&] { return heard.Lines().size() == raised.size(); })) << i; } // bursts
  }
  EXPECT_TRUE(heard.Lines() == raised);
  emulator::Suspend(); // and its end
  emulator::Resume();
  raised.insert(raised.end(), {Line(PC_SUSPEND_MODE, "", 0), Line(PC_RESTORE_SLEEP_MODE, "", 0)});
  EXPECT_TRUE(WaitFor([&] { return heard.Lines() == raised; }, 6 * ShortRecoveryWait::kMilliseconds));
  EXPECT_EQ(DevRemoveCallback(camera.Device(), Heard::NoteBytes), ZAR_SUCCESS);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), Heard::NoteBytes), ZAR_ERR_NO_DATA);
  ASSERT_EQ(DevClose(camera.Device()), ZAR_SUCCESS);
  EXPECT_EQ(DevRemoveCallback(camera.Device(), Heard::NoteBytes), ZAR_ERR_INVALID_HANDLE);

  // Events racing a close or an unplug end with it: no callback after.
  struct Counts { std::atomic<int> heard{0}, afterClose{0}; std::atomic<bool> closed{false}; };
  const auto count = [](uint32_t, void *, int64_t, void *context) {
    auto &counts = *static_cast<Counts *>(context);
    ++(counts.closed ? counts.afterClose : counts.heard);
  };
  for (const bool unplug : {false, true}) {
    OpenCamera racing(StreamConfig(unplug ? "EVU" : "EVD"));
    ASSERT_TRUE(racing.Ready());
    Counts counts;
    ASSERT_EQ(DevSetCallback(racing.Device(), count, &counts), ZAR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
      for (uint32_t i = 0; !stop; ++i) emulator::RaiseEvent(racing.Slot(), 0x10000 | (i & 0xFFFF), &i, sizeof i);
    });
    ASSERT_TRUE(WaitFor([&] { return counts.heard >= 20; }));
    if (unplug) {
      emulator::Unplug(racing.Slot());
      // Probed without closing: a close here would race the unplug's and leave the record to the next rescan.
      EXPECT_TRUE(WaitFor([&] { return DevSetCallback(racing.Device(), count, &counts) == ZAR_ERR_INVALID_HANDLE; }));
    } else {
      EXPECT_EQ(DevClose(racing.Device()), ZAR_SUCCESS);
    }
    counts.closed = true; stop = true;
    raiser.join();
    EXPECT_EQ(counts.afterClose, 0);
  }
}

TEST_F(TransportLayerCallbacks, ADriverThatFailsOrAnswersAtOnceEndsTheEventThreadWithoutACallback) {
  using namespace oxa::ZarUsb::emulator;
  for (FaultKind fault : {FaultKind::SystemError, FaultKind::AtOnce}) {
    TraceCapture trace;
    const std::string serial = "EVF" + std::to_string(static_cast<int>(fault)), name = "ZC1000_#" + serial;
    const uint32_t slot = m_cameras.Plug(serial);
    ASSERT_TRUE(WaitForName(m_tl, name));
    ASSERT_TRUE(RaiseEvent(slot, 1, nullptr, 0)); // queued for the at-once answer
    ASSERT_TRUE(InjectFault(slot, Request::GetEvent, fault, 1, 0));
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", name.c_str(), &device), ZAR_SUCCESS);
    // The open returns once the thread has ended, which it then traces.
    EXPECT_TRUE(WaitFor([&] { return trace.Text().find("ZAR=> ThreadEvent terminated") != std::string::npos; }));
    EXPECT_EQ(trace.Text().find("FireCallback unEventID"), std::string::npos);
    EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
  }
}

// An unplug tells the device, then closes it, then tells the application, even when the device's callback closed it.
// A close waits for a callback that hangs three seconds at most, and never for the callback it is called from.
TEST(DeviceEvents, AnUnplugOrAnEventMayCloseTheDeviceFromItsCallbackAndACloseWaitsAtMostThreeSecondsForOne) {
  TraceCapture trace;
  ClosesItself unplugged, self; // outlive the cameras, whose callbacks reach them
  const auto config = StreamConfig("UNP");
  const std::string name = CameraName(config), unplug = Line(USB_UNPLUGGED_DEVICE, name);
  OpenCamera camera(config), closing(StreamConfig("EVC")), hanging(StreamConfig("EVS"));
  ASSERT_TRUE(camera.Ready() && closing.Ready() && hanging.Ready());
  unplugged.device = camera.Device();
  ASSERT_EQ(DevSetCallback(camera.Device(), CloseOwnDevice, &unplugged), ZAR_SUCCESS);
  ASSERT_EQ(TLSetCallback(camera.TL(), NoteAfterTheDevice, &unplugged), ZAR_SUCCESS);
  emulator::Unplug(camera.Slot());
  ASSERT_TRUE(unplugged.heard.Has("tl " + unplug));
  EXPECT_EQ(unplugged.heard.Lines(unplug), (std::vector<std::string>{unplug, "tl " + unplug}));
  const std::vector<std::string> expected{
      "ZAR=> CallBackThread : USB_UNPLUGGED_DEVICE:" + name + " => bSleep=0",
      "ZAR=> CallBackThread : FireCallback USB_UNPLUGGED_DEVICE for device " + name, "ZAR=> Enter DevClose hDev=",
      "ZAR=> CallBackThread : => Force internal device close", "ZAR=> Enter RemoveDisconnectedDevice Index="};
  std::vector<std::string> seen;
  for (const std::string &line : trace.Lines("ZAR=> "))
    for (const std::string &part : expected)
      if (line.rfind(part, 0) == 0) seen.push_back(part);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(unplugged.closed, ZAR_SUCCESS);
  EXPECT_EQ(DevClose(camera.Device()), ZAR_ERR_INVALID_HANDLE);
  EXPECT_TRUE(WaitForName(camera.TL(), name, false)) << "the record was emptied";
  EXPECT_EQ(TLRemoveCallback(camera.TL(), NoteAfterTheDevice), ZAR_SUCCESS);

  self.device = closing.Device();
  ASSERT_EQ(DevSetCallback(closing.Device(), CloseOwnDevice, &self), ZAR_SUCCESS);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(emulator::RaiseEvent(closing.Slot(), 9, nullptr, 0));
  ASSERT_TRUE(WaitFor([&] { return self.closed != 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "the close waited for its own thread";
  EXPECT_EQ(self.closed, ZAR_SUCCESS);
  EXPECT_EQ(self.heard.Lines().size(), 1u);
  EXPECT_EQ(DevClose(closing.Device()), ZAR_ERR_INVALID_HANDLE);

  static std::atomic<bool> entered, release, returned;
  entered = release = returned = false;
  const auto hang = [](uint32_t, void *, int64_t, void *) {
    entered = true;
    WaitFor([] { return release.load(); }, 60000);
    returned = true;
  };
  ASSERT_EQ(DevSetCallback(hanging.Device(), hang, nullptr), ZAR_SUCCESS);
  ASSERT_TRUE(emulator::RaiseEvent(hanging.Slot(), 9, nullptr, 0));
  ASSERT_TRUE(WaitFor([] { return entered.load(); }));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(DevClose(hanging.Device()), ZAR_SUCCESS);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(2500));
  EXPECT_LT(took, std::chrono::seconds(6));
  // The thread left running ends after its callback, touching nothing closed.
  ASSERT_TRUE(emulator::RaiseEvent(hanging.Slot(), 10, nullptr, 0));
  release = true;
  EXPECT_TRUE(WaitFor([] { return returned.load(); }));
}


} // namespace
