#pragma once
// zarusbsrc: a live GStreamer source of one ZAR_USB camera. Its frames leave
// in the buffers the camera filled (no copy) and go back to the camera when
// downstream lets them go.

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <memory>

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

  // Between start and stop.
  std::shared_ptr<zarusbsrc::CameraStream> *camera;
  GstVideoInfo info;
  gboolean videoMeta; // downstream reads the stride from a GstVideoMeta
  gboolean started;   // a frame came since the acquisition (re)started: firstPts and firstUs hold
  GstClockTime firstPts;
  guint64 firstUs;
};
