/*
 * The GenICam GenTL 1.5 C interface as ZAR_USB.cti implements it: handle
 * types, the enumerations of info commands, data types, events and queue
 * operations with their standard values, the records passed through the
 * interface, and every function of the table a consumer resolves.
 *
 * Compiles as C99 and as C++. Everything a consumer sees passes by value or
 * through pointers; records have the standard layouts, checked below.
 */
#ifndef ZAR_GENTL_TYPES_H
#define ZAR_GENTL_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
#define ZAR_GENTL_CALL __stdcall
#define ZAR_GENTL_EXPORT __declspec(dllexport)
#else
#define ZAR_GENTL_CALL
#define ZAR_GENTL_EXPORT __attribute__((visibility("default")))
#endif
#define ZAR_GENTL_API ZAR_GENTL_EXPORT GC_ERROR ZAR_GENTL_CALL

/* ---- Basic types ------------------------------------------------------- */

typedef int32_t GC_ERROR;
typedef uint8_t bool8_t;

typedef void *TL_HANDLE;
typedef void *IF_HANDLE;
typedef void *DEV_HANDLE;
typedef void *DS_HANDLE;
typedef void *PORT_HANDLE;
typedef void *BUFFER_HANDLE;
typedef void *EVENTSRC_HANDLE;
typedef void *EVENT_HANDLE;

#define GENTL_INVALID_HANDLE NULL
#define GENTL_INFINITE 0xFFFFFFFFFFFFFFFFULL

/* ---- Results ----------------------------------------------------------- */

#define GC_ERR_SUCCESS 0
#define GC_ERR_ERROR (-1001)
#define GC_ERR_NOT_INITIALIZED (-1002)
#define GC_ERR_NOT_IMPLEMENTED (-1003)
#define GC_ERR_RESOURCE_IN_USE (-1004)
#define GC_ERR_ACCESS_DENIED (-1005)
#define GC_ERR_INVALID_HANDLE (-1006)
#define GC_ERR_INVALID_ID (-1007)
#define GC_ERR_NO_DATA (-1008)
#define GC_ERR_INVALID_PARAMETER (-1009)
#define GC_ERR_IO (-1010)
#define GC_ERR_TIMEOUT (-1011)
#define GC_ERR_ABORT (-1012)
#define GC_ERR_INVALID_BUFFER (-1013)
#define GC_ERR_NOT_AVAILABLE (-1014)
#define GC_ERR_INVALID_ADDRESS (-1015)
#define GC_ERR_BUFFER_TOO_SMALL (-1016)
#define GC_ERR_INVALID_INDEX (-1017)
#define GC_ERR_PARSING_CHUNK_DATA (-1018)
#define GC_ERR_INVALID_VALUE (-1019)
#define GC_ERR_RESOURCE_EXHAUSTED (-1020)
#define GC_ERR_OUT_OF_MEMORY (-1021)
#define GC_ERR_BUSY (-1022)
#define GC_ERR_CUSTOM_ID (-10000)

/* ---- Data types of info answers ---------------------------------------- */

typedef int32_t INFO_DATATYPE;
enum {
  INFO_DATATYPE_UNKNOWN = 0,
  INFO_DATATYPE_STRING = 1,
  INFO_DATATYPE_STRINGLIST = 2,
  INFO_DATATYPE_INT16 = 3,
  INFO_DATATYPE_UINT16 = 4,
  INFO_DATATYPE_INT32 = 5,
  INFO_DATATYPE_UINT32 = 6,
  INFO_DATATYPE_INT64 = 7,
  INFO_DATATYPE_UINT64 = 8,
  INFO_DATATYPE_FLOAT64 = 9,
  INFO_DATATYPE_PTR = 10,
  INFO_DATATYPE_BOOL8 = 11,
  INFO_DATATYPE_SIZET = 12,
  INFO_DATATYPE_BUFFER = 13,
  INFO_DATATYPE_PTRDIFF = 14
};

/* ---- System module ------------------------------------------------------ */

typedef int32_t TL_INFO_CMD;
enum {
  TL_INFO_ID = 0,
  TL_INFO_VENDOR = 1,
  TL_INFO_MODEL = 2,
  TL_INFO_VERSION = 3,
  TL_INFO_TLTYPE = 4,
  TL_INFO_NAME = 5,
  TL_INFO_PATHNAME = 6,
  TL_INFO_DISPLAYNAME = 7,
  TL_INFO_CHAR_ENCODING = 8,
  TL_INFO_GENTL_VER_MAJOR = 9,
  TL_INFO_GENTL_VER_MINOR = 10
};

typedef int32_t TL_CHAR_ENCODING;
enum { TL_CHAR_ENCODING_ASCII = 0, TL_CHAR_ENCODING_UTF8 = 1 };

/* ---- Interface module --------------------------------------------------- */

typedef int32_t INTERFACE_INFO_CMD;
enum { INTERFACE_INFO_ID = 0, INTERFACE_INFO_DISPLAYNAME = 1, INTERFACE_INFO_TLTYPE = 2 };

/* ---- Device module ------------------------------------------------------ */

typedef int32_t DEVICE_INFO_CMD;
enum {
  DEVICE_INFO_ID = 0,
  DEVICE_INFO_VENDOR = 1,
  DEVICE_INFO_MODEL = 2,
  DEVICE_INFO_TLTYPE = 3,
  DEVICE_INFO_DISPLAYNAME = 4,
  DEVICE_INFO_ACCESS_STATUS = 5,
  DEVICE_INFO_USER_DEFINED_NAME = 6,
  DEVICE_INFO_SERIAL_NUMBER = 7,
  DEVICE_INFO_VERSION = 8,
  DEVICE_INFO_TIMESTAMP_FREQUENCY = 9
};

typedef int32_t DEVICE_ACCESS_FLAGS;
enum {
  DEVICE_ACCESS_UNKNOWN = 0,
  DEVICE_ACCESS_NONE = 1,
  DEVICE_ACCESS_READONLY = 2,
  DEVICE_ACCESS_CONTROL = 3,
  DEVICE_ACCESS_EXCLUSIVE = 4
};

typedef int32_t DEVICE_ACCESS_STATUS;
enum {
  DEVICE_ACCESS_STATUS_UNKNOWN = 0,
  DEVICE_ACCESS_STATUS_READWRITE = 1,
  DEVICE_ACCESS_STATUS_READONLY = 2,
  DEVICE_ACCESS_STATUS_NOACCESS = 3,
  DEVICE_ACCESS_STATUS_BUSY = 4,
  DEVICE_ACCESS_STATUS_OPEN_READWRITE = 5,
  DEVICE_ACCESS_STATUS_OPEN_READONLY = 6
};

/* ---- Data stream module ------------------------------------------------- */

typedef int32_t STREAM_INFO_CMD;
enum {
  STREAM_INFO_ID = 0,
  STREAM_INFO_NUM_DELIVERED = 1,
  STREAM_INFO_NUM_UNDERRUN = 2,
  STREAM_INFO_NUM_ANNOUNCED = 3,
  STREAM_INFO_NUM_QUEUED = 4,
  STREAM_INFO_NUM_AWAIT_DELIVERY = 5,
  STREAM_INFO_NUM_STARTED = 6,
  STREAM_INFO_PAYLOAD_SIZE = 7,
  STREAM_INFO_IS_GRABBING = 8,
  STREAM_INFO_DEFINES_PAYLOADSIZE = 9,
  STREAM_INFO_TLTYPE = 10,
  STREAM_INFO_NUM_CHUNKS_MAX = 11,
  STREAM_INFO_BUF_ANNOUNCE_MIN = 12,
  STREAM_INFO_BUF_ALIGNMENT = 13
};

typedef int32_t ACQ_START_FLAGS;
enum { ACQ_START_FLAGS_DEFAULT = 0 };
typedef int32_t ACQ_STOP_FLAGS;
enum { ACQ_STOP_FLAGS_DEFAULT = 0, ACQ_STOP_FLAGS_KILL = 1 };

typedef int32_t ACQ_QUEUE_TYPE;
enum {
  ACQ_QUEUE_INPUT_TO_OUTPUT = 0,
  ACQ_QUEUE_OUTPUT_DISCARD = 1,
  ACQ_QUEUE_ALL_TO_INPUT = 2,
  ACQ_QUEUE_UNQUEUED_TO_INPUT = 3,
  ACQ_QUEUE_ALL_DISCARD = 4
};

/* ---- Buffers ------------------------------------------------------------ */

typedef int32_t BUFFER_INFO_CMD;
enum {
  BUFFER_INFO_BASE = 0,
  BUFFER_INFO_SIZE = 1,
  BUFFER_INFO_USER_PTR = 2,
  BUFFER_INFO_TIMESTAMP = 3,
  BUFFER_INFO_NEW_DATA = 4,
  BUFFER_INFO_IS_QUEUED = 5,
  BUFFER_INFO_IS_ACQUIRING = 6,
  BUFFER_INFO_IS_INCOMPLETE = 7,
  BUFFER_INFO_TLTYPE = 8,
  BUFFER_INFO_SIZE_FILLED = 9,
  BUFFER_INFO_WIDTH = 10,
  BUFFER_INFO_HEIGHT = 11,
  BUFFER_INFO_XOFFSET = 12,
  BUFFER_INFO_YOFFSET = 13,
  BUFFER_INFO_XPADDING = 14,
  BUFFER_INFO_YPADDING = 15,
  BUFFER_INFO_FRAMEID = 16,
  BUFFER_INFO_IMAGEPRESENT = 17,
  BUFFER_INFO_IMAGEOFFSET = 18,
  BUFFER_INFO_PAYLOADTYPE = 19,
  BUFFER_INFO_PIXELFORMAT = 20,
  BUFFER_INFO_PIXELFORMAT_NAMESPACE = 21,
  BUFFER_INFO_DELIVERED_IMAGEHEIGHT = 22,
  BUFFER_INFO_DELIVERED_CHUNKPAYLOADSIZE = 23,
  BUFFER_INFO_CHUNKLAYOUTID = 24,
  BUFFER_INFO_FILENAME = 25,
  BUFFER_INFO_PIXEL_ENDIANNESS = 26,
  BUFFER_INFO_DATA_SIZE = 27,
  BUFFER_INFO_TIMESTAMP_NS = 28,
  BUFFER_INFO_DATA_LARGER_THAN_BUFFER = 29,
  BUFFER_INFO_CONTAINS_CHUNKDATA = 30
};

typedef int32_t BUFFER_PART_INFO_CMD;

typedef int32_t PAYLOADTYPE_INFO_IDS;
enum { PAYLOAD_TYPE_UNKNOWN = 0, PAYLOAD_TYPE_IMAGE = 1 };

typedef int32_t PIXELFORMAT_NAMESPACE_IDS;
enum { PIXELFORMAT_NAMESPACE_UNKNOWN = 0, PIXELFORMAT_NAMESPACE_PFNC_32BIT = 4 };

typedef int32_t PIXELENDIANNESS_IDS;
enum { PIXELENDIANNESS_UNKNOWN = 0, PIXELENDIANNESS_LITTLE = 1, PIXELENDIANNESS_BIG = 2 };

/* ---- Ports --------------------------------------------------------------- */

typedef int32_t PORT_INFO_CMD;
enum {
  PORT_INFO_ID = 0,
  PORT_INFO_VENDOR = 1,
  PORT_INFO_MODEL = 2,
  PORT_INFO_TLTYPE = 3,
  PORT_INFO_MODULE = 4,
  PORT_INFO_LITTLE_ENDIAN = 5,
  PORT_INFO_BIG_ENDIAN = 6,
  PORT_INFO_ACCESS_READ = 7,
  PORT_INFO_ACCESS_WRITE = 8,
  PORT_INFO_ACCESS_NA = 9,
  PORT_INFO_ACCESS_NI = 10,
  PORT_INFO_VERSION = 11,
  PORT_INFO_PORTNAME = 12
};

typedef int32_t URL_INFO_CMD;
enum {
  URL_INFO_URL = 0,
  URL_INFO_SCHEMA_VER_MAJOR = 1,
  URL_INFO_SCHEMA_VER_MINOR = 2,
  URL_INFO_FILE_VER_MAJOR = 3,
  URL_INFO_FILE_VER_MINOR = 4,
  URL_INFO_FILE_VER_SUBMINOR = 5,
  URL_INFO_FILE_SHA1_HASH = 6,
  URL_INFO_FILE_REGISTER_ADDRESS = 7,
  URL_INFO_FILE_SIZE = 8,
  URL_INFO_SCHEME = 9,
  URL_INFO_FILENAME = 10
};

typedef int32_t URL_SCHEME_IDS;
enum { URL_SCHEME_LOCAL = 0, URL_SCHEME_HTTP = 1, URL_SCHEME_FILE = 2 };

/* ---- Events --------------------------------------------------------------- */

typedef int32_t EVENT_TYPE;
enum {
  EVENT_ERROR = 0,
  EVENT_NEW_BUFFER = 1,
  EVENT_FEATURE_INVALIDATE = 2,
  EVENT_FEATURE_CHANGE = 3,
  EVENT_REMOTE_DEVICE = 4,
  EVENT_MODULE = 5
};

typedef int32_t EVENT_INFO_CMD;
enum {
  EVENT_EVENT_TYPE = 0,
  EVENT_NUM_IN_QUEUE = 1,
  EVENT_NUM_FIRED = 2,
  EVENT_SIZE_MAX = 3,
  EVENT_INFO_DATA_SIZE_MAX = 4
};

typedef int32_t EVENT_DATA_INFO_CMD;
enum { EVENT_DATA_ID = 0, EVENT_DATA_VALUE = 1, EVENT_DATA_NUMID = 2 };

/* ---- Records ------------------------------------------------------------- */

/* What EventGetData gives for a new-buffer event. */
typedef struct S_EVENT_NEW_BUFFER {
  BUFFER_HANDLE BufferHandle;
  void *pUserPointer;
} EVENT_NEW_BUFFER_DATA;

/* One register of a stacked port read or write. */
typedef struct S_PORT_REGISTER_STACK_ENTRY {
  uint64_t Address;
  void *pBuffer;
  size_t Size;
} PORT_REGISTER_STACK_ENTRY;

/* One chunk of a buffer's chunk data. */
typedef struct S_SINGLE_CHUNK_DATA {
  uint64_t ChunkID;
  ptrdiff_t ChunkOffset;
  size_t ChunkLength;
} SINGLE_CHUNK_DATA;

#define ZAR_GENTL_CHECK(name, condition) typedef char zar_gentl_check_##name[(condition) ? 1 : -1]
ZAR_GENTL_CHECK(new_buffer_size, sizeof(EVENT_NEW_BUFFER_DATA) == 2 * sizeof(void *));
ZAR_GENTL_CHECK(new_buffer_user, offsetof(EVENT_NEW_BUFFER_DATA, pUserPointer) == sizeof(void *));
ZAR_GENTL_CHECK(stack_entry_size, sizeof(PORT_REGISTER_STACK_ENTRY) == 8 + 2 * sizeof(void *));
ZAR_GENTL_CHECK(stack_entry_buffer, offsetof(PORT_REGISTER_STACK_ENTRY, pBuffer) == 8);
ZAR_GENTL_CHECK(chunk_size, sizeof(SINGLE_CHUNK_DATA) == 8 + 2 * sizeof(void *));

/* ---- Functions ----------------------------------------------------------- */

/* Library */
ZAR_GENTL_API GCGetInfo(TL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
ZAR_GENTL_API GCGetLastError(GC_ERROR *piErrorCode, char *sErrText, size_t *piSize);
ZAR_GENTL_API GCInitLib(void);
ZAR_GENTL_API GCCloseLib(void);

/* Ports */
ZAR_GENTL_API GCReadPort(PORT_HANDLE hPort, uint64_t iAddress, void *pBuffer, size_t *piSize);
ZAR_GENTL_API GCWritePort(PORT_HANDLE hPort, uint64_t iAddress, const void *pBuffer, size_t *piSize);
ZAR_GENTL_API GCGetPortURL(PORT_HANDLE hPort, char *sURL, size_t *piSize);
ZAR_GENTL_API GCGetPortInfo(PORT_HANDLE hPort, PORT_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                            size_t *piSize);
ZAR_GENTL_API GCGetNumPortURLs(PORT_HANDLE hPort, uint32_t *piNumURLs);
ZAR_GENTL_API GCGetPortURLInfo(PORT_HANDLE hPort, uint32_t iURLIndex, URL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType,
                               void *pBuffer, size_t *piSize);
ZAR_GENTL_API GCReadPortStacked(PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY *pEntries, size_t *piNumEntries);
ZAR_GENTL_API GCWritePortStacked(PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY *pEntries, size_t *piNumEntries);

/* Events */
ZAR_GENTL_API GCRegisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID, EVENT_HANDLE *phEvent);
ZAR_GENTL_API GCUnregisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID);
ZAR_GENTL_API EventGetData(EVENT_HANDLE hEvent, void *pBuffer, size_t *piSize, uint64_t iTimeout);
ZAR_GENTL_API EventGetDataInfo(EVENT_HANDLE hEvent, const void *pInBuffer, size_t iInSize,
                               EVENT_DATA_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pOutBuffer,
                               size_t *piOutSize);
ZAR_GENTL_API EventGetInfo(EVENT_HANDLE hEvent, EVENT_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                           size_t *piSize);
ZAR_GENTL_API EventFlush(EVENT_HANDLE hEvent);
ZAR_GENTL_API EventKill(EVENT_HANDLE hEvent);

/* System */
ZAR_GENTL_API TLOpen(TL_HANDLE *phTL);
ZAR_GENTL_API TLClose(TL_HANDLE hTL);
ZAR_GENTL_API TLGetInfo(TL_HANDLE hTL, TL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
ZAR_GENTL_API TLGetNumInterfaces(TL_HANDLE hTL, uint32_t *piNumIfaces);
ZAR_GENTL_API TLGetInterfaceID(TL_HANDLE hTL, uint32_t iIndex, char *sID, size_t *piSize);
ZAR_GENTL_API TLGetInterfaceInfo(TL_HANDLE hTL, const char *sIfaceID, INTERFACE_INFO_CMD iInfoCmd,
                                 INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
ZAR_GENTL_API TLOpenInterface(TL_HANDLE hTL, const char *sIfaceID, IF_HANDLE *phIface);
ZAR_GENTL_API TLUpdateInterfaceList(TL_HANDLE hTL, bool8_t *pbChanged, uint64_t iTimeout);

/* Interface */
ZAR_GENTL_API IFClose(IF_HANDLE hIface);
ZAR_GENTL_API IFGetInfo(IF_HANDLE hIface, INTERFACE_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                        size_t *piSize);
ZAR_GENTL_API IFGetNumDevices(IF_HANDLE hIface, uint32_t *piNumDevices);
ZAR_GENTL_API IFGetDeviceID(IF_HANDLE hIface, uint32_t iIndex, char *sIDeviceID, size_t *piSize);
ZAR_GENTL_API IFUpdateDeviceList(IF_HANDLE hIface, bool8_t *pbChanged, uint64_t iTimeout);
ZAR_GENTL_API IFGetDeviceInfo(IF_HANDLE hIface, const char *sDeviceID, DEVICE_INFO_CMD iInfoCmd,
                              INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
ZAR_GENTL_API IFOpenDevice(IF_HANDLE hIface, const char *sDeviceID, DEVICE_ACCESS_FLAGS iOpenFlags,
                           DEV_HANDLE *phDevice);
ZAR_GENTL_API IFGetParentTL(IF_HANDLE hIface, TL_HANDLE *phSystem);

/* Device */
ZAR_GENTL_API DevGetPort(DEV_HANDLE hDevice, PORT_HANDLE *phRemoteDevice);
ZAR_GENTL_API DevGetNumDataStreams(DEV_HANDLE hDevice, uint32_t *piNumDataStreams);
ZAR_GENTL_API DevGetDataStreamID(DEV_HANDLE hDevice, uint32_t iIndex, char *sDataStreamID, size_t *piSize);
ZAR_GENTL_API DevOpenDataStream(DEV_HANDLE hDevice, const char *sDataStreamID, DS_HANDLE *phDataStream);
ZAR_GENTL_API DevGetInfo(DEV_HANDLE hDevice, DEVICE_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                         size_t *piSize);
ZAR_GENTL_API DevClose(DEV_HANDLE hDevice);
ZAR_GENTL_API DevGetParentIF(DEV_HANDLE hDevice, IF_HANDLE *phIface);

/* Data stream */
ZAR_GENTL_API DSAnnounceBuffer(DS_HANDLE hDataStream, void *pBuffer, size_t iSize, void *pPrivate,
                               BUFFER_HANDLE *phBuffer);
ZAR_GENTL_API DSAllocAndAnnounceBuffer(DS_HANDLE hDataStream, size_t iSize, void *pPrivate, BUFFER_HANDLE *phBuffer);
ZAR_GENTL_API DSFlushQueue(DS_HANDLE hDataStream, ACQ_QUEUE_TYPE iOperation);
ZAR_GENTL_API DSStartAcquisition(DS_HANDLE hDataStream, ACQ_START_FLAGS iStartFlags, uint64_t iNumToAcquire);
ZAR_GENTL_API DSStopAcquisition(DS_HANDLE hDataStream, ACQ_STOP_FLAGS iStopFlags);
ZAR_GENTL_API DSGetInfo(DS_HANDLE hDataStream, STREAM_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                        size_t *piSize);
ZAR_GENTL_API DSGetBufferID(DS_HANDLE hDataStream, uint32_t iIndex, BUFFER_HANDLE *phBuffer);
ZAR_GENTL_API DSClose(DS_HANDLE hDataStream);
ZAR_GENTL_API DSRevokeBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, void **ppBuffer, void **ppPrivate);
ZAR_GENTL_API DSQueueBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer);
ZAR_GENTL_API DSGetBufferInfo(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, BUFFER_INFO_CMD iInfoCmd,
                              INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
ZAR_GENTL_API DSGetBufferChunkData(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, SINGLE_CHUNK_DATA *pChunkData,
                                   size_t *piNumChunks);
ZAR_GENTL_API DSGetParentDev(DS_HANDLE hDataStream, DEV_HANDLE *phDevice);
ZAR_GENTL_API DSGetNumBufferParts(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t *piNumParts);
ZAR_GENTL_API DSGetBufferPartInfo(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t iPartIndex,
                                  BUFFER_PART_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                                  size_t *piSize);

#ifdef __cplusplus
}
#endif

#endif /* ZAR_GENTL_TYPES_H */
