// DevGetInfo and DevQueryCustomFeature.

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "open_camera.h"

using namespace oxa::ZarUsb;

namespace {

class DeviceInformation : public ::testing::Test {
protected:
  static emulator::CameraConfig Spec() {
    static int next = 0;
    emulator::CameraConfig config;
    config.serial = "INFO" + std::to_string(++next);
    config.model = "ZC2000";
    return config;
  }
  void SetUp() override { ASSERT_TRUE(m_camera.Ready()); }
  zar_test::OpenCamera m_camera{Spec()};
};

TEST_F(DeviceInformation, TheRecordNeedsItsFullSizeAndGetsFourFields) {
  std::array<uint8_t, 1100> record;
  record.fill(0xA5);
  uint32_t size = 1023;
  EXPECT_EQ(DevGetInfo(m_camera.Device(), reinterpret_cast<ZAR_DEVICE_INFO *>(record.data()), &size),
            ZAR_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0xA5; }));
  EXPECT_EQ(DevGetInfo(m_camera.Device(), nullptr, &size), ZAR_ERR_INVALID_PARAMETER);

  size = 1024;
  ASSERT_EQ(DevGetInfo(m_camera.Device(), reinterpret_cast<ZAR_DEVICE_INFO *>(record.data()), &size), ZAR_SUCCESS);
  EXPECT_EQ(size, 1024u);
  EXPECT_EQ(std::memcmp(record.data(), "ZAR_USB", 8), 0);
  EXPECT_EQ(record[8], 0xA5) << "the rest of the field is the caller's";
  EXPECT_EQ(std::memcmp(record.data() + 0x100, "RK46", 5), 0);
  EXPECT_EQ(std::memcmp(record.data() + 0x200, "ZC2000", 7), 0);
  EXPECT_EQ(std::memcmp(record.data() + 0x300, "INFO", 4), 0);
  EXPECT_EQ(record[0x100 + 32], 0xA5) << "32 bytes per camera text";
  EXPECT_EQ(record[1024], 0xA5);
}

TEST_F(DeviceInformation, CustomFeaturesPassOneRequestEachAndCheckTheirRecords) {
  const char written[] = "feature bytes";
  ZAR_CUSTOM_FEATURE_REQUEST request{ZAR_CUSTOM_FEATURE_WRITE, 0, 0x200, written, sizeof written};
  ZAR_CUSTOM_FEATURE_REPLY reply{};
  uint32_t replySize = sizeof reply;
  const auto query = [&] { return DevQueryCustomFeature(m_camera.Device(), &request, sizeof request, &reply, &replySize); };
  const auto fault = [&](emulator::Request kind, emulator::FaultKind fault, uint32_t value) {
    ASSERT_TRUE(emulator::InjectFault(m_camera.Slot(), kind, fault, 1, value));
  };
  ASSERT_EQ(query(), ZAR_SUCCESS);
  EXPECT_EQ(reply.iDone, sizeof written);
  EXPECT_EQ(reply.iDriverError, 0u);
  // The driver cannot have written more than it was sent: a larger count is cut.
  for (const uint32_t reported : {uint32_t{sizeof written + 1}, 0xFFFFFFFFu}) {
    fault(emulator::Request::WriteMemCustomFeature, emulator::FaultKind::ByteCount, reported);
    ASSERT_EQ(query(), ZAR_SUCCESS);
    EXPECT_EQ(reply.iDone, sizeof written) << reported;
  }

  char read[sizeof written] = {};
  request = {ZAR_CUSTOM_FEATURE_READ, 0, 0x200, nullptr, sizeof read};
  reply = {0, 0, read, 0};
  ASSERT_EQ(query(), ZAR_SUCCESS);
  EXPECT_STREQ(read, written);

  // The driver's own outcome word is the caller's to read.
  fault(emulator::Request::ReadMemCustomFeature, emulator::FaultKind::DriverError, 0x42);
  EXPECT_EQ(query(), ZAR_SUCCESS);
  EXPECT_EQ(reply.iDriverError, 0x42u);

  // A failed request leaves the reply as it was.
  fault(emulator::Request::ReadMemCustomFeature, emulator::FaultKind::SystemError, 0);
  reply = {0x77, 0, read, 0x99};
  EXPECT_EQ(query(), ZAR_ERR_GENERAL);
  EXPECT_EQ(reply.iDriverError, 0x77u);
  EXPECT_EQ(reply.iDone, 0x99u);

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

} // namespace
