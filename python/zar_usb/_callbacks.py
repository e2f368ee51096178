"""Python functions called for the library's events.

The library calls one C function per registration. This module keeps two,
for the whole life of the process (a collected ctypes callback would crash
the library's thread that calls it): one for the transport layer, one for
every open camera, which finds the camera's functions by the context
number it was registered with. The library calls them on its own threads;
an exception raised by a Python function is logged (logger "zar_usb") and
goes no further.
"""

import ctypes
import enum
import itertools
import logging
import threading

from ._library import CALLBACK

_log = logging.getLogger("zar_usb")


class Event(enum.IntEnum):
    """Event codes of plug, unplug and power changes. Device events carry the
    camera driver's own identifiers, given as plain numbers."""

    UNPLUGGED = 0x7FFF
    PLUGGED = 0x8000
    SUSPEND = 0x8001
    RESTORE = 0x8002
    RESTORE_SLEEP = 0x8003
    RESTORE_HIBERNATE = 0x8004


_EVENTS = {int(event): event for event in Event}


def _payload(event, data, size):
    """The camera's name for plug and unplug, the event's bytes otherwise."""
    if not data or size <= 0:
        return b""
    raw = ctypes.string_at(data, size)
    if event in (Event.PLUGGED, Event.UNPLUGGED):
        return raw.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")
    return raw


class Subscribers:
    """The Python functions of one registration with the library, each
    called as function(event, data)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._functions = ()

    def add(self, function):
        """Adds a function; True when it is the first."""
        with self._lock:
            if function not in self._functions:
                self._functions += (function,)
            return len(self._functions) == 1

    def remove(self, function):
        """Removes a function; True when none is left. ValueError when it was
        not added."""
        with self._lock:
            if function not in self._functions:
                raise ValueError(f"{function!r} is not registered")
            self._functions = tuple(f for f in self._functions if f != function)
            return not self._functions

    def deliver(self, event, data, size):
        event = _EVENTS.get(event, event)
        payload = _payload(event, data, size)
        for function in self._functions:
            try:
                function(event, payload)
            except BaseException:  # noqa: B036 - nothing may reach the library's thread
                _log.exception("callback %r failed on event 0x%X", function, event)


transport_layer = Subscribers()
transport_layer_function = CALLBACK(lambda event, data, size, _context: transport_layer.deliver(event, data, size))

_devices = {}
_numbers = itertools.count(1)


def _deliver_to_device(event, data, size, context):
    subscribers = _devices.get(context)
    if subscribers is not None:
        subscribers.deliver(event, data, size)


device_function = CALLBACK(_deliver_to_device)


def enrol_device(subscribers):
    """A context number under which the device function reaches these
    subscribers."""
    number = next(_numbers)
    _devices[number] = subscribers
    return number


def withdraw_device(number):
    _devices.pop(number, None)
