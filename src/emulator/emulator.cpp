#include "emulator/emulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/interface_classes.h"
#include "emulator/bus.h"
#include "emulator/camera_registers.h"
#include "emulator/emulation_config.h"
#include "emulator/virtual_driver.h"
#include "os/named_event.h"
#include "os/system_info.h"
#include "os/system_message.h"

namespace oxa::ZarUsb::emulator {

namespace {

constexpr char kPathPrefix[] = "\\\\?\\zarusb-emu#";

std::string Text(const uint8_t *field, size_t size) {
  size_t length = 0;
  while (length < size && field[length] != 0) ++length;
  return std::string(reinterpret_cast<const char *>(field), length);
}

void DevicesChanged() { os::PostSystemMessage(os::kWmDeviceChange, os::kDbtDevNodesChanged); }

} // namespace

bool EmulationEnabled() {
  const char *value = std::getenv("ZAR_USB_EMULATION");
  return value != nullptr && *value != '\0';
}

std::string DevicePath(uint32_t slot, uint32_t generation, uint32_t interfaceClass) {
  char path[128];
  std::snprintf(path, sizeof path, "%sslot%02u#gen%u#%s", kPathPrefix, slot, generation,
                driver::GuidText(driver::kInterfaceClasses[interfaceClass % driver::kInterfaceClassCount]).c_str());
  return path;
}

std::string WakeEventName(uint32_t slot, uint32_t generation) {
  return "emulator-camera-" + std::to_string(slot) + "-" + std::to_string(generation) + "-wake";
}

bool ParseDevicePath(const char *path, uint32_t *slot, uint32_t *generation) {
  if (path == nullptr || std::strncmp(path, kPathPrefix, sizeof kPathPrefix - 1) != 0) return false;
  unsigned parsedSlot = 0, parsedGeneration = 0;
  if (std::sscanf(path + sizeof kPathPrefix - 1, "slot%2u#gen%u#", &parsedSlot, &parsedGeneration) != 2) return false;
  *slot = parsedSlot;
  *generation = parsedGeneration;
  return parsedSlot < kMaxCameras;
}

std::optional<uint32_t> Plug(const CameraConfig &config, std::string *why) {
  Bus *bus = Bus::Get();
  if (bus == nullptr) {
    if (why != nullptr) *why = "the emulated bus cannot be opened (namespace folder not usable)";
    return std::nullopt;
  }
  std::optional<uint32_t> plugged;
  {
    Bus::Guard guard(*bus);
    BusLayout &layout = guard.Layout();
    for (uint32_t slot = 0; slot < kMaxCameras && !plugged; ++slot) {
      if (layout.cameras[slot].present != 0) continue;
      if (!PlugInto(layout.cameras[slot], config)) {
        if (why != nullptr) *why = "unusable camera: check the pixel format, the geometry and the interface class";
        return std::nullopt;
      }
      ++layout.changeCount;
      plugged = slot;
    }
  }
  if (!plugged) {
    if (why != nullptr) *why = "the bus is full: 30 cameras are plugged";
    return std::nullopt;
  }
  DevicesChanged();
  return plugged;
}

std::string EmulationProblem() {
  std::string why;
  const std::vector<CameraConfig> wanted = ConfiguredCameras(&why);
  if (!why.empty() || wanted.empty()) return why;
  Bus *bus = Bus::Get();
  if (bus == nullptr) return {};
  const char *variable = std::getenv("ZAR_USB_EMULATION");
  Bus::Guard guard(*bus);
  const char *seed = guard.Layout().seededFrom;
  if (std::strncmp(seed, variable, kSeedTextSize - 1) == 0) return {};
  return std::string("ZAR_USB_EMULATION=") + variable + " is not applied: the emulated bus already exists (made " +
         (*seed != '\0' ? std::string("with ZAR_USB_EMULATION=") + seed : std::string("without it")) +
         "); `zarusb emu reset` plugs its cameras instead of the present ones";
}

std::optional<uint32_t> Reset(std::string *why) {
  Bus *bus = Bus::Get();
  if (bus == nullptr) {
    if (why != nullptr) *why = "the emulated bus cannot be opened (namespace folder not usable)";
    return std::nullopt;
  }
  std::vector<std::pair<uint32_t, uint32_t>> unplugged; // slot, generation
  std::string problem;
  uint32_t plugged = 0;
  {
    Bus::Guard guard(*bus);
    BusLayout &layout = guard.Layout();
    for (uint32_t slot = 0; slot < kMaxCameras; ++slot)
      if (layout.cameras[slot].present != 0) unplugged.emplace_back(slot, layout.cameras[slot].generation);
    Bus::Seed(layout, &problem);
    for (const CameraSlot &camera : layout.cameras) plugged += camera.present;
  }
  for (const auto &[slot, generation] : unplugged) os::NamedEvent::SetByName(WakeEventName(slot, generation));
  DevicesChanged();
  if (!problem.empty()) {
    if (why != nullptr) *why = problem;
    return std::nullopt;
  }
  return plugged;
}

bool Unplug(uint32_t slot) {
  Bus *bus = Bus::Get();
  if (bus == nullptr || slot >= kMaxCameras) return false;
  uint32_t generation = 0;
  {
    Bus::Guard guard(*bus);
    CameraSlot &camera = guard.Layout().cameras[slot];
    if (camera.present == 0) return false;
    camera.present = 0;
    camera.streaming = 0;
    generation = camera.generation;
    ++guard.Layout().changeCount;
  }
  os::NamedEvent::SetByName(WakeEventName(slot, generation));
  DevicesChanged();
  return true;
}

std::vector<PluggedCamera> ListCameras() {
  std::vector<PluggedCamera> cameras;
  Bus *bus = Bus::Get();
  if (bus == nullptr) return cameras;
  Bus::Guard guard(*bus);
  for (uint32_t slot = 0; slot < kMaxCameras; ++slot) {
    const CameraSlot &camera = guard.Layout().cameras[slot];
    if (camera.present == 0) continue;
    PluggedCamera item{slot, DevicePath(slot, camera.generation, camera.interfaceClass), {}, camera.holderProcess};
    item.config.vendor = Text(camera.identity + reg::kVendorName, 32);
    item.config.model = Text(camera.identity + reg::kModelName, 32);
    item.config.version = Text(camera.identity + reg::kDeviceVersion, 32);
    item.config.serial = Text(camera.identity + reg::kSerialNumber, 32);
    item.config.userName = Text(camera.identity + reg::kUserName, 16);
    std::memcpy(&item.config.register90, camera.identity + reg::kRegister90, 4);
    item.config.width = camera.width;
    item.config.height = camera.height;
    item.config.pixelFormat = camera.pixelFormat;
    item.config.frameRateMilli = camera.frameRateMilli;
    item.config.interfaceClass = camera.interfaceClass;
    cameras.push_back(item);
  }
  return cameras;
}

bool RaiseEvent(uint32_t slot, uint32_t id, const void *data, uint32_t length) {
  Bus *bus = Bus::Get();
  if (bus == nullptr || slot >= kMaxCameras || length > kEventDataSize) return false;
  uint32_t generation = 0;
  {
    Bus::Guard guard(*bus);
    CameraSlot &camera = guard.Layout().cameras[slot];
    if (camera.present == 0) return false;
    PushEvent(camera, id, data, length);
    generation = camera.generation;
  }
  os::NamedEvent::SetByName(WakeEventName(slot, generation));
  return true;
}

bool InjectFault(uint32_t slot, Request request, FaultKind kind, uint32_t count, uint32_t value, uint32_t skip) {
  Bus *bus = Bus::Get();
  const auto index = static_cast<uint32_t>(request);
  if (bus == nullptr || slot >= kMaxCameras || index >= kRequestKinds || kind > FaultKind::AtOnce) return false;
  Bus::Guard guard(*bus);
  CameraSlot &camera = guard.Layout().cameras[slot];
  if (camera.present == 0) return false;
  camera.faults[index] = {kind == FaultKind::None ? 0 : count, static_cast<uint32_t>(kind), value, skip};
  return true;
}

bool ReadCameraRegisters(uint32_t slot, uint32_t mode, uint64_t address, void *data, uint64_t size) {
  Bus *bus = Bus::Get();
  if (bus == nullptr || slot >= kMaxCameras) return false;
  Bus::Guard guard(*bus);
  const CameraSlot &camera = guard.Layout().cameras[slot];
  return camera.present != 0 && ReadRegisters(camera, mode, address, static_cast<uint8_t *>(data), size) == 0;
}

uintptr_t HoldCamera(uint32_t slot) {
  std::string path;
  for (const PluggedCamera &camera : ListCameras())
    if (camera.slot == slot) path = camera.path;
  uint32_t error = 0;
  return path.empty() ? 0 : reinterpret_cast<uintptr_t>(OpenVirtualDriver(path.c_str(), &error).release());
}

void ReleaseCamera(uintptr_t hold) { delete reinterpret_cast<os::DeviceIo *>(hold); }

bool Suspend() { return os::PostSystemMessage(os::kWmPowerBroadcast, os::kPbtApmSuspend); }

bool Resume() { return os::PostSystemMessage(os::kWmPowerBroadcast, os::kPbtApmResumeAutomatic); }

void Hibernate(uint32_t gapMs) {
  Suspend();
  std::vector<PluggedCamera> cameras = ListCameras();
  for (const auto &camera : cameras) Unplug(camera.slot);
  Resume();
  os::Sleep(gapMs);
  for (const auto &camera : cameras) Plug(camera.config);
}

} // namespace oxa::ZarUsb::emulator
