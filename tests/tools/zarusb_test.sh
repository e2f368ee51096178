#!/usr/bin/env bash
# The zarusb commands from the shell: the emulator group (plug, list, event,
# fault, unplug, reset, and clear refusals), and list, info, read, write and
# xml on an emulated camera, grab into PNG files (ended by an unplug or
# Ctrl-C), watch events, and what is said about a wrong ZAR_USB_EMULATION. Usage: zarusb_test.sh COMMAND... (e.g. wine-run.sh zarusb.exe)
set -uo pipefail
export ZAR_USB_NAMESPACE="tool-test-$$-$RANDOM"
source "$(dirname "$0")/../support/shell_checks.sh"

check "version" 0 "$@" --version
contains "version" "^zarusb [0-9]*\.[0-9]*\.[0-9]*"
check "empty list" 0 "$@" emu list
contains "empty list" "bus is empty"
# Options the camera's registers cannot hold are refused before the plug.
for option in "--fps -1" "--fps 4294968" "--pixel-format Bayer"; do
  check "plug $option" 105 "$@" emu plug $option
  contains "plug $option" "${option%% *}"
done
check "plug" 0 "$@" emu plug --serial TOOL1 --model ZC9 --width 320 --height 240 --pixel-format RGB8 --fps 0
contains "plug" "into slot 0"
check "list" 0 "$@" emu list
contains "list" "ZC9 .*TOOL1 .*320x240 RGB8"
check "list cameras without emulation" 0 env -u ZAR_USB_EMULATION "$@" list
contains "list cameras without emulation" "ZAR_USB_EMULATION"
check "list cameras" 0 env ZAR_USB_EMULATION=0 "$@" list
contains "list cameras" "^0 .*ZC9_#TOOL1 .*free"
check "info" 0 env ZAR_USB_EMULATION=0 "$@" info --camera TOOL1
contains "info" "Serial number: *TOOL1"
check "no such camera" 1 env ZAR_USB_EMULATION=0 "$@" info --camera NOPE
contains "no such camera" "no camera 'NOPE' by name or serial number; the cameras: ZC9_#TOOL1"
check "read" 0 env ZAR_USB_EMULATION=0 "$@" read 0x20 16
contains "read" "^00000020  5A 43 39 00 .*ZC9"
check "write" 0 env ZAR_USB_EMULATION=0 "$@" write 0x80 4c656674
# The user name now names the camera, from the next scan on.
check "read back" 0 env ZAR_USB_EMULATION=0 "$@" read 0x80 4 --camera Left_#TOOL1
contains "read back" "Left"
check "read a hole" 1 env ZAR_USB_EMULATION=0 "$@" read 0xA0 4
contains "read a hole" "Access denied"
check "camera xml" 1 env ZAR_USB_EMULATION=0 "$@" xml
contains "camera xml" "RK46 ZC9 version 1.0, and .* holds no RK46_ZC9_1\.\*\.xml"
check "tl xml" 0 env ZAR_USB_EMULATION=0 "$@" xml --tl
contains "tl xml" 'ModelName="ZAR_USB"'
check "xml to no folder" 1 env ZAR_USB_EMULATION=0 "$@" xml --tl -o /nonexistent/tl.xml
contains "xml to no folder" "cannot write /nonexistent/tl.xml"
# grab: RGB8 in colour, Mono16 as grey, every k-th frame, plain lines off a terminal.
frames=$(mktemp -d)
check "grab" 0 env ZAR_USB_EMULATION=0 "$@" grab --count 2 -o "$frames/rgb_%02d.png"
contains "grab" "frame 1 (id 2) -> .*rgb_01.png"
contains "grab" "^2 frames, 0 lost, .* MiB/s; 2 PNG files"
check "plug mono16" 0 "$@" emu plug --serial TOOL2 --width 64 --height 16 --pixel-format Mono16 --fps 0
check "grab every other" 0 env ZAR_USB_EMULATION=0 "$@" grab --serial TOOL2 --count 4 --every 2 -o "$frames/g%d.png"
contains "grab every other" "^4 frames, 0 lost, .*; 2 PNG files: .*g0.png ... .*g2.png"
check "png files" 0 bash -c "for f in rgb_00 rgb_01 g0 g2; do head -c 4 '$frames'/\$f.png | grep -q PNG || exit 1; done"
check "no g1" 2 ls "$frames/g1.png"
check "bad pattern" 1 env ZAR_USB_EMULATION=0 "$@" grab -o "$frames/%s.png"
contains "bad pattern" "one %d"
rm -rf "$frames"
# watch: a device event of the opened camera and a plug, one line each, for
# the seconds asked. Its output may only come at its end (Wine), so the
# events are raised once it holds the camera.
watched=$(mktemp)
env ZAR_USB_EMULATION=0 "$@" watch --seconds 10 --open TOOL1 >"$watched" 2>&1 &
watcher=$!
for _ in $(seq 100); do "$@" emu list 2>&1 | grep -q "TOOL1 .*open in process" && break; sleep 0.1; done
check "event watched" 0 "$@" emu event TOOL1 0x42 --data 0a0b
check "plug watched" 0 "$@" emu plug --serial TOOL3
wait "$watcher"
check "watch ends" 0 bash -c "exit $?"
output=$(cat "$watched")
contains "watch device event" "^[0-9:.]*  device event 0x42  .*_#TOOL1  0A 0B"
contains "watch plug" "^[0-9:.]*  USB_PLUGGED_DEVICE  ZC1000_#TOOL3"
check "unplug watched" 0 "$@" emu unplug TOOL3
check "unplug mono16" 0 "$@" emu unplug TOOL2
# grab as the holder of an unplugged camera: it fails and lets go at once,
# often before its own notification comes. Every time the camera leaves the
# list, comes back under its own name, and a watcher hears one unplug. The
# watcher runs until Ctrl-C; it has a process group of its own, so that the
# wrapper that runs it under an emulator is interrupted with it.
check "plug witness" 0 "$@" emu plug --serial TOOL5
check "plug streamed" 0 "$@" emu plug --serial TOOL4 --fps 20
setsid env ZAR_USB_EMULATION=0 "$@" watch --seconds 300 --open TOOL5 >"$watched" 2>&1 &
watcher=$!
for _ in $(seq 100); do "$@" emu list 2>&1 | grep -q "TOOL5 .*open in process" && break; sleep 0.1; done
frames=$(mktemp -d)
rounds=3
for round in $(seq $rounds); do
  env ZAR_USB_EMULATION=0 "$@" grab --serial TOOL4 --count 1000000 --every 1000000 -o "$frames/s%d.png" >"$frames/log" 2>&1 &
  grabber=$!
  for _ in $(seq 100); do "$@" emu list 2>&1 | grep -q "TOOL4 .*open in process" && break; sleep 0.1; done
  check "unplug grabbed $round" 0 "$@" emu unplug TOOL4
  wait "$grabber"
  check "grab fails $round" 0 bash -c "[ $? -eq 1 ]"
  output=$(cat "$frames/log")
  contains "grab fails $round" "camera ZC1000_#TOOL4 was unplugged"
  for _ in $(seq 50); do env ZAR_USB_EMULATION=0 "$@" list 2>&1 | grep -q "_#TOOL4" || break; sleep 0.1; done
  check "record gone $round" 0 env ZAR_USB_EMULATION=0 "$@" list
  grep -q "_#TOOL4" <<<"$output" && fail "record gone $round: $output"
  check "plug again $round" 0 "$@" emu plug --serial TOOL4 --fps 20
  for _ in $(seq 50); do env ZAR_USB_EMULATION=0 "$@" list 2>&1 | grep -q "_#TOOL4" && break; sleep 0.1; done
  check "back $round" 0 env ZAR_USB_EMULATION=0 "$@" list
  contains "back $round under its own name" "ZC1000_#TOOL4 "
done
rm -rf "$frames"
# (Under an emulator its lines come only at its end: the wait runs out.)
for _ in $(seq 250); do [ "$(grep -c "USB_UNPLUGGED_DEVICE  ZC1000_#TOOL4" "$watched")" -ge $rounds ] && break; sleep 0.1; done
kill -INT -- -"$watcher"
wait "$watcher"
check "watch ends on Ctrl-C" 0 bash -c "exit $?"
check "unplugs heard once" 0 grep -c "USB_UNPLUGGED_DEVICE  ZC1000_#TOOL4" "$watched"
contains "unplugs heard once" "^$rounds\$"
rm -f "$watched"
# Ctrl-C ends a grab with its summary, once it streams (its first file is
# written). The grab gets a process group of its own, so that the wrapper
# that runs it under an emulator is interrupted with it.
frames=$(mktemp -d)
setsid env ZAR_USB_EMULATION=0 "$@" grab --camera ZC1000_#TOOL4 --count 1000000 --every 1000000 -o "$frames/c%d.png" >"$frames/log" 2>&1 &
grabber=$!
for _ in $(seq 100); do [ -e "$frames/c0.png" ] && break; sleep 0.1; done
kill -INT -- -"$grabber"
wait "$grabber"
check "Ctrl-C ends the grab" 0 bash -c "[ $? -eq 130 ]"
output=$(cat "$frames/log")
contains "Ctrl-C ends the grab" "^[0-9]* frames (interrupted), [0-9]* lost, .*; 1 PNG files"
rm -rf "$frames"
check "unplug streamed" 0 "$@" emu unplug TOOL4
check "unplug witness" 0 "$@" emu unplug TOOL5
check "event" 0 "$@" emu event TOOL1 0x42 --data 0a0b
check "fault" 0 "$@" emu fault TOOL1 read-camera system-error --count 2 --value 5
check "unknown request" 105 "$@" emu fault TOOL1 bogus pend
check "suspend" 0 "$@" emu suspend
contains "suspend" "Announced a system suspend"
check "unplug" 0 "$@" emu unplug TOOL1
check "unplug again" 1 "$@" emu unplug TOOL1
contains "unplug again" "no emulated camera 'TOOL1'"
# A wrong ZAR_USB_EMULATION is named; one that differs from the bus's is not
# applied until a reset.
while IFS='~' read -r value message <&3; do
  check "ZAR_USB_EMULATION=$value" 0 env ZAR_USB_EMULATION="$value" "$@" list
  contains "ZAR_USB_EMULATION=$value" "$message"
done 3<<'EOF'
two~ZAR_USB_EMULATION=two: neither a number of cameras nor a camera description file
31~ZAR_USB_EMULATION=31: at most 30 cameras
2~ZAR_USB_EMULATION=2 is not applied: .*zarusb emu reset
EOF
check "reset" 0 env ZAR_USB_EMULATION=2 "$@" emu reset
contains "reset" "2 camera(s)"
check "list after reset" 0 env ZAR_USB_EMULATION=2 "$@" list
contains "list after reset" "ZC1000_#EMU0002"
grep -q "not applied" <<<"$output" && fail "list after reset: $output"

finish
