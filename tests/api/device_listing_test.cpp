// Listing, opening and closing cameras in one process (the monitor owner).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

#include "camera_bench.h"
#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "os/system_message.h"
#include "open_camera.h"
#include "test_main.h"

using zar_test::ListedNames;
using zar_test::WaitForCount;
namespace emulator = oxa::ZarUsb::emulator;
namespace os = oxa::ZarUsb::os;

namespace {

struct DeviceListing : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS);
    ASSERT_TRUE(WaitForCount(m_tl, 0)) << "a test left cameras behind";
  }
  void TearDown() override { m_cameras.reset(); EXPECT_TRUE(WaitForCount(m_tl, 0)); TLClose(m_tl); }

  ZAR_TL_HANDLE m_tl = nullptr;
  std::unique_ptr<zar_test::PluggedCameras> m_cameras = std::make_unique<zar_test::PluggedCameras>();
};

// Names are the model (or user-defined name) and serial, made unique with a counter. TLUpdateDeviceList sets the flag
// when the count changed since its last call, whatever the interface name, and leaves it alone otherwise.
TEST_F(DeviceListing, NamesAndTheChangedFlagFollowPlugsAndUnplugsAndAHeldCameraIsTriedAgain) {
  const auto changed = [&](uint8_t f) { EXPECT_EQ(TLUpdateDeviceList(m_tl, "USB", &f), ZAR_SUCCESS); return f; };
  uint8_t flag = 0;
  EXPECT_EQ(TLUpdateDeviceList(m_tl, "", &flag), ZAR_SUCCESS) << "any name, even empty";
  EXPECT_EQ(changed(0), 0) << "no change since the last call";
  const uint32_t first = m_cameras->Plug("S1", "ZC1000");
  m_cameras->Plug("S1", "ZC1000");
  ASSERT_TRUE(WaitForCount(m_tl, 2));
  EXPECT_EQ(ListedNames(m_tl), (std::vector<std::string>{"ZC1000_#S1", "ZC1000_#S1_1"}));
  EXPECT_EQ(changed(0), 1);
  EXPECT_EQ(changed(7), 7);

  m_cameras->Unplug(first); // its name is free again
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  EXPECT_EQ(changed(0), 1);
  m_cameras->Plug("S1", "ZC1000");
  m_cameras->Plug("S2", "ZC1000", "LeftEye");
  ASSERT_TRUE(WaitForCount(m_tl, 3));
  EXPECT_EQ(ListedNames(m_tl), (std::vector<std::string>{"ZC1000_#S1", "ZC1000_#S1_1", "LeftEye_#S2"}));

  // Buffers hold the terminator; the interface name is case-sensitive.
  char buffer[32] = {'x'};
  EXPECT_EQ(TLGetDeviceName(m_tl, "USB", 0, buffer, 10), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], 'x') << "nothing copied";
  ASSERT_EQ(TLGetDeviceName(m_tl, "USB", 0, buffer, 11), ZAR_SUCCESS);
  EXPECT_STREQ(buffer, "ZC1000_#S1");
  for (const uint32_t index : {3u, 0xFFFFFFFFu})
    EXPECT_EQ(TLGetDeviceName(m_tl, "USB", index, buffer, sizeof buffer), ZAR_ERR_INVALID_PARAMETER) << index;
  EXPECT_EQ(TLGetDeviceName(m_tl, "usb", 0, buffer, sizeof buffer), ZAR_ERR_INVALID_PARAMETER);
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#NOPE", &device), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLOpenDevice(m_tl, "usb", "ZC1000_#S1", &device), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(device, nullptr) << "the handle is written only on success";

  // A camera that cannot be opened (held before the plug's scan gets the table lock) is tried at the next change.
  zar_test::TraceCapture trace;
  os::NamedMutex tableLock;
  ASSERT_EQ(tableLock.Open("A8E5C897-286A-42d5-A004-522A9352D2B0"), 0u);
  ASSERT_NE(tableLock.Acquire(), os::NamedMutex::Lock::Failed);
  const uintptr_t hold = emulator::HoldCamera(m_cameras->Plug("R1"));
  tableLock.Release();
  ASSERT_NE(hold, 0u);
  EXPECT_TRUE(zar_test::WaitFor([&] {
    const std::string text = trace.Text();
    const size_t retried = text.find("Iter = 1");
    return retried != std::string::npos && text.find("Leave UpdateDevicesList", retried) != std::string::npos;
  })) << "the scan tried ten times";
  EXPECT_EQ(ListedNames(m_tl).size(), 3u) << "not inserted";
  emulator::ReleaseCamera(hold);
  os::PostSystemMessage(os::kWmDeviceChange, os::kDbtDevNodesChanged);
  EXPECT_TRUE(WaitForCount(m_tl, 4));
}

// Thirty cameras fill the table (and the bus). Other processes and library versions read the records at these offsets.
TEST_F(DeviceListing, ThirtyCamerasFillTheTableWhoseRecordsKeepTheirOffsets) {
  const uint32_t slot = m_cameras->Plug("BYTES1", "ZC1000", "Nick");
  ASSERT_TRUE(WaitForCount(m_tl, 1)); // the first record, the first free one
  for (int i = 1; i < 30; ++i) m_cameras->Plug("F" + std::to_string(i));
  ASSERT_TRUE(WaitForCount(m_tl, 30, 60000));
  const auto names = ListedNames(m_tl);
  EXPECT_EQ(names.front(), "Nick_#BYTES1");
  EXPECT_EQ(names.back(), "ZC1000_#F29");
  EXPECT_FALSE(emulator::Plug({}).has_value()) << "the bus holds 30 too";
  ZAR_DEV_HANDLE device = nullptr;
  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "Nick_#BYTES1", &device), ZAR_SUCCESS);
  os::SharedMemory table;
  bool existed = false;
  ASSERT_EQ(table.Open("5A2FBD90-6CFB-4510-AFC3-A24F8CA6D736", 18600, &existed), 0u);
  ASSERT_TRUE(existed) << "the library of this process has it open";
  const auto *bytes = static_cast<const uint8_t *>(table.Data());
  const auto text = [&](size_t offset) { return std::string(reinterpret_cast<const char *>(bytes + offset)); };
  const auto word = [&](size_t offset) { uint32_t value; std::memcpy(&value, bytes + offset, 4); return value; };
  EXPECT_EQ(text(0).rfind("\\\\?\\zarusb-emu#slot", 0), 0u) << text(0);
  EXPECT_NE(text(0).find("#slot" + std::string(slot < 10 ? "0" : "") + std::to_string(slot)), std::string::npos);
  EXPECT_EQ(std::tuple(text(260), text(520), text(552), text(584)),
            std::tuple("Nick_#BYTES1", "BYTES1", "ZC1000", "Nick"));
  EXPECT_EQ(word(600), os::CurrentProcessId()) << "reserved by this process";
  EXPECT_EQ(word(604), 1u);
  EXPECT_EQ(word(608), 0x00010000u) << "register 0x90 of the emulated camera";
  // Enrolled for notifications while the transport layer is open.
  bool enrolled = false;
  for (size_t entry = 18360; entry < 18600; entry += 8)
    enrolled = enrolled || (word(entry) == os::CurrentProcessId() && word(entry + 4) >= 1);
  EXPECT_TRUE(enrolled);
  EXPECT_EQ(DevClose(device), ZAR_SUCCESS);
}

// A device closed on several threads at once while they use it: each gets its answer, -2, or -6 from a close that lost;
// never freed memory. A camera opens once in a process. DevClose and the last TLClose, even during a long call on the
// device, return once the call ended and the reservation went, so it reopens at once; the closed handle is refused.
TEST_F(DeviceListing, ClosingADeviceWhileOtherThreadsUseItIsSafeAndFreesTheCameraAtOnce) {
  m_cameras->Plug("RACE1");
  ASSERT_TRUE(WaitForCount(m_tl, 1));
  uint32_t streams = 0;
  for (int round = 0; round < 20; ++round) {
    ZAR_DEV_HANDLE device = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#RACE1", &device), ZAR_SUCCESS);
    std::atomic<bool> go{false}, wrong{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
      users.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (uint32_t i = 0, streams = 0; i < 200; ++i) {
          const ZAR_STATUS status = DevGetNumDataStreams(device, &streams);
          if (status != ZAR_SUCCESS && status != ZAR_ERR_INVALID_HANDLE) wrong = true;
          const ZAR_STATUS closed = DevClose(device);
          if (closed != ZAR_SUCCESS && closed != ZAR_ERR_INVALID_HANDLE && closed != ZAR_ERR_GENERAL) wrong = true;
        }
      });
    go = true;
    for (auto &user : users) user.join();
    EXPECT_FALSE(wrong);
    EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_ERR_INVALID_HANDLE);
  }
  for (const bool lastTLClose : {false, true}) {
    const auto close = [&](ZAR_DEV_HANDLE device) {
      const ZAR_STATUS closed = lastTLClose ? TLClose(m_tl) : DevClose(device);
      return closed != ZAR_SUCCESS || !lastTLClose ? closed : TLOpen(nullptr, nullptr, &m_tl);
    };
    ZAR_DEV_HANDLE device = nullptr, again = nullptr;
    ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#RACE1", &device), ZAR_SUCCESS);
    EXPECT_EQ(DevGetNumDataStreams(device, &streams), ZAR_SUCCESS);
    EXPECT_EQ(streams, 1u);
    EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#RACE1", &again), ZAR_ERR_ACCESS_DENIED) << "held by this process";
    int refused = 0, rounds = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (device != nullptr && std::chrono::steady_clock::now() < end) {
      std::atomic<int> calls{0};
      std::atomic<bool> stop{false};
      // Stopped by the flag: the reopened device may reuse the closed one's address.
      std::thread reader([&, device] {
        std::vector<uint8_t> data(4096);
        for (uint64_t size; !stop; ++calls) GCReadData(device, 0, 0x1000, data.data(), &(size = data.size()));
      });
      while (calls == 0) std::this_thread::yield();
      const ZAR_STATUS closed = close(device), closedAgain = DevClose(device);
      ++rounds;
      ZAR_DEV_HANDLE reopened = nullptr;
      if (TLOpenDevice(m_tl, "USB", "ZC1000_#RACE1", &reopened) != ZAR_SUCCESS) ++refused;
      stop = true;
      reader.join();
      ASSERT_EQ(closed, ZAR_SUCCESS);
      ASSERT_EQ(closedAgain, ZAR_ERR_INVALID_HANDLE);
      device = reopened;
    }
    EXPECT_EQ(refused, 0) << "after " << rounds << " closes";
    if (device != nullptr) { EXPECT_EQ(DevClose(device), ZAR_SUCCESS); }
  }
}

} // namespace
