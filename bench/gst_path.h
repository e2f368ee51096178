#pragma once
// zarusbsrc ! fakesink on one camera, timed from its sink: for the
// benchmarks that set GStreamer beside the C loop.

#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "process_clock.h"

namespace zar_bench {

// GStreamer initialised and the build's zarusbsrc registered, once per
// process.
inline bool GstReady() {
  static const bool ready = [] {
    gst_init(nullptr, nullptr);
    return gst_registry_scan_path(gst_registry_get(), ZAR_USB_GST_PLUGIN_DIR) != FALSE;
  }();
  return ready;
}

// Frames before a timed batch, so that frames filled before it began (and
// the start of the acquisition) stay out of the time.
constexpr int kWarmUp = 8;

// zarusbsrc ! fakesink on one camera (8 buffers, the element's default),
// paused between batches (which stops its acquisition). With `copy`, each
// frame is replaced by a copy of it on the source's pad.
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

} // namespace zar_bench
