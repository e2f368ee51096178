"""Features by name without GENICAM_ROOT: a program that never sets it reads
them through the description files installed with the feature library, and
one whose feature library has none beside it is told where they were looked
for."""

import os
import shutil
import subprocess
import sys

import pytest

from zar_usb import features as feat

try:
    feat._library()  # pylint: disable=protected-access
except feat.FeaturesUnavailable as missing:
    pytest.skip(str(missing), allow_module_level=True)

READ_WIDTH = """
import sys
import zar_usb
with zar_usb.Camera(sys.argv[1]) as camera:
    try:
        print(camera.features["Width"])
    except zar_usb.ZarUsbError as error:
        print(error)
"""


def _width_without_genicam_root(camera, **environment):
    child = {key: value for key, value in os.environ.items() if key != "GENICAM_ROOT"}
    child.update(PYTHONPATH=os.pathsep.join(sys.path), **environment)
    done = subprocess.run([sys.executable, "-c", READ_WIDTH, camera], env=child, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_description_files_installed_with_the_feature_library(plug, tmp_path):
    camera = plug("NOROOT", width=96)
    assert _width_without_genicam_root(camera) == "96"

    alone = tmp_path / "lib"
    alone.mkdir()
    copy = shutil.copy(feat._loaded._name, alone / "libzar_features.so.1")  # pylint: disable=protected-access
    message = _width_without_genicam_root(camera, ZAR_FEATURES_LIBRARY=str(copy))
    assert "GENICAM_ROOT is not set" in message and f"in {alone} or the 3 folders above it" in message
