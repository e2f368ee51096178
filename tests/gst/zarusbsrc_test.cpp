// zarusbsrc in pipelines of this process, on emulated cameras: frames with
// the camera's pattern, geometry and cadence through an appsink, with and
// without a downstream that reads strides from a GstVideoMeta; an unplug
// that ends the pipeline with an error; stopping and pausing that never wait
// for the camera.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "camera_bench.h"
#include "emulator/test_pattern.h"
#include "test_main.h"

namespace {

using oxa::ZarUsb::emulator::CameraConfig;
using oxa::ZarUsb::emulator::TestPattern;
using Clock = std::chrono::steady_clock;

class Pipeline {
public:
  explicit Pipeline(const std::string &description) {
    GError *error = nullptr;
    m_pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
      ADD_FAILURE() << description << ": " << error->message;
      g_error_free(error);
    }
  }
  ~Pipeline() {
    if (m_pipeline == nullptr) return;
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    gst_object_unref(m_pipeline);
  }
  Pipeline(const Pipeline &) = delete;
  Pipeline &operator=(const Pipeline &) = delete;

  GstElement *Element(const char *name) const {
    GstElement *element = gst_bin_get_by_name(GST_BIN(m_pipeline), name);
    gst_object_unref(element); // the pipeline keeps it
    return element;
  }
  // Sets the state and waits for it; the time that took.
  std::chrono::milliseconds Set(GstState state) const {
    const auto start = Clock::now();
    EXPECT_NE(gst_element_set_state(m_pipeline, state), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(gst_element_get_state(m_pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_FAILURE);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }
  // The next error or end of stream on the bus, within the time; null if none.
  GstMessage *Await(GstClockTime timeout) const {
    GstBus *bus = gst_element_get_bus(m_pipeline);
    GstMessage *message = gst_bus_timed_pop_filtered(
        bus, timeout, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bus);
    return message;
  }

private:
  GstElement *m_pipeline = nullptr;
};

class ZarUsbSrcTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void SetUp() override { ASSERT_EQ(TLOpen(nullptr, nullptr, &m_tl), ZAR_SUCCESS); }
  void TearDown() override { TLClose(m_tl); }

  // Plugs a camera and waits until the library lists it.
  uint32_t Plug(const std::string &serial, uint32_t width, uint32_t height, uint32_t pixelFormat,
                uint32_t frameRateMilli) {
    CameraConfig config;
    config.serial = serial;
    config.width = width;
    config.height = height;
    config.pixelFormat = pixelFormat;
    config.frameRateMilli = frameRateMilli;
    const uint32_t slot = m_cameras.Plug(config);
    EXPECT_TRUE(zar_test::WaitForName(m_tl, zar_test::CameraName(config)));
    return slot;
  }
  void Unplug(uint32_t slot) { m_cameras.Unplug(slot); }

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  zar_test::PluggedCameras m_cameras;
};

// The level the camera wrote for pixel (x, y) of frame f, component c.
uint32_t Expected(GstVideoFormat format, uint32_t x, uint32_t y, uint64_t f, int c) {
  const uint8_t level = TestPattern::Level(x, y, f);
  if (format == GST_VIDEO_FORMAT_GRAY16_LE) return level * 256u;
  if (format != GST_VIDEO_FORMAT_RGB) return level;
  return c == 0 ? level : c == 1 ? static_cast<uint8_t>(255 - level) : static_cast<uint8_t>(level * 2);
}

// Counts the pixels of the frame that differ from the pattern of frame f.
int Mismatches(const GstVideoFrame &frame, uint64_t f) {
  const GstVideoFormat format = GST_VIDEO_FRAME_FORMAT(&frame);
  const auto *data = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
  const int components = format == GST_VIDEO_FORMAT_RGB ? 3 : 1;
  int wrong = 0;
  for (uint32_t y = 0; y < static_cast<uint32_t>(GST_VIDEO_FRAME_HEIGHT(&frame)); ++y)
    for (uint32_t x = 0; x < static_cast<uint32_t>(GST_VIDEO_FRAME_WIDTH(&frame)); ++x)
      for (int c = 0; c < components; ++c) {
        const uint8_t *pixel = data + y * stride + x * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0);
        const uint32_t value = format == GST_VIDEO_FORMAT_GRAY16_LE ? pixel[0] | pixel[1] << 8 : pixel[c];
        wrong += value != Expected(format, x, y, f, c);
      }
  return wrong;
}

// Makes the appsink's answer to the allocation query offer GstVideoMeta, as
// videoconvert's does: the source then sends rows of the camera's stride.
void OfferVideoMeta(GstElement *sink) {
  GstPad *pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
      [](GstPad *, GstPadProbeInfo *info, gpointer) {
        GstQuery *query = GST_PAD_PROBE_INFO_QUERY(info);
        if (GST_QUERY_TYPE(query) == GST_QUERY_ALLOCATION)
          gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
        return GST_PAD_PROBE_OK;
      },
      nullptr, nullptr);
  gst_object_unref(pad);
}

struct Shape {
  const char *serial;
  uint32_t width, height, pixelFormat, frameRateMilli;
  GstVideoFormat format;
  bool videoMeta; // downstream takes a GstVideoMeta
};

class ZarUsbSrcShapeTest : public ZarUsbSrcTest, public ::testing::WithParamInterface<Shape> {};

// Two buffers only: frames are only ever made if the ones handed downstream
// come back to the camera.
TEST_P(ZarUsbSrcShapeTest, FramesCarryTheCamerasPatternGeometryAndCadence) {
  const Shape &shape = GetParam();
  Plug(shape.serial, shape.width, shape.height, shape.pixelFormat, shape.frameRateMilli);
  constexpr int kFrames = 12;
  Pipeline pipeline(std::string("zarusbsrc camera=") + shape.serial + " buffers=2 num-buffers=" +
                    std::to_string(kFrames) + " ! appsink name=sink sync=false");
  GstElement *sink = pipeline.Element("sink");
  if (shape.videoMeta) OfferVideoMeta(sink);
  pipeline.Set(GST_STATE_PLAYING);

  uint64_t lastFrame = 0;
  GstClockTime lastPts = GST_CLOCK_TIME_NONE;
  const GstClockTime period = shape.frameRateMilli != 0 ? GST_SECOND * 1000 / shape.frameRateMilli : 0;
  int frames = 0;
  while (GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
    EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), shape.format);
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), static_cast<int>(shape.width));
    EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), static_cast<int>(shape.height));
    EXPECT_EQ(gst_util_uint64_scale_int(1000 * GST_SECOND, GST_VIDEO_INFO_FPS_N(&info), GST_VIDEO_INFO_FPS_D(&info)),
              GST_SECOND * shape.frameRateMilli);

    GstBuffer *buffer = gst_sample_get_buffer(sample);
    const GstVideoMeta *meta = gst_buffer_get_video_meta(buffer);
    const auto row = static_cast<gint>(shape.width * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0));
    if (meta != nullptr) {
      EXPECT_EQ(meta->stride[0], row);
    }
    if (!shape.videoMeta) {
      EXPECT_TRUE(meta == nullptr || row == GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
    }

    const uint64_t f = GST_BUFFER_OFFSET(buffer);
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(pts));
    if (frames > 0) {
      EXPECT_EQ(f, lastFrame + 1) << "frame ids run on at rate 0 and 25 fps alike";
      EXPECT_GT(pts, lastPts);
    }
    if (frames > 0 && period != 0) {
      EXPECT_EQ((pts - lastPts) % period, 0u) << "time stamps come from the camera's frame-rate grid";
      EXPECT_EQ(GST_BUFFER_DURATION(buffer), period);
    }
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
    EXPECT_EQ(Mismatches(frame, f), 0) << "frame " << f;
    gst_video_frame_unmap(&frame);
    lastFrame = f;
    lastPts = pts;
    ++frames;
    gst_sample_unref(sample);
  }
  EXPECT_EQ(frames, kFrames);
  EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink)));
}

// Rows of 33 bytes, 40 (a multiple of 4, GStreamer's own stride), 90 bytes
// of RGB, 2-byte pixels; copied or sent as they are.
INSTANTIATE_TEST_SUITE_P(
    Shapes, ZarUsbSrcShapeTest,
    ::testing::Values(Shape{"ODD8", 33, 7, oxa::ZarUsb::emulator::kMono8, 0, GST_VIDEO_FORMAT_GRAY8, false},
                      Shape{"ODD8M", 33, 7, oxa::ZarUsb::emulator::kMono8, 0, GST_VIDEO_FORMAT_GRAY8, true},
                      Shape{"EVEN8", 40, 16, oxa::ZarUsb::emulator::kMono8, 25000, GST_VIDEO_FORMAT_GRAY8, false},
                      Shape{"RGB", 30, 8, oxa::ZarUsb::emulator::kRGB8, 0, GST_VIDEO_FORMAT_RGB, false},
                      Shape{"RGBM", 30, 8, oxa::ZarUsb::emulator::kRGB8, 0, GST_VIDEO_FORMAT_RGB, true},
                      Shape{"MONO16", 21, 5, oxa::ZarUsb::emulator::kMono16, 0, GST_VIDEO_FORMAT_GRAY16_LE, true}),
    [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.serial); });

TEST_F(ZarUsbSrcTest, UnplugPostsAnErrorAndEndsThePipeline) {
  const uint32_t slot = Plug("GONE", 64, 16, oxa::ZarUsb::emulator::kMono8, 100000);
  Pipeline pipeline("zarusbsrc camera=GONE timeout=60000 ! fakesink name=sink");
  std::atomic<int> frames{0};
  GstPad *pad = gst_element_get_static_pad(pipeline.Element("sink"), "sink");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad *, GstPadProbeInfo *, gpointer count) {
        ++*static_cast<std::atomic<int> *>(count);
        return GST_PAD_PROBE_OK;
      },
      &frames, nullptr);
  gst_object_unref(pad);
  pipeline.Set(GST_STATE_PLAYING);
  ASSERT_TRUE(zar_test::WaitFor([&] { return frames > 3; }));

  Unplug(slot);
  GstMessage *message = pipeline.Await(5 * GST_SECOND);
  ASSERT_NE(message, nullptr) << "no error within 5 s of the unplug, though the timeout is 60 s";
  ASSERT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_ERROR);
  GError *error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  EXPECT_EQ(error->domain, GST_RESOURCE_ERROR);
  EXPECT_STREQ(error->message, "Camera 'ZC1000_#GONE' was unplugged.");
  g_error_free(error);
  gst_message_unref(message);
  EXPECT_LT(pipeline.Set(GST_STATE_NULL).count(), 2000);
}

TEST_F(ZarUsbSrcTest, AMissingCameraFailsTheStartWithItsSerial) {
  Pipeline pipeline("zarusbsrc name=src camera=NOWHERE ! fakesink");
  EXPECT_EQ(gst_element_set_state(pipeline.Element("src"), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  GstMessage *message = pipeline.Await(GST_SECOND);
  ASSERT_NE(message, nullptr);
  GError *error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  EXPECT_STREQ(error->message, "Cannot open the camera: no camera with serial number 'NOWHERE'.");
  g_error_free(error);
  gst_message_unref(message);
}

// A camera that makes a frame every 5 s, a timeout of a minute, and every
// buffer held downstream: stopping and pausing end the wait at once.
TEST_F(ZarUsbSrcTest, StoppingAndPausingNeverWaitForTheCamera) {
  Plug("SLOW", 64, 16, oxa::ZarUsb::emulator::kMono8, 200);
  {
    Pipeline slow("zarusbsrc camera=SLOW timeout=60000 ! fakesink");
    slow.Set(GST_STATE_PLAYING);
    EXPECT_LT(slow.Set(GST_STATE_PAUSED).count(), 1000);
    EXPECT_LT(slow.Set(GST_STATE_NULL).count(), 1000);
  }
  Plug("HELD", 64, 16, oxa::ZarUsb::emulator::kMono8, 0);
  Pipeline held("zarusbsrc camera=HELD buffers=2 timeout=60000 ! appsink name=sink sync=false max-buffers=0");
  GstAppSink *sink = GST_APP_SINK(held.Element("sink"));
  held.Set(GST_STATE_PLAYING);
  GstSample *first = gst_app_sink_try_pull_sample(sink, 5 * GST_SECOND);
  GstSample *second = gst_app_sink_try_pull_sample(sink, 5 * GST_SECOND);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(gst_app_sink_try_pull_sample(sink, 200 * GST_MSECOND), nullptr) << "both buffers are held here";
  EXPECT_LT(held.Set(GST_STATE_PAUSED).count(), 1000);
  gst_sample_unref(first);
  EXPECT_LT(held.Set(GST_STATE_PLAYING).count(), 1000);
  GstSample *third = gst_app_sink_try_pull_sample(sink, 5 * GST_SECOND);
  ASSERT_NE(third, nullptr) << "a buffer let go of goes back to the camera";
  EXPECT_GT(GST_BUFFER_OFFSET(gst_sample_get_buffer(third)), GST_BUFFER_OFFSET(gst_sample_get_buffer(second)));
  gst_sample_unref(third);
  EXPECT_LT(held.Set(GST_STATE_NULL).count(), 1000);
  // The element has let go: the frame still held keeps its memory, and
  // closes the camera when it goes.
  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(second)));
  GstVideoFrame frame;
  ASSERT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(second), GST_MAP_READ));
  EXPECT_EQ(Mismatches(frame, GST_BUFFER_OFFSET(gst_sample_get_buffer(second))), 0);
  gst_video_frame_unmap(&frame);
  gst_sample_unref(second);
}

} // namespace
