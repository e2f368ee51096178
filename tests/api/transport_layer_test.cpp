// The transport layer's record, interfaces, error texts and callbacks; every export refusing bad handles and pointers.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "zar_usb.h"

namespace {

struct TransportLayer : ::testing::Test {
  void SetUp() override { ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS); }
  void TearDown() override { while (TLClose(tl) == ZAR_SUCCESS) continue; }
  ZAR_TL_HANDLE tl = nullptr;
};

void CallbackA(uint32_t, void *, int64_t, void *) {} // two functions, told apart by address
void CallbackB(uint32_t, void *, int64_t, void *) {}

// TLInfo takes no handle; without record, size or room enough it writes nothing. Callbacks are kept once per function
// and survive the close.
TEST_F(TransportLayer, InfoRecordErrorTextsTheInterfaceUSBCallbacksAndConcurrentUse) {
  std::array<unsigned char, 800> record, expected;
  record.fill(0xA5);
  expected = record;
  auto *info = reinterpret_cast<ZAR_TL_INFO *>(record.data());
  uint32_t size = 775;
  EXPECT_EQ(TLInfo(nullptr, info, &size), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLInfo(nullptr, info, nullptr), ZAR_ERR_INVALID_PARAMETER);
  size = 776;
  EXPECT_EQ(TLInfo(nullptr, nullptr, &size), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(record, expected) << "written by a failed call";
  ASSERT_EQ(TLInfo(nullptr, info, &size), ZAR_SUCCESS);
  EXPECT_EQ(size, 776u);
  std::memcpy(expected.data(), "\1\0\0\0\x08\x03\0\0RK46", 13); // the rest untouched
  std::memcpy(expected.data() + 264, "ZAR_USB", 8);
  std::memcpy(expected.data() + 520, "USB", 4);
  EXPECT_EQ(record, expected);

  const char *const texts[] = {"Success",       "Invalid buffer size", "Invalid handle",  "Invalid ID",
                               "Access denied", "No data",             "General error",   "Invalid parameter",
                               "Timeout error", "Invalid filename",    "Invalid address", "File I/O error"};
  for (const int32_t code : {1, 0, -1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, INT32_MIN, INT32_MAX}) {
    const char *text = "unset";
    ASSERT_EQ(GCGetErrorText(tl, code, &text), ZAR_SUCCESS) << code;
    EXPECT_STREQ(text, code <= 0 && code >= -11 ? texts[-code] : nullptr) << code; // none for unknown codes
  }
  uint32_t count = 0;
  ASSERT_EQ(TLGetNumInterfaces(tl, &count), ZAR_SUCCESS);
  EXPECT_EQ(count, 1u);

  char name[8] = "xxxxxxx";
  EXPECT_EQ(TLGetInterfaceName(tl, 0, name, 3), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(name[0], 'x') << "nothing copied on failure";
  ASSERT_EQ(TLGetInterfaceName(tl, 0, name, 4), ZAR_SUCCESS);
  EXPECT_STREQ(name, "USB");
  for (const uint32_t index : {1u, 0xFFFFFFFFu})
    EXPECT_EQ(TLGetInterfaceName(tl, index, name, sizeof name), ZAR_ERR_INVALID_PARAMETER) << index;
  uint8_t changed = 9;
  EXPECT_EQ(TLUpdateInterfaceList(tl, &changed), ZAR_SUCCESS);
  EXPECT_EQ(changed, 0);

  int contextA = 0, contextB = 0;
  EXPECT_EQ(TLSetCallback(tl, CallbackA, &contextA), ZAR_SUCCESS);
  EXPECT_EQ(TLSetCallback(tl, CallbackA, &contextB), ZAR_SUCCESS);
  EXPECT_EQ(TLRemoveCallback(tl, CallbackB), ZAR_ERR_NO_DATA);
  EXPECT_EQ(TLSetCallback(tl, nullptr, &contextA), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLSetCallback(tl, CallbackB, nullptr), ZAR_SUCCESS);
  EXPECT_EQ(TLRemoveCallback(tl, CallbackA), ZAR_SUCCESS);
  EXPECT_EQ(TLRemoveCallback(tl, CallbackA), ZAR_ERR_NO_DATA) << "one entry per function";
  TearDown();
  SetUp(); // a registration the application did not remove outlives TLClose
  EXPECT_EQ(TLRemoveCallback(tl, CallbackB), ZAR_SUCCESS);

  // Opens, closes and queries on several threads; the open above holds the handle throughout: it never dies.
  const auto opens = [&] {
    ZAR_TL_HANDLE mine = nullptr;
    uint32_t count = 0;
    return TLOpen(nullptr, nullptr, &mine) == ZAR_SUCCESS && mine == tl &&
           TLGetNumInterfaces(tl, &count) == ZAR_SUCCESS && count == 1 && TLClose(mine) == ZAR_SUCCESS;
  };
  const auto uses = [&] {
    const char *text = nullptr;
    char name[8];
    const bool ok = GCGetErrorText(tl, -2, &text) == ZAR_SUCCESS && text != nullptr &&
                    TLGetInterfaceName(tl, 0, name, sizeof name) == ZAR_SUCCESS &&
                    TLSetCallback(tl, CallbackA, nullptr) == ZAR_SUCCESS;
    TLRemoveCallback(tl, CallbackA);
    return ok;
  };
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] { for (int i = 0; i < 300; ++i) if (!(t % 2 == 0 ? opens() : uses())) failed = true; });
  for (auto &thread : threads) thread.join();
  EXPECT_FALSE(failed);
  ASSERT_EQ(TLClose(tl), ZAR_SUCCESS);
  EXPECT_EQ(TLGetNumInterfaces(tl, &count), ZAR_ERR_INVALID_HANDLE) << "opens and closes balanced";
}

uint8_t g_flag;
char g_text[64];

// An export called with handle h and null for every pointer, and its answer with the TL handle (which device and stream
// exports refuse like garbage).
struct ExportCase {
  const char *call;
  ZAR_STATUS (*withNulls)(void *h);
  ZAR_STATUS withTheTLHandle;
};
#define TL_CASE(call, withTheTLHandle) {#call, [](void *h) { return call; }, withTheTLHandle}
#define OBJECT_CASE(call) TL_CASE(call, ZAR_ERR_INVALID_HANDLE)
#define PARAM_CASE(call) TL_CASE(call, ZAR_ERR_INVALID_PARAMETER)
const ExportCase kCases[] = {
    PARAM_CASE(TLGetXml(h, nullptr, nullptr)), PARAM_CASE(TLSetCallback(h, nullptr, nullptr)),
    TL_CASE(TLRemoveCallback(h, nullptr), ZAR_ERR_NO_DATA), PARAM_CASE(TLUpdateInterfaceList(h, nullptr)),
    PARAM_CASE(TLGetNumInterfaces(h, nullptr)), PARAM_CASE(TLGetInterfaceName(h, 0, nullptr, 64)),
    TL_CASE(TLUpdateDeviceList(h, nullptr, &g_flag), ZAR_ERR_INVALID_HANDLE),
    PARAM_CASE(TLUpdateDeviceList(h, "USB", nullptr)), PARAM_CASE(TLGetNumDevices(h, nullptr, nullptr)),
    PARAM_CASE(TLGetDeviceName(h, nullptr, 0, nullptr, 64)), PARAM_CASE(TLOpenDevice(h, nullptr, nullptr, nullptr)),
    PARAM_CASE(GCGetErrorText(h, 0, nullptr)), PARAM_CASE(GCReadData(h, 0, 0, nullptr, nullptr)),
    PARAM_CASE(GCWriteData(h, 0, 0, nullptr, nullptr)),
    OBJECT_CASE(DevGetXml(h, nullptr, nullptr)), OBJECT_CASE(DevGetNumDataStreams(h, nullptr)),
    OBJECT_CASE(DevCreateDataStream(h, 0, nullptr)), OBJECT_CASE(DevGetInfo(h, nullptr, nullptr)),
    OBJECT_CASE(DevSetCallback(h, nullptr, nullptr)), OBJECT_CASE(DevRemoveCallback(h, nullptr)),
    OBJECT_CASE(DevClose(h)), OBJECT_CASE(DevQueryCustomFeature(h, nullptr, 32, nullptr, nullptr)),
    OBJECT_CASE(DSAnnounceBuffer(h, nullptr, 16, nullptr, nullptr)),
    OBJECT_CASE(DSAllocAndAnnounceBuffer(h, 16, nullptr, nullptr, nullptr)),
    OBJECT_CASE(DSRevokeBuffer(h, 1, nullptr, nullptr)), OBJECT_CASE(DSQueueBuffer(h, 1)),
    OBJECT_CASE(DSFlushQueue(h, 1)), OBJECT_CASE(DSStartAcquisition(h, 0, 1)),
    OBJECT_CASE(DSStopAcquisition(h, 0)), OBJECT_CASE(DSWaitForBuffer(h, 10, 0, nullptr, nullptr)),
    OBJECT_CASE(DSGetStatus(h, 0, nullptr, nullptr)), OBJECT_CASE(DSGetBufferInfo(h, 1, nullptr, nullptr)),
    OBJECT_CASE(DSGetBufferID(h, 0, nullptr)), OBJECT_CASE(DSClose(h)),
    TL_CASE(TLClose(h), ZAR_SUCCESS), // last: it closes the TL handle
};

// Handles that are no object of the library (small, kernel-space, unaligned, the caller's memory), and the TL handle
// once closed, are refused by every export.
TEST(ExportChecks, EveryExportChecksItsHandleAndPointers) {
  static int local;
  void *const garbage[] = {nullptr, reinterpret_cast<void *>(1), reinterpret_cast<void *>(0xDEADBEEF),
                           reinterpret_cast<void *>(~uintptr_t{0}), reinterpret_cast<void *>(0xFFFF800000000007ull),
                           &local, g_text + 3};
  ZAR_TL_HANDLE tl = nullptr;
  EXPECT_EQ(TLOpen(nullptr, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  for (const ExportCase &c : kCases) {
    SCOPED_TRACE(c.call);
    for (void *handle : garbage) EXPECT_EQ(c.withNulls(handle), ZAR_ERR_INVALID_HANDLE) << handle;
    EXPECT_EQ(c.withNulls(tl), c.withTheTLHandle);
  }
  for (const ExportCase &c : kCases) EXPECT_EQ(c.withNulls(tl), ZAR_ERR_INVALID_HANDLE) << c.call << " closed";
}

} // namespace
