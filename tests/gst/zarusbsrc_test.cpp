#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <tuple>

#include "camera_bench.h"
#include "emulator/test_pattern.h"
#include "test_main.h"

namespace {

using namespace oxa::ZarUsb::emulator; using Clock = std::chrono::steady_clock;

struct Pipeline {
  explicit Pipeline(const std::string &description) {
    g_autoptr(GError) error = nullptr;
    m_pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) ADD_FAILURE() << description << ": " << error->message;
  }
  ~Pipeline() {
    if (m_pipeline != nullptr) { gst_element_set_state(m_pipeline, GST_STATE_NULL); gst_object_unref(m_pipeline); }
  }
  GstElement *Element(const char *name) const {
    GstElement *element = gst_bin_get_by_name(GST_BIN(m_pipeline), name);
    gst_object_unref(element); // the pipeline keeps it
    return element;
  }
  GstSample *Pull(GstClockTime timeout = 10 * GST_SECOND) const {
    return gst_app_sink_try_pull_sample(GST_APP_SINK(Element("sink")), timeout);
  }
  GstStateChangeReturn Play() const { return gst_element_set_state(m_pipeline, GST_STATE_PLAYING); }
  // Sets the state and waits for it; the milliseconds that took.
  int64_t Set(GstState state) const {
    const auto start = Clock::now();
    EXPECT_NE(gst_element_set_state(m_pipeline, state), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(gst_element_get_state(m_pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_FAILURE);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
  std::string Error(GstClockTime timeout) const {
    g_autoptr(GstBus) bus = gst_element_get_bus(m_pipeline);
    g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_ERROR);
    g_autoptr(GError) error = nullptr;
    if (message != nullptr) gst_message_parse_error(message, &error, nullptr);
    return error != nullptr ? error->message : "";
  }
  GstElement *m_pipeline = nullptr;
};

class ZarUsbSrcTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void SetUp() override { ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS); }
  void TearDown() override { TLClose(m_tl); }

  uint32_t Plug(const char *serial, uint32_t width, uint32_t height, uint32_t milliFps, uint32_t pixelFormat = kMono8) {
    const CameraConfig config{.serial = serial, .userName = {}, .width = width, .height = height,
                              .pixelFormat = pixelFormat, .frameRateMilli = milliFps};
    const uint32_t slot = m_cameras.Plug(config);
    EXPECT_TRUE(zar_test::WaitForName(m_tl, zar_test::CameraName(config)));
    return slot;
  }

  ZAR_TL_HANDLE m_tl = nullptr; zar_test::PluggedCameras m_cameras;
};

// Pixels unlike the pattern of frame id (buffer offset), shifted by offsets, scaled by brightness; Bayer as GRAY8.
int Mismatches(GstSample *sample, uint32_t offsetX = 0, uint32_t offsetY = 0, float brightness = 1.0f) {
  GstVideoInfo info; GstVideoFrame frame; int width = 0, height = 0;
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  const GstStructure *caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
  const std::string bayer = gst_structure_has_name(caps, "video/x-bayer") ? gst_structure_get_string(caps, "format") : "";
  if (!bayer.empty() && (!gst_structure_get_int(caps, "width", &width) || !gst_structure_get_int(caps, "height", &height)))
    return -1;
  if (!(bayer.empty() ? gst_video_info_from_caps(&info, gst_sample_get_caps(sample))
                      : gst_video_info_set_format(&info, GST_VIDEO_FORMAT_GRAY8, width, height)) ||
      !gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
    return -1;
  const uint32_t filter = bayer == "rggb" ? kBayerRG8 : kBayerGB8;
  const GstVideoFormat format = GST_VIDEO_FRAME_FORMAT(&frame);
  const auto *data = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
  const int components = format == GST_VIDEO_FORMAT_RGB ? 3 : 1;
  const auto bright = [&](uint8_t value) {
    return brightness == 1.0f ? value : static_cast<uint8_t>(std::min(255.0f, std::round(value * brightness)));
  };
  int wrong = 0;
  for (uint32_t y = 0; y < static_cast<uint32_t>(GST_VIDEO_FRAME_HEIGHT(&frame)); ++y)
    for (uint32_t x = 0; x < static_cast<uint32_t>(GST_VIDEO_FRAME_WIDTH(&frame)); ++x)
      for (int c = 0; c < components; ++c) {
        const uint8_t *pixel = data + y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0) +
                               x * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0);
        const uint8_t level = TestPattern::Level(x + offsetX, y + offsetY, GST_BUFFER_OFFSET(buffer));
        const int colour = !bayer.empty() ? TestPattern::FilterColour(filter, x, y) : c;
        wrong += format == GST_VIDEO_FORMAT_GRAY16_LE ? (pixel[0] | pixel[1] << 8) != bright(level) * 256
                                                      : pixel[c] != bright(TestPattern::Component(level, colour));
      }
  gst_video_frame_unmap(&frame); return wrong;
}

// A 64x48 Mono8 camera asked for things through properties and caps: frames of those caps and look, or the error text.
struct Request {
  const char *serial, *request, *caps = nullptr, *error = nullptr;
  uint32_t offsetX = 0, offsetY = 0; float brightness = 1.0f;
};

const Request kRequests[] = {
    {"SMALL", "! video/x-raw,width=32,height=16", "video/x-raw,format=GRAY8,width=32,height=16"},
    {"TORGB", "! video/x-raw,format=RGB", "video/x-raw,format=RGB,width=64,height=48"},
    {"BAYER", "! video/x-bayer,format=rggb,width=30,height=8", "video/x-bayer,format=rggb,width=30,height=8"},
    {"WIDE", "! video/x-raw,width=20000", nullptr,
     "cannot deliver video/x-raw, width=(int)20000; it offers pixel formats Mono8 (video/x-raw GRAY8), "
     "Mono16 (video/x-raw GRAY16_LE), RGB8 (video/x-raw RGB), BayerRG8 (video/x-bayer rggb), BayerGB8 "
     "(video/x-bayer gbrg); width 1..16384 step 1; height 1..16384 step 1; frame rate 0/1."},
    {"BGGR", "! video/x-bayer,format=bggr", nullptr, "cannot deliver video/x-bayer, format=(string)bggr;"},
    {"ROI", "offset-x=3 offset-y=5 exposure=20000", "video/x-raw,format=GRAY8,width=64,height=48", nullptr, 3, 5, 2.0f},
    {"GAIN", "gain=6 features=\"Width=32 PixelFormat=RGB8\"", "video/x-raw,format=RGB,width=32,height=48",
     nullptr, 0, 0, std::pow(10.0f, 6.0f / 20.0f)},
    {"RATE", "frame-rate=50", "video/x-raw,format=GRAY8,width=64,height=48,framerate=50/1"},
    {"REFUSED", "gain=99 features=\"Nope=1 TriggerMode=On\"", nullptr,
     "Camera 'ZC1000_#REFUSED' refused settings: gain: Gain=99 is out of range: 0..24; no feature 'Nope'"}};

// Rows of 33 bytes, 40 (GStreamer's stride), 90 of RGB, 2-byte pixels: copied, or sent as they are where downstream
// takes a GstVideoMeta, as videoconvert does. Two buffers: frames come only if those handed downstream come back.
TEST_F(ZarUsbSrcTest, FramesCarryThePatternGeometryAndCadenceAndWhatIsAskedOrTheErrorSaysWhatTheCameraOffers) {
  constexpr int kFrames = 12; constexpr GstVideoFormat kGray = GST_VIDEO_FORMAT_GRAY8;
  const struct { const char *serial; uint32_t width, height, pixelFormat, frameRateMilli; GstVideoFormat format;
                 bool videoMeta; } shapes[] = {
      {"ODD8", 33, 7, kMono8, 0, kGray, false}, {"ODD8M", 33, 7, kMono8, 0, kGray, true},
      {"EVEN8", 40, 16, kMono8, 25000, kGray, false}, {"MONO16", 21, 5, kMono16, 0, GST_VIDEO_FORMAT_GRAY16_LE, true},
      {"RGB", 30, 8, kRGB8, 0, GST_VIDEO_FORMAT_RGB, false}, {"RGBM", 30, 8, kRGB8, 0, GST_VIDEO_FORMAT_RGB, true}};
  for (const auto &shape : shapes) {
    SCOPED_TRACE(shape.serial);
    Plug(shape.serial, shape.width, shape.height, shape.frameRateMilli, shape.pixelFormat);
    Pipeline pipeline(std::string("zarusbsrc camera=") + shape.serial + " buffers=2 num-buffers=" +
                      std::to_string(kFrames) + " ! appsink name=sink sync=false");
    GstElement *sink = pipeline.Element("sink");
    if (shape.videoMeta) { // the sink takes a GstVideoMeta
      g_autoptr(GstPad) pad = gst_element_get_static_pad(sink, "sink");
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, [](GstPad *, GstPadProbeInfo *info, gpointer) {
        if (GstQuery *query = GST_PAD_PROBE_INFO_QUERY(info); GST_QUERY_TYPE(query) == GST_QUERY_ALLOCATION)
          gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
        return GST_PAD_PROBE_OK;
      }, nullptr, nullptr);
    }
    pipeline.Set(GST_STATE_PLAYING);
    const GstClockTime period = shape.frameRateMilli != 0 ? GST_SECOND * 1000 / shape.frameRateMilli : 0;
    uint64_t lastFrame = 0; GstClockTime lastPts = 0; int frames = 0;
    while (GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
      GstVideoInfo info;
      ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
      EXPECT_EQ(std::tuple(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info)),
                std::tuple(shape.format, static_cast<int>(shape.width), static_cast<int>(shape.height)));
      EXPECT_EQ(gst_util_uint64_scale_int(1000 * GST_SECOND, GST_VIDEO_INFO_FPS_N(&info), GST_VIDEO_INFO_FPS_D(&info)),
                GST_SECOND * shape.frameRateMilli);
      // Rows of the camera's stride go only to a downstream that reads them from the meta.
      GstBuffer *buffer = gst_sample_get_buffer(sample); const GstVideoMeta *meta = gst_buffer_get_video_meta(buffer);
      const gint row = static_cast<gint>(shape.width * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0));
      EXPECT_EQ(meta != nullptr ? meta->stride[0] : GST_VIDEO_INFO_PLANE_STRIDE(&info, 0),
                shape.videoMeta ? row : GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
      const uint64_t f = GST_BUFFER_OFFSET(buffer); const GstClockTime pts = GST_BUFFER_PTS(buffer);
      ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(pts));
      if (frames++ > 0) {
        EXPECT_EQ(f, lastFrame + 1) << "frame ids run on at rate 0 and 25 fps alike";
        EXPECT_GT(pts, lastPts);
        EXPECT_EQ(period != 0 ? (pts - lastPts) % period : 0, 0u) << "time stamps on the camera's frame-rate grid";
      }
      EXPECT_EQ(GST_BUFFER_DURATION(buffer), period != 0 ? period : GST_CLOCK_TIME_NONE);
      EXPECT_EQ(Mismatches(sample), 0) << "frame " << f;
      std::tie(lastFrame, lastPts) = std::tuple(f, pts);
      gst_sample_unref(sample);
    }
    EXPECT_EQ(frames, kFrames);
    EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink)));
  }
  for (const Request &request : kRequests) {
    SCOPED_TRACE(request.serial);
    Plug(request.serial, 64, 48, 0);
    Pipeline pipeline(std::string("zarusbsrc camera=") + request.serial + " " + request.request +
                      " ! appsink name=sink sync=false");
    pipeline.Play();
    if (request.error != nullptr) {
      EXPECT_PRED_FORMAT2(::testing::IsSubstring, request.error, pipeline.Error(10 * GST_SECOND));
      continue;
    }
    g_autoptr(GstCaps) expected = gst_caps_from_string(request.caps);
    for (int i = 0; i < 3; ++i) {
      g_autoptr(GstSample) sample = pipeline.Pull();
      ASSERT_NE(sample, nullptr) << pipeline.Error(0);
      EXPECT_TRUE(gst_caps_is_subset(gst_sample_get_caps(sample), expected));
      EXPECT_EQ(Mismatches(sample, request.offsetX, request.offsetY, request.brightness), 0);
    }
  }
}

// The element never waits for a camera: a missing one fails the start, an unplug ends a stream at once, timeout or no.
TEST_F(ZarUsbSrcTest, AMissingOrUnpluggedCameraPostsAnErrorAndNoStateChangeWaitsForTheCamera) {
  Pipeline missing("zarusbsrc name=src camera=NOWHERE ! fakesink");
  EXPECT_EQ(gst_element_set_state(missing.Element("src"), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  EXPECT_EQ(missing.Error(GST_SECOND), "Cannot open the camera: no camera with serial number 'NOWHERE'.");

  const uint32_t slot = Plug("GONE", 64, 16, 100000);
  Pipeline pipeline("zarusbsrc camera=GONE timeout=60000 ! appsink name=sink sync=false max-buffers=1 drop=true");
  pipeline.Set(GST_STATE_PLAYING);
  for (int i = 0; i < 3; ++i) {
    g_autoptr(GstSample) sample = pipeline.Pull();
    ASSERT_NE(sample, nullptr);
  }
  m_cameras.Unplug(slot);
  EXPECT_EQ(pipeline.Error(5 * GST_SECOND), "Camera 'ZC1000_#GONE' was unplugged.") << "within 5 s of the unplug";
  EXPECT_LT(pipeline.Set(GST_STATE_NULL), 2000);

  // Stopping and pausing end the wait at once: for a camera of a frame every 5 s, or with every buffer held downstream.
  Plug("SLOW", 64, 16, 200);
  Pipeline slow("zarusbsrc camera=SLOW timeout=60000 ! fakesink");
  slow.Set(GST_STATE_PLAYING);
  EXPECT_LT(slow.Set(GST_STATE_PAUSED), 1000); EXPECT_LT(slow.Set(GST_STATE_NULL), 1000);
  Plug("HELD", 64, 16, 0);
  Pipeline held("zarusbsrc camera=HELD buffers=2 timeout=60000 ! appsink name=sink sync=false max-buffers=0");
  held.Set(GST_STATE_PLAYING);
  GstSample *first = held.Pull(5 * GST_SECOND), *second = held.Pull(5 * GST_SECOND);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_EQ(held.Pull(200 * GST_MSECOND), nullptr) << "both buffers are held here";
  EXPECT_LT(held.Set(GST_STATE_PAUSED), 1000);
  gst_sample_unref(first);
  EXPECT_LT(held.Set(GST_STATE_PLAYING), 1000);
  g_autoptr(GstSample) third = held.Pull(5 * GST_SECOND);
  ASSERT_NE(third, nullptr) << "a buffer let go of goes back to the camera";
  EXPECT_GT(GST_BUFFER_OFFSET(gst_sample_get_buffer(third)), GST_BUFFER_OFFSET(gst_sample_get_buffer(second)));
  EXPECT_LT(held.Set(GST_STATE_NULL), 1000);
  // The element has let go: the frame still held keeps its memory, and closes the camera when it goes.
  EXPECT_EQ(Mismatches(second), 0);
  gst_sample_unref(second);
}

} // namespace
