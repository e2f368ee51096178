"""Camera features by name (camera.features) on both emulated camera models."""

import os
import pathlib

import pytest

import zar_usb
from zar_usb import features as feat

# The description files of the source tree, unless the run names others.
os.environ.setdefault("GENICAM_ROOT", str(pathlib.Path(__file__).resolve().parents[2] / "genicam"))

MODELS = [("ZC1000", "1.0"), ("ZC2000", "2.0")]

try:
    feat._library()  # pylint: disable=protected-access
except feat.FeaturesUnavailable as missing:
    pytest.skip(str(missing), allow_module_level=True)


@pytest.fixture(params=MODELS, ids=[model for model, _ in MODELS])
def camera(request, plug):
    model, version = request.param
    with zar_usb.Camera(plug("FEAT" + model, model=model, version=version, width=640, height=480)) as opened:
        yield opened


def test_values_read_and_written_by_name(camera):
    features = camera.features
    assert features["DeviceModelName"] == camera.info.model
    assert (features["Width"], features["Height"], features["PixelFormat"]) == (640, 480, "Mono8")
    assert features["PayloadSize"] == 640 * 480
    assert features.info("Width")[3:] == ("Integer", "RW", "", "1..16384 step 1", "640", True)
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
    # Writes, commands and write-only features reach the camera; the frames
    # that follow are the stream tests' and the feature commands' test's.
    features["Width"] = 320
    features["Height"] = 240
    features["PixelFormat"] = "Mono16"
    assert camera.geometry == zar_usb.Geometry(320, 240, zar_usb.MONO16, 320 * 240 * 2)
    assert features["PayloadSize"] == 320 * 240 * 2
    features.execute("AcquisitionStart")
    features.execute("AcquisitionStop")
    features["TestEventGenerate"] = 0x42
    features["DeviceUserID"] = "Left"
    assert camera.read(0x80, 4) == b"Left"


# Past the node map's ranges the camera refuses too, in the library's words.
REFUSALS = [
    (feat.OutOfRange, r"Width=20000 is out of range: 1\.\.16384 step 1", lambda f: f.__setitem__("Width", 20000)),
    (feat.ReadOnly, "PayloadSize is read-only", lambda f: f.__setitem__("PayloadSize", 1)),
    (feat.UnknownFeature, "no feature 'Widht'; nearest: Width", lambda f: f["Widht"]),
    (feat.BadValue, "PixelFormat has no entry 'Mono12'", lambda f: f.__setitem__("PixelFormat", "Mono12")),
    (feat.BadValue, "Width takes an integer", lambda f: f.__setitem__("Width", "wide")),
    (feat.NotAvailable, "TestEventGenerate is write-only", lambda f: f["TestEventGenerate"]),
    (feat.WrongType, "Width is not a command", lambda f: f.execute("Width")),
    (feat.OutOfRange, "DeviceUserID takes at most 16 characters", lambda f: f.__setitem__("DeviceUserID", "x" * 17)),
    (feat.RegisterAccessFailed, r"writing 4 bytes at 0x100: -4 \(Access denied\)",
     lambda f: f.__setitem__("WidthReg", 16385)),
]


def test_refusals_raise_their_exceptions(camera):
    features = camera.features
    for exception, text, attempt in REFUSALS:
        with pytest.raises(exception, match=text):
            attempt(features)
    assert "Widht" not in features and features["Width"] == 640


def test_features_end_with_their_camera(plug):
    with zar_usb.Camera(plug("FEATEND")) as camera:
        features = camera.features
        assert camera.features is features
    with pytest.raises(feat.FeaturesUnavailable):
        features["Width"]
    with pytest.raises(zar_usb.ZarUsbError):
        camera.features
