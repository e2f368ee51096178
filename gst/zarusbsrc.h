#pragma once
// zarusbsrc: a live GStreamer source of one ZAR_USB camera. Its properties
// set the camera's features before the start; its caps are what the
// camera's description offers, and the caps downstream chooses are written
// to the camera before the acquisition starts. Frames leave in the buffers
// the camera filled (no copy) and go back to the camera when downstream lets
// them go.

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <memory>

#include "camera_settings.h"
#include "camera_stream.h"

G_BEGIN_DECLS

#define GST_TYPE_ZAR_USB_SRC (gst_zar_usb_src_get_type())
G_DECLARE_FINAL_TYPE(GstZarUsbSrc, gst_zar_usb_src, GST, ZAR_USB_SRC, GstPushSrc)

G_END_DECLS

struct _GstZarUsbSrc {
  GstPushSrc parent;

  // Properties (the object lock guards them).
  gchar *serial;
  guint index;
  guint buffers;
  guint timeoutMs;
  gdouble exposure, gain, frameRate;
  guint offsetX, offsetY;
  gchar *features;
  guint given; // the feature properties set, as bits 1 << property id: only they are written

  // Between start and stop.
  std::shared_ptr<zarusbsrc::CameraStream> *camera;
  zarusbsrc::Offer *offer;
  GstCaps *caps; // the offer's (the object lock guards it)
  guint bufferCount;
  GstVideoInfo info; // of the negotiated caps; for Bayer caps, of 8-bit grey
  gboolean bayer;
  gboolean videoMeta; // downstream reads the stride from a GstVideoMeta
  gboolean started;   // a frame came since the acquisition (re)started: firstPts and firstUs hold
  GstClockTime firstPts;
  guint64 firstUs;
};
