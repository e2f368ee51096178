// Streaming through ZAR_USB.cti (GenTL: EventGetData, the buffer's base and
// filled size, DSQueueBuffer) beside streaming through the exports
// (DSWaitForBuffer, DSQueueBuffer), at 4 MiB Mono8 and at 64x64, on two
// cameras of the same geometry in one run.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator/bus_devices.h"
#include "export_camera.h"
#include "gentl_consumer.h"
#include "os/device_sources.h"
#include "os/one_cpu.h"
#include "process_clock.h"

using namespace oxa::ZarUsb;

namespace {

using gentl::Handle;

// A camera streaming through the producer: 8 producer buffers announced and
// queued, the new-buffer event registered.
struct GenTLCamera {
  const gentl::Producer *api = nullptr;
  Handle tl = nullptr, iface = nullptr, device = nullptr, stream = nullptr, event = nullptr;

  explicit GenTLCamera(const emulator::CameraConfig &config) {
    std::string why;
    api = gentl::LoadProducer(gentl::ProducerPath(), &why);
    static const bool initialized = api != nullptr && api->GCInitLib() == gentl::kSuccess;
    if (!initialized || api->TLOpen(&tl) != 0 || api->TLOpenInterface(tl, "USB", &iface) != 0) return;
    zar_bench::PlugOnce(config);
    const std::string name = config.model + "_#" + config.serial;
    for (int i = 0; i < 1000 && device == nullptr; ++i) {
      uint8_t changed = 0;
      api->IFUpdateDeviceList(iface, &changed, 1000);
      if (api->IFOpenDevice(iface, name.c_str(), gentl::kOpenExclusive, &device) != 0) {
        device = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (device == nullptr || api->DevOpenDataStream(device, "Stream0", &stream) != 0 ||
        api->GCRegisterEvent(stream, gentl::kEventNewBuffer, &event) != 0) {
      event = nullptr;
      return;
    }
    for (uint32_t i = 0; i < zar_bench::kBuffers; ++i) {
      Handle buffer = nullptr;
      api->DSAllocAndAnnounceBuffer(stream, size_t{config.width} * config.height, nullptr, &buffer);
      api->DSQueueBuffer(stream, buffer);
    }
  }
  ~GenTLCamera() {
    if (tl != nullptr) api->TLClose(tl); // closes the device and its stream
  }
  GenTLCamera(const GenTLCamera &) = delete;
  GenTLCamera &operator=(const GenTLCamera &) = delete;

  // Frames as a consumer takes them: the event, the buffer's memory and
  // filled size, the requeue. False on a failure.
  bool Frames(int count) const {
    for (int i = 0; i < count; ++i) {
      gentl::NewBufferData data{};
      size_t size = sizeof data;
      void *base = nullptr;
      size_t filled = 0, baseSize = sizeof base, filledSize = sizeof filled;
      int32_t type = 0;
      if (api->EventGetData(event, &data, &size, 2000) != 0 ||
          api->DSGetBufferInfo(stream, data.buffer, gentl::kBufBase, &type, &base, &baseSize) != 0 ||
          api->DSGetBufferInfo(stream, data.buffer, gentl::kBufSizeFilled, &type, &filled, &filledSize) != 0 ||
          base == nullptr || filled == 0 || api->DSQueueBuffer(stream, data.buffer) != 0)
        return false;
    }
    return true;
  }
};

// One path's batches: each batch's wall time, process CPU time and calling
// thread's CPU time, per frame.
struct PathTimes {
  std::vector<double> wall, cpu, callerCpu;

  template <class Stream> bool Batch(int frames, Stream stream) {
    const double callerStart = zar_bench::ThreadCpuNs();
    const zar_bench::ProcessClock start;
    const bool done = stream();
    double wallNs = 0, cpuNs = 0;
    zar_bench::AddSince(start, &wallNs, &cpuNs);
    wall.push_back(wallNs / frames / 1000);
    cpu.push_back(cpuNs / frames / 1000);
    callerCpu.push_back((zar_bench::ThreadCpuNs() - callerStart) / frames / 1000);
    return done;
  }
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Each iteration streams a batch through the exports and one through the
// producer, one right after the other. Counters, each the median over batches of a
// path's figure per frame: exports_fps and gentl_fps, fps_ratio (producer
// to exports), wall and process CPU microseconds of each path,
// extra_cpu_us (what the producer adds to the process's CPU time) and
// extra_caller_cpu_us (to the calling thread's). The threads stay on one
// CPU, as in BM_StreamPathCost, so that neither path gets the costly
// wake-ups of threads on other CPUs by chance.
void BM_GenTLStreamPathCost(benchmark::State &state) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  const auto side = static_cast<uint32_t>(state.range(0));
  const int batch = side >= 1024 ? 16 : 256;
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  {
    const os::OneCpu pinned;
    const std::string tag = std::to_string(side);
    zar_bench::ExportCamera exports(tl, zar_bench::Square("GENTL-EXPORTS-" + tag, side));
    GenTLCamera producer(zar_bench::Square("GENTL-CTI-" + tag, side));
    if (exports.stream == nullptr || producer.event == nullptr) state.SkipWithError(zar_bench::kNoCamera);
    PathTimes exportTimes, producerTimes;
    // The paths take turns at going first, so that neither always meets the
    // caches and the camera threads as the other left them.
    const auto exportBatch = [&] {
      if (DSStartAcquisition(exports.stream, 0, 1) != ZAR_SUCCESS) return false;
      const bool ok = exportTimes.Batch(batch, [&] { return exports.Frames(batch); });
      DSStopAcquisition(exports.stream, 0);
      return ok;
    };
    const auto producerBatch = [&] {
      if (producer.api->DSStartAcquisition(producer.stream, 0, gentl::kInfinite) != gentl::kSuccess) return false;
      const bool ok = producerTimes.Batch(batch, [&] { return producer.Frames(batch); });
      producer.api->DSStopAcquisition(producer.stream, 0);
      return ok;
    };
    bool exportsFirst = true;
    for (auto _ : state) {
      const bool ok = exportsFirst ? exportBatch() && producerBatch() : producerBatch() && exportBatch();
      exportsFirst = !exportsFirst;
      if (!ok) {
        state.SkipWithError("a frame did not come");
        break;
      }
    }
    if (!exportTimes.wall.empty()) {
      const double exportWall = Median(exportTimes.wall), producerWall = Median(producerTimes.wall);
      const double exportCpu = Median(exportTimes.cpu), producerCpu = Median(producerTimes.cpu);
      state.counters["exports_fps"] = 1e6 / exportWall;
      state.counters["gentl_fps"] = 1e6 / producerWall;
      state.counters["fps_ratio"] = exportWall / producerWall;
      state.counters["exports_wall_us"] = exportWall;
      state.counters["gentl_wall_us"] = producerWall;
      state.counters["exports_cpu_us"] = exportCpu;
      state.counters["gentl_cpu_us"] = producerCpu;
      state.counters["extra_cpu_us"] = producerCpu - exportCpu;
      state.counters["extra_caller_cpu_us"] = Median(producerTimes.callerCpu) - Median(exportTimes.callerCpu);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch * 2);
  }
  TLClose(tl);
}
BENCHMARK(BM_GenTLStreamPathCost)->Arg(2048)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
