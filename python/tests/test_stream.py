"""Frames as numpy arrays: shape, content and zero copy (views of the library's buffers); a stream ended by
count, timeout, close, unplug or Ctrl-C."""

import signal
import threading
import time

import numpy
import pytest

import zar_usb
from conftest import python_child, zarusb


def pattern(height, width, frame_id):  # the emulator's gradient: level (x + y + frame) mod 256
    return ((numpy.arange(height)[:, None] + numpy.arange(width)[None, :] + frame_id) % 256).astype(numpy.uint8)


# Each pixel format's frame made from the gradient's levels.
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


def test_no_frame_within_the_timeout_raises_timeout(plug):
    plug("SLOW1", fps=0.5)
    with zar_usb.Camera(serial="SLOW1") as camera, camera.stream(timeout=0.3) as stream:
        next(stream)
        started = time.monotonic()
        with pytest.raises(zar_usb.Timeout) as late:
            next(stream)
        assert late.value.code == -8 and isinstance(late.value, TimeoutError)
        assert time.monotonic() - started < 1.5


def test_closing_the_camera_on_another_thread_ends_the_stream(plug):
    plug("STOP1", fps=1)
    with zar_usb.Camera(serial="STOP1") as camera:
        stream = camera.stream(timeout=30)
        next(stream)
        threading.Timer(0.2, camera.close).start()
        started = time.monotonic()
        assert list(stream) == []
        assert time.monotonic() - started < 5


def test_an_unplug_during_a_stream_raises_camera_unplugged(plug):
    plug("GONE1", fps=50)
    camera = zar_usb.Camera(serial="GONE1")
    stream = camera.stream(timeout=30)
    next(stream)
    zarusb("emu", "unplug", "GONE1")
    started = time.monotonic()
    with pytest.raises(zar_usb.CameraUnplugged, match="'ZC1000_#GONE1' was unplugged"):
        for _ in stream:
            pass
    assert time.monotonic() - started < 5, "at once, not at the stream's timeout"
    camera.close()


# A second program streaming until Ctrl-C, its camera and stream in a `with` block or never closed (the library
# lets go at exit). It takes Ctrl-C as a program started at a terminal does, also when this run, started in the
# background, ignores SIGINT (which Python would inherit).
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
