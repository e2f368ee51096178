"""The shared library, its records and the prototypes of its 41 exports.

The library is loaded on first use, so that a program can set
ZAR_USB_NAMESPACE and ZAR_USB_EMULATION before (the library reads them as it
loads). ZAR_USB_LIBRARY names the file to load; otherwise the system's
library search finds it.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

STATUS = ctypes.c_int32
HANDLE = ctypes.c_void_p
CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_int64, ctypes.c_void_p)

SUCCESS = 0


class TLInfo(ctypes.Structure):
    _fields_ = [("iVersion", ctypes.c_uint32), ("iSize", ctypes.c_uint32), ("sVendor", ctypes.c_char * 256),
                ("sName", ctypes.c_char * 256), ("sTransport", ctypes.c_char * 256)]


class DeviceInfo(ctypes.Structure):
    _fields_ = [("sTLName", ctypes.c_char * 256), ("sVendor", ctypes.c_char * 256),
                ("sModel", ctypes.c_char * 256), ("sSerial", ctypes.c_char * 256)]


class CustomFeatureRequest(ctypes.Structure):
    _fields_ = [("iOperation", ctypes.c_uint32), ("iReserved", ctypes.c_uint32), ("iAddress", ctypes.c_uint64),
                ("pSource", ctypes.c_void_p), ("iSize", ctypes.c_uint64)]


class CustomFeatureReply(ctypes.Structure):
    _fields_ = [("iDriverError", ctypes.c_uint32), ("iReserved", ctypes.c_uint32),
                ("pDestination", ctypes.c_void_p), ("iDone", ctypes.c_uint64)]


class WaitResult(ctypes.Structure):
    _fields_ = [("pBase", ctypes.c_void_p), ("iFrameInfo", ctypes.c_uint32), ("iID", ctypes.c_uint32),
                ("pPrivate", ctypes.c_void_p), ("bUserAlloc", ctypes.c_uint8), ("aReserved", ctypes.c_uint8 * 7),
                ("aFrameInfo", ctypes.c_uint8 * 32), ("bFilled", ctypes.c_uint8)]


class BufferInfo(ctypes.Structure):
    _fields_ = [("pBase", ctypes.c_void_p), ("iSize", ctypes.c_uint32), ("iID", ctypes.c_uint32),
                ("pPrivate", ctypes.c_void_p), ("bUserAlloc", ctypes.c_uint8), ("aZero", ctypes.c_uint8 * 7)]


_p = ctypes.POINTER
_u8, _u32, _u64, _i32, _i64 = ctypes.c_uint8, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int32, ctypes.c_int64
_void, _text = ctypes.c_void_p, ctypes.c_char_p

# Every export: name, result type, argument types (as zar_usb.h declares them).
PROTOTYPES = {
    "TLOpen": (STATUS, [_void, _void, _p(HANDLE)]),
    "TLClose": (STATUS, [HANDLE]),
    "TLInfo": (STATUS, [_void, _p(TLInfo), _p(_u32)]),
    "TLGetXml": (STATUS, [HANDLE, _void, _p(_u32)]),
    "TLSetCallback": (STATUS, [HANDLE, CALLBACK, _void]),
    "TLRemoveCallback": (STATUS, [HANDLE, CALLBACK]),
    "TLUpdateInterfaceList": (STATUS, [HANDLE, _p(_u8)]),
    "TLGetNumInterfaces": (STATUS, [HANDLE, _p(_u32)]),
    "TLGetInterfaceName": (STATUS, [HANDLE, _u32, _text, _u32]),
    "TLUpdateDeviceList": (STATUS, [HANDLE, _text, _p(_u8)]),
    "TLGetNumDevices": (STATUS, [HANDLE, _text, _p(_u32)]),
    "TLGetDeviceName": (STATUS, [HANDLE, _text, _u32, _text, _u32]),
    "TLOpenDevice": (STATUS, [HANDLE, _text, _text, _p(HANDLE)]),
    "GCReadData": (STATUS, [HANDLE, _u32, _u64, _void, _p(_u64)]),
    "GCWriteData": (STATUS, [HANDLE, _u32, _u64, _void, _p(_u64)]),
    "GCGetErrorText": (STATUS, [HANDLE, _i32, _p(_text)]),
    "DevGetXml": (STATUS, [HANDLE, _void, _p(_u32)]),
    "DevGetNumDataStreams": (STATUS, [HANDLE, _p(_u32)]),
    "DevCreateDataStream": (STATUS, [HANDLE, _u32, _p(HANDLE)]),
    "DevGetInfo": (STATUS, [HANDLE, _p(DeviceInfo), _p(_u32)]),
    "DevSetCallback": (STATUS, [HANDLE, CALLBACK, _void]),
    "DevRemoveCallback": (STATUS, [HANDLE, CALLBACK]),
    "DevClose": (STATUS, [HANDLE]),
    "DevQueryCustomFeature": (STATUS, [HANDLE, _p(CustomFeatureRequest), _u32, _p(CustomFeatureReply), _p(_u32)]),
    "DSAnnounceBuffer": (STATUS, [HANDLE, _void, _u32, _void, _p(_u32)]),
    "DSAllocAndAnnounceBuffer": (STATUS, [HANDLE, _u32, _void, _p(_void), _p(_u32)]),
    "DSRevokeBuffer": (STATUS, [HANDLE, _u32, _p(_void), _p(_void)]),
    "DSQueueBuffer": (STATUS, [HANDLE, _u32]),
    "DSFlushQueue": (STATUS, [HANDLE, _u32]),
    "DSStartAcquisition": (STATUS, [HANDLE, _u32, _i64]),
    "DSStopAcquisition": (STATUS, [HANDLE, _u32]),
    "DSWaitForBuffer": (STATUS, [HANDLE, _u32, _u32, _p(WaitResult), _void]),
    "DSGetStatus": (STATUS, [HANDLE, _u32, _void, _void]),
    "DSGetBufferInfo": (STATUS, [HANDLE, _u32, _p(BufferInfo), _p(_u32)]),
    "DSGetBufferID": (STATUS, [HANDLE, _u32, _p(_u32)]),
    "DSClose": (STATUS, [HANDLE]),
    "OpenDebugFile": (_i32, [ctypes.c_wchar_p, _i32]),
    "CloseDebugFile": (None, []),
    "WriteZarTrace": (None, [_text]),
    "LimitDebugFileSize": (None, [_u32]),
    "EnableZarTrace": (None, [_u8]),
}


def _candidates():
    chosen = os.environ.get("ZAR_USB_LIBRARY")
    if chosen:
        return [chosen]
    if sys.platform == "win32":
        return ["ZAR_USB.dll"]
    found = ctypes.util.find_library("zar_usb")
    return ([found] if found else []) + ["libzar_usb.so.1", "libzar_usb.so"]


_lock = threading.Lock()
_library = None


def library():
    """The loaded library with every export's prototype declared."""
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def unconverted(name):
    """The export `name` without its argument types: the caller passes ctypes
    objects of the declared types, made once, and saves their conversion on
    every call (for the calls made for every frame)."""
    function = library()[name]  # a function object of its own
    function.restype = PROTOTYPES[name][0]
    return function


def load_first(candidates, prototypes):
    """The first of the candidate files that loads, with its functions'
    prototypes declared; OSError with each candidate's reason otherwise."""
    reasons = []
    for candidate in candidates:
        try:
            loaded = ctypes.CDLL(candidate)
        except OSError as error:
            reasons.append(str(error))
            continue
        for name, (result, arguments) in prototypes.items():
            function = getattr(loaded, name)
            function.restype = result
            function.argtypes = arguments
        return loaded
    raise OSError("; ".join(reasons))


def _load():
    try:
        return load_first(_candidates(), PROTOTYPES)
    except OSError as error:
        raise OSError(f"the ZAR_USB library cannot be loaded (set ZAR_USB_LIBRARY to its path): {error}") from None
