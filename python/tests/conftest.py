"""The tests run against the camera emulator in a namespace of their own.

The library joins its namespace and turns emulation on as it loads, so both
are set here, before any test uses zar_usb. Cameras are plugged and
unplugged with the zarusb tool (ZARUSB, else `zarusb` on PATH, else the one
beside ZAR_USB_LIBRARY), a process of its own, as a user would.
"""

import atexit
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

NAMESPACE = f"python-test-{os.getpid()}"
os.environ["ZAR_USB_NAMESPACE"] = NAMESPACE
os.environ["ZAR_USB_EMULATION"] = "0"

import zar_usb  # noqa: E402 - after the environment it loads with

TOOL = os.environ.get("ZARUSB") or shutil.which("zarusb") or \
    str(pathlib.Path(os.environ.get("ZAR_USB_LIBRARY", "")).parent / "zarusb")
WAIT_S = 10


def namespace_folder(name):
    """Where the library keeps the files of namespace `name`."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    base = pathlib.Path(runtime, "zar-usb") if runtime.startswith("/") else pathlib.Path(f"/tmp/zar-usb-{os.getuid()}")
    return base / f"ns-{name}"


# Registered before zar_usb first opens the transport layer, so it runs after
# zar_usb closes it at exit: the library's callback pipe lives in the folder.
atexit.register(shutil.rmtree, namespace_folder(NAMESPACE), True)


def zarusb(*arguments):
    """Runs `zarusb ARGUMENTS...` in the tests' namespace; its output."""
    done = subprocess.run([TOOL, *arguments], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"zarusb {' '.join(arguments)}: {done.stdout}{done.stderr}"
    return done.stdout


def wait_until(condition, what):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        assert time.monotonic() < deadline, f"not within {WAIT_S} s: {what}"
        time.sleep(0.02)


def python_child(script, namespace=NAMESPACE):
    """A second Python process running script in the tests' namespace (or
    another), with this one's package path; its output is read line by line."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONUNBUFFERED="1",
                       ZAR_USB_NAMESPACE=namespace)
    return subprocess.Popen([sys.executable, "-c", script], env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


@pytest.fixture
def plug():
    """plug(serial, width=, height=, pixel_format=, fps=, ...) plugs an
    emulated camera (fps 0: as fast as buffers come) and returns its listed
    name once the library lists it; it is unplugged after the test."""
    plugged = []

    def plug_camera(serial, width=64, height=48, pixel_format="Mono8", fps=0, **options):
        arguments = ["emu", "plug", "--serial", serial, "--width", str(width), "--height", str(height),
                     "--pixel-format", pixel_format, "--fps", str(fps)]
        for option, value in options.items():
            arguments += ["--" + option, str(value)]
        zarusb(*arguments)
        plugged.append(serial)
        name = f"{options.get('model', 'ZC1000')}_#{serial}"
        wait_until(lambda: name in zar_usb.cameras(), f"{name} listed")
        return name

    yield plug_camera
    for serial in plugged:
        subprocess.run([TOOL, "emu", "unplug", serial], capture_output=True, timeout=60)
