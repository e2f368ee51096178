#!/usr/bin/env bash
# The zarusb commands from the shell: the emulator group (plug, list, event,
# fault, unplug, and clear refusals), and list, info, read, write and xml on
# an emulated camera. Usage: zarusb_test.sh COMMAND... (e.g. wine-run.sh zarusb.exe)
set -uo pipefail
export ZAR_USB_NAMESPACE="tool-test-$$-$RANDOM"
failures=0
total=0
check() { # description, expected exit code, command...
  local what=$1 expected=$2
  total=$((total + 1))
  shift 2
  output=$("$@" 2>&1)
  local code=$?
  if [ "$code" -ne "$expected" ]; then
    echo "FAILED: $what (exit $code, expected $expected): $output"
    failures=$((failures + 1))
  fi
}
contains() { # description, text
  total=$((total + 1))
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
check "info" 0 env ZAR_USB_EMULATION=0 "$@" info
contains "info" "Serial number: *TOOL1"
check "read" 0 env ZAR_USB_EMULATION=0 "$@" read 0x20 16
contains "read" "^00000020  5A 43 39 00 .*ZC9"
check "write" 0 env ZAR_USB_EMULATION=0 "$@" write 0x80 4c656674
# The user name now names the camera, from the next scan on.
check "read back" 0 env ZAR_USB_EMULATION=0 "$@" read 0x80 4 --camera Left_#TOOL1
contains "read back" "Left"
check "read a hole" 1 env ZAR_USB_EMULATION=0 "$@" read 0xA0 4
contains "read a hole" "Access denied"
check "camera xml" 1 env ZAR_USB_EMULATION=0 "$@" xml
contains "camera xml" "no description file"
check "tl xml" 0 env ZAR_USB_EMULATION=0 "$@" xml --tl
contains "tl xml" 'ModelName="ZAR_USB"'
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
echo "$((total - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
