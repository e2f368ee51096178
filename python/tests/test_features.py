"""Camera features by name (camera.features) on both emulated camera models, and without GENICAM_ROOT."""

import os, pathlib, shutil  # noqa: E401

import pytest

import zar_usb
from conftest import python_child
from zar_usb import features as feat

# The description files of the source tree, unless the run names others.
os.environ.setdefault("GENICAM_ROOT", str(pathlib.Path(__file__).resolve().parents[2] / "genicam"))

try:
    feat._library()  # pylint: disable=protected-access
except feat.FeaturesUnavailable as missing:
    pytest.skip(str(missing), allow_module_level=True)


@pytest.fixture(params=[("ZC1000", "1.0"), ("ZC2000", "2.0")], ids=["ZC1000", "ZC2000"])
def camera(request, plug):
    model, version = request.param
    with zar_usb.Camera(plug("FEAT" + model, model=model, version=version, width=640, height=480)) as opened:
        yield opened


# Each refusal as its exception class, in the library's words; past the node map's ranges the camera refuses too.
REFUSALS = [
    (feat.OutOfRange, r"Width=20000 is out of range: 1\.\.16384 step 1", lambda f: f.__setitem__("Width", 20000)),
    (feat.ReadOnly, "PayloadSize is read-only", lambda f: f.__setitem__("PayloadSize", 1)),
    (feat.UnknownFeature, "no feature 'Widht'; nearest: Width", lambda f: f["Widht"]),
    (feat.BadValue, "PixelFormat has no entry 'Mono12'", lambda f: f.__setitem__("PixelFormat", "Mono12")),
    (feat.NotAvailable, "TestEventGenerate is write-only", lambda f: f["TestEventGenerate"]),
    (feat.WrongType, "Width is not a command", lambda f: f.execute("Width")),
    (feat.RegisterAccessFailed, r"writing 4 bytes at 0x100: -4 \(Access denied\)",
     lambda f: f.__setitem__("WidthReg", 16385)),
]


def test_values_read_written_and_refused_by_name(camera):
    features = camera.features
    assert features["DeviceModelName"] == camera.info.model
    assert (features["Width"], features["Height"], features["PixelFormat"]) == (640, 480, "Mono8")
    assert features["PayloadSize"] == 640 * 480
    assert features.info("Width")[3:] == ("Integer", "RW", "", "1..16384 step 1", "640", True,
                                          "Width of the image in pixels.")
    names = list(features)
    assert {"Width", "WidthReg", "PixelFormat", "AcquisitionStart", "UserMemory"} <= set(names)
    assert "Root" not in names and "Mono8" not in names and len(names) == len(features)
    # Every feature has a value or a reason; categories head their features.
    listing = features.list(all_features=True)
    assert {item.name for item in listing if item.type != "Category"} == set(names)
    unreadable = {item.name: item.value for item in listing if not item.available}
    assert unreadable == dict.fromkeys(
        ["TestEventGenerate", "AcquisitionStartReg", "AcquisitionStopReg", "TriggerSoftwareReg"], "write-only")
    assert [item.name for item in listing if item.category == "ImageFormatControl"] == [
        "Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "PayloadSize"]
    assert "WidthReg" not in {item.name for item in features.list()}
    features["Width"], features["Height"], features["PixelFormat"] = 320, 240, "Mono16"
    assert camera.geometry == zar_usb.Geometry(320, 240, zar_usb.MONO16, 320 * 240 * 2)
    assert features["PayloadSize"] == 320 * 240 * 2
    features.execute("AcquisitionStart")
    features.execute("AcquisitionStop")
    features["TestEventGenerate"] = 0x42
    features["DeviceUserID"] = "Left"
    assert camera.read(0x80, 4) == b"Left"
    for exception, text, attempt in REFUSALS:
        with pytest.raises(exception, match=text):
            attempt(features)
    assert "Widht" not in features and features["Width"] == 320


READ_WIDTH = """
import sys, zar_usb
with zar_usb.Camera(sys.argv[1]) as camera:
    try:
        print(camera.features["Width"])
    except zar_usb.ZarUsbError as error:
        print(error)
"""


# A program that never sets GENICAM_ROOT reads the description files installed with the feature library; one whose
# feature library has none beside it is told where they were looked for. Features end with their camera.
def test_description_files_without_genicam_root_and_features_ending_with_their_camera(plug, tmp_path):
    def width(**environment):
        child = python_child(READ_WIDTH, camera, GENICAM_ROOT=None, **environment)
        output, errors = child.communicate(timeout=60)
        assert child.returncode == 0, errors
        return output.strip()

    camera = plug("NOROOT", width=96)
    assert width() == "96"
    with zar_usb.Camera(camera) as opened:  # the features end with their camera
        features = opened.features
        assert opened.features is features
    with pytest.raises(feat.FeaturesUnavailable):
        features["Width"]
    with pytest.raises(zar_usb.ZarUsbError):
        opened.features
    (alone := tmp_path / "lib").mkdir()
    copy = shutil.copy(feat._loaded._name, alone / "libzar_features.so.1")  # pylint: disable=protected-access
    message = width(ZAR_FEATURES_LIBRARY=str(copy))
    assert "GENICAM_ROOT is not set" in message and f"in {alone} or the 3 folders above it" in message
