#!/usr/bin/env bash
# The README's examples as a reader runs them: the blocks marked `<!-- test -->`, in order, in one shell, with
# the tree installed to a temporary prefix in place of /opt/zar-usb; each must succeed. A few of the results
# the README shows in its comments are checked after.
# Usage: readme_examples_test.sh BUILD_DIR CMAKE
set -uo pipefail
build=$(cd "$1" && pwd) cmake=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "$0")/../support/shell_checks.sh"
install_moved readme "$build" "$cmake"

# A python block becomes a here-document for Debian's python3 (numpy), which finds the package in the source
# tree and the library where ZAR_USB_LIBRARY points, as a reader with the packages installed finds them.
awk '/^<!-- test -->$/ { marked = 1; next }
     marked && /^```/ { marked = 0; block = 1; python = ($0 ~ /python/); if (python) print "/usr/bin/python3 - <<'"'"'EOF'"'"'"; next }
     block && /^```/ { block = 0; if (python) print "EOF"; next }
     block { print }' "$source_dir/README.md" |
  sed -e "s|/opt/zar-usb|$prefix|g" -e "s|~/zar-venv/bin/python|/usr/bin/python3|g" -e "s|\$PWD/build/native|$build|g" \
    >"$work/examples.sh"
[ "$(grep -c '^<!-- test -->$' "$source_dir/README.md")" -ge 7 ] || fail "fewer marked blocks than expected"

cd "$work"
check "README examples" 0 env PATH="$prefix/bin:$PATH" PYTHONPATH="$source_dir/python" \
  ZAR_USB_LIBRARY="$prefix/lib/libzar_usb.so.1" \
  GST_REGISTRY_1_0="$work/registry.bin" bash -e -o pipefail "$work/examples.sh"
contains "features" "Width=320"
contains "features" "PayloadSize=153600"
contains "Python" "'ZC1000_#EMU0001'"
check "grabbed by zarusb" 0 test -s frame_0000.png
check "thirty PNG files from the pipeline" 0 test -s frame_00.png -a -s frame_29.png -a ! -e frame_30.png
finish
