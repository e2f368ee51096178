#!/usr/bin/env bash
# Builds the library, runs the demo against it and grabs a few frames.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" build
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
echo "=== building the library, zarusb and the demo (the first build takes a few minutes; later ones seconds)"
cmake --build build/native -j "$(nproc)" --target zarusb-demo zarusb genicam_tree
# Without camera hardware the emulator stands in: two cameras on a fresh bus,
# in a namespace of the demo's own, so that no other program using the
# library on this machine (a test run, an application) shares its bus.
export ZAR_USB_EMULATION=${ZAR_USB_EMULATION:-2}
export ZAR_USB_NAMESPACE=${ZAR_USB_NAMESPACE:-zar-usb-demo}
build/native/bin/zarusb-demo "$@"
# Then a few frames of the first camera, as PNG files.
frames="$root/build/frames"
mkdir -p "$frames"
build/native/bin/zarusb grab --count 3 -o "$frames/frame_%d.png"
echo "The frames are in $frames"
