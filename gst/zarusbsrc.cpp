#include "zarusbsrc.h"

#include <cstring>

#include "zar_usb_camera.h"

GST_DEBUG_CATEGORY_STATIC(zar_usb_src_debug);
#define GST_CAT_DEFAULT zar_usb_src_debug

namespace {

enum {
  PROP_0,
  PROP_CAMERA,
  PROP_CAMERA_INDEX,
  PROP_BUFFERS,
  PROP_TIMEOUT,
  PROP_OFFSET_X,
  PROP_OFFSET_Y,
  PROP_EXPOSURE,
  PROP_GAIN,
  PROP_FRAME_RATE,
  PROP_FEATURES
};

constexpr guint kDefaultBuffers = 8;
constexpr guint kDefaultTimeoutMs = 5000;

#define ZAR_USB_SRC_CAPS                                                                                  \
  "video/x-raw, format = (string) { GRAY8, GRAY16_LE, RGB, BGR }, width = (int) [ 1, max ], "            \
  "height = (int) [ 1, max ], framerate = (fraction) [ 0/1, max ]; "                                      \
  "video/x-bayer, format = (string) { rggb, gbrg, grbg, bggr }, width = (int) [ 1, max ], "               \
  "height = (int) [ 1, max ], framerate = (fraction) [ 0/1, max ]"

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(ZAR_USB_SRC_CAPS));

// The feature each property writes, and its value as text.
struct FeatureProperty {
  guint id;
  const char *property, *feature;
};
constexpr FeatureProperty kFeatureProperties[] = {{PROP_OFFSET_X, "offset-x", "OffsetX"},
                                                  {PROP_OFFSET_Y, "offset-y", "OffsetY"},
                                                  {PROP_EXPOSURE, "exposure", "ExposureTime"},
                                                  {PROP_GAIN, "gain", "Gain"},
                                                  {PROP_FRAME_RATE, "frame-rate", "AcquisitionFrameRate"}};

std::string Number(double value) {
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  return g_ascii_dtostr(text, sizeof text, value);
}

// A frame's hold on its camera buffer: released with the GstMemory.
struct Loan {
  std::shared_ptr<zarusbsrc::CameraStream> camera;
  uint32_t id;
};

void EndLoan(gpointer data) {
  auto *loan = static_cast<Loan *>(data);
  loan->camera->Release(loan->id);
  delete loan; // may close the camera, when the element let go of it first
}

} // namespace

G_DEFINE_TYPE(GstZarUsbSrc, gst_zar_usb_src, GST_TYPE_PUSH_SRC)

static void gst_zar_usb_src_init(GstZarUsbSrc *self) {
  self->serial = g_strdup("");
  self->features = g_strdup("");
  self->buffers = kDefaultBuffers;
  self->timeoutMs = kDefaultTimeoutMs;
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void gst_zar_usb_src_finalize(GObject *object) {
  auto *self = GST_ZAR_USB_SRC(object);
  g_free(self->serial);
  g_free(self->features);
  delete self->camera;
  delete self->offer;
  gst_clear_caps(&self->caps);
  G_OBJECT_CLASS(gst_zar_usb_src_parent_class)->finalize(object);
}

static void gst_zar_usb_src_set_property(GObject *object, guint id, const GValue *value, GParamSpec *param) {
  auto *self = GST_ZAR_USB_SRC(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
  case PROP_CAMERA:
    g_free(self->serial);
    self->serial = g_value_dup_string(value);
    if (self->serial == nullptr) self->serial = g_strdup("");
    break;
  case PROP_CAMERA_INDEX: self->index = g_value_get_uint(value); break;
  case PROP_BUFFERS: self->buffers = g_value_get_uint(value); break;
  case PROP_TIMEOUT: self->timeoutMs = g_value_get_uint(value); break;
  case PROP_OFFSET_X: self->offsetX = g_value_get_uint(value); break;
  case PROP_OFFSET_Y: self->offsetY = g_value_get_uint(value); break;
  case PROP_EXPOSURE: self->exposure = g_value_get_double(value); break;
  case PROP_GAIN: self->gain = g_value_get_double(value); break;
  case PROP_FRAME_RATE: self->frameRate = g_value_get_double(value); break;
  case PROP_FEATURES:
    g_free(self->features);
    self->features = g_value_dup_string(value);
    if (self->features == nullptr) self->features = g_strdup("");
    break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param); break;
  }
  self->given |= 1u << id;
  GST_OBJECT_UNLOCK(self);
}

static void gst_zar_usb_src_get_property(GObject *object, guint id, GValue *value, GParamSpec *param) {
  auto *self = GST_ZAR_USB_SRC(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
  case PROP_CAMERA: g_value_set_string(value, self->serial); break;
  case PROP_CAMERA_INDEX: g_value_set_uint(value, self->index); break;
  case PROP_BUFFERS: g_value_set_uint(value, self->buffers); break;
  case PROP_TIMEOUT: g_value_set_uint(value, self->timeoutMs); break;
  case PROP_OFFSET_X: g_value_set_uint(value, self->offsetX); break;
  case PROP_OFFSET_Y: g_value_set_uint(value, self->offsetY); break;
  case PROP_EXPOSURE: g_value_set_double(value, self->exposure); break;
  case PROP_GAIN: g_value_set_double(value, self->gain); break;
  case PROP_FRAME_RATE: g_value_set_double(value, self->frameRate); break;
  case PROP_FEATURES: g_value_set_string(value, self->features); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param); break;
  }
  GST_OBJECT_UNLOCK(self);
}

// The feature properties that were given, then `features`, in that order.
static bool TakeSettings(GstZarUsbSrc *self, zarusbsrc::Settings *settings, std::string *error) {
  const std::string values[] = {std::to_string(self->offsetX), std::to_string(self->offsetY), Number(self->exposure),
                                Number(self->gain), Number(self->frameRate)};
  for (size_t i = 0; i < G_N_ELEMENTS(kFeatureProperties); ++i)
    if (self->given & (1u << kFeatureProperties[i].id))
      settings->push_back({kFeatureProperties[i].property, kFeatureProperties[i].feature, values[i]});
  return zarusbsrc::ParseFeatures(self->features, settings, error);
}

// Opens the camera, writes the properties' settings and reads what the
// camera can stream; the buffers wait for the caps.
static gboolean gst_zar_usb_src_start(GstBaseSrc *base) {
  auto *self = GST_ZAR_USB_SRC(base);
  zarusbsrc::Selection selection;
  zarusbsrc::Settings settings;
  std::string error;
  GST_OBJECT_LOCK(self);
  selection.serial = self->serial;
  selection.index = self->index;
  self->bufferCount = self->buffers;
  const bool parsed = TakeSettings(self, &settings, &error);
  GST_OBJECT_UNLOCK(self);
  if (!parsed) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s.", error.c_str()), (nullptr));
    return FALSE;
  }

  auto camera = zarusbsrc::CameraStream::Open(selection, &error);
  if (!camera) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Cannot open the camera: %s.", error.c_str()), (nullptr));
    return FALSE;
  }
  const std::string refusals = zarusbsrc::Apply(camera->Features(), settings);
  if (!refusals.empty()) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("Camera '%s' refused settings: %s.", camera->Name().c_str(),
                                                 refusals.c_str()),
                      (nullptr));
    return FALSE;
  }
  auto offer = std::make_unique<zarusbsrc::Offer>();
  uint32_t frameRateMilli = 0;
  error = "its frame rate cannot be read";
  if (!camera->Read(ZAR_CAMERA_FRAME_RATE_MILLI, &frameRateMilli) ||
      !zarusbsrc::ReadOffer(camera->Features(), frameRateMilli, offer.get(), &error)) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("Camera '%s' cannot stream to GStreamer: %s.",
                                                 camera->Name().c_str(), error.c_str()),
                      (nullptr));
    return FALSE;
  }
  GstCaps *caps = offer->Caps();
  GST_INFO_OBJECT(self, "camera '%s' offers %" GST_PTR_FORMAT, camera->Name().c_str(), caps);
  GST_OBJECT_LOCK(self);
  self->caps = caps;
  GST_OBJECT_UNLOCK(self);
  self->offer = offer.release();
  self->camera = new std::shared_ptr<zarusbsrc::CameraStream>(std::move(camera));
  gst_video_info_init(&self->info);
  self->started = FALSE;
  return TRUE;
}

static gboolean gst_zar_usb_src_stop(GstBaseSrc *base) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (self->camera != nullptr) (*self->camera)->Interrupt();
  // Frames still downstream keep the camera open until they are let go.
  delete self->camera;
  self->camera = nullptr;
  delete self->offer;
  self->offer = nullptr;
  GST_OBJECT_LOCK(self);
  gst_clear_caps(&self->caps);
  GST_OBJECT_UNLOCK(self);
  return TRUE;
}

static GstCaps *gst_zar_usb_src_get_caps(GstBaseSrc *base, GstCaps *filter) {
  auto *self = GST_ZAR_USB_SRC(base);
  GST_OBJECT_LOCK(self);
  GstCaps *caps = self->caps != nullptr ? gst_caps_ref(self->caps) : nullptr;
  GST_OBJECT_UNLOCK(self);
  if (caps == nullptr) caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
  if (filter != nullptr) {
    GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  return caps;
}

// Downstream's choice among the camera's offer, preferring the camera's
// settings; a request the camera cannot meet fails naming what it offers.
static gboolean gst_zar_usb_src_negotiate(GstBaseSrc *base) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (self->offer == nullptr) return FALSE;
  GstCaps *offer = gst_zar_usb_src_get_caps(base, nullptr);
  GstCaps *peer = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), offer);
  GstCaps *caps = gst_caps_intersect_full(offer, peer, GST_CAPS_INTERSECT_FIRST);
  gst_caps_unref(peer);
  gboolean negotiated = FALSE;
  if (gst_caps_is_empty(caps)) {
    GstCaps *wanted = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), nullptr);
    gchar *text = gst_caps_to_string(wanted);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Camera '%s' cannot deliver %s; it offers %s.",
                                                (*self->camera)->Name().c_str(), text,
                                                self->offer->Text().c_str()),
                      ("offered caps: %" GST_PTR_FORMAT, offer));
    g_free(text);
    gst_caps_unref(wanted);
    gst_caps_unref(caps);
  } else {
    caps = GST_BASE_SRC_GET_CLASS(base)->fixate(base, caps);
    negotiated = gst_base_src_set_caps(base, caps);
    gst_caps_unref(caps);
  }
  gst_caps_unref(offer);
  return negotiated;
}

// The width and height nearest to the camera's; the first format left, the
// camera's own when downstream takes it.
static GstCaps *gst_zar_usb_src_fixate(GstBaseSrc *base, GstCaps *caps) {
  auto *self = GST_ZAR_USB_SRC(base);
  caps = gst_caps_make_writable(caps);
  for (guint i = 0; self->offer != nullptr && i < gst_caps_get_size(caps); ++i) {
    GstStructure *structure = gst_caps_get_structure(caps, i);
    gst_structure_fixate_field_nearest_int(structure, "width", self->offer->width.current);
    gst_structure_fixate_field_nearest_int(structure, "height", self->offer->height.current);
  }
  return GST_BASE_SRC_CLASS(gst_zar_usb_src_parent_class)->fixate(base, caps);
}

// Writes the caps to the camera and sizes its buffers to the frame.
static gboolean gst_zar_usb_src_set_caps(GstBaseSrc *base, GstCaps *caps) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (self->camera == nullptr) return FALSE;
  zarusbsrc::CameraStream &camera = **self->camera;
  const GstStructure *structure = gst_caps_get_structure(caps, 0);
  const zarusbsrc::MediaFormat *format = zarusbsrc::FindMediaFormat(structure);
  const gboolean bayer = format != nullptr && gst_structure_has_name(structure, "video/x-bayer");
  GstVideoInfo info;
  gint width = 0, height = 0;
  gboolean parsed = FALSE;
  if (bayer) {
    parsed = gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height) &&
             gst_video_info_set_format(&info, GST_VIDEO_FORMAT_GRAY8, width, height) &&
             gst_structure_get_fraction(structure, "framerate", &info.fps_n, &info.fps_d);
  } else {
    parsed = format != nullptr && gst_video_info_from_caps(&info, caps);
  }
  // The camera's format changes only while no frame of the old one is out.
  const bool idle = camera.Idle();
  std::string error = idle ? "the caps name no format of the camera"
                           : "the frame's format cannot change while frames are in flight";
  if (!parsed || !idle || !zarusbsrc::WriteCaps(camera.Features(), structure, &error) ||
      !camera.Allocate(self->bufferCount, &error)) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("Camera '%s' cannot stream %" GST_PTR_FORMAT ": %s.",
                                                 camera.Name().c_str(), caps, error.c_str()),
                      (nullptr));
    return FALSE;
  }
  const zarusbsrc::Geometry &shape = camera.Shape();
  const guint64 frame = static_cast<guint64>(info.width) * info.height * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
  if (shape.width != static_cast<guint>(info.width) || shape.height != static_cast<guint>(info.height) ||
      shape.payload < frame) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("Camera '%s' streams %ux%u frames of %u bytes, not %" GST_PTR_FORMAT ".",
                                                 camera.Name().c_str(), shape.width, shape.height, shape.payload, caps),
                      (nullptr));
    return FALSE;
  }
  GST_INFO_OBJECT(self, "camera '%s': %" GST_PTR_FORMAT ", %u buffers", camera.Name().c_str(), caps,
                  self->bufferCount);
  self->info = info;
  self->bayer = bayer;
  return TRUE;
}

static gboolean gst_zar_usb_src_decide_allocation(GstBaseSrc *base, GstQuery *query) {
  auto *self = GST_ZAR_USB_SRC(base);
  self->videoMeta = gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
  return GST_BASE_SRC_CLASS(gst_zar_usb_src_parent_class)->decide_allocation(base, query);
}

static gboolean gst_zar_usb_src_query(GstBaseSrc *base, GstQuery *query) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY || self->offer == nullptr)
    return GST_BASE_SRC_CLASS(gst_zar_usb_src_parent_class)->query(base, query);
  // A frame is complete one frame period after its time stamp (the offer's
  // frame rate is the caps').
  const zarusbsrc::Offer &offer = *self->offer;
  const GstClockTime period = offer.fpsN > 0 ? gst_util_uint64_scale_int(GST_SECOND, offer.fpsD, offer.fpsN) : 0;
  gst_query_set_latency(query, TRUE, period, GST_CLOCK_TIME_NONE);
  return TRUE;
}

static gboolean gst_zar_usb_src_unlock(GstBaseSrc *base) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (self->camera != nullptr) (*self->camera)->Interrupt();
  return TRUE;
}

// The acquisition starts again with the next frame, after a pause or a
// flush: the camera's clock ran on meanwhile, the running time did not, so
// the next frame anchors the time stamps afresh.
static gboolean gst_zar_usb_src_unlock_stop(GstBaseSrc *base) {
  auto *self = GST_ZAR_USB_SRC(base);
  if (self->camera != nullptr) (*self->camera)->Resume();
  self->started = FALSE;
  return TRUE;
}

// The running time of the camera's timestamp: the first frame after a start
// is stamped with the running time at which it came, later ones by the
// camera's clock from there.
static GstClockTime FrameTime(GstZarUsbSrc *self, guint64 timestampUs) {
  if (!self->started) {
    self->firstPts = 0;
    if (GstClock *clock = gst_element_get_clock(GST_ELEMENT(self))) {
      const GstClockTime now = gst_clock_get_time(clock);
      const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
      self->firstPts = now > base ? now - base : 0;
      gst_object_unref(clock);
    }
    self->firstUs = timestampUs;
    self->started = TRUE;
  }
  const guint64 sinceUs = timestampUs > self->firstUs ? timestampUs - self->firstUs : 0;
  return self->firstPts + sinceUs * GST_USECOND;
}

// The frame in its camera buffer; copied into rows of GStreamer's default
// stride only when they differ from the camera's and downstream cannot take
// a GstVideoMeta.
static GstBuffer *WrapFrame(GstZarUsbSrc *self, const zarusbsrc::Frame &frame) {
  const std::shared_ptr<zarusbsrc::CameraStream> &camera = *self->camera;
  const GstVideoInfo &info = self->info;
  const gsize row = static_cast<gsize>(info.width) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
  if (row != static_cast<gsize>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)) && (!self->videoMeta || self->bayer)) {
    GstBuffer *buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    for (gint y = 0; y < info.height; ++y)
      std::memcpy(map.data + y * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), frame.data + y * row, row);
    gst_buffer_unmap(buffer, &map);
    camera->Release(frame.id);
    return buffer;
  }
  GstBuffer *buffer = gst_buffer_new();
  gst_buffer_append_memory(buffer,
                           gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t *>(frame.data),
                                                  frame.size, 0, row * info.height, new Loan{camera, frame.id},
                                                  EndLoan));
  if (self->bayer) return buffer; // no video meta names a Bayer format
  gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
  gint strides[GST_VIDEO_MAX_PLANES] = {static_cast<gint>(row)};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info), info.width,
                                 info.height, 1, offsets, strides);
  return buffer;
}

static GstFlowReturn gst_zar_usb_src_create(GstPushSrc *push, GstBuffer **out) {
  auto *self = GST_ZAR_USB_SRC(push);
  GST_OBJECT_LOCK(self);
  const guint timeoutMs = self->timeoutMs;
  GST_OBJECT_UNLOCK(self);
  zarusbsrc::CameraStream &camera = **self->camera;
  zarusbsrc::Frame frame{};
  ZAR_STATUS status = ZAR_SUCCESS;
  std::string text;
  switch (camera.Next(timeoutMs, &frame, &status, &text)) {
  case zarusbsrc::Outcome::Frame: break;
  case zarusbsrc::Outcome::Flushing: return GST_FLOW_FLUSHING;
  case zarusbsrc::Outcome::Unplugged:
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Camera '%s' was unplugged.", camera.Name().c_str()),
                      ("the camera stopped answering while streaming"));
    return GST_FLOW_ERROR;
  case zarusbsrc::Outcome::TimedOut:
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Camera '%s' sent no frame within %u ms.", camera.Name().c_str(),
                                             timeoutMs),
                      ("see the timeout property"));
    return GST_FLOW_ERROR;
  case zarusbsrc::Outcome::Failed:
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Camera '%s' failed while streaming.", camera.Name().c_str()),
                      ("%s", text.c_str()));
    return GST_FLOW_ERROR;
  }
  GstBuffer *buffer = WrapFrame(self, frame);
  GST_BUFFER_PTS(buffer) = FrameTime(self, frame.timestampUs);
  if (self->info.fps_n > 0)
    GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(GST_SECOND, self->info.fps_d, self->info.fps_n);
  GST_BUFFER_OFFSET(buffer) = frame.frameId;
  *out = buffer;
  return GST_FLOW_OK;
}

static void gst_zar_usb_src_class_init(GstZarUsbSrcClass *klass) {
  auto *object = G_OBJECT_CLASS(klass);
  auto *element = GST_ELEMENT_CLASS(klass);
  auto *base = GST_BASE_SRC_CLASS(klass);
  object->set_property = gst_zar_usb_src_set_property;
  object->get_property = gst_zar_usb_src_get_property;
  object->finalize = gst_zar_usb_src_finalize;
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                              GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      object, PROP_CAMERA,
      g_param_spec_string("camera", "Camera", "Serial number of the camera (empty: the camera at camera-index)", "",
                          flags));
  g_object_class_install_property(
      object, PROP_CAMERA_INDEX,
      g_param_spec_uint("camera-index", "Camera index",
                        "Position of the camera in the library's list, when camera is empty", 0, 255, 0, flags));
  g_object_class_install_property(
      object, PROP_BUFFERS,
      g_param_spec_uint("buffers", "Buffers", "Buffers announced to the camera: frames in flight", 2, 256,
                        kDefaultBuffers, flags));
  g_object_class_install_property(
      object, PROP_TIMEOUT,
      g_param_spec_uint("timeout", "Timeout", "Longest wait for a frame, in milliseconds, before an error", 1,
                        G_MAXUINT, kDefaultTimeoutMs, flags));
  // Written to the camera before the start when given, in this order, then
  // those of `features`.
  g_object_class_install_property(
      object, PROP_OFFSET_X,
      g_param_spec_uint("offset-x", "Offset X", "Horizontal offset of the image in the sensor (OffsetX), when given",
                        0, G_MAXINT, 0, flags));
  g_object_class_install_property(
      object, PROP_OFFSET_Y,
      g_param_spec_uint("offset-y", "Offset Y", "Vertical offset of the image in the sensor (OffsetY), when given", 0,
                        G_MAXINT, 0, flags));
  g_object_class_install_property(
      object, PROP_EXPOSURE,
      g_param_spec_double("exposure", "Exposure", "Exposure time in microseconds (ExposureTime), when given", 0,
                          G_MAXDOUBLE, 0, flags));
  g_object_class_install_property(
      object, PROP_GAIN,
      g_param_spec_double("gain", "Gain", "Gain in decibels (Gain), when given", -G_MAXDOUBLE, G_MAXDOUBLE, 0, flags));
  g_object_class_install_property(
      object, PROP_FRAME_RATE,
      g_param_spec_double("frame-rate", "Frame rate",
                          "Frames per second (AcquisitionFrameRate), when given; 0: as fast as buffers come", 0,
                          G_MAXDOUBLE, 0, flags));
  g_object_class_install_property(
      object, PROP_FEATURES,
      g_param_spec_string("features", "Features",
                          "Camera features to set, in order, after the properties above: "
                          "\"Name=value Name2='a value'\"; a name alone executes that command",
                          "", flags));

  gst_element_class_set_static_metadata(element, "ZAR_USB camera source", "Source/Video",
                                        "Streams a USB camera through the ZAR_USB transport layer", "ZAR_USB");
  gst_element_class_add_static_pad_template(element, &src_template);

  base->start = gst_zar_usb_src_start;
  base->stop = gst_zar_usb_src_stop;
  base->get_caps = gst_zar_usb_src_get_caps;
  base->negotiate = gst_zar_usb_src_negotiate;
  base->fixate = gst_zar_usb_src_fixate;
  base->set_caps = gst_zar_usb_src_set_caps;
  base->decide_allocation = gst_zar_usb_src_decide_allocation;
  base->query = gst_zar_usb_src_query;
  base->unlock = gst_zar_usb_src_unlock;
  base->unlock_stop = gst_zar_usb_src_unlock_stop;
  GST_PUSH_SRC_CLASS(klass)->create = gst_zar_usb_src_create;
  GST_DEBUG_CATEGORY_INIT(zar_usb_src_debug, "zarusbsrc", 0, "ZAR_USB camera source");
}

static gboolean plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "zarusbsrc", GST_RANK_NONE, GST_TYPE_ZAR_USB_SRC);
}

#define PACKAGE "zar-usb"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zarusb, "ZAR_USB camera source", plugin_init,
                  ZAR_USB_VERSION, "LGPL", "ZAR_USB", "zar-usb")
