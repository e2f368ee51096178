#!/usr/bin/env bash
# zarusbsrc as a user runs it, installed into a temporary prefix: frames into PNG files, through bayer2rgb, and by RTP.
# Usage: zarusbsrc_pipelines_test.sh BUILD_DIR ZARUSB [ASAN_RUNTIME (to preload into GStreamer's programs)]
# GST_PLUGIN_SYSTEM_PATH_1_0, when set, is the folder of the other plugins the pipelines use.
set -uo pipefail
build=$1 zarusb=$2
export ZAR_USB_NAMESPACE="gst-test-$$-$RANDOM" ZAR_USB_EMULATION=0
work=$(mktemp -d)
export GST_REGISTRY_1_0=$work/registry.bin GST_REGISTRY_FORK=no
source "$(dirname "$0")/../support/shell_checks.sh"
gst=(timeout 60 env)
[ -n "${3:-}" ] && gst=(timeout 60 env "LD_PRELOAD=$3" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1)

check "install" 0 cmake --install "$build" --prefix "$work/prefix"
plugin=$(find "$work/prefix" -name libgstzarusb.so)
GST_PLUGIN_PATH=$(dirname "$plugin")
export GST_PLUGIN_PATH GST_PLUGIN_PATH_1_0=$GST_PLUGIN_PATH
check "library beside the plugin" 0 ldd "$plugin"
contains "library beside the plugin" "libzar_usb.so.* => $work/prefix/lib"
check "inspect" 0 "${gst[@]}" gst-inspect-1.0 zarusbsrc
for pattern in "Filename *$work/prefix/.*/gstreamer-1.0/libgstzarusb.so" camera-index GRAY16_LE video/x-bayer; do
  contains "inspect" "$pattern"
done

check "plug" 0 "$zarusb" emu plug --serial GST1 --width 64 --height 48 --pixel-format Mono8 --fps 0
check "30 PNG files" 0 "${gst[@]}" gst-launch-1.0 zarusbsrc camera=GST1 num-buffers=30 ! videoconvert ! pngenc ! \
  multifilesink location="$work/frame_%02d.png"
check "30 PNG files" 0 test "$(ls "$work"/frame_*.png | wc -l)" -eq 30
check "Bayer" 0 "${gst[@]}" gst-launch-1.0 zarusbsrc camera=GST1 num-buffers=3 ! video/x-bayer,format=rggb ! \
  bayer2rgb ! videoconvert ! pngenc ! multifilesink location="$work/bayer_%d.png"
check "Bayer PNG" 0 test "$(png_header "$work/bayer_2.png" | cut -d' ' -f1,2)" = "64 48"

# RTP on 127.0.0.1 to a pipeline that ends after 10 frames; until then the sender's udpsink waits for each time stamp.
check "plug RTP camera" 0 "$zarusb" emu plug --serial GST2 --width 64 --height 48 --pixel-format RGB8 --fps 100
port=$((20000 + RANDOM % 20000))
"${gst[@]}" gst-launch-1.0 -q zarusbsrc camera=GST2 ! rtpvrawpay ! udpsink host=127.0.0.1 port=$port >/dev/null 2>&1 &
sender=$!
check "RTP receiver" 0 "${gst[@]}" gst-launch-1.0 -q udpsrc port=$port address=127.0.0.1 \
  caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=RAW,sampling=RGB,depth=(string)8,width=(string)64,height=(string)48,payload=96" \
  ! rtpvrawdepay ! identity eos-after=10 ! videoconvert ! pngenc ! multifilesink location="$work/rtp_%02d.png"
kill $sender 2>/dev/null; wait $sender 2>/dev/null
check "RTP frames arrived" 0 test -e "$work/rtp_04.png"

for serial in GST1 GST2; do "$zarusb" emu unplug $serial >/dev/null; done
rm -rf "$work"
finish
