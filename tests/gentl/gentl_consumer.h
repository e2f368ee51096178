#pragma once
// A GenTL consumer's view of a producer, written from the GenTL 1.5 C
// interface alone: the values and signatures it relies on, and the producer
// loaded from its .cti file with every function of the standard's table
// resolved by name, as consumers do.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gentl {

using Error = int32_t;
using Handle = void *;

constexpr Error kSuccess = 0, kNotInitialized = -1002, kNotImplemented = -1003, kResourceInUse = -1004,
                kAccessDenied = -1005, kInvalidHandle = -1006, kInvalidId = -1007, kInvalidParameter = -1009,
                kIo = -1010, kTimeout = -1011, kAbort = -1012, kBufferTooSmall = -1016, kInvalidIndex = -1017;
constexpr uint64_t kInfinite = ~0ULL;

// Info data types.
constexpr int32_t kString = 1, kInt32 = 5, kUInt32 = 6, kUInt64 = 8, kPtr = 10, kBool8 = 11, kSizeT = 12;
// Info commands used here.
constexpr int32_t kTLId = 0, kTLVendor = 1, kTLModel = 2, kTLVersion = 3, kTLType = 4, kTLName = 5, kTLPath = 6,
                  kTLDisplayName = 7, kTLEncoding = 8, kTLVersionMajor = 9, kTLVersionMinor = 10;
constexpr int32_t kIfId = 0, kIfDisplayName = 1, kIfType = 2;
constexpr int32_t kDevId = 0, kDevVendor = 1, kDevModel = 2, kDevType = 3, kDevDisplayName = 4, kDevAccess = 5,
                  kDevUserName = 6, kDevSerial = 7, kDevVersion = 8, kDevTimestampFrequency = 9;
constexpr int32_t kAccessReadWrite = 1, kAccessNoAccess = 3, kAccessBusy = 4, kAccessOpenReadWrite = 5;
constexpr int32_t kOpenExclusive = 4, kOpenReadOnly = 2;
constexpr int32_t kStreamId = 0, kStreamDelivered = 1, kStreamUnderrun = 2, kStreamAnnounced = 3, kStreamQueued = 4,
                  kStreamAwaitDelivery = 5, kStreamPayloadSize = 7, kStreamGrabbing = 8;
constexpr int32_t kBufBase = 0, kBufSize = 1, kBufUser = 2, kBufTimestamp = 3, kBufNewData = 4, kBufQueued = 5,
                  kBufAcquiring = 6, kBufIncomplete = 7, kBufSizeFilled = 9, kBufWidth = 10, kBufHeight = 11,
                  kBufFrameId = 16, kBufPayloadType = 19, kBufPixelFormat = 20;
constexpr int32_t kPortId = 0, kPortModule = 4, kPortLittleEndian = 5, kPortName = 12;
constexpr int32_t kUrl = 0, kUrlSchemeLocal = 0, kUrlScheme = 9;
constexpr int32_t kEventNewBuffer = 1, kEventRemoteDevice = 4;
constexpr int32_t kEventDataNumId = 2;
constexpr int32_t kQueueAllDiscard = 4;

struct NewBufferData {
  Handle buffer;
  void *user;
};

using InfoFn = Error (*)(Handle, int32_t, int32_t *, void *, size_t *);
using ListInfoFn = Error (*)(Handle, const char *, int32_t, int32_t *, void *, size_t *);

// The producer's functions, as a consumer declares them.
struct Producer {
  Error (*GCInitLib)();
  Error (*GCCloseLib)();
  Error (*GCGetInfo)(int32_t, int32_t *, void *, size_t *);
  Error (*GCGetLastError)(Error *, char *, size_t *);
  Error (*GCReadPort)(Handle, uint64_t, void *, size_t *);
  Error (*GCWritePort)(Handle, uint64_t, const void *, size_t *);
  Error (*GCGetPortURLInfo)(Handle, uint32_t, int32_t, int32_t *, void *, size_t *);
  InfoFn GCGetPortInfo;
  Error (*GCRegisterEvent)(Handle, int32_t, Handle *);
  Error (*GCUnregisterEvent)(Handle, int32_t);
  Error (*EventGetData)(Handle, void *, size_t *, uint64_t);
  Error (*EventGetDataInfo)(Handle, const void *, size_t, int32_t, int32_t *, void *, size_t *);
  Error (*EventKill)(Handle);
  Error (*TLOpen)(Handle *);
  Error (*TLClose)(Handle);
  InfoFn TLGetInfo;
  Error (*TLGetNumInterfaces)(Handle, uint32_t *);
  Error (*TLGetInterfaceID)(Handle, uint32_t, char *, size_t *);
  Error (*TLOpenInterface)(Handle, const char *, Handle *);
  Error (*TLUpdateInterfaceList)(Handle, uint8_t *, uint64_t);
  InfoFn IFGetInfo;
  Error (*IFClose)(Handle);
  Error (*IFUpdateDeviceList)(Handle, uint8_t *, uint64_t);
  Error (*IFGetNumDevices)(Handle, uint32_t *);
  Error (*IFGetDeviceID)(Handle, uint32_t, char *, size_t *);
  ListInfoFn IFGetDeviceInfo;
  Error (*IFOpenDevice)(Handle, const char *, int32_t, Handle *);
  Error (*DevGetPort)(Handle, Handle *);
  Error (*DevGetDataStreamID)(Handle, uint32_t, char *, size_t *);
  Error (*DevOpenDataStream)(Handle, const char *, Handle *);
  InfoFn DevGetInfo;
  Error (*DevClose)(Handle);
  Error (*DSAnnounceBuffer)(Handle, void *, size_t, void *, Handle *);
  Error (*DSAllocAndAnnounceBuffer)(Handle, size_t, void *, Handle *);
  Error (*DSFlushQueue)(Handle, int32_t);
  Error (*DSStartAcquisition)(Handle, int32_t, uint64_t);
  Error (*DSStopAcquisition)(Handle, int32_t);
  InfoFn DSGetInfo;
  Error (*DSClose)(Handle);
  Error (*DSRevokeBuffer)(Handle, Handle, void **, void **);
  Error (*DSQueueBuffer)(Handle, Handle);
  Error (*DSGetBufferInfo)(Handle, Handle, int32_t, int32_t *, void *, size_t *);
};

// Every function name of the GenTL 1.5 table.
extern const std::vector<std::string> kAllFunctions;

// Loads the producer file (once per process) and resolves its functions:
// null with *missing naming what failed.
const Producer *LoadProducer(const std::string &path, std::string *missing);

// The producer file beside the test program.
std::string ProducerPath();

} // namespace gentl
