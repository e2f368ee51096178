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


def test_values_read_by_name_with_their_types(camera):
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


# The frames that follow such writes are the stream tests' and the feature
# commands' test's to look at.
def test_writes_commands_and_write_only_features_reach_the_camera(camera):
    features = camera.features
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


def test_refusals_raise_their_exceptions(camera):
    features = camera.features
    with pytest.raises(feat.OutOfRange, match=r"Width=20000 is out of range: 1\.\.16384 step 1"):
        features["Width"] = 20000
    with pytest.raises(feat.ReadOnly, match="PayloadSize is read-only"):
        features["PayloadSize"] = 1
    with pytest.raises(feat.UnknownFeature, match="no feature 'Widht'; nearest: Width") as unknown:
        features["Widht"]
    assert isinstance(unknown.value, KeyError) and isinstance(unknown.value, zar_usb.ZarUsbError)
    assert "Widht" not in features
    with pytest.raises(feat.BadValue, match="PixelFormat has no entry 'Mono12'"):
        features["PixelFormat"] = "Mono12"
    with pytest.raises(feat.BadValue, match="Width takes an integer"):
        features["Width"] = "wide"
    with pytest.raises(feat.NotAvailable, match="TestEventGenerate is write-only"):
        features["TestEventGenerate"]
    with pytest.raises(feat.WrongType, match="Width is not a command"):
        features.execute("Width")
    with pytest.raises(feat.OutOfRange, match="DeviceUserID takes at most 16 characters"):
        features["DeviceUserID"] = "x" * 17
    # Past the node map's ranges the camera refuses too, in the library's words.
    with pytest.raises(feat.RegisterAccessFailed, match=r"writing 4 bytes at 0x100: -4 \(Access denied\)"):
        features["WidthReg"] = 16385
    assert features["Width"] == 640


def test_features_end_with_their_camera(plug):
    with zar_usb.Camera(plug("FEATEND")) as camera:
        features = camera.features
        assert camera.features is features
    with pytest.raises(feat.FeaturesUnavailable):
        features["Width"]
    with pytest.raises(zar_usb.ZarUsbError):
        camera.features
