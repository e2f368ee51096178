// Frames through GStreamer (zarusbsrc ! fakesink) beside the C loop of
// export_camera.h, at 4 MiB Mono8 and at 64x64; and zarusbsrc with a copy of
// every frame, the cost the element saves by sending the camera's buffers.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "export_camera.h"
#include "gst_path.h"

namespace {

using zar_bench::ExportCamera;
using zar_bench::GstPath;
using zar_bench::kWarmUp;
using zar_bench::Square;

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
  const bool initialised = zar_bench::GstReady();
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
