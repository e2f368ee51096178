/*
 * ZAR_USB cameras: the registers, pixel formats and frame information every
 * camera of the family has.
 *
 * The registers are 32-bit little-endian words of the camera's register
 * space, read and written with GCReadData and GCWriteData (address space 0);
 * the camera's description file names them (Width, Height, PixelFormat,
 * PayloadSize, AcquisitionFrameRateMilli). Pixel formats are GenICam PFNC
 * values. Constants and one record only: nothing to link. Compiles as C99
 * and as C++.
 */
#ifndef ZAR_USB_CAMERA_H
#define ZAR_USB_CAMERA_H

#include <stdint.h>

/* ---- Frame geometry registers ------------------------------------------ */

#define ZAR_CAMERA_WIDTH 0x100u            /* pixels of a row */
#define ZAR_CAMERA_HEIGHT 0x104u           /* rows */
#define ZAR_CAMERA_PIXEL_FORMAT 0x108u     /* one of ZAR_PIXEL_* */
#define ZAR_CAMERA_PAYLOAD_SIZE 0x10Cu     /* bytes of a frame (read-only): the size of a buffer */
#define ZAR_CAMERA_FRAME_RATE_MILLI 0x118u /* frames per 1000 s; 0: as fast as buffers are queued */

/* ---- Pixel formats ------------------------------------------------------ */

#define ZAR_PIXEL_MONO8 0x01080001u     /* 8-bit grey */
#define ZAR_PIXEL_MONO16 0x01100007u    /* 16-bit grey, little-endian */
#define ZAR_PIXEL_RGB8 0x02180014u      /* 8 bits each of red, green and blue */
#define ZAR_PIXEL_BAYER_GR8 0x01080008u /* 8-bit Bayer mosaics, by their first two pixels */
#define ZAR_PIXEL_BAYER_RG8 0x01080009u
#define ZAR_PIXEL_BAYER_GB8 0x0108000Au
#define ZAR_PIXEL_BAYER_BG8 0x0108000Bu

/* ---- Frame information -------------------------------------------------- */

/* What the camera reports of each frame: the bytes of
 * ZAR_WAIT_RESULT.aFrameInfo, copied into this record (memcpy). */
typedef struct ZAR_CAMERA_FRAME_INFO {
  uint64_t iFrameID;      /* counts from 1 since the camera was opened */
  uint64_t iTimestampUs;  /* microseconds since the camera was opened */
  uint32_t iWidth;
  uint32_t iHeight;
  uint32_t iPixelFormat;  /* one of ZAR_PIXEL_* */
  uint32_t iBytesWritten; /* bytes of the frame in the buffer */
} ZAR_CAMERA_FRAME_INFO;

typedef char zar_usb_camera_frame_info_size[sizeof(ZAR_CAMERA_FRAME_INFO) == 32 ? 1 : -1];

#endif /* ZAR_USB_CAMERA_H */
