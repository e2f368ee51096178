#!/usr/bin/env bash
# The installed tree and the Debian packages as a user meets them: zarusb and the examples from the installed tree; the
# packages installed into a temporary root whose package database holds their dependencies as installed here, and
# zarusb and the Python package's tests run from there.
# Usage: install_test.sh BUILD_DIR CMAKE CPACK
set -uo pipefail
build=$1 cmake=$2 cpack=$3
source "$(dirname "$0")/../support/shell_checks.sh"
install_moved package-test "$build" "$cmake"
for file in bin/zarusb lib/libzar_usb.so lib/libzar_usb.so.1 include/zar_usb.h lib/cmake/ZarUsb/ZarUsbConfig.cmake \
  lib/pkgconfig/zar_usb.pc share/zar-usb/genicam/xml/TransportLayers/oxa/ZARUSBRegs.xml share/man/man1/zarusb.1.gz \
  share/doc/zar-usb/LICENSE share/doc/zar-usb/examples/CMakeLists.txt lib/gentl/ZAR_USB.cti; do
  check "installed $file" 0 test -e "$prefix/$file"
done
check "only zarusb in bin" 0 test "$(ls "$prefix/bin")" = zarusb

zarusb=$prefix/bin/zarusb
# The GenTL producer finds the library one folder up, with no search path set.
check "producer finds the library" 0 /usr/bin/python3 -c \
  "import ctypes, sys; sys.exit(ctypes.CDLL(sys.argv[1]).GCInitLib())" "$prefix/lib/gentl/ZAR_USB.cti"
check "plug" 0 "$zarusb" emu plug --serial PKG1 --width 64 --height 8 --pixel-format Mono8 --fps 0
check_output "installed description files" 'ModelName="ZC1000"' env ZAR_USB_EMULATION=0 "$zarusb" xml

examples=$prefix/share/doc/zar-usb/examples
check "find_package: configure" 0 "$cmake" -S "$examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
check "find_package: build" 0 "$cmake" --build "$work/examples"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags zar_usb) libs="$(pkg-config --libs zar_usb) -Wl,-rpath,$(pkg-config --variable=libdir zar_usb)"
check "pkg-config: C build" 0 cc -std=c99 -Wall -Werror $flags -o "$work/c_example" "$examples/list_and_grab.c" $libs
check "pkg-config: C++ build" 0 c++ -std=c++17 -Wall -Werror $flags -o "$work/cpp_example" "$examples/grab_raii.cpp" $libs
unset PKG_CONFIG_PATH
# Each example prints the camera's name and a line per frame; the first pixel is the frame id's low byte.
for program in examples/list_and_grab examples/grab_raii c_example cpp_example; do
  check_output "$program" "ZC1000_#PKG1" env ZAR_USB_EMULATION=0 "$work/$program" 3
  contains "$program" "^frame 3: 64x8, 512 bytes, first pixel 3$"
done

# A project that adds the source tree as a subdirectory links the package's target name.
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
mkdir "$work/subdirectory"
printf 'cmake_minimum_required(VERSION 3.20)\nproject(app C CXX)\nadd_subdirectory("%s" zar_usb)
add_executable(app "%s/examples/list_and_grab.c")\ntarget_link_libraries(app PRIVATE ZarUsb::zar_usb)\n' \
  "$source_dir" "$source_dir" >"$work/subdirectory/CMakeLists.txt"
check "add_subdirectory: ZarUsb::zar_usb" 0 "$cmake" -S "$work/subdirectory" -B "$work/subdirectory/build" -G Ninja \
  -DBUILD_TESTING=OFF

# The Debian packages: the library's, the feature library's where Aravis was found, the Python package's, and any
# other (the element's). Libraries in the multiarch folder.
check "cpack" 0 "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs"
debs=("$work"/debs/*.deb)
packages=($(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done))
expected=(libzar-usb1 libzar-usb-dev zar-usb-tools zar-usb-gentl python3-zar-usb)
[ -e "$build/bin/libzar_features.so.1" ] && expected+=(libzar-features1)
for package in "${expected[@]}"; do
  [[ " ${packages[*]} " == *" $package "* ]] || fail "no package $package among: ${packages[*]}"
done
for package in "${packages[@]}"; do
  check_output "$package: copyright" " ./usr/share/doc/$package/copyright$" dpkg-deb -c "$work"/debs/${package}_*.deb
done
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
check_output "GenTL package" " ./$lib/gentl/ZAR_USB.cti$" dpkg-deb -c "$work"/debs/zar-usb-gentl_*.deb
check_output "library package" " ./$lib/libzar_usb.so.1 -> libzar_usb.so.[0-9.]*$" \
  dpkg-deb -c "$work"/debs/libzar-usb1_*.deb
check_output "development package" " ./$lib/libzar_usb.so -> libzar_usb.so.1$" \
  dpkg-deb -c "$work"/debs/libzar-usb-dev_*.deb
for file in $lib/pkgconfig/zar_usb.pc $lib/cmake/ZarUsb/ZarUsbTargets.cmake usr/include/zar_usb.h; do
  contains "development package" " ./$file$"
done
[ -e "$build/doc/html/index.html" ] && contains "development package: API reference" \
  " ./usr/share/doc/zar-usb/html/zar__usb_8h.html$"
check_output "Python package" " ./usr/lib/python3/dist-packages/zar_usb/camera.py$" \
  dpkg-deb -c "$work"/debs/python3-zar-usb_*.deb
check_output "Python package's dependencies" "^libzar-usb1 (= [0-9.]*), python3, python3-numpy$" \
  dpkg-deb -f "$work"/debs/python3-zar-usb_*.deb Depends
check_output "tools depend on the library" "libzar-usb1 (= [0-9.]*)" \
  dpkg-deb -f "$work"/debs/zar-usb-tools_*.deb Depends

# The root's package database: the packages ours depend on, as installed here.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
depends=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n')
for package in $(sed 's/^ *\([^ (:]*\).*/\1/' <<<"$depends" | grep -v zar- | sort -u); do
  dpkg-query -s "$package" >>"$root/var/lib/dpkg/status" && echo >>"$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
touch "$root/var/lib/dpkg/available"
# The maintainer scripts' ldconfig, run without a chroot: a stand-in that leaves this machine's library cache alone.
mkdir -p "$work/path"
printf '#!/bin/sh\necho "ldconfig $*" >>"%s"\n' "$work/ldconfig.log" >"$work/path/ldconfig"
chmod +x "$work/path/ldconfig"
dpkg_root() { PATH="$work/path:$PATH" dpkg --root="$root" --force-script-chrootless "$@"; }
check "dpkg -i" 0 dpkg_root -i "${debs[@]}"
check "ldconfig ran" 0 cat "$work/ldconfig.log"
check_output "description files from the packages" 'ModelName="ZC1000"' \
  env ZAR_USB_EMULATION=0 "$root/usr/bin/zarusb" xml
# The packages' CMake and pkg-config files and the API reference, from the root.
check "find_package from the packages" 0 "$cmake" -S "$examples" -B "$work/root-examples" -G Ninja \
  -DCMAKE_PREFIX_PATH="$root/usr"
check_output "pkg-config from the packages" "^-L$root/$lib -lzar_usb *$" env PKG_CONFIG_SYSROOT_DIR="$root" \
  PKG_CONFIG_LIBDIR="$root/$lib/pkgconfig" pkg-config --libs zar_usb
[ -e "$build/doc/html/index.html" ] && check "API reference: TLOpen" 0 \
  grep -q "TLOpen" "$root/usr/share/doc/zar-usb/html/zar__usb_8h.html"
# The Python package's tests on the packages' modules, library and zarusb; the byte code Python writes beside
# the modules goes with the package (nothing is left after the purge).
dist=$root/usr/lib/python3/dist-packages
check_output "Python package from the packages" "^$dist/zar_usb/__init__.py$" \
  env -u PYTHONDONTWRITEBYTECODE PYTHONPATH="$dist" /usr/bin/python3 -c "import zar_usb; print(zar_usb.__file__)"
check "Python package's tests" 0 env PYTHONPATH="$dist" ZAR_USB_LIBRARY="$root/$lib/libzar_usb.so.1" \
  ZARUSB="$root/usr/bin/zarusb" /usr/bin/python3 -m pytest -p no:cacheprovider -q "$source_dir/python/tests"
# The GStreamer element's package, when the build made it: found in the root's GStreamer plugin folder.
if [[ " ${packages[*]} " == *" gstreamer1.0-zar-usb "* ]]; then
  check_output "element depends on the feature library" "libzar-features1 (= [0-9.]*)" \
    dpkg-deb -f "$work"/debs/gstreamer1.0-zar-usb_*.deb Depends
  plugins=$root$(pkg-config --variable=pluginsdir gstreamer-1.0)
  check_output "element from the packages" "Filename *$plugins/libgstzarusb.so" \
    env GST_PLUGIN_PATH="$plugins" GST_REGISTRY_1_0="$work/registry.bin" gst-inspect-1.0 zarusbsrc
fi
check "dpkg --purge" 0 dpkg_root --purge "${packages[@]}"
check "nothing left" 0 find "$root" -path "$root/var" -prune -o -type f -print
[ -z "$output" ] || fail "files left after the purge: $output"

check "unplug" 0 "$zarusb" emu unplug PKG1
finish
