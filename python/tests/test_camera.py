"""Listing, opening, identity and registers of emulated cameras."""

import os

import pytest

import zar_usb
from conftest import namespace_folder, python_child, wait_until, zarusb

USER_MEMORY = 0x1000
WIDTH = 0x100


# Each open after the first shows that the one before let the camera go.
def test_cameras_are_listed_while_plugged_and_open_by_name_serial_or_first(plug):
    name = plug("OPEN1", vendor="Acme", model="ZC2000", version="2.0")
    other = plug("OPEN2")
    with zar_usb.Camera(name) as camera:
        assert camera.name == name and camera.handle
        assert camera.info == zar_usb.CameraInfo(vendor="Acme", model="ZC2000", serial="OPEN1", tl_name="ZAR_USB")
    with zar_usb.Camera(serial="OPEN2") as camera:
        assert camera.name == other
    with zar_usb.Camera() as camera:
        assert camera.name == zar_usb.cameras()[0]
    assert camera.handle is None
    camera.close()  # again: nothing happens
    with pytest.raises(zar_usb.ZarUsbError, match="no camera with serial number 'NOPE'"):
        zar_usb.Camera(serial="NOPE")
    zarusb("emu", "unplug", "OPEN1")
    wait_until(lambda: name not in zar_usb.cameras(), "OPEN1 no longer listed")
    assert other in zar_usb.cameras()


def test_registers_read_and_write_and_refusals_raise_the_code_and_the_library_text(plug):
    plug("REG1", width=320, height=200, pixel_format="Mono16")
    camera = zar_usb.Camera(serial="REG1")
    assert camera.read(0x20, 6) == b"ZC1000"
    assert camera.geometry == zar_usb.Geometry(320, 200, zar_usb.MONO16, 320 * 200 * 2)
    camera.write(USER_MEMORY, bytes(range(1, 101)))  # more than one request's worth
    assert camera.read(USER_MEMORY, 100) == bytes(range(1, 101))
    camera.write_u32(WIDTH, 640)
    assert (camera.read(WIDTH, 4), camera.geometry.payload_size) == (b"\x80\x02\x00\x00", 640 * 200 * 2)
    with pytest.raises(zar_usb.AccessDenied) as refused:
        camera.read(0xA0, 4)  # a hole in the register map
    assert (refused.value.code, refused.value.text, refused.value.function) == (-4, "Access denied", "GCReadData")
    assert isinstance(refused.value, PermissionError)
    camera.close()
    with pytest.raises(zar_usb.ZarUsbError, match="is closed") as closed:
        camera.read_u32(WIDTH)
    assert closed.value.code == -2


# A program that removes its namespace's folder on its way out, before the library unloads, as these tests do.
REMOVES_ITS_NAMESPACE = """
import atexit, shutil, sys
import zar_usb
atexit.register(shutil.rmtree, sys.argv[1], True)
zar_usb.cameras()
"""


def test_the_library_leaves_no_namespace_folder_behind_at_unload():
    folder = namespace_folder(f"python-unload-{os.getpid()}")
    child = python_child(REMOVES_ITS_NAMESPACE, str(folder), namespace=folder.name[3:])
    _, errors = child.communicate(timeout=30)
    assert child.returncode == 0, errors
    assert not folder.exists()
