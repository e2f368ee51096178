#!/usr/bin/env bash
# The Windows build's installed tree and zip: the DLL with its import library and .def, zarusb.exe beside the
# DLL finding the installed description files without GENICAM_ROOT, the CMake package and zar_usb.pc.
# Usage: windows_install_test.sh BUILD_DIR CMAKE CPACK RUNNER (cmake/wine-run.sh)
set -uo pipefail
build=$1 cmake=$2 cpack=$3 runner=$4
export ZAR_USB_NAMESPACE="package-test-$$-$RANDOM"
source "$(dirname "$0")/../support/shell_checks.sh"
unset GENICAM_ROOT
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

installed=(bin/ZAR_USB.dll bin/ZAR_USB.cti bin/zarusb.exe lib/ZAR_USB.dll.a lib/ZAR_USB.def include/zar_usb.h
  lib/cmake/ZarUsb/ZarUsbConfig.cmake lib/pkgconfig/zar_usb.pc share/zar-usb/genicam/xml/TransportLayers/oxa/ZARUSBRegs.xml
  share/doc/zar-usb/LICENSE)
check "install" 0 "$cmake" --install "$build" --prefix "$work/prefix"
for file in "${installed[@]}"; do
  check "installed $file" 0 test -e "$work/prefix/$file"
done
check "def lists the exports" 0 grep -q "^  TLOpen$" "$work/prefix/lib/ZAR_USB.def"
check "link name" 0 grep -q "^Libs: .* -lZAR_USB$" "$work/prefix/lib/pkgconfig/zar_usb.pc"
check_output "installed zarusb" 'ModelName="ZAR_USB"' "$runner" "$work/prefix/bin/zarusb.exe" xml --tl

check "zip" 0 "$cpack" --config "$build/CPackConfig.cmake" -G ZIP -B "$work/zip"
check "zip contents" 0 /usr/bin/python3 -c "import sys, zipfile; print('\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))" \
  "$work"/zip/zar-usb-*-win64.zip
for file in "${installed[@]}"; do
  contains "zip has $file" "^zar-usb-[0-9.]*-win64/$file$"
done
finish
