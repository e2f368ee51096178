"""A camera's data stream as an iterator of numpy arrays over the library's
buffers."""

import collections
import ctypes
import struct
import time

import numpy

from . import _transport
from ._library import HANDLE, SUCCESS, WaitResult, library, unconverted
from .errors import TIMEOUT, CameraUnplugged

MONO8, MONO16, RGB8 = 0x01080001, 0x01100007, 0x02180014

# Pixel format -> element type and values per pixel.
_LAYOUTS = {MONO8: (numpy.uint8, 1), MONO16: (numpy.dtype("<u2"), 1), RGB8: (numpy.uint8, 3)}

# A wait for a frame returns at least this often, so that Ctrl-C (handled
# between two waits) ends a stream within this time.
_WAIT_SLICE_MS = 100

FrameInfo = collections.namedtuple("FrameInfo", "frame_id timestamp_us width height pixel_format bytes_written")
# The camera driver's description of a frame, in the wait result.
_FRAME_INFO = struct.Struct("<QQIIII")


class Stream:
    """Frames of a camera as numpy arrays: Mono8 as uint8 (height, width),
    Mono16 as uint16 (height, width), RGB8 as uint8 (height, width, 3); other
    pixel formats as the frame's bytes (uint8, one dimension).

    An array views the library's buffer, without a copy. It is valid until
    the next iteration, when its buffer goes back to the camera to be filled
    again, and never after the stream is closed: keep what you need with
    frame.copy(). `info` describes the frame last given.

    The stream ends after `count` frames (if given), when it or its camera
    is closed (also from another thread), and at the end of a `with` block.
    It raises Timeout when no frame comes within `timeout` seconds and
    CameraUnplugged when the camera leaves the bus.
    """

    def __init__(self, camera, buffers, timeout, count):
        if buffers < 1:
            raise ValueError("a stream needs at least one buffer")
        self.camera = camera
        self.geometry = camera.geometry
        self._shape, self._dtype, self._bytes = _layout(self.geometry)
        self._timeout = timeout
        self._remaining = count
        self._result = WaitResult()
        self._views = {}
        lib = library()
        opened = HANDLE()
        camera._check("DevCreateDataStream", lib.DevCreateDataStream(camera._open_handle(), 0, ctypes.byref(opened)))
        self.handle = opened.value
        # The calls of every frame take their arguments ready made: the wait's
        # and, for the requeue, the ID of the buffer given last, read in
        # place from the wait result (the next wait comes after the requeue).
        self._wait, self._queue = unconverted("DSWaitForBuffer"), unconverted("DSQueueBuffer")
        self._wait_arguments = (opened, ctypes.c_uint32(_WAIT_SLICE_MS), ctypes.c_uint32(0),
                                ctypes.byref(self._result), None)
        self._queue_arguments = (opened, ctypes.c_uint32.from_buffer(self._result, WaitResult.iID.offset))
        self._holding = False  # a buffer given last, to be queued again
        try:
            for _ in range(buffers):
                buffer_id = ctypes.c_uint32()
                camera._check("DSAllocAndAnnounceBuffer", lib.DSAllocAndAnnounceBuffer(
                    self.handle, self.geometry.payload_size, None, None, ctypes.byref(buffer_id)))
                camera._check("DSQueueBuffer", lib.DSQueueBuffer(self.handle, buffer_id))
            # Acquisition runs until stopped; the count is kept here.
            camera._check("DSStartAcquisition", lib.DSStartAcquisition(self.handle, 0, -1))
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_exception):
        self.close()

    def __iter__(self):
        return self

    def __next__(self):
        if self.handle is None:
            raise StopIteration
        if self._holding:
            self._holding = False
            status = self._queue(*self._queue_arguments)
            if status != SUCCESS:
                self._failed("DSQueueBuffer", status)
        if self._remaining is not None:
            if self._remaining == 0:
                self.close()
                raise StopIteration
            self._remaining -= 1
        result = self._result
        deadline = None
        while True:
            status = self._wait(*self._wait_arguments)
            if status == SUCCESS:
                break
            deadline = deadline or time.monotonic() + self._timeout
            self._failed("DSWaitForBuffer", status, deadline)
        self._holding = True
        view = self._views.get(result.iID)
        if view is None:
            view = self._views[result.iID] = self._view(result.pBase)
        return view

    def _failed(self, function, status, deadline=None):
        """Ends the stream after a failed call, or returns when a wait that
        timed out may go on until the deadline."""
        if self.handle is None:
            raise StopIteration  # closed on another thread
        if not self.camera.reachable():
            raise CameraUnplugged(function, status, _transport.error_text(status),
                                  f"camera {self.camera.name!r} was unplugged")
        if status != TIMEOUT or deadline is None or time.monotonic() >= deadline:
            self.camera._check(function, status)

    def _view(self, address):
        memory = (ctypes.c_uint8 * self._bytes).from_address(address)
        return numpy.frombuffer(memory, self._dtype).reshape(self._shape)

    @property
    def info(self):
        """FrameInfo of the frame last given: the driver's frame number,
        timestamp (microseconds), width, height, pixel format and bytes
        written."""
        return FrameInfo._make(_FRAME_INFO.unpack_from(self._result.aFrameInfo))

    def close(self):
        """Stops acquisition and frees the buffers (the arrays given become
        invalid). A wait on another thread ends at once."""
        handle, self.handle = self.handle, None
        if handle is None:
            return
        self._holding = False
        self._views.clear()
        if not self.camera.unplugged:  # else the library closes the camera with its stream
            lib = library()
            lib.DSStopAcquisition(handle, 0)
            lib.DSClose(handle)
        self.camera._stream_closed(self)


def _layout(geometry):
    """Shape, element type and byte count of a frame."""
    known = _LAYOUTS.get(geometry.pixel_format)
    if known is None:
        return (geometry.payload_size,), numpy.uint8, geometry.payload_size
    dtype, channels = known
    shape = (geometry.height, geometry.width) + ((channels,) if channels > 1 else ())
    count = geometry.height * geometry.width * channels * numpy.dtype(dtype).itemsize
    if count > geometry.payload_size:
        raise ValueError(f"a {geometry.width}x{geometry.height} frame does not fit the payload size "
                         f"{geometry.payload_size}")
    return shape, dtype, count
