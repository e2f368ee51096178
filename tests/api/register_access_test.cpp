// A device's registers, information record and custom features; the transport-layer registers of every camera.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <regex>
#include <thread>
#include <tuple>

#include "open_camera.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using emulator::FaultKind;
using emulator::Request;

namespace {

// One camera opened for each test, its serial its own (one of an earlier test may still be leaving the table).
class DeviceRegisters : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(m_camera.Ready()); }
  static emulator::CameraConfig NextCamera() {
    static int next = 0;
    return {.model = "ZC2000", .serial = "DEV" + std::to_string(++next)};
  }
  const emulator::CameraConfig m_config = NextCamera();
  zar_test::OpenCamera m_camera{m_config};
};

// A transfer goes in requests of 48 bytes; a short reply is continued right after the bytes it reported, and
// one that moves nothing ends the transfer instead of looping; a failed request stops it after the bytes moved.
TEST_F(DeviceRegisters, TransfersTheInformationRecordAndCustomFeatures) {
  // The fault, the bytes moved, and the "address size" of each ReadMem traced.
  struct Case { std::optional<FaultKind> fault; uint32_t value, skip; ZAR_STATUS status; uint64_t size;
                std::vector<std::string> requests; const char *traced; };
  const Case cases[] = {
      {std::nullopt, 0, 0, ZAR_SUCCESS, 100, {"0x0 48", "0x30 48", "0x60 4"}, "Mem Value(in hexa)= 52 4B 34 36 00 "},
      {FaultKind::ByteCount, 10, 0, ZAR_SUCCESS, 100, {"0x0 48", "0xA 48", "0x3A 42"}, nullptr},
      {FaultKind::ByteCount, 0, 0, ZAR_ERR_ACCESS_DENIED, 0, {"0x0 48"}, nullptr},
      {FaultKind::SystemError, 5, 1, ZAR_ERR_ACCESS_DENIED, 48, {"0x0 48", "0x30 48"},
       "CDevice::ReadData: Addr=0x0 GetLasError=5"},
      {FaultKind::DriverError, 5, 1, ZAR_ERR_ACCESS_DENIED, 48, {"0x0 48", "0x30 48"},
       "CDevice::ReadData: Addr=0x0 nErrorCode=5"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    ASSERT_TRUE(!c.fault || emulator::InjectFault(m_camera.Slot(), Request::ReadMemCamera, *c.fault, 1, c.value, c.skip));
    uint8_t data[100] = {}; uint64_t size = sizeof data;
    zar_test::TraceCapture trace;
    EXPECT_EQ(GCReadData(m_camera.Device(), 0, 0, data, &size), c.status);
    EXPECT_EQ(size, c.size);
    std::vector<std::string> requests; // "0x30 48" from "u64Address=0x30 u64Size=48Thread=..."
    for (const std::string &line : trace.Lines("Enter ReadMem u64Address="))
      requests.push_back(std::regex_replace(line, std::regex(".*u64Address=(\\S+) u64Size=(\\d+)Thread=.*"), "$1 $2"));
    EXPECT_EQ(requests, c.requests);
    EXPECT_TRUE(c.traced == nullptr || trace.Lines(c.traced).size() == 1) << trace.Text();
    if (c.status == ZAR_SUCCESS) {
      EXPECT_STREQ(reinterpret_cast<char *>(data), "RK46") << "every byte from its own address";
      EXPECT_STREQ(reinterpret_cast<char *>(data + 0x20), "ZC2000");
      EXPECT_EQ(std::string(reinterpret_cast<char *>(data + 0x60), 4), m_config.serial.substr(0, 4));
    }
  }
  // Writes go the same way; one that takes in the read-only payload size changes nothing.
  uint64_t size = 11;
  ASSERT_EQ(GCWriteData(m_camera.Device(), 0, 0x80, "LeftCamera", &size), ZAR_SUCCESS);
  char back[16] = {}; size = sizeof back;
  ASSERT_EQ(GCReadData(m_camera.Device(), 0, 0x80, back, &size), ZAR_SUCCESS);
  EXPECT_STREQ(back, "LeftCamera");
  const uint8_t geometry[20] = {}; size = sizeof geometry;
  EXPECT_EQ(GCWriteData(m_camera.Device(), 0, 0x100, geometry, &size), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(size, 0u);

  // Refused calls: traced with their entry, the bytes a write was given, and their exit code.
  zar_test::TraceCapture trace;
  const uint8_t bytes[2] = {0x01, 0xAB}; size = sizeof bytes;
  int garbage = 0;
  EXPECT_EQ(GCWriteData(&garbage, 0, 0x10, bytes, &size), ZAR_ERR_INVALID_HANDLE);
  EXPECT_EQ(GCReadData(&garbage, 0, 0x10, &garbage, &size), ZAR_ERR_INVALID_HANDLE);
  EXPECT_EQ(GCReadData(m_camera.Device(), 0, 0, &garbage, nullptr), ZAR_ERR_INVALID_PARAMETER);
  const std::string text = trace.Text();
  const size_t entry = text.find("ZAR=> GCWriteData: Enter (Add=0x10; Size=2)");
  const size_t dump = text.find("ZAR=> Mem Value (in hexa)= 01 AB \n");
  const size_t exit = text.find("ZAR=> !!! GCWriteData: Exit (-2)");
  EXPECT_TRUE(entry < dump && dump < exit) << text;
  EXPECT_NE(text.find("ZAR=> !!! GCReadData: Exit (-2)"), std::string::npos);
  EXPECT_EQ(text.find("Mem Value(in hexa)"), std::string::npos) << "no dump of a read that never ran";
  EXPECT_NE(text.find("GCReadData: Enter (Add=0x0; Size=0)"), std::string::npos) << "no size: shown as 0";
  size = 0; EXPECT_EQ(GCReadData(m_camera.Device(), 0, 0, back, &size), ZAR_ERR_GENERAL) << "nothing to read";
  EXPECT_EQ(size, 0u);
  size = 4;
  EXPECT_EQ(GCReadData(m_camera.Device(), 0, 0, nullptr, &size), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(GCWriteData(m_camera.Device(), 0, 0, bytes, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(GCReadData(m_camera.Device(), 0, 0xA0, back, &size), ZAR_ERR_ACCESS_DENIED) << "no register there";

  // The information record needs its full size and gets four fields.
  std::vector<uint8_t> record(1100, 0xA5); uint32_t infoSize = 1023;
  auto *info = reinterpret_cast<ZAR_DEVICE_INFO *>(record.data());
  EXPECT_EQ(DevGetInfo(m_camera.Device(), info, &infoSize), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(record, std::vector<uint8_t>(1100, 0xA5));
  EXPECT_EQ(DevGetInfo(m_camera.Device(), nullptr, &infoSize), ZAR_ERR_INVALID_PARAMETER);
  infoSize = 1024;
  ASSERT_EQ(DevGetInfo(m_camera.Device(), info, &infoSize), ZAR_SUCCESS);
  EXPECT_EQ(infoSize, 1024u);
  EXPECT_EQ(std::memcmp(record.data(), "ZAR_USB", 8), 0);
  EXPECT_EQ(record[8], 0xA5) << "the rest of the field is the caller's";
  EXPECT_EQ(std::memcmp(record.data() + 0x100, "RK46", 5), 0);
  EXPECT_EQ(std::memcmp(record.data() + 0x200, "ZC2000", 7), 0);
  EXPECT_EQ(reinterpret_cast<char *>(record.data() + 0x300), m_config.serial);
  EXPECT_EQ(record[0x100 + 32], 0xA5) << "32 bytes per camera text";
  EXPECT_EQ(record[1024], 0xA5);

  // Custom features: one request each, both records checked.
  const char written[] = "feature bytes";
  ZAR_CUSTOM_FEATURE_REQUEST request{ZAR_CUSTOM_FEATURE_WRITE, 0, 0x200, written, sizeof written};
  ZAR_CUSTOM_FEATURE_REPLY reply{}; uint32_t replySize = sizeof reply;
  const auto query = [&] { return DevQueryCustomFeature(m_camera.Device(), &request, sizeof request, &reply, &replySize); };
  const auto fault = [&](Request kind, FaultKind fault, uint32_t value) {
    ASSERT_TRUE(emulator::InjectFault(m_camera.Slot(), kind, fault, 1, value)); };
  // The driver cannot have written more than it was sent: a larger count is cut.
  for (const uint32_t reported : {0u, uint32_t{sizeof written + 1}, 0xFFFFFFFFu}) {
    if (reported != 0) fault(Request::WriteMemCustomFeature, FaultKind::ByteCount, reported);
    ASSERT_EQ(query(), ZAR_SUCCESS);
    EXPECT_EQ(reply.iDone, sizeof written) << reported;
    EXPECT_EQ(reply.iDriverError, 0u);
  }

  char read[sizeof written] = {};
  request = {ZAR_CUSTOM_FEATURE_READ, 0, 0x200, nullptr, sizeof read};
  reply = {0, 0, read, 0};
  ASSERT_EQ(query(), ZAR_SUCCESS);
  EXPECT_STREQ(read, written);

  // The driver's own outcome word is the caller's to read.
  fault(Request::ReadMemCustomFeature, FaultKind::DriverError, 0x42);
  EXPECT_EQ(query(), ZAR_SUCCESS);
  EXPECT_EQ(reply.iDriverError, 0x42u);

  // A failed request leaves the reply as it was.
  fault(Request::ReadMemCustomFeature, FaultKind::SystemError, 0);
  reply = {0x77, 0, read, 0x99};
  EXPECT_EQ(query(), ZAR_ERR_GENERAL);
  EXPECT_EQ(std::tuple(reply.iDriverError, reply.iDone), std::tuple(0x77u, 0x99u));

  // Both records must be there with their sizes, and a known operation.
  EXPECT_EQ(DevQueryCustomFeature(m_camera.Device(), &request, 24, &reply, &replySize), ZAR_ERR_INVALID_PARAMETER);
  uint32_t wrongReply = 32;
  EXPECT_EQ(DevQueryCustomFeature(m_camera.Device(), &request, 32, &reply, &wrongReply), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevQueryCustomFeature(m_camera.Device(), &request, 32, &reply, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevQueryCustomFeature(m_camera.Device(), nullptr, 32, &reply, &replySize), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevQueryCustomFeature(m_camera.Device(), &request, 32, nullptr, &replySize), ZAR_ERR_INVALID_PARAMETER);
  request.iOperation = 2;
  EXPECT_EQ(query(), ZAR_ERR_INVALID_PARAMETER);
  // Bytes to move need a place to come from or go to; none to move need none.
  for (const uint32_t operation : {ZAR_CUSTOM_FEATURE_READ, ZAR_CUSTOM_FEATURE_WRITE}) {
    request = {operation, 0, 0x200, nullptr, 8};
    reply = {0x77, 0, nullptr, 0x99};
    EXPECT_EQ(query(), ZAR_ERR_INVALID_PARAMETER);
    EXPECT_EQ(reply.iDone, 0x99u) << "untouched";
    request.iSize = 0;
    EXPECT_EQ(query(), ZAR_SUCCESS);
  }
}

class TransportLayerRegisters : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS); ASSERT_TRUE(zar_test::WaitForCount(m_tl, 0)); }
  void TearDown() override { TLClose(m_tl); }

  // A camera's transport-layer user data, read from the side.
  std::string UserData(uint32_t slot) {
    char data[9] = {};
    return emulator::ReadCameraRegisters(slot, 0, 0x08, data, 8) ? data : "<unreadable>";
  }

  ZAR_TL_HANDLE m_tl = nullptr;
  zar_test::PluggedCameras m_cameras;
};

// Reads go to the first camera within reach, writes to every camera but those held by other processes; a
// camera reserved for a request is given back after it. A camera's reply never takes the call beyond the
// caller's buffer: each camera is sent the caller's bytes whatever another one reported, and a count above
// the request is cut to it. Requests borrow the driver of a camera this process holds: a DevClose on
// another thread must not free it under them.
TEST_F(TransportLayerRegisters, ReadsAndWritesReachEveryCameraWithinTheCallersBufferAndRaceDevClose) {
  uint32_t version = 0; uint64_t size = 4;
  EXPECT_EQ(GCReadData(m_tl, 0, 0, &version, &size), ZAR_ERR_GENERAL) << "no camera";
  EXPECT_EQ(GCWriteData(m_tl, 0, 8, &version, &size), ZAR_ERR_GENERAL);
  const uint32_t mine = m_cameras.Plug("TLW1"), free = m_cameras.Plug("TLW2"), theirs = m_cameras.Plug("TLW3");
  ASSERT_TRUE(zar_test::WaitForCount(m_tl, 3));
  ASSERT_EQ(GCReadData(m_tl, 0, 0, &version, &size), ZAR_SUCCESS);
  EXPECT_EQ(version, 0x00010503u);
  ZAR_DEV_HANDLE held = nullptr;
  ASSERT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#TLW1", &held), ZAR_SUCCESS) << "reservation given back";
  const zar_test::TempDir dir;
  zar_test::HelperProcess other("steps", {dir.Path().string(), "open", "opendev ZC1000_#TLW3", "touch held", "await close",
                                          "devclose", "touch closed", "await exit", "close"});
  ASSERT_TRUE(zar_test::AwaitFile(dir / "held"));

  size = 8;
  EXPECT_EQ(GCWriteData(m_tl, 0, 0x08, "written!", &size), ZAR_SUCCESS);
  EXPECT_EQ(size, 8u);
  zar_test::Touch(dir / "close"); ASSERT_TRUE(zar_test::AwaitFile(dir / "closed"));
  zar_test::Touch(dir / "exit");
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(DevClose(held), ZAR_SUCCESS);
  EXPECT_EQ(UserData(mine), "written!") << "borrowed from this process's device";
  EXPECT_EQ(UserData(free), "written!") << "reserved for the write and freed again";
  EXPECT_EQ(UserData(theirs), "") << "held by another process: skipped";
  ZAR_DEV_HANDLE device = nullptr;
  EXPECT_EQ(TLOpenDevice(m_tl, "USB", "ZC1000_#TLW2", &device), ZAR_SUCCESS) << "reservation given back";
  DevClose(device);

  const auto report = [&](Request request, uint32_t count) { // a reply that moves nothing fails
    for (const uint32_t slot : {mine, free, theirs})
      ASSERT_TRUE(emulator::InjectFault(slot, request, FaultKind::ByteCount, 1, count));
  };
  const auto data = std::make_unique<char[]>(8); std::memcpy(data.get(), "counted!", 8); // exactly the bytes asked for
  const auto value = std::make_unique<uint32_t>(0);
  for (const uint32_t reported : {9u, 0xFFFFFFFFu, 0u}) {
    SCOPED_TRACE(reported);
    const ZAR_STATUS expected = reported != 0 ? ZAR_SUCCESS : ZAR_ERR_GENERAL;
    report(Request::WriteMemTransportLayer, reported);
    size = 8;
    EXPECT_EQ(GCWriteData(m_tl, 0, 0x08, data.get(), &size), expected);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(UserData(theirs), "counted!");
    report(Request::ReadMemTransportLayer, reported);
    size = sizeof *value;
    EXPECT_EQ(GCReadData(m_tl, 0, 0, value.get(), &size), expected);
    EXPECT_EQ(size, reported != 0 ? 4u : 0u);
    EXPECT_EQ(*value, 0x00010503u);
  }

  std::atomic<int> wrong{0}, opened{0};
  const auto check = [&](ZAR_STATUS status) { wrong += status != ZAR_SUCCESS && status != ZAR_ERR_GENERAL; };
  std::vector<std::jthread> threads; // stopped and joined when cleared
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        char data[8] = {}; uint64_t size = 4;
        check(GCReadData(m_tl, 0, 0, data, &size));
        size = sizeof data;
        check(GCWriteData(m_tl, 0, 0x08, data, &size));
      }
    });
  for (const char *name : {"ZC1000_#TLW1", "ZC1000_#TLW2"})
    threads.emplace_back([&, name](std::stop_token stop) {
      while (!stop.stop_requested()) {
        ZAR_DEV_HANDLE device = nullptr; uint64_t size = 4; uint32_t value = 0;
        if (TLOpenDevice(m_tl, "USB", name, &device) != ZAR_SUCCESS) continue;
        ++opened; GCReadData(device, 0, 0, &value, &size);
        if (DevClose(device) != ZAR_SUCCESS) ++wrong;
      }
    });
  // A number of reopenings, not a time, so that a loaded machine slows the race instead of failing it.
  EXPECT_TRUE(zar_test::WaitFor([&] { return opened >= 20; }, 60000)) << opened;
  threads.clear();
  EXPECT_EQ(wrong, 0);
}

} // namespace
