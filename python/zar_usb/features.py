"""A camera's features by name (`camera.features`), evaluated from its
GenICam description file by the zar_features library (Aravis' GenICam
engine over the ZAR_USB library; Linux), through ctypes.

    with zar_usb.Camera() as camera:
        camera.features["Width"] = 320
        camera.features["PixelFormat"] = "Mono16"
        print(camera.features["PayloadSize"], list(camera.features))
        camera.features.execute("AcquisitionStart")

The library is loaded on first use: from ZAR_FEATURES_LIBRARY when set, else
from the folder of the ZAR_USB library when that was given by path, else
from the system's library path (libzar_features.so.1).
"""

import atexit
import collections
import ctypes
import os
import threading
import weakref

from ._library import HANDLE, library, load_first
from .errors import ZarUsbError

# zar_features_list flags.
ALL = 1
NAMES_ONLY = 2


class FeatureError(ZarUsbError):
    """A feature could not be read, written or executed: `status` is the
    node map's outcome, `message` its text."""

    def __init__(self, status, message):  # pylint: disable=super-init-not-called
        Exception.__init__(self, message)
        self.function, self.code, self.text = "features", status, message
        self.status, self.message = status, message

    def __str__(self):
        return self.message


class UnknownFeature(FeatureError, KeyError):
    """No feature of that name; the message names the nearest ones."""


class OutOfRange(FeatureError, ValueError):
    """The value is outside the feature's range (given with its increment)."""


class ReadOnly(FeatureError):
    """The feature cannot be written (read-only, or locked now)."""


class NotAvailable(FeatureError):
    """The feature is not available now, or cannot be read (write-only)."""


class RegisterAccessFailed(FeatureError):
    """A register access failed; the message has the library's error text."""


class BadValue(FeatureError, ValueError):
    """The value is none of the feature's type, or no entry of the enumeration."""


class WrongType(FeatureError, TypeError):
    """A command read or set, or something else executed."""


class FeaturesUnavailable(ZarUsbError):
    """The zar_features library cannot be loaded, or the camera's
    description file cannot be had."""

    def __init__(self, message):  # pylint: disable=super-init-not-called
        Exception.__init__(self, message)
        self.function, self.code, self.text = "features", 0, message


_ERRORS = {1: UnknownFeature, 2: OutOfRange, 3: ReadOnly, 4: NotAvailable, 5: RegisterAccessFailed, 6: BadValue,
           7: WrongType}


class _Info(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("category", ctypes.c_char_p), ("depth", ctypes.c_int),
                ("type", ctypes.c_char_p), ("access", ctypes.c_char_p), ("unit", ctypes.c_char_p),
                ("range", ctypes.c_char_p), ("value", ctypes.c_char_p), ("status", ctypes.c_int),
                ("visible", ctypes.c_int), ("description", ctypes.c_char_p)]


FeatureInfo = collections.namedtuple("FeatureInfo",
                                     "name category depth type access unit range value available description")
FeatureInfo.__doc__ = """One feature: its value as text, or with available False the reason it has none; and
the description file's words on it."""

_p = ctypes.POINTER
_PROTOTYPES = {
    "zar_features_open": (ctypes.c_void_p, [HANDLE, _p(ctypes.c_int), ctypes.c_char_p, ctypes.c_size_t]),
    "zar_features_close": (None, [ctypes.c_void_p]),
    "zar_features_error": (ctypes.c_char_p, [ctypes.c_void_p]),
    "zar_features_list": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, _p(_p(_Info)), _p(ctypes.c_size_t)]),
    "zar_features_describe": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, _p(_p(_Info))]),
    "zar_features_get": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, _p(ctypes.c_char_p)]),
    "zar_features_set": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
    "zar_features_execute": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p]),
}

_lock = threading.Lock()
_loaded = None
# The node maps not closed yet. Each holds a reference on the transport
# layer, so they are closed at exit before the package's own last TLClose
# (the exit hook is registered after the transport layer was opened, and
# such hooks run last registered first).
_open = weakref.WeakSet()


def _close_all():
    for features in list(_open):
        features.close()


def _candidates():
    chosen = os.environ.get("ZAR_FEATURES_LIBRARY")
    if chosen:
        return [chosen]
    beside = os.path.dirname(library()._name)  # pylint: disable=protected-access
    return ([os.path.join(beside, "libzar_features.so.1")] if beside else []) + ["libzar_features.so.1"]


def _library():
    global _loaded
    with _lock:
        if _loaded is None:
            try:
                _loaded = load_first(_candidates(), _PROTOTYPES)
            except OSError as error:
                raise FeaturesUnavailable("camera features by name need the zar_features library (built on Linux "
                                          f"where Aravis is found; ZAR_FEATURES_LIBRARY names its file): {error}") \
                    from None
            atexit.register(_close_all)
        return _loaded


def _text(raw):
    return raw.decode("utf-8", "replace") if raw is not None else ""


def _info(item):
    return FeatureInfo(_text(item.name), _text(item.category), item.depth, _text(item.type), _text(item.access),
                       _text(item.unit), _text(item.range), _text(item.value), item.status == 0,
                       _text(item.description))


def _typed(info):
    """The value as Python has it: int, float, bool or str."""
    converters = {"Integer": int, "Float": float, "Boolean": lambda text: text.lower() in ("true", "1")}
    return converters.get(info.type, str)(info.value)


def _as_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


class Features:
    """The features of an open camera by name: `features[name]` reads (int,
    float, bool or str by the feature's type; enumerations by entry name),
    `features[name] = value` writes, iteration gives the names of every
    feature, `execute(name)` runs a command. Failures raise FeatureError
    subclasses. Not for use from several threads at once."""

    def __init__(self, camera):
        status = ctypes.c_int()
        message = ctypes.create_string_buffer(512)
        self._lib = _library()
        self._handle = self._lib.zar_features_open(camera.handle, ctypes.byref(status), message, len(message))
        if not self._handle:
            raise FeaturesUnavailable(f"no features for camera {camera.name!r}: {_text(message.value)}")
        _open.add(self)

    def close(self):
        """Releases the node map (the camera stays open)."""
        if self._handle:
            self._lib.zar_features_close(self._handle)
            self._handle = None

    def __del__(self):
        self.close()

    def _open(self):
        if not self._handle:
            raise FeaturesUnavailable("the camera's features are closed")
        return self._handle

    def _check(self, status):
        if status != 0:
            raise _ERRORS.get(status, FeatureError)(status, _text(self._lib.zar_features_error(self._handle)))

    def info(self, name):
        """The feature's type, access, unit, range and value (as text)."""
        item = _p(_Info)()
        self._check(self._lib.zar_features_describe(self._open(), name.encode(), ctypes.byref(item)))
        return _info(item.contents)

    def list(self, all_features=False):
        """The categories (type "Category") and features, depth first, each
        with its value read; the visible ones of the category tree unless
        all_features."""
        return self._listing(ALL if all_features else 0)

    def _listing(self, flags):
        items, count = _p(_Info)(), ctypes.c_size_t()
        self._check(self._lib.zar_features_list(self._open(), flags, ctypes.byref(items), ctypes.byref(count)))
        return [_info(items[i]) for i in range(count.value)]

    def __getitem__(self, name):
        info = self.info(name)
        if not info.available or info.type in ("Command", "Category"):
            value = ctypes.c_char_p()  # the node map's own refusal
            self._check(self._lib.zar_features_get(self._handle, name.encode(), ctypes.byref(value)))
        return _typed(info)

    def __setitem__(self, name, value):
        self._check(self._lib.zar_features_set(self._open(), name.encode(), _as_text(value).encode()))

    def execute(self, name):
        """Runs a command feature, e.g. "AcquisitionStart"."""
        self._check(self._lib.zar_features_execute(self._open(), name.encode()))

    def __iter__(self):
        return iter(self.names())

    def names(self):
        """The name of every feature of the description file (no categories)."""
        return [item.name for item in self._listing(ALL | NAMES_ONLY) if item.type != "Category"]

    def __contains__(self, name):
        return name in self.names()

    def __len__(self):
        return len(self.names())
