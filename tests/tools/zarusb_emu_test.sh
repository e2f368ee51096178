#!/usr/bin/env bash
# The `zarusb emu` commands from the shell: plug, list, event, fault, unplug,
# and clear refusals. Usage: zarusb_emu_test.sh COMMAND... (e.g. wine zarusb.exe)
set -uo pipefail
export ZAR_USB_NAMESPACE="tool-test-$$-$RANDOM"
failures=0
check() { # description, expected exit code, command...
  local what=$1 expected=$2
  shift 2
  output=$("$@" 2>&1)
  local code=$?
  if [ "$code" -ne "$expected" ]; then
    echo "FAILED: $what (exit $code, expected $expected): $output"
    failures=$((failures + 1))
  fi
}
contains() { # description, text
  if ! grep -q -- "$2" <<<"$output"; then
    echo "FAILED: $1: '$2' not in: $output"
    failures=$((failures + 1))
  fi
}

check "empty list" 0 "$@" emu list
contains "empty list" "bus is empty"
check "plug" 0 "$@" emu plug --serial TOOL1 --model ZC9 --width 320 --height 240 --pixel-format RGB8 --fps 0
contains "plug" "into slot 0"
check "list" 0 "$@" emu list
contains "list" "ZC9 .*TOOL1 .*320x240 RGB8"
check "list cameras without emulation" 0 env -u ZAR_USB_EMULATION "$@" list
contains "list cameras without emulation" "ZAR_USB_EMULATION"
check "list cameras" 0 env ZAR_USB_EMULATION=0 "$@" list
contains "list cameras" "^0 .*ZC9_#TOOL1 .*free"
check "event" 0 "$@" emu event TOOL1 0x42 --data 0a0b
check "fault" 0 "$@" emu fault TOOL1 read-camera system-error --count 2 --value 5
check "unknown request" 105 "$@" emu fault TOOL1 bogus pend
check "bad pixel format" 1 "$@" emu plug --pixel-format Bayer
contains "bad pixel format" "unusable camera"
check "unplug" 0 "$@" emu unplug TOOL1
check "unplug again" 1 "$@" emu unplug TOOL1
contains "unplug again" "no emulated camera 'TOOL1'"

folder=${XDG_RUNTIME_DIR:-/tmp/zar-usb-$(id -u)}
rm -rf "$folder/ns-$ZAR_USB_NAMESPACE" "${TMPDIR:-/tmp}/zar-usb/ns-$ZAR_USB_NAMESPACE" 2>/dev/null
echo "$((13 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
