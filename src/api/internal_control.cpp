// The library's internal control table (see internal_control.h).

#include "api/internal_control.h"

#include <algorithm>

#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "registry/table_snapshot.h"

namespace oxa::ZarUsb::control {

namespace {

// No exception leaves the table: a control that fails for want of memory
// reports failure.
template <class Result, class Work> Result Guarded(Result failed, Work work) noexcept {
  try {
    return work();
  } catch (...) {
    return failed;
  }
}

int32_t Plug(const ZarUsbEmulatedCamera *camera, uint32_t *slot, char *why, uint32_t whySize) {
  return Guarded<int32_t>(0, [&] {
    std::string reason;
    const auto plugged = emulator::Plug(ToConfig(*camera), &reason);
    if (plugged) *slot = *plugged;
    if (!plugged && why != nullptr && whySize > 0) {
      const size_t length = std::min<size_t>(reason.size(), whySize - 1);
      std::memcpy(why, reason.data(), length);
      why[length] = '\0';
    }
    return plugged ? 1 : 0;
  });
}

uint32_t ListCameras(ZarUsbEmulatedCamera *cameras, uint32_t capacity) {
  return Guarded<uint32_t>(0, [&] {
    const auto plugged = emulator::ListCameras();
    for (uint32_t i = 0; i < plugged.size() && i < capacity; ++i) {
      cameras[i] = ToRecord(plugged[i].config);
      cameras[i].slot = plugged[i].slot;
      cameras[i].holderProcess = plugged[i].holderProcess;
      CopyText(cameras[i].path, plugged[i].path);
    }
    return static_cast<uint32_t>(plugged.size());
  });
}

uint32_t ReadSharedTable(ZarUsbListedCamera *cameras, uint32_t capacity) {
  return Guarded<uint32_t>(0, [&] {
    const auto listed = oxa::ZarUsb::ReadSharedTable();
    for (uint32_t i = 0; i < listed.size() && i < capacity; ++i) {
      cameras[i].index = listed[i].index;
      cameras[i].ownerProcessId = listed[i].ownerProcessId;
      CopyText(cameras[i].friendlyName, listed[i].friendlyName);
      CopyText(cameras[i].serialNumber, listed[i].serialNumber);
    }
    return static_cast<uint32_t>(listed.size());
  });
}

const ZarUsbControl kControl = {
    kVersion,
    sizeof(ZarUsbControl),
    [] { return static_cast<int32_t>(emulator::BusConnected()); },
    Plug,
    [](uint32_t slot) { return Guarded<int32_t>(0, [&] { return static_cast<int32_t>(emulator::Unplug(slot)); }); },
    ListCameras,
    [](uint32_t slot, uint32_t id, const void *data, uint32_t length) {
      return Guarded<int32_t>(0, [&] { return static_cast<int32_t>(emulator::RaiseEvent(slot, id, data, length)); });
    },
    [](uint32_t slot, uint32_t request, uint32_t kind, uint32_t count, uint32_t value, uint32_t skip) {
      return Guarded<int32_t>(0, [&] {
        return static_cast<int32_t>(emulator::InjectFault(slot, static_cast<emulator::Request>(request),
                                                          static_cast<emulator::FaultKind>(kind), count, value, skip));
      });
    },
    [] { emulator::Suspend(); },
    [] { emulator::Resume(); },
    [](uint32_t gapMs) { Guarded<int>(0, [&] { emulator::Hibernate(gapMs); return 0; }); },
    [](uint32_t slot, uint32_t mode, uint64_t address, void *data, uint64_t size) {
      return Guarded<int32_t>(0, [&] {
        return static_cast<int32_t>(emulator::ReadCameraRegisters(slot, mode, address, data, size));
      });
    },
    [](uint32_t slot) { return Guarded<uintptr_t>(0, [&] { return emulator::HoldCamera(slot); }); },
    [](uintptr_t hold) { emulator::ReleaseCamera(hold); },
    ReadSharedTable,
};

} // namespace

} // namespace oxa::ZarUsb::control

extern "C" const ZarUsbControl *ZarUsbInternalControl(uint32_t version) {
  return version == oxa::ZarUsb::control::kVersion ? &oxa::ZarUsb::control::kControl : nullptr;
}
