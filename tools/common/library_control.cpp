// The emulator's controls and the table snapshot for programs that load the
// library: each call goes to the library's own, through its internal control
// table, so that the program holds one copy of the library.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/internal_control.h"
#include "emulator/emulator.h"
#include "registry/table_snapshot.h"

namespace oxa::ZarUsb {

namespace {

const ZarUsbControl &Control() {
  static const ZarUsbControl *control = ZarUsbInternalControl(control::kVersion);
  if (control == nullptr) {
    std::fprintf(stderr, "The loaded ZAR_USB library comes from another build than this program.\n");
    std::exit(2);
  }
  return *control;
}

} // namespace

std::vector<ListedCamera> ReadSharedTable() {
  ZarUsbListedCamera records[64];
  const uint32_t count = Control().ReadSharedTable(records, 64);
  std::vector<ListedCamera> cameras;
  for (uint32_t i = 0; i < count && i < 64; ++i)
    cameras.push_back({records[i].index, control::Text(records[i].friendlyName),
                       control::Text(records[i].serialNumber), records[i].ownerProcessId});
  return cameras;
}

namespace emulator {

bool EmulationEnabled() { return Control().EmulationEnabled() != 0; }

std::optional<uint32_t> Plug(const CameraConfig &config, std::string *why) {
  const ZarUsbEmulatedCamera record = control::ToRecord(config);
  uint32_t slot = 0;
  char reason[256] = {};
  if (Control().Plug(&record, &slot, reason, sizeof reason) != 0) return slot;
  if (why != nullptr) *why = reason;
  return std::nullopt;
}

bool Unplug(uint32_t slot) { return Control().Unplug(slot) != 0; }

std::vector<PluggedCamera> ListCameras() {
  ZarUsbEmulatedCamera records[64];
  const uint32_t count = Control().ListCameras(records, 64);
  std::vector<PluggedCamera> cameras;
  for (uint32_t i = 0; i < count && i < 64; ++i)
    cameras.push_back({records[i].slot, control::Text(records[i].path), control::ToConfig(records[i]),
                       records[i].holderProcess});
  return cameras;
}

bool RaiseEvent(uint32_t slot, uint32_t id, const void *data, uint32_t length) {
  return Control().RaiseEvent(slot, id, data, length) != 0;
}

bool InjectFault(uint32_t slot, Request request, FaultKind kind, uint32_t count, uint32_t value, uint32_t skip) {
  return Control().InjectFault(slot, static_cast<uint32_t>(request), static_cast<uint32_t>(kind), count, value,
                               skip) != 0;
}

void Suspend() { Control().Suspend(); }
void Resume() { Control().Resume(); }
void Hibernate(uint32_t gapMs) { Control().Hibernate(gapMs); }

bool ReadCameraRegisters(uint32_t slot, uint32_t mode, uint64_t address, void *data, uint64_t size) {
  return Control().ReadCameraRegisters(slot, mode, address, data, size) != 0;
}

uintptr_t HoldCamera(uint32_t slot) { return Control().HoldCamera(slot); }
void ReleaseCamera(uintptr_t hold) { Control().ReleaseCamera(hold); }

} // namespace emulator

} // namespace oxa::ZarUsb
