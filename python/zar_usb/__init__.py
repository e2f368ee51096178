"""ZAR_USB cameras from Python: listing, registers, frames as numpy arrays
and plug, unplug and device events, over the ZAR_USB library (ctypes).

    import zar_usb

    print(zar_usb.cameras())
    with zar_usb.Camera() as camera:
        print(camera.info)
        for frame in camera.stream(count=10):
            print(frame.shape, frame.mean())

The library is loaded on first use: from ZAR_USB_LIBRARY when set, else
from the system's library path (libzar_usb.so.1, ZAR_USB.dll).
"""

from ._callbacks import Event
from ._transport import add_callback, cameras, remove_callback
from .camera import Camera, CameraInfo, Geometry
from .errors import AccessDenied, CameraUnplugged, Timeout, ZarUsbError
from .stream import MONO8, MONO16, RGB8, FrameInfo, Stream

__all__ = ["AccessDenied", "Camera", "CameraInfo", "CameraUnplugged", "Event", "FrameInfo", "Geometry", "MONO16",
           "MONO8", "RGB8", "Stream", "Timeout", "ZarUsbError", "add_callback", "cameras", "remove_callback"]
