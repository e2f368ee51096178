#!/usr/bin/env bash
# Features by name from an installed tree, through zar_features' header, library and pkg-config file (the examples'
# CMake build, which takes the CMake target, is install_test.sh's): the C example sets Width and PixelFormat by name on
# an emulated camera and grabs a frame of that geometry, with the description files from beside the installed library.
# Usage: features_api_test.sh BUILD_DIR CMAKE
set -uo pipefail
build=$1 cmake=$2
source "$(dirname "$0")/../support/shell_checks.sh"
install_moved features-api-test "$build" "$cmake"
check "plug" 0 "$prefix/bin/zarusb" emu plug --serial FAPI1 --width 64 --height 8 --pixel-format Mono8 --fps 0
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zar_features.pc)")
check "pkg-config: build" 0 bash -c "cc -std=c99 -Wall -Wextra -Werror \$(pkg-config --cflags zar_features) \
  -o '$work/features_by_name' '$prefix/share/doc/zar-usb/examples/features_by_name.c' \
  \$(pkg-config --libs zar_features) -Wl,-rpath,\$(pkg-config --variable=libdir zar_features)"
check "example" 0 env ZAR_USB_EMULATION=0 "$work/features_by_name" 40 RGB8
for line in "Opened ZC1000_#FAPI1" Width=40 PixelFormat=RGB8 PayloadSize=960 "frame 1: 40x8, pixel format 0x02180014, 960 bytes"; do
  contains "example" "^$line$"
done
check "unplug" 0 "$prefix/bin/zarusb" emu unplug FAPI1
finish
