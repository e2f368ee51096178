"""The tests run against the camera emulator in a namespace of their own, set before zar_usb loads. Cameras are plugged
with the zarusb tool (ZARUSB, else on PATH, else beside ZAR_USB_LIBRARY), a process of its own, as a user would."""

import atexit, os, pathlib, shutil, subprocess, sys, time  # noqa: E401

import pytest

NAMESPACE = f"python-test-{os.getpid()}"
os.environ.update(ZAR_USB_NAMESPACE=NAMESPACE, ZAR_USB_EMULATION="0")

import zar_usb  # noqa: E402 - after the environment it loads with

TOOL = os.environ.get("ZARUSB") or shutil.which("zarusb") or \
    str(pathlib.Path(os.environ.get("ZAR_USB_LIBRARY", "")).parent / "zarusb")
WAIT_S = 10


def namespace_folder(name):
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    base = pathlib.Path(runtime, "zar-usb") if runtime.startswith("/") else pathlib.Path(f"/tmp/zar-usb-{os.getuid()}")
    return base / f"ns-{name}"


# Registered before zar_usb opens the transport layer: it runs after the library's exit closed its pipe in the folder.
atexit.register(shutil.rmtree, namespace_folder(NAMESPACE), True)


def zarusb(*arguments):
    done = subprocess.run([TOOL, *arguments], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"zarusb {' '.join(arguments)}: {done.stdout}{done.stderr}"
    return done.stdout


def wait_until(condition, what):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        assert time.monotonic() < deadline, f"not within {WAIT_S} s: {what}"
        time.sleep(0.02)


def python_child(script, *arguments, namespace=NAMESPACE, **environment):
    """A second Python process running script with this one's package path (environment values of None unset)."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONUNBUFFERED="1",
                       ZAR_USB_NAMESPACE=namespace, **environment)
    return subprocess.Popen([sys.executable, "-c", script, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={key: value for key, value in environment.items() if value is not None}, text=True)


@pytest.fixture
def plug():
    """plug(serial, width=..., fps=0 (as fast as buffers come), option=value...): the camera's name once listed."""
    plugged = []

    def plug_camera(serial, width=64, height=48, pixel_format="Mono8", fps=0, **options):
        options.update(serial=serial, width=width, height=height, pixel_format=pixel_format, fps=fps)
        zarusb("emu", "plug", *(text for option, value in options.items()
                                for text in ("--" + option.replace("_", "-"), str(value))))
        plugged.append(serial)
        name = f"{options.get('model', 'ZC1000')}_#{serial}"
        wait_until(lambda: name in zar_usb.cameras(), f"{name} listed")
        return name

    yield plug_camera
    for serial in plugged:
        subprocess.run([TOOL, "emu", "unplug", serial], capture_output=True, timeout=60)
