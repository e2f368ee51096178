// The cost of a camera's features by name: listing every feature of an
// emulated camera through the node map (zar_features_list), beside reading
// each distinct register its description file declares once (GCReadData),
// on both shipped camera models.

#include <benchmark/benchmark.h>

#include <arv.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulator/emulator.h"
#include "os/system_info.h"
#include "process_clock.h"
#include "temp_dir.h"
#include "zar_features.h"
#include "zar_usb.h"

namespace {

using Registers = std::set<std::pair<uint64_t, uint64_t>>; // address, length

// The distinct registers (address and length) of the camera's description
// file: the nodes that are registers, as Aravis reads the file.
Registers DeclaredRegisters(ZAR_DEV_HANDLE device) {
  uint32_t size = 0;
  DevGetXml(device, nullptr, &size);
  std::string xml(size + 1, '\0');
  uint32_t capacity = size + 1;
  DevGetXml(device, xml.data(), &capacity);
  xml.resize(xml.find('\0'));
  ArvGc *genicam = arv_gc_new(nullptr, xml.data(), xml.size());
  Registers registers;
  ArvDomElement *top = arv_dom_document_get_document_element(ARV_DOM_DOCUMENT(genicam));
  for (ArvDomNode *node = arv_dom_node_get_first_child(ARV_DOM_NODE(top)); node != nullptr;
       node = arv_dom_node_get_next_sibling(node)) {
    if (!ARV_IS_GC_REGISTER(node)) continue;
    GError *error = nullptr;
    const uint64_t address = arv_gc_register_get_address(ARV_GC_REGISTER(node), &error);
    const uint64_t length = error == nullptr ? arv_gc_register_get_length(ARV_GC_REGISTER(node), &error) : 0;
    if (error == nullptr) registers.emplace(address, length);
    g_clear_error(&error);
  }
  g_object_unref(genicam);
  return registers;
}

// An emulated camera of that model, open, with its node map.
struct Camera {
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  ZAR_FEATURES *features = nullptr;
  Registers registers;

  Camera(const std::string &model, const std::string &version) {
    // The library reads GENICAM_ROOT as a description file is asked for.
    oxa::ZarUsb::os::SetEnv("GENICAM_ROOT", ZAR_GENICAM_SOURCE);
    oxa::ZarUsb::emulator::CameraConfig config;
    config.model = model;
    config.version = version;
    config.serial = "BENCH-" + model;
    oxa::ZarUsb::emulator::Plug(config);
    TLOpen(nullptr, nullptr, &tl);
    const std::string name = model + "_#" + config.serial;
    for (int i = 0; i < 1000 && device == nullptr; ++i) {
      uint8_t changed = 0;
      TLUpdateDeviceList(tl, "USB", &changed);
      if (TLOpenDevice(tl, "USB", name.c_str(), &device) != ZAR_SUCCESS)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (device != nullptr) features = zar_features_open(device, nullptr, nullptr, 0);
    if (features != nullptr) registers = DeclaredRegisters(device);
  }
};

Camera &Shared(int model) {
  static Camera zc1000("ZC1000", "1.0"), zc2000("ZC2000", "2.0");
  return model == 0 ? zc1000 : zc2000;
}

// GCReadData calls and their bytes while `work` runs, from the library's
// trace.
template <typename Work> std::pair<int, uint64_t> TracedReads(Work work) {
  const zar_test::TempDir folder;
  const std::filesystem::path file = folder / "trace.txt";
  OpenDebugFile(file.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC);
  EnableZarTrace(1);
  work();
  EnableZarTrace(0);
  CloseDebugFile();
  std::ifstream trace(file);
  int calls = 0;
  uint64_t bytes = 0;
  const std::string enter = "GCReadData: Enter (Add=";
  for (std::string line; std::getline(trace, line);) {
    const size_t at = line.find(enter);
    if (at == std::string::npos) continue;
    ++calls;
    const size_t size = line.find("Size=", at);
    if (size != std::string::npos) bytes += std::stoull(line.substr(size + 5));
  }
  return {calls, bytes};
}

// Each iteration lists every feature of the camera with its value
// (ZAR_FEATURES_ALL) and, right after, reads each distinct register of the
// file once through GCReadData: the least a listing must read. Counters:
// list_us and baseline_us per run, wall_ratio and cpu_ratio (process CPU
// time) of the listing to the baseline; features listed; the listing's
// GCReadData calls and bytes (from the trace) beside the distinct registers
// declared and their bytes.
void BM_ListEveryFeature(benchmark::State &state) {
  Camera &camera = Shared(static_cast<int>(state.range(0)));
  if (camera.features == nullptr) {
    state.SkipWithError("no camera with a node map (GENICAM_ROOT?)");
    return;
  }
  const ZAR_FEATURE_INFO *items = nullptr;
  size_t count = 0;
  uint64_t registerBytes = 0;
  for (const auto &[address, length] : camera.registers) registerBytes += length;
  std::vector<uint8_t> buffer(registerBytes);
  auto readEachRegister = [&] {
    bool ok = true;
    for (const auto &[address, length] : camera.registers) {
      uint64_t size = length;
      ok &= GCReadData(camera.device, 0, address, buffer.data(), &size) == ZAR_SUCCESS;
    }
    return ok;
  };
  const auto [listCalls, listBytes] =
      TracedReads([&] { zar_features_list(camera.features, ZAR_FEATURES_ALL, &items, &count); });
  double listWall = 0, listCpu = 0, baseWall = 0, baseCpu = 0;
  bool failed = false;
  for (auto _ : state) {
    const zar_bench::ProcessClock listing;
    failed |= zar_features_list(camera.features, ZAR_FEATURES_ALL, &items, &count) != ZAR_FEATURE_OK;
    zar_bench::AddSince(listing, &listWall, &listCpu);
    const zar_bench::ProcessClock baseline;
    failed |= !readEachRegister();
    zar_bench::AddSince(baseline, &baseWall, &baseCpu);
  }
  if (failed) state.SkipWithError("a listing or a register read failed");
  const double runs = static_cast<double>(state.iterations());
  state.counters["list_us"] = listWall / runs / 1e3;
  state.counters["baseline_us"] = baseWall / runs / 1e3;
  state.counters["wall_ratio"] = listWall / baseWall;
  state.counters["cpu_ratio"] = baseCpu > 0 ? listCpu / baseCpu : 0;
  state.counters["features"] = static_cast<double>(count);
  state.counters["list_reads"] = listCalls;
  state.counters["list_read_bytes"] = static_cast<double>(listBytes);
  state.counters["registers"] = static_cast<double>(camera.registers.size());
  state.counters["register_bytes"] = static_cast<double>(registerBytes);
}
BENCHMARK(BM_ListEveryFeature)->Arg(0)->Arg(1)->ArgName("model")->Unit(benchmark::kMicrosecond);

} // namespace
