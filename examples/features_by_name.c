/* Sets a camera's features by the names of its description file and grabs a
 * frame with them: opens the first camera, sets Width and PixelFormat through
 * the zar_features library (Linux, where ZAR_USB was built with Aravis),
 * reads them back as the camera took them, and streams one frame of
 * PayloadSize bytes.
 *
 *   features_by_name [WIDTH [PIXEL_FORMAT]]      (default: 320 Mono16)
 *
 * Without camera hardware, turn the library's emulator on first:
 *   ZAR_USB_EMULATION=1 ./features_by_name 320 Mono16 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zar_features.h"
#include "zar_usb_camera.h"

#define WAIT_MS 5000

static int fail(ZAR_TL_HANDLE tl, const char *what, ZAR_STATUS status) {
  const char *text = NULL;
  GCGetErrorText(tl, status, &text);
  fprintf(stderr, "%s failed: %d (%s)\n", what, (int)status, text != NULL ? text : "unknown code");
  return 1;
}

/* Writes a feature and prints the value the camera took. */
static int set_feature(ZAR_FEATURES *features, const char *name, const char *value) {
  const char *taken = NULL;
  if (zar_features_set(features, name, value) != ZAR_FEATURE_OK ||
      zar_features_get(features, name, &taken) != ZAR_FEATURE_OK) {
    fprintf(stderr, "%s\n", zar_features_error(features));
    return 1;
  }
  printf("%s=%s\n", name, taken);
  return 0;
}

/* Streams one frame of `payload` bytes into a buffer of the library. */
static int grab_one(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, uint32_t payload) {
  ZAR_DS_HANDLE stream = NULL;
  uint32_t id = 0;
  ZAR_WAIT_RESULT frame;
  const char *step = "DevCreateDataStream";
  ZAR_STATUS status = DevCreateDataStream(device, 0, &stream);
  if (status == ZAR_SUCCESS && (status = DSAllocAndAnnounceBuffer(stream, payload, NULL, NULL, &id)) != ZAR_SUCCESS)
    step = "DSAllocAndAnnounceBuffer";
  if (status == ZAR_SUCCESS && (status = DSQueueBuffer(stream, id)) != ZAR_SUCCESS) step = "DSQueueBuffer";
  if (status == ZAR_SUCCESS && (status = DSStartAcquisition(stream, 0, 1)) != ZAR_SUCCESS) step = "DSStartAcquisition";
  if (status == ZAR_SUCCESS && (status = DSWaitForBuffer(stream, WAIT_MS, 0, &frame, NULL)) != ZAR_SUCCESS)
    step = "DSWaitForBuffer";
  if (status == ZAR_SUCCESS) {
    ZAR_CAMERA_FRAME_INFO info;
    memcpy(&info, frame.aFrameInfo, sizeof info);
    printf("frame %llu: %ux%u, pixel format 0x%08X, %u bytes\n", (unsigned long long)info.iFrameID, info.iWidth,
           info.iHeight, info.iPixelFormat, info.iBytesWritten);
  }
  if (stream != NULL) DSClose(stream); /* stops acquisition and frees the buffer */
  return status == ZAR_SUCCESS ? 0 : fail(tl, step, status);
}

/* Sets the features of an open camera and grabs a frame with them. */
static int run(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, const char *width, const char *pixelFormat) {
  char message[512];
  int status = ZAR_FEATURE_OK;
  ZAR_FEATURES *features = zar_features_open(device, &status, message, sizeof message);
  if (features == NULL) {
    fprintf(stderr, "No features: %s\n", message);
    return 1;
  }
  const char *payload = NULL;
  int result = set_feature(features, "Width", width) || set_feature(features, "PixelFormat", pixelFormat);
  if (result == 0 && zar_features_get(features, "PayloadSize", &payload) != ZAR_FEATURE_OK) {
    fprintf(stderr, "%s\n", zar_features_error(features));
    result = 1;
  }
  if (result == 0) {
    printf("PayloadSize=%s\n", payload);
    result = grab_one(tl, device, (uint32_t)strtoul(payload, NULL, 10));
  }
  zar_features_close(features);
  return result;
}

int main(int argc, char **argv) {
  const char *width = argc > 1 ? argv[1] : "320";
  const char *pixelFormat = argc > 2 ? argv[2] : "Mono16";
  ZAR_TL_HANDLE tl = NULL;
  ZAR_STATUS status = TLOpen(NULL, NULL, &tl);
  if (status != ZAR_SUCCESS) {
    fprintf(stderr, "TLOpen failed: %d\n", (int)status);
    return 1;
  }
  uint8_t changed = 0;
  char name[260] = "";
  TLUpdateDeviceList(tl, "USB", &changed);
  if (TLGetDeviceName(tl, "USB", 0, name, sizeof name) != ZAR_SUCCESS) {
    fprintf(stderr, "No camera to open (without hardware, set ZAR_USB_EMULATION=1)\n");
    TLClose(tl);
    return 1;
  }
  ZAR_DEV_HANDLE device = NULL;
  int result;
  if ((status = TLOpenDevice(tl, "USB", name, &device)) != ZAR_SUCCESS) {
    result = fail(tl, "TLOpenDevice", status);
  } else {
    printf("Opened %s\n", name);
    result = run(tl, device, width, pixelFormat);
    DevClose(device);
  }
  TLClose(tl);
  return result;
}
