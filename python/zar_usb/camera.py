"""An opened camera: identity, registers, callbacks and its stream."""

import collections
import ctypes
import functools

from . import _callbacks, _transport
from ._library import HANDLE, SUCCESS, DeviceInfo, library
from .errors import INVALID_HANDLE, ZarUsbError
from .features import Features
from .stream import Stream

# The camera family's geometry registers (its GenICam description file names
# them): 32-bit little-endian words.
WIDTH, HEIGHT, PIXEL_FORMAT, PAYLOAD_SIZE = 0x100, 0x104, 0x108, 0x10C

CameraInfo = collections.namedtuple("CameraInfo", "vendor model serial tl_name")
Geometry = collections.namedtuple("Geometry", "width height pixel_format payload_size")


def _find(name, serial):
    """The listed name to open: the one given, the camera with that serial
    number, or the first camera."""
    listed = _transport.cameras()
    if name is not None:
        return name
    if serial is not None:
        mark = "_#" + serial
        for candidate in listed:
            at = candidate.rfind(mark)
            rest = candidate[at + len(mark):]
            if at >= 0 and (rest == "" or rest.startswith("_")):  # "_N": a second camera of that name
                return candidate
        raise ZarUsbError("TLOpenDevice", 0, "no such camera", f"no camera with serial number {serial!r}")
    if not listed:
        raise ZarUsbError("TLOpenDevice", 0, "no such camera", "no camera is connected")
    return listed[0]


class Camera:
    """A camera opened for this process alone (another process that opens it
    gets AccessDenied until it is closed).

    Camera() opens the first listed camera, Camera(name) the camera of that
    listed name, Camera(serial=S) the camera with that serial number. Use it
    as a context manager, or call close(). Its methods are not meant to be
    called from several threads at once, except close(), which also ends a
    stream that another thread is iterating.

    `handle` is the library's device handle while the camera is open (None
    afterwards), for calls this class does not wrap.
    """

    def __init__(self, name=None, *, serial=None):
        self.name = _find(name, serial)
        opened = HANDLE()
        _transport.check("TLOpenDevice", library().TLOpenDevice(
            _transport.handle(), _transport.INTERFACE, _transport.encode_name(self.name), ctypes.byref(opened)),
            f"camera {self.name!r}")
        self.handle = opened.value
        self._stream = None
        self._subscribers = _callbacks.Subscribers()
        self._subscribers.add(self._on_event)
        self._context = _callbacks.enrol_device(self._subscribers)
        self.unplugged = False
        # The camera is told of its unplug before the library closes it: from
        # then on its handle is the library's, no longer this object's.
        self._check("DevSetCallback", library().DevSetCallback(self.handle, _callbacks.device_function, self._context))

    def _on_event(self, event, _data):
        if event == _callbacks.Event.UNPLUGGED:
            self.unplugged = True

    def __enter__(self):
        return self

    def __exit__(self, *_exception):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - the program may be ending
            pass

    def __repr__(self):
        return f"<zar_usb.Camera {self.name!r}{'' if self.handle else ' closed'}>"

    def close(self):
        """Closes the camera and its stream (frames of the stream become
        invalid); the camera is free for other processes again."""
        handle = getattr(self, "handle", None)
        if handle is None:
            return
        if self._stream is not None:
            self._stream.close()
        features = self.__dict__.pop("features", None)
        if features is not None:
            features.close()
        self.handle = None
        if not self.unplugged:
            status = library().DevClose(handle)
            if status not in (SUCCESS, INVALID_HANDLE):  # invalid: the library closed it at its last TLClose
                _transport.check("DevClose", status)
        _callbacks.withdraw_device(self._context)

    def _check(self, function, status):
        if status != SUCCESS:
            _transport.check(function, status, f"camera {self.name!r}")

    def _open_handle(self):
        if self.handle is None:
            raise ZarUsbError("Camera", INVALID_HANDLE, "Invalid handle", f"camera {self.name!r} is closed")
        return self.handle

    @functools.cached_property
    def features(self):
        """The camera's features by name (zar_usb.features.Features):
        features["Width"], features["Width"] = 320, iteration over the names,
        features.execute("AcquisitionStart")."""
        self._open_handle()
        return Features(self)

    @property
    def info(self):
        """Vendor, model, serial number and the transport layer's name."""
        record = DeviceInfo()
        size = ctypes.c_uint32(ctypes.sizeof(record))
        self._check("DevGetInfo", library().DevGetInfo(self._open_handle(), ctypes.byref(record), ctypes.byref(size)))
        return CameraInfo(*(_transport.decode_name(field) for field in
                            (record.sVendor, record.sModel, record.sSerial, record.sTLName)))

    def read(self, address, size):
        """Reads size bytes of the camera's registers at address."""
        buffer = ctypes.create_string_buffer(size)
        done = ctypes.c_uint64(size)
        self._check("GCReadData", library().GCReadData(self._open_handle(), 0, address, buffer, ctypes.byref(done)))
        return buffer.raw[:done.value]

    def write(self, address, data):
        """Writes bytes to the camera's registers at address."""
        data = bytes(data)
        done = ctypes.c_uint64(len(data))
        self._check("GCWriteData", library().GCWriteData(self._open_handle(), 0, address, data, ctypes.byref(done)))

    def read_u32(self, address):
        """A 32-bit register (little-endian)."""
        return int.from_bytes(self.read(address, 4), "little")

    def write_u32(self, address, value):
        self.write(address, int(value).to_bytes(4, "little"))

    @property
    def geometry(self):
        """Width, height, pixel format (PFNC value) and payload size in bytes."""
        return Geometry(*(self.read_u32(address) for address in (WIDTH, HEIGHT, PIXEL_FORMAT, PAYLOAD_SIZE)))

    def reachable(self):
        """Whether the camera still answers a register read."""
        if self.handle is None or self.unplugged:
            return False
        value = ctypes.c_uint32()
        size = ctypes.c_uint64(4)
        return library().GCReadData(self.handle, 0, WIDTH, ctypes.byref(value), ctypes.byref(size)) == SUCCESS

    def add_callback(self, function):
        """Calls function(event, data) on a library thread for the camera's
        device events (the driver's event number and its bytes), its unplug
        (Event.UNPLUGGED and its name) and power changes, while it is open."""
        self._open_handle()
        self._subscribers.add(function)

    def remove_callback(self, function):
        """Stops calling a function given to add_callback (ValueError if it was
        not given)."""
        self._subscribers.remove(function)

    def stream(self, buffers=8, timeout=5.0, count=None):
        """Starts acquisition into `buffers` library buffers and returns the
        stream, an iterator of frames as numpy arrays (see Stream). A stream
        the camera still has is closed first."""
        if self._stream is not None:
            self._stream.close()
        self._stream = Stream(self, buffers, timeout, count)
        return self._stream

    def _stream_closed(self, stream):
        """Called by a stream as it closes."""
        if self._stream is stream:
            self._stream = None
