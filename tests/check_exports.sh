#!/usr/bin/env bash
# Fails unless the built library exports exactly the 41 functions that zar_usb.h declares, which are the names
# of the export list (and, for the Windows DLL, imports no runtime DLL beyond the system's).
# Usage: check_exports.sh LIBRARY EXPORT_LIST HEADER
set -euo pipefail
lib=$1 list=$2 header=$3
fail() { echo "$1"; [ $# -lt 3 ] || diff <(echo "$2") <(echo "$3") || true; exit 1; }
expected=$(sort "$list")
declared=$(sed -n 's/^ZAR_USB_API[^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
[ "$declared" = "$expected" ] && [ "$(wc -l <<<"$expected")" -eq 41 ] ||
  fail "$list is not the 41 functions that $header declares:" "$declared" "$expected"

case "$lib" in
*.dll)
  dump=$(x86_64-w64-mingw32-objdump -p "$lib")
  actual=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && /^[[:space:]]*\[/ {print $NF; next}
                on {on = 0}' <<<"$dump" | sort)
  runtime=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | grep -iE 'libstdc|libgcc|winpthread|mingw' || true)
  [ -z "$runtime" ] || fail "ZAR_USB.dll depends on runtime DLLs: $runtime"
  ;;
*)
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
  soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  [ "$soname" = "libzar_usb.so.1" ] || fail "unexpected SONAME: '$soname'"
  ;;
esac

[ "$actual" = "$expected" ] || fail "exported names differ from $list:" "$expected" "$actual"
echo "$(wc -l <<<"$actual") exports, as listed"
