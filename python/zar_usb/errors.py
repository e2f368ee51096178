"""Exceptions raised for the library's status codes."""

INVALID_BUFFER_SIZE = -1
INVALID_HANDLE = -2
INVALID_ID = -3
ACCESS_DENIED = -4
NO_DATA = -5
GENERAL = -6
INVALID_PARAMETER = -7
TIMEOUT = -8
INVALID_FILENAME = -9
INVALID_ADDRESS = -10
FILE_IO = -11


class ZarUsbError(Exception):
    """A library function failed: `code` is its status (a negative
    ZAR_ERR_* value), `text` the library's text for it, `function` the export
    that returned it."""

    def __init__(self, function, code, text, detail=""):
        self.function = function
        self.code = code
        self.text = text
        super().__init__(f"{function} failed: {code} ({text})" + (f": {detail}" if detail else ""))


class AccessDenied(ZarUsbError, PermissionError):
    """ACCESS_DENIED: e.g. the camera is held by another process, or the
    register is not accessible."""


class Timeout(ZarUsbError, TimeoutError):
    """TIMEOUT: no frame came within the stream's timeout."""


class CameraUnplugged(ZarUsbError):
    """The camera left the bus while it was in use."""


_CLASSES = {ACCESS_DENIED: AccessDenied, TIMEOUT: Timeout}


def error_for(function, code, text, detail=""):
    """The exception of that status."""
    return _CLASSES.get(code, ZarUsbError)(function, code, text, detail)
