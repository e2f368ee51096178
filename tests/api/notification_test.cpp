// Plug and unplug events reaching the transport-layer callbacks of every
// process that has the library open: across processes, past dead and stuck
// ones, through the callback pipe's rules, and with callbacks that call back
// into the library.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camera_bench.h"
#include "heard.h"
#include "os/message_pipe.h"
#include "os/namespace.h"
#include "os/system_info.h"
#include "registry/notification.h"
#include "temp_dir.h"
#include "test_main.h"

using zar_test::AwaitFile;
using zar_test::Heard;
using zar_test::HelperProcess;
using zar_test::Line;
using zar_test::Touch;
using zar_test::WaitFor;

namespace {

// Waits, in a process of its own, until its transport-layer callback has
// heard the plug and then the unplug of the camera named.
const bool kWatchEvents = zar_test::RegisterHelper("tl-watch-events", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  static Heard recorder;
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLSetCallback(tl, Heard::Note, &recorder) != ZAR_SUCCESS) return 10;
  Touch(dir / ("ready-" + args.at(1)));
  if (!recorder.Has(Line(USB_UNPLUGGED_DEVICE, args.at(2)), 60000)) return 11;
  if (!recorder.Has(Line(USB_PLUGGED_DEVICE, args.at(2)), 0)) return 12;
  if (recorder.Lines().back() != Line(USB_UNPLUGGED_DEVICE, args.at(2))) return 13;
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 14;
});

// Its callback never returns before "exit": its pipe stays busy.
const bool kStuckInCallback = zar_test::RegisterHelper("tl-stuck-in-callback", [](const std::vector<std::string> &args) {
  static std::filesystem::path dir;
  dir = args.at(0);
  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  const auto stuck = [](uint32_t, void *, int64_t, void *) {
    Touch(dir / "stuck");
    AwaitFile(dir / "exit");
  };
  if (TLSetCallback(tl, stuck, nullptr) != ZAR_SUCCESS) return 10;
  Touch(dir / "ready-stuck");
  AwaitFile(dir / "exit");
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 11; // after the callback has returned
});

// Holds the camera named, with a device callback and a transport-layer
// callback that note what they hear, until it is unplugged.
const bool kHoldUntilUnplugged = zar_test::RegisterHelper("hold-until-unplugged", [](const std::vector<std::string> &args) {
  const std::filesystem::path dir = args.at(0);
  const std::string &name = args.at(1);
  static Heard heard;
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 9;
  if (TLOpenDevice(tl, "USB", name.c_str(), &device) != ZAR_SUCCESS) return 10;
  const auto onDevice = [](uint32_t event, void *pData, int64_t size, void *) {
    heard.Add("device " + Line(event, static_cast<const char *>(pData), size));
  };
  const auto onTL = [](uint32_t event, void *pData, int64_t size, void *) {
    heard.Add("tl " + Line(event, static_cast<const char *>(pData), size));
  };
  if (DevSetCallback(device, onDevice, nullptr) != ZAR_SUCCESS) return 11;
  if (TLSetCallback(tl, onTL, nullptr) != ZAR_SUCCESS) return 12;
  Touch(dir / "ready-held");
  if (!heard.Has("tl " + Line(USB_UNPLUGGED_DEVICE, name), 60000)) return 13;
  const std::vector<std::string> expected{"device " + Line(USB_UNPLUGGED_DEVICE, name),
                                          "tl " + Line(USB_UNPLUGGED_DEVICE, name)};
  if (heard.Lines() != expected) return 14;
  if (DevClose(device) != ZAR_ERR_INVALID_HANDLE) return 15;
  return TLClose(tl) == ZAR_SUCCESS ? 0 : 16;
});

// What a re-entrant callback did, for the test to check; afresh for each
// test.
struct Reentry {
  ZAR_TL_HANDLE tl = nullptr;
  std::atomic<ZAR_STATUS> status{1};
  std::atomic<ZAR_DEV_HANDLE> device{nullptr};
  std::atomic<bool> entered{false}, release{false};
  void Reset(ZAR_TL_HANDLE handle) {
    tl = handle;
    status = 1;
    device = nullptr;
    entered = release = false;
  }
};

class TransportLayerCallbacks : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_EQ(TLSetCallback(m_tl, Heard::Note, &m_recorder), ZAR_SUCCESS);
    s_reentry.Reset(m_tl);
  }
  void TearDown() override {
    TLRemoveCallback(m_tl, Heard::Note);
    TLClose(m_tl);
  }
  // Writes a message straight to this process's callback pipe.
  static uint32_t SendToSelf(const void *data, uint32_t size) {
    using namespace oxa::ZarUsb;
    return os::WritePipeMessage(CallbackPipeName(os::CurrentProcessId()), data, size);
  }
  static uint32_t SendPlugToSelf(const char *name) {
    char field[260] = {};
    std::strncpy(field, name, sizeof field - 1);
    const auto message = oxa::ZarUsb::MakeNotificationMessage(USB_PLUGGED_DEVICE, 0, field);
    return SendToSelf(&message, sizeof message);
  }

  static inline Reentry s_reentry;

  ZAR_TL_HANDLE m_tl = nullptr;
  Heard m_recorder;
  zar_test::TempDir m_dir;
  zar_test::PluggedCameras m_cameras;
};

TEST_F(TransportLayerCallbacks, PlugAndUnplugReachEveryEnrolledProcess) {
  const std::string dir = m_dir.Path().string();
  HelperProcess first("tl-watch-events", {dir, "a", "ZC1000_#NT1"});
  HelperProcess second("tl-watch-events", {dir, "b", "ZC1000_#NT1"});
  ASSERT_TRUE(AwaitFile(m_dir / "ready-a")) << first.Wait(0);
  ASSERT_TRUE(AwaitFile(m_dir / "ready-b")) << second.Wait(0);
  const uint32_t slot = m_cameras.Plug("NT1");
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "ZC1000_#NT1")));
  m_cameras.Unplug(slot);
  EXPECT_TRUE(m_recorder.Has(Line(USB_UNPLUGGED_DEVICE, "ZC1000_#NT1")));
  EXPECT_EQ(first.Wait(), 0) << "11: no unplug, 12: no plug, 13: out of order";
  EXPECT_EQ(second.Wait(), 0);
}

TEST_F(TransportLayerCallbacks, AnUnpluggedCameraIsClosedWhereItIsHeldBeforeTheApplicationHears) {
  const uint32_t slot = m_cameras.Plug("UP1");
  ASSERT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "ZC1000_#UP1")));
  HelperProcess holder("hold-until-unplugged", {m_dir.Path().string(), "ZC1000_#UP1"});
  ASSERT_TRUE(AwaitFile(m_dir / "ready-held")) << holder.Wait(0);
  m_cameras.Unplug(slot);
  EXPECT_TRUE(m_recorder.Has(Line(USB_UNPLUGGED_DEVICE, "ZC1000_#UP1"))) << "a process that holds nothing";
  EXPECT_EQ(holder.Wait(), 0) << "13: no unplug, 14: not device then transport layer, 15: device still open";
  EXPECT_TRUE(zar_test::WaitForCount(m_tl, 0)) << "the record was emptied";
}

TEST_F(TransportLayerCallbacks, ADeadOrStuckProcessDelaysNobody) {
  const std::string dir = m_dir.Path().string();
  HelperProcess dead("enrol-and-wait", {dir, "-dead"}), stuck("tl-stuck-in-callback", {dir});
  ASSERT_TRUE(AwaitFile(m_dir / "enrolled-dead")) << dead.Wait(0);
  ASSERT_TRUE(AwaitFile(m_dir / "ready-stuck")) << stuck.Wait(0);
  dead.Kill();
  dead.Wait();
  m_cameras.Plug("DS1");
  ASSERT_TRUE(AwaitFile(m_dir / "stuck"));
  m_cameras.Plug("DS2");
  m_cameras.Plug("DS3");
  for (const char *name : {"ZC1000_#DS1", "ZC1000_#DS2", "ZC1000_#DS3"})
    EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, name))) << name;
  Touch(m_dir / "exit");
  EXPECT_EQ(stuck.Wait(), 0);
}

TEST_F(TransportLayerCallbacks, OnlyWholeMessagesAreDeliveredAndTheThreadComesBackWithTheNextOpen) {
  const uint32_t stop = 0xFFFFFFFFu;
  EXPECT_EQ(SendToSelf(&stop, sizeof stop), 0u);
  for (uint32_t size : {267u, 269u, 300u}) {
    const std::vector<char> message(size, 'm');
    EXPECT_EQ(SendToSelf(message.data(), size), 0u) << size;
  }
  ASSERT_EQ(SendPlugToSelf("whole"), 0u);
  ASSERT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "whole"))) << "an outside stop message ends nothing";
  for (const std::string &line : m_recorder.Lines())
    EXPECT_NE(line.find(std::to_string(0x6D6D6D6Du)), 0u) << "a message of another size was delivered";

  ASSERT_EQ(TLClose(m_tl), ZAR_SUCCESS);
  EXPECT_EQ(SendPlugToSelf("closed"), 2u) << "no pipe while closed";
  ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
  ASSERT_EQ(SendPlugToSelf("reopened"), 0u);
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "reopened"))) << "the callback outlived the close";
}

// A program may point ZAR_USB_NAMESPACE elsewhere after loading the library
// (the test programs do, to start helpers in other namespaces): the library
// stays in the namespace it loaded in, so its pipe is still found by the
// monitor of that namespace.
TEST_F(TransportLayerCallbacks, ChangingTheNamespaceAfterLoadingMovesNothing) {
  ASSERT_EQ(TLClose(m_tl), ZAR_SUCCESS);
  const std::string own = std::getenv("ZAR_USB_NAMESPACE");
  const std::string elsewhere = own + "-elsewhere";
  oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", elsewhere.c_str());
  const ZAR_STATUS opened = TLOpen(nullptr, nullptr, &m_tl);
  const std::string folder = oxa::ZarUsb::os::NamespaceFolder();
  oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", own.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  ASSERT_EQ(opened, ZAR_SUCCESS);
  m_cameras.Plug("NS1");
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "ZC1000_#NS1")));
}

TEST_F(TransportLayerCallbacks, ACallbackMayOpenTheCameraItHearsOf) {
  const auto open = [](uint32_t event, void *pData, int64_t, void *) {
    ZAR_DEV_HANDLE device = nullptr;
    if (event != USB_PLUGGED_DEVICE) return;
    s_reentry.status = TLOpenDevice(s_reentry.tl, "USB", static_cast<const char *>(pData), &device);
    s_reentry.device = device;
  };
  ASSERT_EQ(TLSetCallback(m_tl, open, nullptr), ZAR_SUCCESS);
  m_cameras.Plug("RE1");
  ASSERT_TRUE(WaitFor([] { return s_reentry.status != 1; }));
  EXPECT_EQ(s_reentry.status, ZAR_SUCCESS);
  EXPECT_EQ(DevClose(s_reentry.device), ZAR_SUCCESS);
  EXPECT_EQ(TLRemoveCallback(m_tl, open), ZAR_SUCCESS);
}

TEST_F(TransportLayerCallbacks, TheLastCloseNeverWaitsOnACallbackThatCallsBackIn) {
  // Held until the main thread is closing, then calls exports that take the
  // transport layer's lock.
  const auto callIn = [](uint32_t, void *, int64_t, void *) {
    s_reentry.entered = true;
    WaitFor([] { return s_reentry.release.load(); });
    uint32_t count = 0;
    s_reentry.status = TLGetNumDevices(s_reentry.tl, "USB", &count);
    ZAR_DEV_HANDLE device = nullptr;
    TLOpenDevice(s_reentry.tl, "USB", "nothing", &device);
  };
  ASSERT_EQ(TLSetCallback(m_tl, callIn, nullptr), ZAR_SUCCESS);
  ASSERT_EQ(SendPlugToSelf("held"), 0u);
  ASSERT_TRUE(WaitFor([] { return s_reentry.entered.load(); }));
  auto closing = std::async(std::launch::async, [&] { return TLClose(m_tl); });
  s_reentry.release = true;
  ASSERT_EQ(closing.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "deadlock";
  EXPECT_EQ(closing.get(), ZAR_SUCCESS);
  EXPECT_TRUE(WaitFor([] { return s_reentry.status != 1; }));
  ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
  EXPECT_EQ(TLRemoveCallback(m_tl, callIn), ZAR_SUCCESS);
}

// The callback of the first plug runs until the last close has begun; the
// plugs queued behind it are dropped, and the close returns only once that
// callback has.
TEST_F(TransportLayerCallbacks, TheLastCloseWaitsForTheRunningCallbackAndDropsTheQueuedOnes) {
  static std::atomic<int> calls;
  static std::atomic<bool> returned;
  const auto slow = [](uint32_t, void *, int64_t, void *) {
    if (calls++ != 0) return;
    uint32_t interfaces = 0;
    WaitFor([&] { return TLGetNumInterfaces(s_reentry.tl, &interfaces) == ZAR_ERR_INVALID_HANDLE; });
    returned = true;
  };
  for (int round = 0; round < 10; ++round) {
    calls = 0;
    returned = false;
    ASSERT_EQ(TLSetCallback(m_tl, slow, nullptr), ZAR_SUCCESS);
    ASSERT_EQ(SendPlugToSelf("running"), 0u);
    ASSERT_TRUE(WaitFor([] { return calls.load() == 1; }));
    for (const char *queued : {"queued1", "queued2", "queued3"}) ASSERT_EQ(SendPlugToSelf(queued), 0u);
    ASSERT_EQ(TLClose(m_tl), ZAR_SUCCESS);
    EXPECT_TRUE(returned) << "round " << round << ": returned before the running callback";
    EXPECT_EQ(calls, 1) << "round " << round << ": queued plugs delivered by the close";
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_EQ(TLRemoveCallback(m_tl, slow), ZAR_SUCCESS);
    ASSERT_EQ(SendPlugToSelf("reopened"), 0u);
    ASSERT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "reopened")));
  }
  for (const std::string &line : m_recorder.Lines())
    EXPECT_EQ(line.find("queued"), std::string::npos) << line << " delivered after the close";
}

// A holder that closes its device as soon as a request fails, which can be
// before this process's callback thread handles the unplug: the record goes
// all the same, the camera comes back under its own name, and each unplug
// is heard once.
TEST_F(TransportLayerCallbacks, AnUnpluggedCameraLeavesTheTableWhicheverCloseComesFirst) {
  const std::string name = "ZC1000_#HF1";
  const auto start = std::chrono::steady_clock::now();
  int rounds = 0;
  for (; rounds < 8 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++rounds) {
    const uint32_t slot = m_cameras.Plug("HF1");
    ASSERT_TRUE(zar_test::WaitForName(m_tl, name)) << "round " << rounds << ": " << zar_test::ListedNames(m_tl).size();
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", name.c_str(), &device), ZAR_SUCCESS) << "round " << rounds;
    std::thread holder([device] {
      char text[16];
      uint64_t size = sizeof text;
      while (GCReadData(device, 0, 0x20, text, &size) == ZAR_SUCCESS) size = sizeof text;
      DevClose(device);
    });
    m_cameras.Unplug(slot);
    holder.join();
    ASSERT_TRUE(zar_test::WaitForName(m_tl, name, false, 5000)) << "round " << rounds << ": stale record";
  }
  std::vector<std::string> expected;
  for (int round = 0; round < rounds; ++round)
    expected.insert(expected.end(), {Line(USB_PLUGGED_DEVICE, name), Line(USB_UNPLUGGED_DEVICE, name)});
  const auto ofCamera = [&] {
    std::vector<std::string> lines;
    for (const std::string &line : m_recorder.Lines())
      if (line.find("HF1") != std::string::npos) lines.push_back(line);
    return lines;
  };
  EXPECT_TRUE(WaitFor([&] { return ofCamera().size() >= expected.size(); }));
  EXPECT_EQ(ofCamera(), expected);
}

TEST_F(TransportLayerCallbacks, ACallbackMayCloseAndReopenTheTransportLayer) {
  const auto reopen = [](uint32_t, void *pData, int64_t, void *) {
    if (std::strcmp(static_cast<const char *>(pData), "reopen") != 0) return;
    ZAR_TL_HANDLE tl = nullptr;
    const bool ok = TLClose(s_reentry.tl) == ZAR_SUCCESS && TLOpen(nullptr, nullptr, &tl) == ZAR_SUCCESS;
    s_reentry.status = ok ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
  };
  ASSERT_EQ(TLSetCallback(m_tl, reopen, nullptr), ZAR_SUCCESS);
  ASSERT_EQ(SendPlugToSelf("reopen"), 0u);
  ASSERT_TRUE(WaitFor([] { return s_reentry.status != 1; }));
  EXPECT_EQ(s_reentry.status, ZAR_SUCCESS);
  ASSERT_EQ(SendPlugToSelf("after"), 0u);
  EXPECT_TRUE(m_recorder.Has(Line(USB_PLUGGED_DEVICE, "after"))) << "a fresh thread serves the pipe";
  EXPECT_EQ(TLRemoveCallback(m_tl, reopen), ZAR_SUCCESS);
}

} // namespace
