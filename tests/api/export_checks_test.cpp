// Every export answers bad handles and missing pointers with its code and
// never crashes: null, garbage and wrong-kind handles.

#include <gtest/gtest.h>

#include <string>

#include "zar_usb.h"

namespace {

enum class Kind { TL, Device, DataStream, GC };

uint8_t g_flag;
char g_text[64];

// Each export called with the given handle and, where it takes any, null
// pointers for every pointer argument; and what it answers so with a valid
// handle of its kind.
struct ExportCase {
  const char *name;
  Kind kind;
  ZAR_STATUS (*callWithNulls)(void *);
  ZAR_STATUS nullsWithValidHandle;
};
const ExportCase kCases[] = {
    {"TLClose", Kind::TL, [](void *h) { return TLClose(h); }, ZAR_SUCCESS},
    {"TLGetXml", Kind::TL, [](void *h) { return TLGetXml(h, nullptr, nullptr); }, ZAR_ERR_INVALID_PARAMETER},
    {"TLSetCallback", Kind::TL, [](void *h) { return TLSetCallback(h, nullptr, nullptr); }, ZAR_ERR_INVALID_PARAMETER},
    {"TLRemoveCallback", Kind::TL, [](void *h) { return TLRemoveCallback(h, nullptr); }, ZAR_ERR_NO_DATA},
    {"TLUpdateInterfaceList", Kind::TL, [](void *h) { return TLUpdateInterfaceList(h, nullptr); },
     ZAR_ERR_INVALID_PARAMETER},
    {"TLGetNumInterfaces", Kind::TL, [](void *h) { return TLGetNumInterfaces(h, nullptr); }, ZAR_ERR_INVALID_PARAMETER},
    {"TLGetInterfaceName", Kind::TL, [](void *h) { return TLGetInterfaceName(h, 0, nullptr, 64); },
     ZAR_ERR_INVALID_PARAMETER},
    {"TLUpdateDeviceList", Kind::TL, [](void *h) { return TLUpdateDeviceList(h, nullptr, &g_flag); },
     ZAR_ERR_INVALID_HANDLE},
    {"TLUpdateDeviceList(flag)", Kind::TL, [](void *h) { return TLUpdateDeviceList(h, "USB", nullptr); },
     ZAR_ERR_INVALID_PARAMETER},
    {"TLGetNumDevices", Kind::TL, [](void *h) { return TLGetNumDevices(h, nullptr, nullptr); },
     ZAR_ERR_INVALID_PARAMETER},
    {"TLGetDeviceName", Kind::TL, [](void *h) { return TLGetDeviceName(h, nullptr, 0, nullptr, 64); },
     ZAR_ERR_INVALID_PARAMETER},
    {"TLOpenDevice", Kind::TL, [](void *h) { return TLOpenDevice(h, nullptr, nullptr, nullptr); },
     ZAR_ERR_INVALID_PARAMETER},
    {"GCGetErrorText", Kind::TL, [](void *h) { return GCGetErrorText(h, 0, nullptr); }, ZAR_ERR_INVALID_PARAMETER},
    {"GCReadData", Kind::GC, [](void *h) { return GCReadData(h, 0, 0, nullptr, nullptr); }, ZAR_ERR_INVALID_PARAMETER},
    {"GCWriteData", Kind::GC, [](void *h) { return GCWriteData(h, 0, 0, nullptr, nullptr); },
     ZAR_ERR_INVALID_PARAMETER},
    {"DevGetXml", Kind::Device, [](void *h) { return DevGetXml(h, nullptr, nullptr); }, 0},
    {"DevGetNumDataStreams", Kind::Device, [](void *h) { return DevGetNumDataStreams(h, nullptr); }, 0},
    {"DevCreateDataStream", Kind::Device, [](void *h) { return DevCreateDataStream(h, 0, nullptr); }, 0},
    {"DevGetInfo", Kind::Device, [](void *h) { return DevGetInfo(h, nullptr, nullptr); }, 0},
    {"DevSetCallback", Kind::Device, [](void *h) { return DevSetCallback(h, nullptr, nullptr); }, 0},
    {"DevRemoveCallback", Kind::Device, [](void *h) { return DevRemoveCallback(h, nullptr); }, 0},
    {"DevClose", Kind::Device, [](void *h) { return DevClose(h); }, 0},
    {"DevQueryCustomFeature", Kind::Device, [](void *h) { return DevQueryCustomFeature(h, nullptr, 32, nullptr, nullptr); },
     0},
    {"DSAnnounceBuffer", Kind::DataStream, [](void *h) { return DSAnnounceBuffer(h, nullptr, 16, nullptr, nullptr); }, 0},
    {"DSAllocAndAnnounceBuffer", Kind::DataStream,
     [](void *h) { return DSAllocAndAnnounceBuffer(h, 16, nullptr, nullptr, nullptr); }, 0},
    {"DSRevokeBuffer", Kind::DataStream, [](void *h) { return DSRevokeBuffer(h, 1, nullptr, nullptr); }, 0},
    {"DSQueueBuffer", Kind::DataStream, [](void *h) { return DSQueueBuffer(h, 1); }, 0},
    {"DSFlushQueue", Kind::DataStream, [](void *h) { return DSFlushQueue(h, 1); }, 0},
    {"DSStartAcquisition", Kind::DataStream, [](void *h) { return DSStartAcquisition(h, 0, 1); }, 0},
    {"DSStopAcquisition", Kind::DataStream, [](void *h) { return DSStopAcquisition(h, 0); }, 0},
    {"DSWaitForBuffer", Kind::DataStream, [](void *h) { return DSWaitForBuffer(h, 10, 0, nullptr, nullptr); }, 0},
    {"DSGetStatus", Kind::DataStream, [](void *h) { return DSGetStatus(h, 0, nullptr, nullptr); }, 0},
    {"DSGetBufferInfo", Kind::DataStream, [](void *h) { return DSGetBufferInfo(h, 1, nullptr, nullptr); }, 0},
    {"DSGetBufferID", Kind::DataStream, [](void *h) { return DSGetBufferID(h, 0, nullptr); }, 0},
    {"DSClose", Kind::DataStream, [](void *h) { return DSClose(h); }, 0},
};

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
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  for (const ExportCase &c : kCases) {
    SCOPED_TRACE(c.name);
    for (void *handle : garbage) EXPECT_EQ(c.callWithNulls(handle), ZAR_ERR_INVALID_HANDLE) << handle;
    const bool wrongKind = c.kind == Kind::Device || c.kind == Kind::DataStream;
    if (std::string(c.name) != "TLClose") {
      EXPECT_EQ(c.callWithNulls(tl), wrongKind ? ZAR_ERR_INVALID_HANDLE : c.nullsWithValidHandle);
    }
  }
  ASSERT_EQ(TLClose(tl), ZAR_SUCCESS);
  for (const ExportCase &c : kCases) EXPECT_EQ(c.callWithNulls(tl), ZAR_ERR_INVALID_HANDLE) << c.name << " closed";
}

TEST(ExportChecksWithoutHandle, NullArgumentsToHandlelessExportsAreHarmless) {
  EXPECT_EQ(TLOpen(nullptr, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(TLInfo(nullptr, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  ZAR_TL_INFO info;
  EXPECT_EQ(TLInfo(nullptr, &info, nullptr), ZAR_ERR_INVALID_PARAMETER);
  uint32_t size = 776;
  EXPECT_EQ(TLInfo(nullptr, nullptr, &size), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_NE(OpenDebugFile(nullptr, ZAR_O_WRONLY), 0);
  WriteZarTrace(nullptr);
  CloseDebugFile();
  CloseDebugFile();
}

} // namespace
