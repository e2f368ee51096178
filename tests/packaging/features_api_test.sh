#!/usr/bin/env bash
# Features by name from an installed tree: zar_features' header, link library, CMake target and pkg-config
# file. The C example, built both ways, sets Width and PixelFormat by name on an emulated camera and grabs a
# frame of that geometry, with the description files from beside the installed library.
# Usage: features_api_test.sh BUILD_DIR CMAKE
set -uo pipefail
build=$1 cmake=$2
source "$(dirname "$0")/../support/shell_checks.sh"
install_moved features-api-test "$build" "$cmake"
check "plug" 0 "$prefix/bin/zarusb" emu plug --serial FAPI1 --width 64 --height 8 --pixel-format Mono8 --fps 0

run_example() { # how built, program, width, pixel format, its value, payload
  check "$1: example" 0 env ZAR_USB_EMULATION=0 "$2" "$3" "$4"
  for line in "Opened ZC1000_#FAPI1" "Width=$3" "PixelFormat=$4" "PayloadSize=$6" \
    "frame 1: $3x8, pixel format $5, $6 bytes"; do
    contains "$1: example" "^$line$"
  done
}
check "find_package: configure" 0 "$cmake" -S "$prefix/share/doc/zar-usb/examples" -B "$work/examples" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix"
check "find_package: build" 0 "$cmake" --build "$work/examples" --target features_by_name
run_example find_package "$work/examples/features_by_name" 48 Mono16 0x01100007 768

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zar_features.pc)")
check "pkg-config: build" 0 bash -c "cc -std=c99 -Wall -Wextra -Werror \$(pkg-config --cflags zar_features) \
  -o '$work/features_by_name' '$prefix/share/doc/zar-usb/examples/features_by_name.c' \
  \$(pkg-config --libs zar_features) -Wl,-rpath,\$(pkg-config --variable=libdir zar_features)"
run_example pkg-config "$work/features_by_name" 40 RGB8 0x02180014 960

check "unplug" 0 "$prefix/bin/zarusb" emu unplug FAPI1
finish
