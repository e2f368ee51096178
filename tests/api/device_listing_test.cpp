// Listing cameras under their friendly names, following plugs and unplugs,
// and opening and closing them, in one process (which holds the monitor role).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "camera_bench.h"
#include "environment.h"
#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "os/system_message.h"
#include "open_camera.h"
#include "temp_dir.h"
#include "test_main.h"

using zar_test::ListedNames;
using zar_test::WaitForCount;

namespace {

class DeviceListing : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_TRUE(WaitForCount(m_tl, 0)) << "a test left cameras behind";
  }
  void TearDown() override {
    for (ZAR_DEV_HANDLE device : m_opened) DevClose(device);
    m_cameras.reset();
    EXPECT_TRUE(WaitForCount(m_tl, 0));
    TLClose(m_tl);
  }
  ZAR_DEV_HANDLE Open(const char *name) {
    ZAR_DEV_HANDLE device = nullptr;
    EXPECT_EQ(TLOpenDevice(m_tl, "USB", name, &device), ZAR_SUCCESS) << name;
    m_opened.push_back(device);
    return device;
  }

  ZAR_TL_HANDLE m_tl = nullptr;
  std::unique_ptr<zar_test::PluggedCameras> m_cameras = std::make_unique<zar_test::PluggedCameras>();
  std::vector<ZAR_DEV_HANDLE> m_opened;
};

TEST_F(DeviceListing, NamesAreModelAndSerialMadeUniqueWithACounterAndCopiedWhole) {
  const uint32_t first = m_cameras->Plug("S1", "ZC1000");
  m_cameras->Plug("S1", "ZC1000");
  ASSERT_TRUE(WaitForCount(m_tl, 2));
  EXPECT_EQ(ListedNames(m_tl), (std::vector<std::string>{"ZC1000_#S1", "ZC1000_#S1_1"}));

  // The first name is free again once its camera has gone.
  m_cameras->Unplug(first);
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  m_cameras->Plug("S1", "ZC1000");
  ASSERT_TRUE(WaitForCount(m_tl, 2));
  EXPECT_EQ(ListedNames(m_tl), (std::vector<std::string>{"ZC1000_#S1", "ZC1000_#S1_1"}));

  // A user-defined name stands in for the model.
  m_cameras->Plug("S2", "ZC1000", "LeftEye");
  ASSERT_TRUE(WaitForCount(m_tl, 3));
  EXPECT_EQ(ListedNames(m_tl).back(), "LeftEye_#S2");

  // Name buffers must hold the terminator.
  const std::string name = "ZC1000_#S1";
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(TLGetDeviceName(m_tl, "USB", 0, buffer, static_cast<uint32_t>(name.size())), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], 'x') << "nothing copied";
  ASSERT_EQ(TLGetDeviceName(m_tl, "USB", 0, buffer, static_cast<uint32_t>(name.size() + 1)), ZAR_SUCCESS);
  EXPECT_EQ(std::string(buffer), name);
  EXPECT_EQ(TLGetDeviceName(m_tl, "USB", 3, buffer, sizeof buffer), ZAR_ERR_INVALID_PARAMETER) << "index = count";
  EXPECT_EQ(TLGetDeviceName(m_tl, "usb", 0, buffer, sizeof buffer), ZAR_ERR_INVALID_PARAMETER) << "case-sensitive";
  EXPECT_EQ(TLGetDeviceName(m_tl, "USB", 0xFFFFFFFFu, buffer, sizeof buffer), ZAR_ERR_INVALID_PARAMETER);
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#NOPE", &device), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLOpenDevice(m_tl, "usb", name.c_str(), &device), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(device, nullptr) << "the handle is written only on success";
}

TEST_F(DeviceListing, UpdateDeviceListReportsACountThatChanged) {
  // The flag after a call with it preset; left untouched without a change.
  const auto update = [this](uint8_t changed) {
    EXPECT_EQ(TLUpdateDeviceList(m_tl, "USB", &changed), ZAR_SUCCESS);
    return changed;
  };
  uint8_t changed = 0;
  EXPECT_EQ(TLUpdateDeviceList(m_tl, "", &changed), ZAR_SUCCESS) << "any name, even empty";
  EXPECT_EQ(update(0), 0) << "no change since the last call";
  const uint32_t slot = m_cameras->Plug("U1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  EXPECT_EQ(update(0), 1);
  EXPECT_EQ(update(7), 7);
  m_cameras->Unplug(slot);
  ASSERT_TRUE(WaitForCount(m_tl, 0));
  EXPECT_EQ(update(0), 1);
  changed = 9;
  EXPECT_EQ(TLUpdateInterfaceList(m_tl, &changed), ZAR_SUCCESS);
  EXPECT_EQ(changed, 0);
}

// Closed by DevClose or with the last TLClose, the camera's reservation is
// given back and its handle refused.
TEST_F(DeviceListing, ACameraOpensOnceAndClosesForGood) {
  m_cameras->Plug("O1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  ZAR_DEV_HANDLE device = nullptr;
  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#O1", &device), ZAR_SUCCESS);
  ASSERT_NE(device, nullptr);
  uint32_t streams = 0;
  EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_SUCCESS);
  EXPECT_EQ(streams, 1u);
  ZAR_DEV_HANDLE again = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#O1", &again), ZAR_ERR_ACCESS_DENIED) << "held by this process";
  EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
  EXPECT_EQ(DevClose(device), ZAR_ERR_INVALID_HANDLE);
  EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_ERR_INVALID_HANDLE);

  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#O1", &device), ZAR_SUCCESS);
  ASSERT_EQ(TLClose(m_tl), ZAR_SUCCESS);
  ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
  EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_ERR_INVALID_HANDLE);
  Open("ZC1000_#O1");
}

TEST_F(DeviceListing, ACameraThatCannotBeOpenedIsTriedAgainAtTheNextChange) {
  const zar_test::TempDir dir;
  const auto trace = dir / "trace.txt";
  ASSERT_EQ(OpenDebugFile(trace.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC), 0);
  EnableZarTrace(1);
  // The scan that the plug starts waits for the table lock until this test
  // holds the camera open.
  oxa::ZarUsb::os::NamedMutex tableLock;
  ASSERT_EQ(tableLock.Open("A8E5C897-286A-42d5-A004-522A9352D2B0"), 0u);
  ASSERT_NE(tableLock.Acquire(), oxa::ZarUsb::os::NamedMutex::Lock::Failed);
  const uint32_t slot = m_cameras->Plug("R1");
  uintptr_t hold = oxa::ZarUsb::emulator::HoldCamera(slot);
  tableLock.Release();
  ASSERT_NE(hold, 0u);

  const bool scanned = zar_test::WaitFor([&] {
    const std::string text = zar_test::FileText(trace);
    return text.find("Iter = 1") != std::string::npos && text.find("Leave UpdateDevicesList") != std::string::npos;
  });
  EnableZarTrace(0);
  CloseDebugFile();
  ASSERT_TRUE(scanned) << "the scan tried ten times";
  uint32_t count = 1;
  EXPECT_EQ(TLGetNumDevices(m_tl, "USB", &count), ZAR_SUCCESS);
  EXPECT_EQ(count, 0u) << "not inserted";

  oxa::ZarUsb::emulator::ReleaseCamera(hold);
  oxa::ZarUsb::os::PostSystemMessage(oxa::ZarUsb::os::kWmDeviceChange, oxa::ZarUsb::os::kDbtDevNodesChanged);
  EXPECT_TRUE(WaitForCount(m_tl, 1));
}

TEST_F(DeviceListing, ThirtyCamerasFillTheTable) {
  for (int i = 0; i < 30; ++i) m_cameras->Plug("F" + std::to_string(i));
  ASSERT_TRUE(WaitForCount(m_tl, 30, 60000));
  const auto names = ListedNames(m_tl);
  EXPECT_EQ(names.front(), "ZC1000_#F0");
  EXPECT_EQ(names.back(), "ZC1000_#F29");
  std::string why;
  EXPECT_FALSE(oxa::ZarUsb::emulator::Plug({}, &why).has_value()) << "the bus holds 30 too";
}

// Other processes (and other versions of the library) read these bytes.
TEST_F(DeviceListing, TheSharedTableKeepsItsRecordsAtTheirOffsets) {
  const uint32_t slot = m_cameras->Plug("BYTES1", "ZC1000", "Nick");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  Open("Nick_#BYTES1");
  oxa::ZarUsb::os::SharedMemory table;
  bool existed = false;
  ASSERT_EQ(table.Open("5A2FBD90-6CFB-4510-AFC3-A24F8CA6D736", 18600, &existed), 0u);
  ASSERT_TRUE(existed) << "the library of this process has it open";
  const auto *bytes = static_cast<const uint8_t *>(table.Data());
  const auto text = [&](size_t offset) { return std::string(reinterpret_cast<const char *>(bytes + offset)); };
  const auto word = [&](size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
  };
  const size_t record = 0; // the first free record
  EXPECT_EQ(text(record + 0).rfind("\\\\?\\zarusb-emu#slot", 0), 0u) << text(record);
  EXPECT_NE(text(record + 0).find("#slot" + std::string(slot < 10 ? "0" : "") + std::to_string(slot)),
            std::string::npos);
  EXPECT_EQ(text(record + 260), "Nick_#BYTES1");
  EXPECT_EQ(text(record + 520), "BYTES1");
  EXPECT_EQ(text(record + 552), "ZC1000");
  EXPECT_EQ(text(record + 584), "Nick");
  EXPECT_EQ(word(record + 600), oxa::ZarUsb::os::CurrentProcessId()) << "reserved by this process";
  EXPECT_EQ(word(record + 604), 1u);
  EXPECT_EQ(word(record + 608), 0x00010000u) << "register 0x90 of the emulated camera";
  // This process is enrolled for notifications while the transport layer is open.
  bool enrolled = false;
  for (size_t entry = 18360; entry < 18600; entry += 8)
    enrolled = enrolled || (word(entry) == oxa::ZarUsb::os::CurrentProcessId() && word(entry + 4) >= 1);
  EXPECT_TRUE(enrolled);
}

// A device closed on one thread while others use it: they get -2 or their
// answer, never freed memory.
TEST_F(DeviceListing, ClosingADeviceWhileOtherThreadsUseItIsSafe) {
  m_cameras->Plug("RACE1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  for (int round = 0; round < 20; ++round) {
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#RACE1", &device), ZAR_SUCCESS);
    std::atomic<bool> go{false}, wrong{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
      users.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 200; ++i) {
          uint32_t streams = 0;
          const ZAR_STATUS status = DevGetNumDataStreams(device, &streams);
          if (status != ZAR_SUCCESS && status != ZAR_ERR_INVALID_HANDLE) wrong = true;
          const ZAR_STATUS closed = DevClose(device);
          if (closed != ZAR_SUCCESS && closed != ZAR_ERR_INVALID_HANDLE && closed != ZAR_ERR_GENERAL) wrong = true;
        }
      });
    go = true;
    for (auto &user : users) user.join();
    EXPECT_FALSE(wrong);
    uint32_t streams = 0;
    EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_ERR_INVALID_HANDLE);
  }
}

// DevClose and the last TLClose return once the camera is free again, even
// while another thread is inside a long call on the device: the call ends
// first, then the reservation goes, so the camera reopens at once.
TEST_F(DeviceListing, ACameraReopensRightAfterItsCloseWhileACallIsInFlight) {
  m_cameras->Plug("REOPEN1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  const std::function<ZAR_STATUS(ZAR_DEV_HANDLE)> closes[] = {
      [](ZAR_DEV_HANDLE device) { return DevClose(device); },
      [this](ZAR_DEV_HANDLE) {
        const ZAR_STATUS closed = TLClose(m_tl);
        return closed != ZAR_SUCCESS ? closed : TLOpen(nullptr, nullptr, &m_tl);
      }};
  for (const auto &close : closes) {
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#REOPEN1", &device), ZAR_SUCCESS);
    int refused = 0, rounds = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (device != nullptr && std::chrono::steady_clock::now() < end) {
      std::atomic<int> calls{0};
      std::atomic<bool> stop{false};
      // Stopped by the flag: the reopened device may get the closed one's address.
      std::thread reader([&, device] {
        std::vector<uint8_t> data(4096);
        while (!stop) {
          uint64_t size = data.size();
          GCReadData(device, 0, 0x1000, data.data(), &size);
          ++calls;
        }
      });
      while (calls == 0) std::this_thread::yield();
      const ZAR_STATUS closed = close(device);
      ++rounds;
      ZAR_DEV_HANDLE reopened = nullptr;
      if (TLOpenDevice(m_tl, "USB", "ZC1000_#REOPEN1", &reopened) != ZAR_SUCCESS) ++refused;
      stop = true;
      reader.join();
      ASSERT_EQ(closed, ZAR_SUCCESS);
      device = reopened;
    }
    EXPECT_EQ(refused, 0) << "after " << rounds << " closes";
    if (device != nullptr) {
      EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
    }
  }
}

// The emulator announces power changes to the monitor window as the system
// does, and a hibernation brings the cameras back under new device paths.
TEST_F(DeviceListing, PowerChangesReachTheMonitor) {
  const uint32_t slot = m_cameras->Plug("PWR1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  std::string before;
  for (const auto &camera : oxa::ZarUsb::emulator::ListCameras())
    if (camera.slot == slot) before = camera.path;

  zar_test::TraceCapture trace;
  oxa::ZarUsb::emulator::Suspend();
  oxa::ZarUsb::emulator::Resume();
  EXPECT_TRUE(zar_test::WaitFor([&] { return trace.Lines("FirePowerCallBack").size() == 2; }));

  oxa::ZarUsb::emulator::Hibernate(50);
  // The monitor takes the messages in order, but the scan of the unplug may
  // already find the camera back and end before the resume is taken: the
  // two are awaited together.
  EXPECT_TRUE(zar_test::WaitFor([&] {
    const auto cameras = oxa::ZarUsb::emulator::ListCameras();
    const auto names = ListedNames(m_tl);
    // Named afresh: "_1" when a rescan saw it back before the old record went.
    return cameras.size() == 1 && cameras[0].path != before && names.size() == 1 &&
           names[0].rfind("ZC1000_#PWR1", 0) == 0 &&
           !trace.Lines("UpdateDevicesList : InsertDevice " + cameras[0].path).empty() &&
           trace.Lines("FirePowerCallBack").size() == 4;
  })) << "suspended, resumed and listed again under its new path";
  for (const auto &camera : oxa::ZarUsb::emulator::ListCameras()) m_cameras->Adopt(camera.slot);
}

} // namespace
