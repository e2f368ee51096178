// Every export answers bad handles and missing pointers with its code and
// never crashes: null, garbage and wrong-kind handles.

#include <gtest/gtest.h>

#include "zar_usb.h"

namespace {

uint8_t g_flag;
char g_text[64];

// An export called with the handle h and null pointers for every pointer
// argument it takes; and what it answers so with the TL handle, which device
// and data stream exports refuse as they refuse garbage.
struct ExportCase {
  const char *call;
  ZAR_STATUS (*withNulls)(void *h);
  ZAR_STATUS withTheTLHandle;
};
#define TL_CASE(call, withTheTLHandle) {#call, [](void *h) { return call; }, withTheTLHandle}
#define OBJECT_CASE(call) TL_CASE(call, ZAR_ERR_INVALID_HANDLE)
const ExportCase kCases[] = {
    TL_CASE(TLGetXml(h, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLSetCallback(h, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLRemoveCallback(h, nullptr), ZAR_ERR_NO_DATA),
    TL_CASE(TLUpdateInterfaceList(h, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLGetNumInterfaces(h, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLGetInterfaceName(h, 0, nullptr, 64), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLUpdateDeviceList(h, nullptr, &g_flag), ZAR_ERR_INVALID_HANDLE),
    TL_CASE(TLUpdateDeviceList(h, "USB", nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLGetNumDevices(h, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLGetDeviceName(h, nullptr, 0, nullptr, 64), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(TLOpenDevice(h, nullptr, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(GCGetErrorText(h, 0, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(GCReadData(h, 0, 0, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    TL_CASE(GCWriteData(h, 0, 0, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER),
    OBJECT_CASE(DevGetXml(h, nullptr, nullptr)),
    OBJECT_CASE(DevGetNumDataStreams(h, nullptr)),
    OBJECT_CASE(DevCreateDataStream(h, 0, nullptr)),
    OBJECT_CASE(DevGetInfo(h, nullptr, nullptr)),
    OBJECT_CASE(DevSetCallback(h, nullptr, nullptr)),
    OBJECT_CASE(DevRemoveCallback(h, nullptr)),
    OBJECT_CASE(DevClose(h)),
    OBJECT_CASE(DevQueryCustomFeature(h, nullptr, 32, nullptr, nullptr)),
    OBJECT_CASE(DSAnnounceBuffer(h, nullptr, 16, nullptr, nullptr)),
    OBJECT_CASE(DSAllocAndAnnounceBuffer(h, 16, nullptr, nullptr, nullptr)),
    OBJECT_CASE(DSRevokeBuffer(h, 1, nullptr, nullptr)),
    OBJECT_CASE(DSQueueBuffer(h, 1)),
    OBJECT_CASE(DSFlushQueue(h, 1)),
    OBJECT_CASE(DSStartAcquisition(h, 0, 1)),
    OBJECT_CASE(DSStopAcquisition(h, 0)),
    OBJECT_CASE(DSWaitForBuffer(h, 10, 0, nullptr, nullptr)),
    OBJECT_CASE(DSGetStatus(h, 0, nullptr, nullptr)),
    OBJECT_CASE(DSGetBufferInfo(h, 1, nullptr, nullptr)),
    OBJECT_CASE(DSGetBufferID(h, 0, nullptr)),
    OBJECT_CASE(DSClose(h)),
    TL_CASE(TLClose(h), ZAR_SUCCESS), // last: it closes the TL handle
};
#undef OBJECT_CASE
#undef TL_CASE

// Handles that are no object of the library (small integers, kernel-space
// and unaligned values, memory of the caller) are refused by every export;
// the TL handle is no device and no data stream, and its null pointers are
// refused with its own code; once closed, it is refused by every export.
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
