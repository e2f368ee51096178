#!/usr/bin/env bash
# Builds the library and runs the demo against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target zarusb-demo >/dev/null
exec build/native/bin/zarusb-demo "$@"
