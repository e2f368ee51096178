"""Plug and unplug callbacks, driven by another process."""

import logging
import queue

import pytest

import zar_usb
from conftest import next_event, zarusb


def test_plug_and_unplug_by_another_process_reach_the_callbacks(caplog):
    events = queue.Queue()

    def record(event, name):
        events.put((event, name))

    def broken(event, name):
        raise RuntimeError("a broken callback")

    zar_usb.add_callback(broken)
    zar_usb.add_callback(record)
    try:
        zarusb("emu", "plug", "--serial", "CB1")
        assert next_event(events) == (zar_usb.Event.PLUGGED, "ZC1000_#CB1")
        zarusb("emu", "unplug", "CB1")
        assert next_event(events) == (zar_usb.Event.UNPLUGGED, "ZC1000_#CB1")
    finally:
        zar_usb.remove_callback(broken)
        zar_usb.remove_callback(record)
    failures = [r for r in caplog.records if r.name == "zar_usb" and r.levelno == logging.ERROR]
    assert len(failures) == 2 and "a broken callback" in failures[0].exc_text


def test_removing_an_unknown_callback_is_refused():
    with pytest.raises(ValueError):
        zar_usb.remove_callback(print)
