"""Listing, opening, identity and registers of emulated cameras."""

import os

import pytest

import zar_usb
from conftest import namespace_folder, python_child, wait_until, zarusb

USER_MEMORY = 0x1000
WIDTH = 0x100


def test_listing_follows_plug_and_unplug(plug):
    first = plug("LIST1")
    second = plug("LIST2", model="ZC2000", version="2.0")
    assert {first, second} <= set(zar_usb.cameras())
    zarusb("emu", "unplug", "LIST1")
    wait_until(lambda: first not in zar_usb.cameras(), "LIST1 no longer listed")
    assert second in zar_usb.cameras()


# Each open after the first shows that the one before let the camera go.
def test_open_by_name_serial_or_first(plug):
    name = plug("OPEN1")
    with zar_usb.Camera(name) as camera:
        assert camera.name == name and camera.handle
    with zar_usb.Camera(serial="OPEN1") as camera:
        assert camera.name == name
    with zar_usb.Camera() as camera:
        assert camera.name == zar_usb.cameras()[0]
    assert camera.handle is None
    camera.close()  # again: nothing happens
    with pytest.raises(zar_usb.ZarUsbError, match="no camera with serial number 'NOPE'"):
        zar_usb.Camera(serial="NOPE")


def test_info_gives_the_camera_identity(plug):
    plug("INFO1", vendor="Acme", model="ZC2000", version="2.0")
    with zar_usb.Camera(serial="INFO1") as camera:
        assert camera.info == zar_usb.CameraInfo(vendor="Acme", model="ZC2000", serial="INFO1", tl_name="ZAR_USB")


def test_registers_read_and_write_bytes_and_words(plug):
    plug("REG1", width=320, height=200, pixel_format="Mono16")
    with zar_usb.Camera(serial="REG1") as camera:
        assert camera.read(0x20, 6) == b"ZC1000"
        assert camera.geometry == zar_usb.Geometry(320, 200, zar_usb.MONO16, 320 * 200 * 2)
        camera.write(USER_MEMORY, bytes(range(1, 101)))  # more than one request's worth
        assert camera.read(USER_MEMORY, 100) == bytes(range(1, 101))
        camera.write_u32(WIDTH, 640)
        assert camera.read(WIDTH, 4) == b"\x80\x02\x00\x00"
        assert camera.geometry.payload_size == 640 * 200 * 2


def test_failures_raise_the_code_and_the_library_text(plug):
    plug("ERR1")
    camera = zar_usb.Camera(serial="ERR1")
    with pytest.raises(zar_usb.AccessDenied) as refused:
        camera.read(0xA0, 4)  # a hole in the register map
    assert (refused.value.code, refused.value.text, refused.value.function) == (-4, "Access denied", "GCReadData")
    assert isinstance(refused.value, PermissionError)
    camera.close()
    with pytest.raises(zar_usb.ZarUsbError, match="is closed") as closed:
        camera.read_u32(WIDTH)
    assert closed.value.code == -2


# A program that removes its namespace's folder on its way out, before the
# library unloads, as these tests do.
REMOVES_ITS_NAMESPACE = """
import atexit, shutil, sys
import zar_usb
atexit.register(shutil.rmtree, sys.argv[1], True)
zar_usb.cameras()
"""


def test_the_library_leaves_no_namespace_folder_behind_at_unload():
    folder = namespace_folder(f"python-unload-{os.getpid()}")
    child = python_child(REMOVES_ITS_NAMESPACE.replace("sys.argv[1]", repr(str(folder))), namespace=folder.name[3:])
    _, errors = child.communicate(timeout=30)
    assert child.returncode == 0, errors
    assert not folder.exists()
