"""Emulated cameras: listing, opening, registers, callbacks; frames as numpy views; streams ended every way."""

import logging, os, queue, signal, threading, time  # noqa: E401

import numpy
import pytest

import zar_usb
from conftest import WAIT_S, namespace_folder, python_child, wait_until, zarusb

USER_MEMORY, WIDTH = 0x1000, 0x100


# Each open after the first shows that the one before let the camera go.
def test_cameras_listed_opened_by_name_serial_or_first_and_their_registers(plug):
    name = plug("OPEN1", vendor="Acme", model="ZC2000", version="2.0")
    other = plug("OPEN2", width=320, height=200, pixel_format="Mono16")
    with zar_usb.Camera(name) as camera:
        assert camera.name == name and camera.handle
        assert camera.info == zar_usb.CameraInfo(vendor="Acme", model="ZC2000", serial="OPEN1", tl_name="ZAR_USB")
    with zar_usb.Camera(serial="OPEN2") as camera:
        assert (camera.name, camera.read(0x20, 6)) == (other, b"ZC1000")
        assert camera.geometry == zar_usb.Geometry(320, 200, zar_usb.MONO16, 320 * 200 * 2)
        camera.write(USER_MEMORY, bytes(range(1, 101)))  # more than one request's worth
        assert camera.read(USER_MEMORY, 100) == bytes(range(1, 101))
        camera.write_u32(WIDTH, 640)
        assert (camera.read(WIDTH, 4), camera.geometry.payload_size) == (b"\x80\x02\x00\x00", 640 * 200 * 2)
        with pytest.raises(zar_usb.AccessDenied) as refused:
            camera.read(0xA0, 4)  # a hole in the register map
        assert (refused.value.code, refused.value.text, refused.value.function) == (-4, "Access denied", "GCReadData")
        assert isinstance(refused.value, PermissionError)
    with zar_usb.Camera() as camera:
        assert camera.name == zar_usb.cameras()[0]
    assert camera.handle is None
    camera.close()  # again: nothing happens
    with pytest.raises(zar_usb.ZarUsbError, match="is closed") as closed:
        camera.read_u32(WIDTH)
    assert closed.value.code == -2
    with pytest.raises(zar_usb.ZarUsbError, match="no camera with serial number 'NOPE'"):
        zar_usb.Camera(serial="NOPE")
    zarusb("emu", "unplug", "OPEN1")
    wait_until(lambda: name not in zar_usb.cameras(), "OPEN1 no longer listed")
    assert other in zar_usb.cameras()


# A program that removes its namespace's folder on its way out, before the library unloads, as these tests do.
REMOVES_ITS_NAMESPACE = ("import atexit, shutil, sys, zar_usb; atexit.register(shutil.rmtree, sys.argv[1], True); "
                         "zar_usb.cameras()")


def test_the_library_leaves_no_namespace_folder_behind_at_unload():
    folder = namespace_folder(f"python-unload-{os.getpid()}")
    child = python_child(REMOVES_ITS_NAMESPACE, str(folder), namespace=folder.name[3:])
    _, errors = child.communicate(timeout=30)
    assert child.returncode == 0, errors
    assert not folder.exists()


# Plugs and unplugs by another process reach the library's callbacks, a broken one logged, and a held camera's own.
def test_plug_and_unplug_by_another_process_reach_the_library_and_camera_callbacks(plug, caplog):
    events, own = queue.Queue(), queue.Queue()

    def broken(event, name):
        raise RuntimeError("a broken callback")

    def record(event, name):
        events.put((event, name))

    zar_usb.add_callback(broken)
    zar_usb.add_callback(record)
    try:
        zarusb("emu", "plug", "--serial", "CB1")
        assert events.get(timeout=WAIT_S) == (zar_usb.Event.PLUGGED, "ZC1000_#CB1")
        held = zar_usb.Camera("ZC1000_#CB1")
        held.add_callback(lambda event, data: own.put((event, data)))
        zarusb("emu", "unplug", "CB1")
        assert events.get(timeout=WAIT_S) == (zar_usb.Event.UNPLUGGED, "ZC1000_#CB1")
        assert own.get(timeout=WAIT_S) == (zar_usb.Event.UNPLUGGED, "ZC1000_#CB1")
        assert held.unplugged
    finally:
        zar_usb.remove_callback(broken)
        zar_usb.remove_callback(record)
    failures = [r for r in caplog.records if r.name == "zar_usb" and r.levelno == logging.ERROR]
    assert len(failures) == 2 and "a broken callback" in failures[0].exc_text
    with pytest.raises(ValueError):
        zar_usb.remove_callback(record)
    # Closing the old object leaves the camera plugged and opened anew alone, whatever its handle.
    assert plug("CB1") == "ZC1000_#CB1"
    with zar_usb.Camera("ZC1000_#CB1") as again:
        held.close()
        assert again.info.serial == "CB1"
    with pytest.raises(zar_usb.ZarUsbError, match="is closed"):
        held.read(0, 4)


# A program whose plug callback lists the cameras once the program's exit has begun closing the transport layer.
EXIT_DURING_CALLBACK = """
import threading, time, zar_usb
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


def pattern(height, width, frame_id):  # the emulator's gradient: level (x + y + frame) mod 256
    return ((numpy.arange(height)[:, None] + numpy.arange(width)[None, :] + frame_id) % 256).astype(numpy.uint8)


FRAMES = {"Mono8": lambda level: level, "Mono16": lambda level: level.astype(numpy.uint16) << 8,
          "RGB8": lambda level: numpy.stack([level, 255 - level, level * 2], axis=2)}


@pytest.mark.parametrize("pixel_format", sorted(FRAMES))
def test_frames_have_the_camera_shape_and_the_test_pattern(plug, pixel_format):
    plug("PAT" + pixel_format, width=40, height=30, pixel_format=pixel_format)
    with zar_usb.Camera(serial="PAT" + pixel_format) as camera:
        ids, addresses = [], []
        with camera.stream(buffers=2, count=5) as stream:
            for frame in stream:
                info = stream.info
                ids.append(info.frame_id)
                addresses.append(frame.ctypes.data)
                expected = FRAMES[pixel_format](pattern(30, 40, info.frame_id))
                assert (frame.dtype, frame.shape) == (expected.dtype, expected.shape)
                numpy.testing.assert_array_equal(frame, expected)
                assert (info.width, info.height, info.bytes_written) == (40, 30, frame.nbytes)
        assert ids == sorted(ids) and len(ids) == 5
        assert len(set(addresses)) == 2 and addresses[0::2] == [addresses[0]] * 3, "no copy: two buffers in turn"
        assert stream.handle is None, "the stream ends after its count"
        # A stream started after a register write has the frame shape it sets.
        camera.write_u32(0x100, 32)
        frame = next(iter(camera.stream()))
        assert frame.shape[:2] == (30, 32)
        numpy.testing.assert_array_equal(frame, FRAMES[pixel_format](pattern(30, 32, camera._stream.info.frame_id)))


# A camera of a frame every 2 s: the stream's timeout, a close on another thread and an unplug each end the wait.
def test_a_stream_ends_at_its_timeout_at_a_close_on_another_thread_and_at_an_unplug(plug):
    plug("END1", fps=0.5)
    with zar_usb.Camera(serial="END1") as camera, camera.stream(timeout=0.3) as stream:
        next(stream)
        started = time.monotonic()
        with pytest.raises(zar_usb.Timeout) as late:
            next(stream)
        assert late.value.code == -8 and isinstance(late.value, TimeoutError)
        assert time.monotonic() - started < 1.5
    with zar_usb.Camera(serial="END1") as camera:
        stream = camera.stream(timeout=30)
        next(stream)
        closer = threading.Timer(0.2, camera.close)
        closer.start()
        started = time.monotonic()
        assert list(stream) == []
        assert time.monotonic() - started < 5
        closer.join()  # the camera is free once that close has returned
    camera = zar_usb.Camera(serial="END1")
    stream = camera.stream(timeout=30)
    next(stream)
    zarusb("emu", "unplug", "END1")
    started = time.monotonic()
    with pytest.raises(zar_usb.CameraUnplugged, match="'ZC1000_#END1' was unplugged"):
        list(stream)
    assert time.monotonic() - started < 5, "at once, not at the stream's timeout"
    camera.close()


# Ctrl-C, taken as at a terminal even when this run ignores SIGINT, ends a second program's stream, `with` or unclosed.
CTRL_C_CHILD = """
import contextlib, signal
signal.signal(signal.SIGINT, signal.default_int_handler)
import zar_usb
camera = zar_usb.Camera(serial={serial!r})
stream = camera.stream(timeout=60)
with {closing}:
    next(stream)
    print("streaming", flush=True)
    for frame in stream:
        pass
"""


@pytest.mark.parametrize("serial, closing", [("CTRLCW", "camera, stream"), ("CTRLCB", "contextlib.nullcontext()")])
def test_ctrl_c_during_a_stream_leaves_the_camera_free(plug, serial, closing):
    plug(serial, fps=2)
    child = python_child(CTRL_C_CHILD.format(serial=serial, closing=closing))
    try:
        assert child.stdout.readline() == "streaming\n", child.stderr.read()
        child.send_signal(signal.SIGINT)
        started = time.monotonic()
        _, errors = child.communicate(timeout=10)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in errors
    assert time.monotonic() - started < 2, "a wait for a frame is cut short by Ctrl-C"
    with zar_usb.Camera(serial=serial) as camera:
        assert next(iter(camera.stream())).shape == (48, 64)
