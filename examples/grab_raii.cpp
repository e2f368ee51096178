// Lists the cameras and grabs frames of the first one into application
// memory, with every handle held by an RAII wrapper (zar_usb_handles.hpp):
// an exception on the way closes what was opened, in reverse order.
//
//   grab_raii [FRAMES]
//
// Without camera hardware, turn the library's emulator on first:
//   ZAR_USB_EMULATION=2 ./grab_raii
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zar_usb_camera.h"
#include "zar_usb_handles.hpp"

int main(int argc, char **argv) {
  const unsigned frames = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 5;
  try {
    zar::TransportLayer tl;
    const std::vector<std::string> cameras = tl.cameras();
    std::printf("%zu camera(s):\n", cameras.size());
    for (size_t i = 0; i < cameras.size(); ++i) std::printf("  %zu  %s\n", i, cameras[i].c_str());
    if (cameras.empty()) {
      std::fprintf(stderr, "No camera to open (without hardware, set ZAR_USB_EMULATION=2)\n");
      return 1;
    }

    zar::Device camera(tl, cameras.front());
    std::printf("Opened %s: %ux%u\n", cameras.front().c_str(), camera.readRegister(ZAR_CAMERA_WIDTH),
                camera.readRegister(ZAR_CAMERA_HEIGHT));
    zar::DataStream stream(camera, 4, camera.readRegister(ZAR_CAMERA_PAYLOAD_SIZE));
    stream.start();
    for (unsigned n = 0; n < frames; ++n) {
      const ZAR_WAIT_RESULT frame = stream.wait(5000);
      ZAR_CAMERA_FRAME_INFO info;
      std::memcpy(&info, frame.aFrameInfo, sizeof info);
      std::printf("frame %llu: %ux%u, %u bytes, first pixel %u\n", static_cast<unsigned long long>(info.iFrameID),
                  info.iWidth, info.iHeight, info.iBytesWritten, static_cast<const uint8_t *>(frame.pBase)[0]);
      stream.requeue(frame);
    }
  } catch (const zar::Error &error) {
    std::fprintf(stderr, "%s (%d)\n", error.what(), error.code());
    return 1;
  }
  return 0;
}
