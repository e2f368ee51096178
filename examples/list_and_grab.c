/* Lists the cameras, opens one (the first, or the one named on the command
 * line) and grabs a few frames into buffers the library allocates.
 *
 *   list_and_grab [FRAMES [CAMERA_NAME]]
 *
 * Without camera hardware, turn the library's emulator on first:
 *   ZAR_USB_EMULATION=2 ./list_and_grab */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zar_usb.h"
#include "zar_usb_camera.h"

#define BUFFER_COUNT 4
#define WAIT_MS 5000

static int fail(ZAR_TL_HANDLE tl, const char *what, ZAR_STATUS status) {
  const char *text = NULL;
  GCGetErrorText(tl, status, &text);
  fprintf(stderr, "%s failed: %d (%s)\n", what, (int)status, text != NULL ? text : "unknown code");
  return 1;
}

static ZAR_STATUS read_register(ZAR_DEV_HANDLE device, uint64_t address, uint32_t *value) {
  uint64_t size = sizeof *value;
  return GCReadData(device, 0, address, value, &size);
}

/* Streams `frames` frames of an open camera and prints a line for each. */
static int grab(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, unsigned frames) {
  uint32_t width = 0, height = 0, format = 0, payload = 0;
  ZAR_STATUS status;
  if ((status = read_register(device, ZAR_CAMERA_WIDTH, &width)) != ZAR_SUCCESS ||
      (status = read_register(device, ZAR_CAMERA_HEIGHT, &height)) != ZAR_SUCCESS ||
      (status = read_register(device, ZAR_CAMERA_PIXEL_FORMAT, &format)) != ZAR_SUCCESS ||
      (status = read_register(device, ZAR_CAMERA_PAYLOAD_SIZE, &payload)) != ZAR_SUCCESS)
    return fail(tl, "GCReadData", status);
  printf("Geometry: %ux%u, pixel format 0x%08X, %u bytes a frame\n", width, height, format, payload);

  ZAR_DS_HANDLE stream = NULL;
  if ((status = DevCreateDataStream(device, 0, &stream)) != ZAR_SUCCESS) return fail(tl, "DevCreateDataStream", status);
  int result = 0;
  for (int i = 0; i < BUFFER_COUNT && result == 0; ++i) {
    uint32_t id = 0;
    if ((status = DSAllocAndAnnounceBuffer(stream, payload, NULL, NULL, &id)) != ZAR_SUCCESS)
      result = fail(tl, "DSAllocAndAnnounceBuffer", status);
    else if ((status = DSQueueBuffer(stream, id)) != ZAR_SUCCESS)
      result = fail(tl, "DSQueueBuffer", status);
  }
  if (result == 0 && (status = DSStartAcquisition(stream, 0, frames)) != ZAR_SUCCESS)
    result = fail(tl, "DSStartAcquisition", status);
  for (unsigned n = 0; n < frames && result == 0; ++n) {
    ZAR_WAIT_RESULT frame;
    if ((status = DSWaitForBuffer(stream, WAIT_MS, 0, &frame, NULL)) != ZAR_SUCCESS) {
      result = fail(tl, "DSWaitForBuffer", status);
      break;
    }
    ZAR_CAMERA_FRAME_INFO info;
    memcpy(&info, frame.aFrameInfo, sizeof info);
    printf("frame %llu: %ux%u, %u bytes, first pixel %u\n", (unsigned long long)info.iFrameID, info.iWidth,
           info.iHeight, info.iBytesWritten, ((const uint8_t *)frame.pBase)[0]);
    /* Done with the image: the buffer goes back to the camera. */
    if ((status = DSQueueBuffer(stream, frame.iID)) != ZAR_SUCCESS) result = fail(tl, "DSQueueBuffer", status);
  }
  DSClose(stream); /* stops acquisition and frees the library's buffers */
  return result;
}

int main(int argc, char **argv) {
  const unsigned frames = argc > 1 ? (unsigned)strtoul(argv[1], NULL, 10) : 5;
  ZAR_TL_HANDLE tl = NULL;
  ZAR_STATUS status = TLOpen(NULL, NULL, &tl);
  if (status != ZAR_SUCCESS) {
    fprintf(stderr, "TLOpen failed: %d\n", (int)status);
    return 1;
  }
  uint8_t changed = 0;
  uint32_t count = 0;
  TLUpdateDeviceList(tl, "USB", &changed);
  if ((status = TLGetNumDevices(tl, "USB", &count)) != ZAR_SUCCESS) return fail(tl, "TLGetNumDevices", status);
  printf("%u camera(s):\n", count);
  char name[260] = "";
  for (uint32_t i = 0; i < count; ++i) {
    char listed[260];
    if (TLGetDeviceName(tl, "USB", i, listed, sizeof listed) != ZAR_SUCCESS) continue;
    printf("  %u  %s\n", i, listed);
    if (name[0] == '\0') strcpy(name, listed);
  }
  if (argc > 2) snprintf(name, sizeof name, "%s", argv[2]);
  if (name[0] == '\0') {
    fprintf(stderr, "No camera to open (without hardware, set ZAR_USB_EMULATION=2)\n");
    TLClose(tl);
    return 1;
  }

  ZAR_DEV_HANDLE device = NULL;
  int result;
  if ((status = TLOpenDevice(tl, "USB", name, &device)) != ZAR_SUCCESS) {
    result = fail(tl, "TLOpenDevice", status);
  } else {
    printf("Opened %s\n", name);
    result = grab(tl, device, frames);
    DevClose(device);
  }
  TLClose(tl);
  return result;
}
