#!/usr/bin/env bash
# Builds the library and runs the demo against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target zarusb-demo zarusb genicam_tree >/dev/null
# Without camera hardware the emulator stands in: two cameras on a fresh bus.
export ZAR_USB_EMULATION=${ZAR_USB_EMULATION:-2}
exec build/native/bin/zarusb-demo "$@"
