/*
 * ZAR_USB — transport layer for USB cameras.
 *
 * Plain C interface of ZAR_USB.dll (Windows x86-64) and libzar_usb.so (Linux).
 * Every function except the five trace controls returns a ZAR_STATUS: 0 for
 * success, a negative ZAR_ERR_* code otherwise. Handles are opaque; every
 * function checks the handle it is given before using it.
 *
 * Records use fixed-width fields only and have the same layout on every
 * platform; their sizes and offsets are checked below at compile time.
 * Compiles as C99 and as C++.
 */
#ifndef ZAR_USB_H
#define ZAR_USB_H

#include <stddef.h> /* wchar_t, offsetof */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZAR_USB_BUILDING_LIBRARY) && !defined(_WIN32)
#define ZAR_USB_API __attribute__((visibility("default")))
#else
#define ZAR_USB_API
#endif

/* ---- Status codes ------------------------------------------------------ */

typedef int32_t ZAR_STATUS;

#define ZAR_SUCCESS 0
#define ZAR_ERR_INVALID_BUFFER_SIZE (-1)
#define ZAR_ERR_INVALID_HANDLE (-2)
#define ZAR_ERR_INVALID_ID (-3)
#define ZAR_ERR_ACCESS_DENIED (-4)
#define ZAR_ERR_NO_DATA (-5)
#define ZAR_ERR_GENERAL (-6)
#define ZAR_ERR_INVALID_PARAMETER (-7)
#define ZAR_ERR_TIMEOUT (-8)
#define ZAR_ERR_INVALID_FILENAME (-9)
#define ZAR_ERR_INVALID_ADDRESS (-10)
#define ZAR_ERR_FILE_IO (-11)

/* ---- Event codes given to callbacks ------------------------------------ */

#define USB_UNPLUGGED_DEVICE 0x7FFFu
#define USB_PLUGGED_DEVICE 0x8000u
#define PC_SUSPEND_MODE 0x8001u
#define PC_RESTORE 0x8002u
#define PC_RESTORE_SLEEP_MODE 0x8003u
#define PC_RESTORE_HYBERNATE_MODE 0x8004u

/* ---- Handles and callbacks --------------------------------------------- */

typedef void *ZAR_TL_HANDLE;
typedef void *ZAR_DEV_HANDLE;
typedef void *ZAR_DS_HANDLE;

/* Called on a library thread, never on the application's, with no library
 * lock held. pData is valid only during the call; for plug and unplug events
 * it is the camera's name and iSize is 260. The result is ignored. */
typedef void (*ZAR_CALLBACK)(uint32_t iEvent, void *pData, int64_t iSize,
                             void *pContext);

/* ---- Application records ----------------------------------------------- */

/* Filled by TLInfo. Bytes the library does not write keep their contents. */
typedef struct ZAR_TL_INFO {
  uint32_t iVersion;   /* 1 */
  uint32_t iSize;      /* 776 */
  char sVendor[256];   /* "RK46" */
  char sName[256];     /* "ZAR_USB" */
  char sTransport[256];/* "USB" */
} ZAR_TL_INFO;

/* Filled by DevGetInfo. The camera's texts are copied as they stand (32 bytes
 * each, not terminated when the camera fills them); clear the record first. */
typedef struct ZAR_DEVICE_INFO {
  char sTLName[256]; /* "ZAR_USB" */
  char sVendor[256];
  char sModel[256];
  char sSerial[256];
} ZAR_DEVICE_INFO;

#define ZAR_CUSTOM_FEATURE_READ 0u
#define ZAR_CUSTOM_FEATURE_WRITE 1u

/* Request of DevQueryCustomFeature: one read or write in the camera's
 * custom-feature space. */
typedef struct ZAR_CUSTOM_FEATURE_REQUEST {
  uint32_t iOperation; /* ZAR_CUSTOM_FEATURE_READ or _WRITE */
  uint32_t iReserved;
  uint64_t iAddress;
  const void *pSource; /* bytes to write (write only) */
  uint64_t iSize;      /* bytes to read or write */
} ZAR_CUSTOM_FEATURE_REQUEST;

/* Reply of DevQueryCustomFeature. */
typedef struct ZAR_CUSTOM_FEATURE_REPLY {
  uint32_t iDriverError; /* out: the driver's own outcome word */
  uint32_t iReserved;
  void *pDestination;    /* in: where a read puts its bytes */
  uint64_t iDone;        /* out: bytes the driver reports as done */
} ZAR_CUSTOM_FEATURE_REPLY;

/* Filled by DSWaitForBuffer (the library writes bytes 0-24 and 32-64). */
typedef struct ZAR_WAIT_RESULT {
  void *pBase;             /* the filled buffer */
  uint32_t iFrameInfo;     /* value at offset 36 of the driver's completion */
  uint32_t iID;            /* buffer ID */
  void *pPrivate;          /* the private pointer given at announcement */
  uint8_t bUserAlloc;      /* 1: application memory, 0: library memory */
  uint8_t aReserved[7];
  uint8_t aFrameInfo[32];  /* the driver's per-frame information */
  uint8_t bFilled;         /* set to 1 */
} ZAR_WAIT_RESULT;

/* Filled by DSGetBufferInfo. */
typedef struct ZAR_BUFFER_INFO {
  void *pBase;
  uint32_t iSize;
  uint32_t iID;
  void *pPrivate;
  uint8_t bUserAlloc;
  uint8_t aZero[7];
} ZAR_BUFFER_INFO;

#define ZAR_USB_CHECK(name, condition) \
  typedef char zar_usb_check_##name[(condition) ? 1 : -1]

ZAR_USB_CHECK(pointer_size, sizeof(void *) == 8);
ZAR_USB_CHECK(tl_info_size, sizeof(ZAR_TL_INFO) == 776);
ZAR_USB_CHECK(tl_info_vendor, offsetof(ZAR_TL_INFO, sVendor) == 8);
ZAR_USB_CHECK(tl_info_name, offsetof(ZAR_TL_INFO, sName) == 264);
ZAR_USB_CHECK(tl_info_transport, offsetof(ZAR_TL_INFO, sTransport) == 520);
ZAR_USB_CHECK(device_info_size, sizeof(ZAR_DEVICE_INFO) == 1024);
ZAR_USB_CHECK(device_info_vendor, offsetof(ZAR_DEVICE_INFO, sVendor) == 0x100);
ZAR_USB_CHECK(device_info_model, offsetof(ZAR_DEVICE_INFO, sModel) == 0x200);
ZAR_USB_CHECK(device_info_serial, offsetof(ZAR_DEVICE_INFO, sSerial) == 0x300);
ZAR_USB_CHECK(cf_request_size, sizeof(ZAR_CUSTOM_FEATURE_REQUEST) == 32);
ZAR_USB_CHECK(cf_request_address, offsetof(ZAR_CUSTOM_FEATURE_REQUEST, iAddress) == 8);
ZAR_USB_CHECK(cf_request_source, offsetof(ZAR_CUSTOM_FEATURE_REQUEST, pSource) == 16);
ZAR_USB_CHECK(cf_request_count, offsetof(ZAR_CUSTOM_FEATURE_REQUEST, iSize) == 24);
ZAR_USB_CHECK(cf_reply_size, sizeof(ZAR_CUSTOM_FEATURE_REPLY) == 24);
ZAR_USB_CHECK(cf_reply_destination, offsetof(ZAR_CUSTOM_FEATURE_REPLY, pDestination) == 8);
ZAR_USB_CHECK(cf_reply_done, offsetof(ZAR_CUSTOM_FEATURE_REPLY, iDone) == 16);
ZAR_USB_CHECK(wait_result_size, sizeof(ZAR_WAIT_RESULT) >= 65);
ZAR_USB_CHECK(wait_result_frame_info, offsetof(ZAR_WAIT_RESULT, iFrameInfo) == 8);
ZAR_USB_CHECK(wait_result_id, offsetof(ZAR_WAIT_RESULT, iID) == 12);
ZAR_USB_CHECK(wait_result_private, offsetof(ZAR_WAIT_RESULT, pPrivate) == 16);
ZAR_USB_CHECK(wait_result_user_alloc, offsetof(ZAR_WAIT_RESULT, bUserAlloc) == 24);
ZAR_USB_CHECK(wait_result_frame, offsetof(ZAR_WAIT_RESULT, aFrameInfo) == 32);
ZAR_USB_CHECK(wait_result_filled, offsetof(ZAR_WAIT_RESULT, bFilled) == 64);
ZAR_USB_CHECK(buffer_info_size, sizeof(ZAR_BUFFER_INFO) == 32);
ZAR_USB_CHECK(buffer_info_size_field, offsetof(ZAR_BUFFER_INFO, iSize) == 8);
ZAR_USB_CHECK(buffer_info_id, offsetof(ZAR_BUFFER_INFO, iID) == 12);
ZAR_USB_CHECK(buffer_info_private, offsetof(ZAR_BUFFER_INFO, pPrivate) == 16);
ZAR_USB_CHECK(buffer_info_user_alloc, offsetof(ZAR_BUFFER_INFO, bUserAlloc) == 24);

/* ---- Transport layer --------------------------------------------------- */

/* Opens the transport layer (reference-counted) and stores its handle at
 * pHandle. The first two arguments are not read. When the process cannot be
 * enrolled for the notifications of other processes (ZAR_ERR_GENERAL),
 * nothing is opened. */
ZAR_USB_API ZAR_STATUS TLOpen(void *pReserved1, void *pReserved2,
                              ZAR_TL_HANDLE *pHandle);
/* Undoes one TLOpen; the last close destroys every open device and stream.
 * The last close waits for a callback that is running on a library thread:
 * a callback must not wait for the thread that closes. */
ZAR_USB_API ZAR_STATUS TLClose(ZAR_TL_HANDLE hTL);
/* Fills a ZAR_TL_INFO; *pSize must be at least 776 and is not changed. No
 * handle is needed; the first argument is not read. */
ZAR_USB_API ZAR_STATUS TLInfo(void *pReserved, ZAR_TL_INFO *pInfo,
                              uint32_t *pSize);
/* Copies the transport layer's GenICam description file. *pSize: in, the
 * buffer's size; out, the file's length (-1 when the buffer is too small). */
ZAR_USB_API ZAR_STATUS TLGetXml(ZAR_TL_HANDLE hTL, void *pBuffer,
                                uint32_t *pSize);
/* Registers a plug/unplug callback (one entry per function; a second
 * registration replaces the context). A null pfn is refused
 * (ZAR_ERR_INVALID_PARAMETER). A callback must not wait for the thread that
 * calls the last TLClose, which waits for it. */
ZAR_USB_API ZAR_STATUS TLSetCallback(ZAR_TL_HANDLE hTL, ZAR_CALLBACK pfn,
                                     void *pContext);
/* Removes a callback; ZAR_ERR_NO_DATA when it was not registered. A delivery
 * that had already begun may still call it once. */
ZAR_USB_API ZAR_STATUS TLRemoveCallback(ZAR_TL_HANDLE hTL, ZAR_CALLBACK pfn);
/* Waits for the hot-plug monitor to be ready; the interface list never
 * changes, so *pbChanged is set to 0. */
ZAR_USB_API ZAR_STATUS TLUpdateInterfaceList(ZAR_TL_HANDLE hTL,
                                             uint8_t *pbChanged);
/* Number of interfaces (always 1, "USB", while the transport layer is open). */
ZAR_USB_API ZAR_STATUS TLGetNumInterfaces(ZAR_TL_HANDLE hTL,
                                          uint32_t *piNumInterfaces);
/* Copies the name of interface iIndex; iSize must exceed the name's length. */
ZAR_USB_API ZAR_STATUS TLGetInterfaceName(ZAR_TL_HANDLE hTL, uint32_t iIndex,
                                          char *sName, uint32_t iSize);
/* Sets *pbChanged to 1 when the number of connected cameras changed since the
 * previous call; leaves it untouched otherwise. */
ZAR_USB_API ZAR_STATUS TLUpdateDeviceList(ZAR_TL_HANDLE hTL,
                                          const char *psInterfaceName,
                                          uint8_t *pbChanged);
/* Number of connected cameras. */
ZAR_USB_API ZAR_STATUS TLGetNumDevices(ZAR_TL_HANDLE hTL,
                                       const char *psInterfaceName,
                                       uint32_t *piNumDevices);
/* Copies the friendly name of camera iIndex; iSize must exceed its length. */
ZAR_USB_API ZAR_STATUS TLGetDeviceName(ZAR_TL_HANDLE hTL,
                                       const char *psInterfaceName,
                                       uint32_t iIndex, char *sName,
                                       uint32_t iSize);
/* Opens a camera by friendly name, reserving it against every other process
 * (ZAR_ERR_ACCESS_DENIED when it is held). Also ZAR_ERR_ACCESS_DENIED, with
 * nothing reserved, while this process has a device of that name open,
 * including one whose camera went away during a suspend: such a device is
 * bound to its camera again by the library when the camera comes back, or
 * reported unplugged, and is never handed out as a new device; once it is
 * closed the camera can be opened again. */
ZAR_USB_API ZAR_STATUS TLOpenDevice(ZAR_TL_HANDLE hTL,
                                    const char *psInterfaceName,
                                    const char *sDevName,
                                    ZAR_DEV_HANDLE *phDev);

/* ---- Register access and error texts ----------------------------------- */

/* Reads *piSize bytes at iAddress. With a device handle: the camera's
 * registers; with the TL handle: the transport-layer registers of the first
 * reachable camera. */
ZAR_USB_API ZAR_STATUS GCReadData(void *hHandle, uint32_t iReserved,
                                  uint64_t iAddress, void *pBuffer,
                                  uint64_t *piSize);
/* Writes *piSize bytes at iAddress; with the TL handle, to every reachable
 * camera. */
ZAR_USB_API ZAR_STATUS GCWriteData(void *hHandle, uint32_t iReserved,
                                   uint64_t iAddress, const void *pBuffer,
                                   uint64_t *piSize);
/* Stores a pointer to the text of iErrorCode (null for an unknown code). The
 * text stays valid until the last TLClose. */
ZAR_USB_API ZAR_STATUS GCGetErrorText(ZAR_TL_HANDLE hTL, int32_t iErrorCode,
                                      const char **ppText);

/* ---- Device ------------------------------------------------------------ */

/* Copies the camera's GenICam description file; a null buffer asks for the
 * size (ZAR_ERR_INVALID_BUFFER_SIZE with *piSize set). */
ZAR_USB_API ZAR_STATUS DevGetXml(ZAR_DEV_HANDLE hDev, void *pBuffer,
                                 uint32_t *piSize);
/* Number of data streams the camera offers (1). */
ZAR_USB_API ZAR_STATUS DevGetNumDataStreams(ZAR_DEV_HANDLE hDev,
                                            uint32_t *piNumStreams);
/* Creates the camera's data stream: channel 0, at most one at a time. */
ZAR_USB_API ZAR_STATUS DevCreateDataStream(ZAR_DEV_HANDLE hDev,
                                           uint32_t iChannel,
                                           ZAR_DS_HANDLE *phDS);
/* Fills a ZAR_DEVICE_INFO; *piSize must be at least 1024. */
ZAR_USB_API ZAR_STATUS DevGetInfo(ZAR_DEV_HANDLE hDev, ZAR_DEVICE_INFO *pInfo,
                                  uint32_t *piSize);
/* Registers a device callback (device events, unplug, suspend, resume): one
 * entry per function, called in ascending order of the functions' addresses;
 * a second registration replaces the context. A null pfn is refused
 * (ZAR_ERR_INVALID_PARAMETER). After a hibernation the device either hears
 * PC_RESTORE_HYBERNATE_MODE (bound to its camera again, same handles) or
 * USB_UNPLUGGED_DEVICE (closed), also when its camera came back but could
 * not be bound again; it is never closed without one of them. A second
 * resume while devices wait for their cameras starts the 10 s wait anew. */
ZAR_USB_API ZAR_STATUS DevSetCallback(ZAR_DEV_HANDLE hDev, ZAR_CALLBACK pfn,
                                      void *pContext);
/* Removes a device callback; ZAR_ERR_NO_DATA when it was not registered. A
 * delivery that had already begun may still call it once. */
ZAR_USB_API ZAR_STATUS DevRemoveCallback(ZAR_DEV_HANDLE hDev,
                                         ZAR_CALLBACK pfn);
/* Closes the camera, its data stream and buffers, and frees its reservation.
 * A DSWaitForBuffer pending on the camera's stream ends at once with
 * ZAR_ERR_GENERAL. A handle that another close (of another thread, an
 * unplug, the last TLClose) has made invalid answers ZAR_ERR_INVALID_HANDLE
 * once that close has ended. */
ZAR_USB_API ZAR_STATUS DevClose(ZAR_DEV_HANDLE hDev);
/* One read or write in the custom-feature space; iRequestSize must be 32 and
 * *piReplySize 24. */
ZAR_USB_API ZAR_STATUS DevQueryCustomFeature(
    ZAR_DEV_HANDLE hDev, const ZAR_CUSTOM_FEATURE_REQUEST *pRequest,
    uint32_t iRequestSize, ZAR_CUSTOM_FEATURE_REPLY *pReply,
    uint32_t *piReplySize);

/* ---- Data stream ------------------------------------------------------- */

/* Announces application memory (at least 4 bytes) as a buffer and stores its
 * ID, an opaque number unique within the stream. The library writes the low
 * 32 bits of the memory's address into its first four bytes. Refused
 * (ZAR_ERR_ACCESS_DENIED) while acquisition runs. Memory whose address has
 * those 32 bits zero is refused (ZAR_ERR_INVALID_PARAMETER): the driver
 * names buffers by them.
 * A lock request that the driver leaves pending and then fails counts as a
 * failure (ZAR_ERR_GENERAL). One it does not answer within 2 s also fails,
 * yet the driver may still hold the memory locked and write into it: keep
 * the memory for as long as the camera is open.
 */
ZAR_USB_API ZAR_STATUS DSAnnounceBuffer(ZAR_DS_HANDLE hDS, void *pBuffer,
                                        uint32_t iSize, void *pPrivate,
                                        uint32_t *piID);
/* Allocates a buffer of iSize bytes and announces it. *ppBuffer receives the
 * memory's address only when it is not null on entry; DSGetBufferInfo and
 * DSWaitForBuffer give it too. A lock request that pends and then fails, or
 * is not answered within 2 s, fails (ZAR_ERR_GENERAL); in the second case the
 * memory is kept until the library is unloaded. */
ZAR_USB_API ZAR_STATUS DSAllocAndAnnounceBuffer(ZAR_DS_HANDLE hDS,
                                                uint32_t iSize, void *pPrivate,
                                                void **ppBuffer,
                                                uint32_t *piID);
/* Revokes a buffer (not while acquisition runs) and frees library memory.
 * *ppBuffer and *ppPrivate receive the memory and private pointer when not
 * null on entry. The buffer is forgotten even when the driver fails to let
 * it go (ZAR_ERR_GENERAL), a release that pends and then fails included;
 * library memory is then kept, not freed, until the library is unloaded,
 * since the driver may still write into it. */
ZAR_USB_API ZAR_STATUS DSRevokeBuffer(ZAR_DS_HANDLE hDS, uint32_t iID,
                                      void **ppBuffer, void **ppPrivate);
/* Queues an announced buffer for filling. A queue request that pends and
 * then fails counts as a failure (ZAR_ERR_GENERAL): the buffer is not queued. */
ZAR_USB_API ZAR_STATUS DSQueueBuffer(ZAR_DS_HANDLE hDS, uint32_t iID);
/* With a non-zero iQueueType, takes every buffer out of the queue. */
ZAR_USB_API ZAR_STATUS DSFlushQueue(ZAR_DS_HANDLE hDS, uint32_t iQueueType);
/* Starts acquisition; runs until stopped (iNumFramesToAcquire must not be 0).
 * A start request the driver has not answered within 2 s is cancelled
 * (ZAR_ERR_GENERAL). */
ZAR_USB_API ZAR_STATUS DSStartAcquisition(ZAR_DS_HANDLE hDS, uint32_t iFlags,
                                          int64_t iNumFramesToAcquire);
/* Stops acquisition. A DSWaitForBuffer pending on another thread ends at once
 * with ZAR_ERR_GENERAL (it does not run to its timeout), then the stop
 * proceeds. Queued buffers stay queued. A stop request the driver has not
 * answered within 2 s is cancelled (ZAR_ERR_GENERAL), and acquisition counts
 * as running. */
ZAR_USB_API ZAR_STATUS DSStopAcquisition(ZAR_DS_HANDLE hDS, uint32_t iFlags);
/* Waits up to iTimeoutMs for a filled buffer and describes it in *pResult;
 * the buffer is then no longer queued. ZAR_ERR_TIMEOUT when none came (or
 * the driver reported a failed frame). The stream's other functions wait
 * while it waits, except DSStopAcquisition, DSClose and DevClose: they end
 * the wait at once with ZAR_ERR_GENERAL, as does an unplug of the camera
 * (ZAR_ERR_TIMEOUT). */
ZAR_USB_API ZAR_STATUS DSWaitForBuffer(ZAR_DS_HANDLE hDS, uint32_t iTimeoutMs,
                                       uint32_t iReserved,
                                       ZAR_WAIT_RESULT *pResult,
                                       void *pReserved);
/* The stream offers no status values. */
ZAR_USB_API ZAR_STATUS DSGetStatus(ZAR_DS_HANDLE hDS, uint32_t iCmd,
                                   void *pValue, void *pSize);
/* Fills a ZAR_BUFFER_INFO; *piSize must be at least 32. */
ZAR_USB_API ZAR_STATUS DSGetBufferInfo(ZAR_DS_HANDLE hDS, uint32_t iID,
                                       ZAR_BUFFER_INFO *pInfo,
                                       uint32_t *piSize);
/* ID of the buffer at position iIndex. */
ZAR_USB_API ZAR_STATUS DSGetBufferID(ZAR_DS_HANDLE hDS, uint32_t iIndex,
                                     uint32_t *piID);
/* Stops, flushes, revokes every buffer and destroys the stream; a pending
 * DSWaitForBuffer ends at once with ZAR_ERR_GENERAL. Library memory is freed,
 * application memory left as it is. A handle that another close has made
 * invalid answers ZAR_ERR_INVALID_HANDLE once that close has ended. */
ZAR_USB_API ZAR_STATUS DSClose(ZAR_DS_HANDLE hDS);

/* ---- Trace log --------------------------------------------------------- */

/* C runtime open flags for OpenDebugFile (the same values on every platform). */
#define ZAR_O_WRONLY 0x0001
#define ZAR_O_RDWR 0x0002
#define ZAR_O_APPEND 0x0008
#define ZAR_O_CREAT 0x0100
#define ZAR_O_TRUNC 0x0200
#define ZAR_O_EXCL 0x0400
#define ZAR_O_TEXT 0x4000
#define ZAR_O_BINARY 0x8000

/* Opens the trace file (the flags are the C runtime's, above). Returns 0 or
 * the C runtime's error number. Does not enable tracing. */
ZAR_USB_API int32_t OpenDebugFile(const wchar_t *pszPath, int32_t iFlags);
/* Closes the trace file. */
ZAR_USB_API void CloseDebugFile(void);
/* Writes pszText to the trace file as it stands, whether tracing is enabled
 * or not. */
ZAR_USB_API void WriteZarTrace(const char *pszText);
/* Keeps the trace file below iSizeKB kilobytes by emptying it when the next
 * piece would pass the limit. */
ZAR_USB_API void LimitDebugFileSize(uint32_t iSizeKB);
/* Turns the library's own trace lines on or off. */
ZAR_USB_API void EnableZarTrace(uint8_t bEnable);

#ifdef __cplusplus
}
#endif

#endif /* ZAR_USB_H */
