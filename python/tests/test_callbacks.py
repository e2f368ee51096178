"""Plug and unplug callbacks, driven by another process, and a camera's own callbacks."""

import logging
import queue

import pytest

import zar_usb
from conftest import WAIT_S, python_child, zarusb


def test_plug_and_unplug_by_another_process_reach_the_callbacks(caplog):
    events = queue.Queue()

    def broken(event, name):
        raise RuntimeError("a broken callback")

    def record(event, name):
        events.put((event, name))

    zar_usb.add_callback(broken)
    zar_usb.add_callback(record)
    try:
        zarusb("emu", "plug", "--serial", "CB1")
        assert events.get(timeout=WAIT_S) == (zar_usb.Event.PLUGGED, "ZC1000_#CB1")
        zarusb("emu", "unplug", "CB1")
        assert events.get(timeout=WAIT_S) == (zar_usb.Event.UNPLUGGED, "ZC1000_#CB1")
    finally:
        zar_usb.remove_callback(broken)
        zar_usb.remove_callback(record)
    failures = [r for r in caplog.records if r.name == "zar_usb" and r.levelno == logging.ERROR]
    assert len(failures) == 2 and "a broken callback" in failures[0].exc_text
    with pytest.raises(ValueError):
        zar_usb.remove_callback(record)


def test_a_held_camera_hears_its_unplug_and_lets_the_library_close_it(plug):
    name = plug("DEVCB1")
    events = queue.Queue()
    held = zar_usb.Camera(name)
    held.add_callback(lambda event, data: events.put((event, data)))
    zarusb("emu", "unplug", "DEVCB1")
    assert events.get(timeout=WAIT_S) == (zar_usb.Event.UNPLUGGED, name)
    assert held.unplugged
    # Closing the old object leaves the camera plugged and opened anew alone, whatever its handle.
    assert plug("DEVCB1") == name
    with zar_usb.Camera(name) as again:
        held.close()
        assert again.info.serial == "DEVCB1"
    with pytest.raises(zar_usb.ZarUsbError, match="is closed"):
        held.read(0, 4)


# A program whose plug callback lists the cameras once the program's exit has begun closing the transport layer.
EXIT_DURING_CALLBACK = """
import threading
import time
import zar_usb
from zar_usb import _transport

entered = threading.Event()

def list_cameras(event, name):
    entered.set()
    deadline = time.monotonic() + 10
    while not _transport._exiting and time.monotonic() < deadline:
        time.sleep(0.01)
    try:
        zar_usb.cameras()
    except zar_usb.ZarUsbError as error:
        print("refused:", error.function, flush=True)

zar_usb.add_callback(list_cameras)
print("ready", flush=True)
entered.wait(10)
"""


def test_a_program_ends_while_its_callback_asks_for_the_transport_layer(plug):
    child = python_child(EXIT_DURING_CALLBACK)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        plug("EXIT1")
        output, errors = child.communicate(timeout=10)
    finally:
        child.kill()
    assert (child.returncode, output) == (0, "refused: TLOpen\n"), errors
