// Frames through GStreamer (zarusbsrc ! fakesink) beside the C loop of
// export_camera.h, at 4 MiB Mono8 and at 64x64; and zarusbsrc with a copy of
// every frame, the cost the element saves by sending the camera's buffers.

#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "export_camera.h"
#include "process_clock.h"

namespace {

using zar_bench::ExportCamera;
using zar_bench::Square;

// Frames before a timed batch, so that frames filled before it began (and
// the start of the acquisition) stay out of the time.
constexpr int kWarmUp = 8;

// zarusbsrc ! fakesink on one camera, paused between batches (which stops
// its acquisition). With `copy`, each frame is replaced by a copy of it on
// the source's pad.
class GstPath {
public:
  GstPath(const std::string &serial, bool copy) {
    const std::string description = "zarusbsrc name=src camera=" + serial +
                                    " ! fakesink name=sink sync=false signal-handoffs=true";
    m_pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (m_pipeline == nullptr) return;
    GstElement *sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "sink");
    g_signal_connect(sink, "handoff", G_CALLBACK(&GstPath::Handoff), this);
    gst_object_unref(sink);
    if (!copy) return;
    GstElement *source = gst_bin_get_by_name(GST_BIN(m_pipeline), "src");
    GstPad *pad = gst_element_get_static_pad(source, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &GstPath::Copy, nullptr, nullptr);
    gst_object_unref(pad);
    gst_object_unref(source);
  }
  ~GstPath() {
    if (m_pipeline == nullptr) return;
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    gst_object_unref(m_pipeline);
  }
  GstPath(const GstPath &) = delete;
  GstPath &operator=(const GstPath &) = delete;

  // Plays until kWarmUp + batch frames reached the sink, the last `batch`
  // timed; false when they did not come within 30 s.
  bool Batch(int batch, double *wallNs, double *cpuNs) {
    std::unique_lock lock(m_mutex);
    m_frames = 0;
    m_batch = batch;
    m_wallNs = wallNs;
    m_cpuNs = cpuNs;
    m_done = false;
    lock.unlock();
    if (m_pipeline == nullptr || gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
      return false;
    lock.lock();
    const bool done = m_done_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_done; });
    lock.unlock();
    gst_element_set_state(m_pipeline, GST_STATE_PAUSED);
    gst_element_get_state(m_pipeline, nullptr, nullptr, 10 * GST_SECOND);
    return done;
  }

private:
  static void Handoff(GstElement *, GstBuffer *, GstPad *, gpointer data) {
    auto *self = static_cast<GstPath *>(data);
    const std::lock_guard lock(self->m_mutex);
    ++self->m_frames;
    if (self->m_frames == kWarmUp) self->m_start = zar_bench::ProcessClock();
    if (self->m_frames == kWarmUp + self->m_batch) {
      zar_bench::AddSince(self->m_start, self->m_wallNs, self->m_cpuNs);
      self->m_done = true;
      self->m_done_cv.notify_all();
    }
  }
  static GstPadProbeReturn Copy(GstPad *, GstPadProbeInfo *info, gpointer) {
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GST_PAD_PROBE_INFO_DATA(info) = gst_buffer_copy_deep(buffer);
    gst_buffer_unref(buffer);
    return GST_PAD_PROBE_OK;
  }

  GstElement *m_pipeline = nullptr;
  std::mutex m_mutex; // guards what follows
  std::condition_variable m_done_cv;
  int m_frames = 0;
  int m_batch = 0;
  bool m_done = false;
  zar_bench::ProcessClock m_start;
  double *m_wallNs = nullptr;
  double *m_cpuNs = nullptr;
};

// Waits until the transport layer lists the camera (its rescan has ended).
bool PlugListed(ZAR_TL_HANDLE tl, const oxa::ZarUsb::emulator::CameraConfig &config) {
  zar_bench::PlugOnce(config);
  for (int i = 0; i < 1000; ++i) {
    if (zar_bench::Listed(tl, config.model + "_#" + config.serial)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Each iteration streams a batch through the C loop, then one through
// zarusbsrc ! fakesink, then one with a copy of each frame, each on its own
// camera of the same geometry. Counters: frames per second of each path,
// their ratios to the C loop, and wall and process CPU microseconds per frame.
void BM_GstreamerBesideC(benchmark::State &state) {
  static const bool initialised = [] {
    gst_init(nullptr, nullptr);
    return gst_registry_scan_path(gst_registry_get(), ZAR_USB_GST_PLUGIN_DIR);
  }();
  const auto side = static_cast<uint32_t>(state.range(0));
  const int batch = side >= 1024 ? 64 : 1024;
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  {
    const std::string tag = std::to_string(side);
    ExportCamera c(tl, Square("GST-C-" + tag, side));
    const bool plugged = PlugListed(tl, Square("GST-ZERO-" + tag, side)) && PlugListed(tl, Square("GST-COPY-" + tag, side));
    GstPath zeroCopy("GST-ZERO-" + tag, false), copy("GST-COPY-" + tag, true);
    if (!initialised || c.stream == nullptr || !plugged) state.SkipWithError("no camera or no plugin");
    double cWall = 0, cCpu = 0, gstWall = 0, gstCpu = 0, copyWall = 0, copyCpu = 0;
    for (auto _ : state) {
      if (DSStartAcquisition(c.stream, 0, 1) != ZAR_SUCCESS || !c.Frames(kWarmUp)) state.SkipWithError("start");
      const zar_bench::ProcessClock cStart;
      const bool cOk = c.Frames(batch);
      zar_bench::AddSince(cStart, &cWall, &cCpu);
      DSStopAcquisition(c.stream, 0);
      if (!cOk || !zeroCopy.Batch(batch, &gstWall, &gstCpu) || !copy.Batch(batch, &copyWall, &copyCpu)) {
        state.SkipWithError("a frame did not come");
        break;
      }
    }
    const double frames = static_cast<double>(state.iterations()) * batch;
    if (frames > 0 && gstWall > 0 && copyWall > 0) {
      state.counters["c_fps"] = 1e9 * frames / cWall;
      state.counters["gst_fps"] = 1e9 * frames / gstWall;
      state.counters["gst_copy_fps"] = 1e9 * frames / copyWall;
      state.counters["gst_ratio"] = cWall / gstWall;
      state.counters["gst_copy_ratio"] = cWall / copyWall;
      state.counters["c_wall_us"] = cWall / frames / 1000;
      state.counters["gst_wall_us"] = gstWall / frames / 1000;
      state.counters["gst_copy_wall_us"] = copyWall / frames / 1000;
      state.counters["c_cpu_us"] = cCpu / frames / 1000;
      state.counters["gst_cpu_us"] = gstCpu / frames / 1000;
      state.counters["gst_copy_cpu_us"] = copyCpu / frames / 1000;
    }
    state.SetItemsProcessed(static_cast<int64_t>(frames));
  }
  TLClose(tl);
}
BENCHMARK(BM_GstreamerBesideC)->Arg(2048)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
