#!/usr/bin/env bash
# The zarusb commands: the emulator group, list, info, read, write and xml on an emulated camera, grab into
# PNG files (ended by an unplug or Ctrl-C), watch, and a wrong ZAR_USB_EMULATION.
# Usage: zarusb_test.sh COMMAND... (e.g. wine-run.sh zarusb.exe)
set -uo pipefail
export ZAR_USB_NAMESPACE="tool-test-$$-$RANDOM" ZAR_USB_EMULATION=0
source "$(dirname "$0")/../support/shell_checks.sh"
zarusb=("$@")
held() { "${zarusb[@]}" emu list 2>&1 | grep -q "$1 .*open in process"; } # camera

# Options the camera's registers cannot hold are refused before the plug. The user name written at 0x80 names
# the camera from the next scan on.
check_rows "" "$@" <<'EOF'
0~--version~^zarusb [0-9]*\.[0-9]*\.[0-9]*
0~emu list~bus is empty
105~emu plug --fps -1~--fps
105~emu plug --fps 4294968~--fps
105~emu plug --pixel-format Bayer~--pixel-format
0~emu plug --serial TOOL1 --model ZC9 --width 320 --height 240 --pixel-format RGB8 --fps 0~into slot 0
0~emu list~ZC9 .*TOOL1 .*320x240 RGB8
0~list~^0 .*ZC9_#TOOL1 .*free
0~info --camera TOOL1~Serial number: *TOOL1
1~info --camera NOPE~no camera 'NOPE' by name or serial number; the cameras: ZC9_#TOOL1
0~read 0x20 16~^00000020  5A 43 39 00 .*ZC9
0~write 0x80 4c656674~
0~read 0x80 4 --camera Left_#TOOL1~Left
1~read 0xA0 4~Access denied
1~xml~RK46 ZC9 version 1.0, and .* holds no RK46_ZC9_1\.\*\.xml
0~xml --tl~ModelName="ZAR_USB"
1~xml --tl -o /nonexistent/tl.xml~cannot write /nonexistent/tl.xml
EOF
check_output "list cameras without emulation" "ZAR_USB_EMULATION" env -u ZAR_USB_EMULATION "$@" list

# grab: RGB8 in colour, Mono16, every k-th frame, plain lines off a terminal; watch ends after its seconds.
frames=$(mktemp -d)
check_rows "" "$@" <<EOF
0~grab --count 2 -o $frames/rgb_%02d.png~frame 1 (id 2) -> .*rgb_01.png
0~emu plug --serial TOOL2 --width 64 --height 16 --pixel-format Mono16 --fps 0~
0~grab --serial TOOL2 --count 4 --every 2 -o $frames/g%d.png~^4 frames, 0 lost, .* MiB/s; 2 PNG files: .*g0.png ... .*g2.png
1~grab -o $frames/%s.png~one %d
0~watch --seconds 1~
0~emu plug --serial TOOL5~
0~emu plug --serial TOOL4 --fps 20~
EOF
check "no g1" 0 test ! -e "$frames/g1.png"
check "colour PNG" 0 test "$(png_header "$frames/rgb_01.png")" = "320 240 8 2"

# watch, until Ctrl-C, holding TOOL5: a device event of the opened camera, a plug, and the unplugs below, one
# line each; raised once it holds the camera, as its output may only come at its end (Wine). Its process group
# of its own lets Ctrl-C reach the wrapper that runs it under an emulator.
watched=$(mktemp)
setsid "$@" watch --seconds 300 --open TOOL5 >"$watched" 2>&1 &
watcher=$!
poll 100 held TOOL5
check_rows "" "$@" <<'EOF'
0~emu event TOOL5 0x42 --data 0a0b~
0~emu plug --serial TOOL3~
0~emu unplug TOOL3~
EOF
# grab as the holder of an unplugged camera fails and lets go at once, often before its own notification
# comes. Every time the camera leaves the list, comes back under its own name, and the watcher hears one unplug.
listing() { # listed|gone, pattern: `list` succeeds, and a line holds the pattern (listed) or none does (gone)
  listed=$("${zarusb[@]}" list 2>&1) || return 1
  if grep -q "$2" <<<"$listed"; then [ "$1" = listed ]; else [ "$1" = gone ]; fi
}
unplugs_heard() { [ "$(grep -c "USB_UNPLUGGED_DEVICE  ZC1000_#TOOL4" "$watched")" "$1" $rounds ]; } # -ge|-eq
rounds=3
for round in $(seq $rounds); do
  "$@" grab --serial TOOL4 --count 1000000 --every 1000000 -o "$frames/s%d.png" >"$frames/log" 2>&1 &
  grabber=$!
  poll 100 held TOOL4
  check "unplug grabbed $round" 0 "$@" emu unplug TOOL4
  wait "$grabber"
  check "grab fails $round" 1 bash -c "cat '$frames/log'; exit $?"
  contains "grab fails $round" "camera ZC1000_#TOOL4 was unplugged"
  poll 100 listing gone "_#TOOL4" || fail "record gone $round: $listed"
  check "plug again $round" 0 "$@" emu plug --serial TOOL4 --fps 20
  poll 100 listing listed "ZC1000_#TOOL4 " || fail "back $round under its own name: $listed"
done
# (Under an emulator its lines come only at its end: the wait runs out.)
poll 250 unplugs_heard -ge
kill -INT -- -"$watcher"
wait "$watcher"
check "watch ends on Ctrl-C" 0 bash -c "exit $?"
check "unplugs heard once" 0 unplugs_heard -eq
output=$(cat "$watched")
contains "watch device event" "^[0-9:.]*  device event 0x42  .*_#TOOL5  0A 0B"
contains "watch plug" "^[0-9:.]*  USB_PLUGGED_DEVICE  ZC1000_#TOOL3"
rm -f "$watched"

# Ctrl-C ends a grab with its summary, once it streams (its first file is written); a process group as above.
setsid "$@" grab --camera ZC1000_#TOOL4 --count 1000000 --every 1000000 -o "$frames/c%d.png" >"$frames/log" 2>&1 &
grabber=$!
poll 100 test -e "$frames/c0.png"
kill -INT -- -"$grabber"
wait "$grabber"
check "Ctrl-C ends the grab" 130 bash -c "cat '$frames/log'; exit $?"
contains "Ctrl-C ends the grab" "^[0-9]* frames (interrupted), [0-9]* lost, .*; 1 PNG files"
rm -rf "$frames"

check_rows "" "$@" <<'EOF'
0~emu unplug TOOL2~
0~emu unplug TOOL4~
0~emu unplug TOOL5~
0~emu fault TOOL1 read-camera system-error --count 2 --value 5~
105~emu fault TOOL1 bogus pend~
0~emu suspend~Announced a system suspend
0~emu unplug TOOL1~
1~emu unplug TOOL1~no emulated camera 'TOOL1'
EOF
# A wrong ZAR_USB_EMULATION is named; one that differs from the bus's is not applied until a reset.
emulation() { env ZAR_USB_EMULATION="$1" "${zarusb[@]}" "${@:2}"; }
check_rows "ZAR_USB_EMULATION=" emulation <<'EOF'
0~two list~ZAR_USB_EMULATION=two: neither a number of cameras nor a camera description file
0~31 list~ZAR_USB_EMULATION=31: at most 30 cameras
0~2 list~ZAR_USB_EMULATION=2 is not applied: .*zarusb emu reset
0~2 emu reset~2 camera(s)
0~2 list~ZC1000_#EMU0002
EOF
grep -q "not applied" <<<"$output" && fail "list after reset: $output"

finish
