// zar_usb_stream_loop c|gst NAME: continuous streams of a plugged camera,
// as an application runs them, for bench/python_stream_bench.py to set
// beside the same loop in Python. The camera (its listed name) is the
// caller's, plugged in the namespace the environment gives, and stays open
// while the program runs. Each line of the standard input gives a number of
// frames; for each, one stream:
//
// c:   acquisition started on 8 library buffers, announced and queued once,
//      then DSWaitForBuffer and DSQueueBuffer frame after frame, then stopped;
// gst: zarusbsrc ! fakesink (8 buffers) playing, then paused.
//
// The first kWarmUp frames are not timed; the next FRAMES are. Prints one
// line {"fps": ..., "cpu_us": ..., "caller_cpu_us": ...} per stream: frames
// per second, the process's CPU microseconds per frame (the emulator filling
// the frames included, as in every path) and those of the thread that waits
// and requeues (c; null for gst). Ends at the end of the input.

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "process_clock.h"
#include "zar_usb.h"
#ifdef ZAR_USB_GST_PLUGIN_DIR
#include "gst_path.h"
#endif

namespace {

constexpr uint32_t kBuffers = 8;
constexpr int kWarmUp = 8;
constexpr uint32_t kWaitMs = 2000;
constexpr uint64_t kPayloadSizeRegister = 0x10C;

struct Timed {
  double wallNs = 0;
  double cpuNs = 0;
  double callerCpuNs = -1; // of the thread that waits and requeues, where known
};

// The transport layer, the camera and its stream with the buffers queued,
// closed in reverse order.
class CameraStream {
public:
  explicit CameraStream(const std::string &name) {
    uint8_t changed = 0;
    if (TLOpen(nullptr, nullptr, &m_tl) != ZAR_SUCCESS || TLUpdateDeviceList(m_tl, "USB", &changed) != ZAR_SUCCESS ||
        TLOpenDevice(m_tl, "USB", name.c_str(), &m_device) != ZAR_SUCCESS)
      return;
    uint32_t payload = 0;
    uint64_t size = sizeof payload;
    if (GCReadData(m_device, 0, kPayloadSizeRegister, &payload, &size) != ZAR_SUCCESS ||
        DevCreateDataStream(m_device, 0, &m_stream) != ZAR_SUCCESS)
      return;
    for (uint32_t i = 0; i < kBuffers; ++i) {
      uint32_t id = 0;
      if (DSAllocAndAnnounceBuffer(m_stream, payload, nullptr, nullptr, &id) != ZAR_SUCCESS ||
          DSQueueBuffer(m_stream, id) != ZAR_SUCCESS)
        return;
    }
    m_ready = true;
  }
  ~CameraStream() {
    if (m_stream != nullptr) DSClose(m_stream);
    if (m_device != nullptr) DevClose(m_device);
    if (m_tl != nullptr) TLClose(m_tl);
  }
  CameraStream(const CameraStream &) = delete;
  CameraStream &operator=(const CameraStream &) = delete;

  // Starts once and times `frames` frames after the warm-up; false on a
  // failure.
  bool Run(int frames, Timed *timed) const {
    if (!m_ready || DSStartAcquisition(m_stream, 0, -1) != ZAR_SUCCESS) return false;
    zar_bench::ProcessClock start;
    double callerStart = 0;
    for (int i = 0; i < kWarmUp + frames; ++i) {
      if (i == kWarmUp) {
        start = zar_bench::ProcessClock();
        callerStart = zar_bench::ThreadCpuNs();
      }
      ZAR_WAIT_RESULT result;
      if (DSWaitForBuffer(m_stream, kWaitMs, 0, &result, nullptr) != ZAR_SUCCESS ||
          DSQueueBuffer(m_stream, result.iID) != ZAR_SUCCESS)
        return false;
    }
    timed->callerCpuNs = zar_bench::ThreadCpuNs() - callerStart;
    zar_bench::AddSince(start, &timed->wallNs, &timed->cpuNs);
    return DSStopAcquisition(m_stream, 0) == ZAR_SUCCESS;
  }

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  ZAR_DEV_HANDLE m_device = nullptr;
  ZAR_DS_HANDLE m_stream = nullptr;
  bool m_ready = false;
};

int Usage() {
  std::fprintf(stderr, "usage: zar_usb_stream_loop c|gst NAME < frame counts, one a line\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) return Usage();
  const std::string path = argv[1], name = argv[2];
  std::optional<CameraStream> camera;
#ifdef ZAR_USB_GST_PLUGIN_DIR
  std::optional<zar_bench::GstPath> pipeline;
#endif
  std::function<bool(int, Timed *)> run;
  if (path == "c") {
    camera.emplace(name);
    run = [&camera](int frames, Timed *timed) { return camera->Run(frames, timed); };
#ifdef ZAR_USB_GST_PLUGIN_DIR
  } else if (path == "gst") {
    // The element takes the serial number: the listed name's part after "_#".
    const auto mark = name.rfind("_#");
    if (!zar_bench::GstReady() || mark == std::string::npos) return 1;
    pipeline.emplace(name.substr(mark + 2), false);
    run = [&pipeline](int frames, Timed *timed) { return pipeline->Batch(frames, &timed->wallNs, &timed->cpuNs); };
#endif
  } else {
    return Usage();
  }
  int frames = 0;
  while (std::scanf("%d", &frames) == 1 && frames > 0) {
    Timed timed;
    if (!run(frames, &timed) || timed.wallNs <= 0) {
      std::fprintf(stderr, "%s on %s: a step failed or a frame did not come\n", path.c_str(), name.c_str());
      return 1;
    }
    const std::string caller = timed.callerCpuNs < 0 ? "null" : std::to_string(timed.callerCpuNs / frames / 1000);
    std::printf("{\"fps\": %.1f, \"cpu_us\": %.2f, \"caller_cpu_us\": %s}\n", 1e9 * frames / timed.wallNs,
                timed.cpuNs / frames / 1000, caller.c_str());
    std::fflush(stdout);
  }
  return 0;
}
