#!/usr/bin/env bash
# Fails unless the built library exports exactly the 41 functions that
# zar_usb.h declares, which are the names of the export list (and, for the
# Windows DLL, imports no runtime DLL beyond the system's).
# Usage: check_exports.sh LIBRARY EXPORT_LIST HEADER
set -euo pipefail
lib=$1
list=$2
header=$3
expected=$(sort "$list")
declared=$(sed -n 's/^ZAR_USB_API[^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
if [ "$declared" != "$expected" ] || [ "$(wc -l <<<"$expected")" -ne 41 ]; then
  echo "$list is not the 41 functions that $header declares:"
  diff <(echo "$declared") <(echo "$expected") || true
  exit 1
fi

case "$lib" in
*.dll)
  dump=$(x86_64-w64-mingw32-objdump -p "$lib")
  actual=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && /^[[:space:]]*\[/ {print $NF; next}
                on {on = 0}' <<<"$dump" | sort)
  runtime=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | grep -iE 'libstdc|libgcc|winpthread|mingw' || true)
  if [ -n "$runtime" ]; then
    echo "ZAR_USB.dll depends on runtime DLLs: $runtime"
    exit 1
  fi
  ;;
*)
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
  soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  if [ "$soname" != "libzar_usb.so.1" ]; then
    echo "unexpected SONAME: '$soname'"
    exit 1
  fi
  ;;
esac

if [ "$actual" != "$expected" ]; then
  echo "exported names differ from $list:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(wc -l <<<"$actual") exports, as listed"
