#pragma once
// A GenTL consumer's view of a producer from the GenTL 1.5 C interface alone: its values, signatures and loaded .cti.

#include <cstddef>
#include <cstdint>
#include <string>

namespace gentl {

using Error = int32_t; using Handle = void *;

constexpr Error kSuccess = 0, kNotInitialized = -1002, kNotImplemented = -1003, kResourceInUse = -1004,
                kAccessDenied = -1005, kInvalidHandle = -1006, kInvalidId = -1007, kInvalidParameter = -1009,
                kIo = -1010, kTimeout = -1011, kAbort = -1012, kBufferTooSmall = -1016, kInvalidIndex = -1017;
constexpr uint64_t kInfinite = ~0ULL;

constexpr int32_t kString = 1, kInt32 = 5, kUInt32 = 6, kUInt64 = 8, kPtr = 10, kBool8 = 11, kSizeT = 12;
constexpr int32_t kTLId = 0, kTLVendor = 1, kTLModel = 2, kTLType = 4, kTLName = 5, kTLPath = 6,
                  kTLDisplayName = 7, kTLEncoding = 8, kTLVersionMajor = 9, kTLVersionMinor = 10;
constexpr int32_t kDevId = 0, kDevVendor = 1, kDevModel = 2, kDevType = 3, kDevDisplayName = 4, kDevAccess = 5,
                  kDevUserName = 6, kDevSerial = 7, kDevVersion = 8, kDevTimestampFrequency = 9;
constexpr int32_t kAccessReadWrite = 1, kAccessNoAccess = 3, kAccessBusy = 4, kAccessOpenReadWrite = 5;
constexpr int32_t kOpenExclusive = 4, kOpenReadOnly = 2;
constexpr int32_t kStreamId = 0, kStreamDelivered = 1, kStreamAnnounced = 3, kStreamQueued = 4,
                  kStreamAwaitDelivery = 5, kStreamPayloadSize = 7, kStreamGrabbing = 8;
constexpr int32_t kBufBase = 0, kBufSize = 1, kBufNewData = 4, kBufQueued = 5, kBufIncomplete = 7, kBufSizeFilled = 9,
                  kBufWidth = 10, kBufHeight = 11, kBufFrameId = 16, kBufPayloadType = 19, kBufPixelFormat = 20;
constexpr int32_t kIfId = 0, kIfType = 2, kPortModule = 4, kPortName = 12, kUrl = 0;
constexpr int32_t kEventNewBuffer = 1, kEventRemoteDevice = 4, kEventNumInQueue = 1, kEventDataNumId = 2;
constexpr int32_t kQueueInputToOutput = 0, kQueueOutputDiscard = 1, kQueueAllToInput = 2, kQueueUnqueuedToInput = 3,
                  kQueueAllDiscard = 4;

struct NewBufferData { Handle buffer; void *user; };

using Info = Error(Handle, int32_t, int32_t *, void *, size_t *); using InfoFn = Info *; // a module's info function

// The producer's functions that a consumer calls here, as it declares them.
#define GENTL_CONSUMER_FUNCTIONS(X)                                                                                    \
  X(EventGetDataInfo, Error(Handle, const void *, size_t, int32_t, int32_t *, void *, size_t *))                       \
  X(GCGetPortURLInfo, Error(Handle, uint32_t, int32_t, int32_t *, void *, size_t *)) X(EventKill, Error(Handle))       \
  X(GCWritePort, Error(Handle, uint64_t, const void *, size_t *)) X(GCGetLastError, Error(Error *, char *, size_t *))  \
  X(EventGetData, Error(Handle, void *, size_t *, uint64_t)) X(GCReadPort, Error(Handle, uint64_t, void *, size_t *))  \
  X(GCRegisterEvent, Error(Handle, int32_t, Handle *)) X(GCCloseLib, Error()) X(GCGetPortInfo, Info)                   \
  X(GCInitLib, Error()) X(EventGetInfo, Info)                                                                          \
  X(IFGetDeviceInfo, Error(Handle, const char *, int32_t, int32_t *, void *, size_t *)) X(TLOpen, Error(Handle *))     \
  X(IFOpenDevice, Error(Handle, const char *, int32_t, Handle *)) X(TLGetNumInterfaces, Error(Handle, uint32_t *))     \
  X(TLGetInterfaceID, Error(Handle, uint32_t, char *, size_t *)) X(IFGetNumDevices, Error(Handle, uint32_t *))         \
  X(TLUpdateInterfaceList, Error(Handle, uint8_t *, uint64_t)) X(TLClose, Error(Handle)) X(TLGetInfo, Info)            \
  X(IFGetDeviceID, Error(Handle, uint32_t, char *, size_t *)) X(IFGetInfo, Info)                                       \
  X(TLOpenInterface, Error(Handle, const char *, Handle *)) X(IFUpdateDeviceList, Error(Handle, uint8_t *, uint64_t))  \
  X(DSGetBufferInfo, Error(Handle, Handle, int32_t, int32_t *, void *, size_t *)) X(DevClose, Error(Handle))           \
  X(DSAnnounceBuffer, Error(Handle, void *, size_t, void *, Handle *)) X(DSStopAcquisition, Error(Handle, int32_t))    \
  X(DSAllocAndAnnounceBuffer, Error(Handle, size_t, void *, Handle *)) X(DSFlushQueue, Error(Handle, int32_t))         \
  X(DevGetDataStreamID, Error(Handle, uint32_t, char *, size_t *)) X(DSQueueBuffer, Error(Handle, Handle))             \
  X(DevOpenDataStream, Error(Handle, const char *, Handle *)) X(DSStartAcquisition, Error(Handle, int32_t, uint64_t))  \
  X(DSRevokeBuffer, Error(Handle, Handle, void **, void **)) X(DevGetPort, Error(Handle, Handle *))                    \
  X(DSClose, Error(Handle)) X(DevGetInfo, Info) X(DSGetInfo, Info)

template <class Function> using Pointer = Function *;
struct Producer {
#define GENTL_CONSUMER_MEMBER(name, ...) Pointer<__VA_ARGS__> name;
  GENTL_CONSUMER_FUNCTIONS(GENTL_CONSUMER_MEMBER)
#undef GENTL_CONSUMER_MEMBER
};

// Loads the producer file (once) and resolves all of the GenTL 1.5 table; null with *missing naming what failed.
const Producer *LoadProducer(const std::string &path, std::string *missing);
std::string ProducerPath(); // ZAR_USB.cti beside this program

} // namespace gentl
