#!/usr/bin/env bash
# Fails unless ZAR_USB.cti exports exactly its header's GenTL functions, neither links the ZAR_USB library nor names
# its exports (it reaches them at run time), and on Windows carries its runtime. Given the Linux library, fails when
# that looks up its own exports by name, which a producer loaded with global binding would answer with its own.
# Usage: cti_exports.sh ZAR_USB.cti gentl_types.h exports.txt [libzar_usb.so]
set -euo pipefail
cti=$1 header=$2 library_exports=$3 library=${4:-}
fail() { echo "$@"; exit 1; }
lookups() { readelf -rW "$1" | awk '{print $5}' | sed 's/@.*//'; } # the names looked up at run time
expected=$(sed -n 's/^ZAR_GENTL_API \([A-Za-z]*\)(.*/\1/p' "$header" | sort)
[ "$(wc -l <<<"$expected")" -eq 57 ] || fail "the header declares $(wc -l <<<"$expected") functions"

if [ "$(head -c 2 "$cti")" = "MZ" ]; then
  dump=$(x86_64-w64-mingw32-objdump -p "$cti")
  actual=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && /^[[:space:]]*\[/ {print $NF; next}
                on {on = 0}' <<<"$dump" | sort)
  linked=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | grep -iE 'zar_usb|libstdc|libgcc|winpthread' || true)
  imported=""
else
  actual=$(nm -D --defined-only "$cti" | awk '$2 == "T" {print $3}' | sort)
  linked=$(readelf -d "$cti" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | grep -i zar_usb || true)
  imported=$(nm -D --undefined-only "$cti" | awk '{print $2}' | grep -Fxf "$library_exports" || true)
  # Nor its own functions: a program that loaded the library first would answer them.
  self=$(lookups "$cti" | grep -Fx "$expected" || true)
  [ -z "$self" ] || fail "ZAR_USB.cti looks up its own functions by name: $self"
fi
[ "$actual" = "$expected" ] ||
  fail "exported names differ from the header's:" "$(diff <(echo "$expected") <(echo "$actual"))"
[ -z "$linked" ] || fail "ZAR_USB.cti links: $linked"
[ -z "$imported" ] || fail "ZAR_USB.cti names the library's exports: $imported"
if [ -n "$library" ]; then
  own=$(lookups "$library" | grep -Fxf "$library_exports" || true)
  [ -z "$own" ] || fail "the library looks up its own exports by name: $own"
fi
echo "ZAR_USB.cti exports the 57 GenTL functions and links no ZAR_USB library"
