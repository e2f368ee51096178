#!/usr/bin/env bash
# Fails unless the built library exports exactly the names of the export list
# and the one internal name (and, for the Windows DLL, imports no runtime DLL
# beyond the system's). The public header must not declare the internal name.
set -euo pipefail
lib=$1
list=$2
internal=$3
header=$4
if grep -q "$internal" "$header"; then
  echo "$header declares the internal export $internal"
  exit 1
fi
expected=$( (cat "$list"; echo "$internal") | sort)

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
echo "$(wc -l <"$list") public exports and $internal, as listed"
