"""The process's transport layer: opened on first use, closed at exit (which
stops the library's callback thread while Python can still run it)."""

import atexit
import ctypes
import threading

from . import _callbacks
from ._library import HANDLE, SUCCESS, library
from .errors import ZarUsbError, error_for

INTERFACE = b"USB"
NAME_SIZE = 260

_lock = threading.Lock()
_handle = None
_exiting = False


def handle():
    """The transport layer's handle, opening it on first use."""
    global _handle
    with _lock:
        if _handle is None:
            if _exiting:
                raise ZarUsbError("TLOpen", 0, "not opened again while the program exits")
            opened = HANDLE()
            status = library().TLOpen(None, None, ctypes.byref(opened))
            if status != SUCCESS:
                raise error_for("TLOpen", status, "the transport layer cannot be opened")
            _handle = opened.value
            atexit.register(_close)
        return _handle


def _close():
    # TLClose waits for a callback running on the library's thread, which may
    # itself want the lock (to list cameras): it is called without the lock.
    global _handle, _exiting
    with _lock:
        _exiting = True
        closing, _handle = _handle, None
    if closing is not None:
        library().TLClose(closing)


def error_text(code):
    """The library's text of a status code."""
    text = ctypes.c_char_p()
    if library().GCGetErrorText(handle(), code, ctypes.byref(text)) != SUCCESS or not text.value:
        return "unknown error"
    return text.value.decode("utf-8", "replace")


def check(function, status, detail=""):
    """Raises the exception of a failed status."""
    if status != SUCCESS:
        raise error_for(function, status, error_text(status), detail)


def encode_name(name):
    return name.encode("utf-8", "surrogateescape")


def decode_name(raw):
    return raw.decode("utf-8", "surrogateescape")


def cameras():
    """The names of the connected cameras ("MODEL_#SERIAL"), in the order of
    the library's list (the first scan is waited for)."""
    lib, tl = library(), handle()
    changed = ctypes.c_uint8()
    check("TLUpdateDeviceList", lib.TLUpdateDeviceList(tl, INTERFACE, ctypes.byref(changed)))
    count = ctypes.c_uint32()
    check("TLGetNumDevices", lib.TLGetNumDevices(tl, INTERFACE, ctypes.byref(count)))
    names = []
    name = ctypes.create_string_buffer(NAME_SIZE)
    for index in range(count.value):
        # A camera unplugged since the count is left out.
        if lib.TLGetDeviceName(tl, INTERFACE, index, name, NAME_SIZE) == SUCCESS:
            names.append(decode_name(name.value))
    return names


def add_callback(function):
    """Calls function(event, name) on a library thread when a camera is
    plugged (Event.PLUGGED) or unplugged (Event.UNPLUGGED), by any process;
    name is the camera's listed name."""
    if _callbacks.transport_layer.add(function):
        status = library().TLSetCallback(handle(), _callbacks.transport_layer_function, None)
        if status != SUCCESS:
            _callbacks.transport_layer.remove(function)
            check("TLSetCallback", status)


def remove_callback(function):
    """Stops calling a function given to add_callback (ValueError if it was
    not given)."""
    if _callbacks.transport_layer.remove(function):
        check("TLRemoveCallback", library().TLRemoveCallback(handle(), _callbacks.transport_layer_function))
