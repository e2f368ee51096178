#!/usr/bin/env bash
# Camera features by name from the shell, on both emulated camera models: every feature of the description file listed,
# writes that reach the registers and the frames of a grab, and the refusals.
# Usage: zarusb_features_test.sh ZARUSB GENICAM_ROOT
set -uo pipefail
zarusb=$1 genicam=$2
export ZAR_USB_NAMESPACE="features-test-$$-$RANDOM" ZAR_USB_EMULATION=0
source "$(dirname "$0")/../support/shell_checks.sh"

frames=$(mktemp -d)
for model in ZC1000:1.0 ZC2000:2.0; do
  name=${model%:*} version=${model#*:} serial="F${model%:*}"
  run() { "$zarusb" "$@" --camera "${name}_#$serial"; }
  check "$name: plug" 0 "$zarusb" emu plug --model "$name" --version "$version" --serial "$serial" --fps 0

  # Every feature of the file, invisible ones and those of no category included, with a value or a reason.
  check "$name: features --all" 0 run features --all
  while read -r type feature; do
    case $type in
    EnumEntry | Port) ;;
    Category) [ "$feature" = Root ] || contains "$name: category $feature listed" "^ *$feature$" ;;
    *) contains "$name: $feature listed" "^ *$feature " ;;
    esac
  done < <(sed -n 's/^ *<\([A-Za-z]*\) Name="\([^"]*\)".*/\1 \2/p' "$genicam/xml/Cameras/oxa/RK46_${name}_$version.xml")
  contains "$name: a value" "^ *DeviceModelName  *String  *RO  $name\( \|$\)"
  contains "$name: range and description" "^ *Width  *Integer  *RW  640  \[1..16384 step 1\]  # Width of the image in pixels\.$"
  contains "$name: enumeration entries" "^ *PixelFormat  *Enumeration RW  Mono8  \[Mono8|Mono16|RGB8|BayerRG8|BayerGB8\]"
  contains "$name: write-only" "^ *TestEventGenerate  *Integer  *WO  (write-only)"
  contains "$name: no category" "^(no category)"
  check "$name: features" 0 run features
  ! grep -q "WidthReg" <<<"$output" || fail "$name: an invisible feature listed without --all: $output"

  # Geometry and pixel format reach the frames of the next grab. Refusals exit non-zero (the Python tests check each
  # kind's message); past the node map's ranges the camera refuses too; a refusal undoes the writes before it. The usual
  # features reach their registers, in their encodings.
  check_rows "$name: " run <<'EOF'
0~set Width=320 Height=240 PixelFormat=Mono16~^PixelFormat=Mono16$
0~get Width Height PayloadSize~^PayloadSize=153600$
1~set Width=20000~Width=20000 is out of range: 1..16384 step 1
1~set PixelFormat=Mono12~PixelFormat has no entry 'Mono12'; its entries: Mono8|Mono16|RGB8
1~set DeviceUserID=ABCDEFGHIJKLMNOPQ~DeviceUserID takes at most 16 characters
1~set WidthReg=16385~WidthReg: register access failed: .*writing 4 bytes at 0x100: -4 (Access denied)
1~set Width=100 Height=bad~Height takes an integer, not 'bad'; nothing was changed
0~get Width~^Width=320$
EOF
  check "$name: grab" 0 "$zarusb" grab --serial "$serial" --count 1 -o "$frames/$name-%d.png"
  check "$name: 16-bit PNG" 0 test "$(png_header "$frames/$name-0.png")" = "320 240 16 0"
  while read -r assignment address bytes <&3; do
    check "$name: set $assignment" 0 run set "$assignment"
    check_output "$name: $assignment written" "^[0-9A-F]*  $bytes" run read "$address" 4
  done 3<<'EOF'
ExposureTime=5000 0x120 00 40 9C 45
Gain=6 0x124 00 00 C0 40
OffsetX=2 0x128 02 00 00 00
OffsetY=3 0x12C 03 00 00 00
AcquisitionFrameRate=12.5 0x118 D4 30 00 00
AcquisitionFrameRateMilli=5000 0x118 88 13 00 00
PixelFormat=BayerGB8 0x108 0A 00 08 01
TriggerMode=On 0x130 01 00 00 00
EOF
  check "$name: software trigger" 0 run do TriggerSoftware
  check "$name: command" 0 run do AcquisitionStop
  check "$name: unplug" 0 "$zarusb" emu unplug "$serial"
done
rm -rf "$frames"

finish
