// Streaming through the exports (8 announced buffers, wait and requeue)
// beside the emulator alone serving the same raw driver requests, at 4 MiB
// Mono8 and at 64x64; and four cameras streaming at once.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "os/device_io.h"
#include "os/one_cpu.h"
#include "export_camera.h"
#include "process_clock.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

using zar_bench::ExportCamera;
using zar_bench::kBuffers;
using zar_bench::Listed;
using zar_bench::Square;

// A camera streaming on raw driver requests: the emulator alone. Like the
// event thread of a device opened through the exports, it keeps one
// GetEvent request pending, so the emulated driver looks after the same
// requests on both paths.
struct RawCamera {
  std::unique_ptr<CDriverInterface> driver; // null when no camera could be plugged
  std::vector<std::vector<uint8_t>> buffers;
  os::IoRequest eventRequest;
  driver::EventRecord eventRecord{};
  bool eventPending = false;

  RawCamera(ZAR_TL_HANDLE tl, const emulator::CameraConfig &config) {
    const std::optional<uint32_t> slot = zar_bench::PlugOnce(config);
    if (!slot) return;
    const std::string name = config.model + "_#" + config.serial;
    for (int i = 0; i < 1000 && !Listed(tl, name); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const auto &camera : emulator::ListCameras())
      if (camera.slot == *slot) driver = std::make_unique<CDriverInterface>(camera.path.c_str());
    if (!driver) return;
    eventPending = eventRequest.Prepare() && driver->GetEvent(&eventRecord, eventRequest) == os::kErrorIoPending;
    buffers.assign(kBuffers, std::vector<uint8_t>(config.width * config.height));
    uint32_t word = 0;
    for (auto &buffer : buffers) {
      driver->LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word);
      driver->QueueBuffer(driver::DriverTag(buffer.data()), &word);
    }
  }
  ~RawCamera() {
    if (eventPending) driver->CancelEvent(eventRequest);
  }
  RawCamera(const RawCamera &) = delete;
  RawCamera &operator=(const RawCamera &) = delete;
  bool Frames(int count) const {
    uint32_t word = 0;
    for (int i = 0; i < count; ++i) {
      driver::BufferCompletion done{};
      if (driver->GetBuffer(2000, &done) != 0) return false;
      if (driver->QueueBuffer(done.tag, &word) != 0 || word != 0) return false;
    }
    return true;
  }
};

// One path's batches: wall and CPU time in all, and each batch's wall time,
// process CPU time and calling thread's CPU time per frame.
struct PathTimes {
  double wallNs = 0;
  double cpuNs = 0;
  std::vector<double> wallPerFrameNs, cpuPerFrameNs, callerCpuPerFrameNs;

  // Runs a batch of `frames` through `stream`; false when it failed.
  template <class Stream> bool Batch(int frames, Stream stream) {
    const double callerStart = zar_bench::ThreadCpuNs();
    const zar_bench::ProcessClock start;
    const bool done = stream();
    double wall = 0, cpu = 0;
    zar_bench::AddSince(start, &wall, &cpu);
    callerCpuPerFrameNs.push_back((zar_bench::ThreadCpuNs() - callerStart) / frames);
    wallNs += wall;
    cpuNs += cpu;
    wallPerFrameNs.push_back(wall / frames);
    cpuPerFrameNs.push_back(cpu / frames);
    return done;
  }
};

// The median of the values, in thousandths of their unit.
double MedianThousandths(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle / 1000;
}

// Each iteration streams a batch of frames through the exports and right
// after a batch through raw requests, on two cameras of the same geometry,
// so both see the same load. Counters, each the median over batches of a
// path's figure per frame: exports_fps and raw_fps, fps_ratio (exports to
// raw), wall and process CPU microseconds of each path, extra_cpu_us, what
// the library adds to the process's CPU time (the difference of the CPU
// medians), and extra_caller_cpu_us, what it adds on the calling thread.
// Beside them, over all batches together: fps_ratio_all and
// extra_cpu_all_us.
//
// The process CPU time includes the emulator's worker filling the frames,
// and at 64x64 that part grows with the caller's time between requests: a
// worker that has gone to sleep by the next request is woken again, a
// thread switch more. Once the caller takes about a microsecond longer per
// frame, the worker sleeps between most frames and the process spends about
// three microseconds more; the calling thread's figure is the library's own
// work.
//
// One CPU, and medians: at 64x64 a frame costs about three wake-ups of one
// thread by another, and on a machine whose CPUs are shared (a virtual
// machine, other work beside the benchmark) a wake-up costs several times
// as much, on the waking thread too, while the camera's worker thread runs
// on another CPU than the caller. That placement holds for stretches of
// batches, up to a whole run, and follows one camera, whichever path it
// serves, so it would weigh on whichever path it fell on. The caller and
// the threads of both cameras (emulator workers, the device's event thread)
// therefore share the caller's CPU. At 4 MiB single batches take many times
// the usual time when other programs take the CPU; the median batch reads
// the path itself.
void BM_StreamPathCost(benchmark::State &state) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  const auto side = static_cast<uint32_t>(state.range(0));
  const int batch = side >= 1024 ? 16 : 256;
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  {
    const os::OneCpu pinned;
    const std::string tag = std::to_string(side);
    ExportCamera exports(tl, Square("STREAM-EXPORTS-" + tag, side));
    RawCamera raw(tl, Square("STREAM-RAW-" + tag, side));
    if (exports.stream == nullptr || !raw.driver) state.SkipWithError(zar_bench::kNoCamera);
    uint32_t word = 0;
    // Rescans still running for earlier plugs are waited for here.
    DSStartAcquisition(exports.stream, 0, 1);
    DSStopAcquisition(exports.stream, 0);
    PathTimes exportTimes, rawTimes;
    for (auto _ : state) {
      if (DSStartAcquisition(exports.stream, 0, 1) != ZAR_SUCCESS) state.SkipWithError("start");
      const bool exportOk = exportTimes.Batch(batch, [&] { return exports.Frames(batch); });
      DSStopAcquisition(exports.stream, 0);

      raw.driver->StartStopStream(driver::kStreamStart, &word);
      const bool rawOk = rawTimes.Batch(batch, [&] { return raw.Frames(batch); });
      raw.driver->StartStopStream(driver::kStreamStop, &word);
      if (!exportOk || !rawOk) {
        state.SkipWithError("a frame did not come");
        break;
      }
    }
    const double frames = static_cast<double>(state.iterations()) * batch;
    if (frames > 0) {
      const double exportWall = MedianThousandths(exportTimes.wallPerFrameNs);
      const double rawWall = MedianThousandths(rawTimes.wallPerFrameNs);
      const double exportCpu = MedianThousandths(exportTimes.cpuPerFrameNs);
      const double rawCpu = MedianThousandths(rawTimes.cpuPerFrameNs);
      state.counters["exports_fps"] = 1e6 / exportWall;
      state.counters["raw_fps"] = 1e6 / rawWall;
      state.counters["fps_ratio"] = rawWall / exportWall;
      state.counters["exports_wall_us"] = exportWall;
      state.counters["raw_wall_us"] = rawWall;
      state.counters["exports_cpu_us"] = exportCpu;
      state.counters["raw_cpu_us"] = rawCpu;
      state.counters["extra_cpu_us"] = exportCpu - rawCpu;
      state.counters["extra_caller_cpu_us"] =
          MedianThousandths(exportTimes.callerCpuPerFrameNs) - MedianThousandths(rawTimes.callerCpuPerFrameNs);
      state.counters["fps_ratio_all"] = rawTimes.wallNs / exportTimes.wallNs;
      state.counters["extra_cpu_all_us"] = (exportTimes.cpuNs - rawTimes.cpuNs) / frames / 1000;
    }
    state.SetItemsProcessed(static_cast<int64_t>(frames));
  }
  TLClose(tl);
}
BENCHMARK(BM_StreamPathCost)->Arg(2048)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// Four cameras streaming at once through the exports, one thread each:
// frames per second over all four (items) and per camera.
void BM_FourCamerasStreaming(benchmark::State &state) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  const auto side = static_cast<uint32_t>(state.range(0));
  const int batch = side >= 1024 ? 16 : 256;
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  {
    std::vector<std::unique_ptr<ExportCamera>> cameras;
    for (int i = 0; i < 4; ++i)
      cameras.push_back(
          std::make_unique<ExportCamera>(tl, Square("FOUR-" + std::to_string(side) + "-" + std::to_string(i), side)));
    for (const auto &camera : cameras) {
      if (camera->stream == nullptr)
        state.SkipWithError(zar_bench::kNoCamera);
      else if (DSStartAcquisition(camera->stream, 0, 1) != ZAR_SUCCESS)
        state.SkipWithError("start");
      else if (!camera->Frames(1))
        state.SkipWithError("the first frame did not come");
    }
    for (auto _ : state) {
      std::vector<std::future<bool>> streams;
      for (const auto &camera : cameras)
        streams.push_back(std::async(std::launch::async, [&] { return camera->Frames(batch); }));
      for (auto &stream : streams)
        if (!stream.get()) state.SkipWithError("a frame did not come");
    }
    for (const auto &camera : cameras) DSStopAcquisition(camera->stream, 0);
    const auto frames = static_cast<int64_t>(state.iterations()) * batch * 4;
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * side * side);
    state.counters["fps_per_camera"] =
        benchmark::Counter(static_cast<double>(frames) / 4, benchmark::Counter::kIsRate);
  }
  TLClose(tl);
}
BENCHMARK(BM_FourCamerasStreaming)->Arg(2048)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
