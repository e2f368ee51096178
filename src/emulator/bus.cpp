#include "emulator/bus.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "emulator/emulation_config.h"
#include "emulator/emulator.h"

namespace oxa::ZarUsb::emulator {

namespace {

void PutText(uint8_t *field, size_t size, const std::string &text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

void PutU32(uint8_t *at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

} // namespace

Bus *Bus::Get() {
  // Opened once per process and never destroyed: virtual drivers may still be
  // working while static objects go away at exit.
  static Bus *bus = [] {
    Bus *opened = new Bus;
    if (opened->Open()) return opened;
    delete opened;
    return static_cast<Bus *>(nullptr);
  }();
  return bus;
}

bool Bus::Open() {
  if (m_mutex.Open("emulator-bus") != 0) return false;
  if (m_file.Open("emulator-bus", sizeof(BusLayout)) != 0) return false;
  m_layout = static_cast<BusLayout *>(m_file.Data());
  Guard guard(*this);
  if (m_layout->magic != kBusMagic || m_layout->version != kBusVersion) {
    std::memset(m_layout, 0, sizeof *m_layout);
    Seed(*m_layout, nullptr);
  }
  return true;
}

void Bus::Seed(BusLayout &layout, std::string *why) {
  layout.magic = kBusMagic;
  layout.version = kBusVersion;
  for (CameraSlot &camera : layout.cameras) {
    camera.present = 0;
    camera.streaming = 0;
  }
  const char *variable = std::getenv("ZAR_USB_EMULATION");
  std::memset(layout.seededFrom, 0, sizeof layout.seededFrom);
  if (variable != nullptr) std::strncpy(layout.seededFrom, variable, sizeof layout.seededFrom - 1);
  uint32_t slot = 0;
  for (const CameraConfig &config : ConfiguredCameras(why))
    if (slot < kMaxCameras && PlugInto(layout.cameras[slot], config)) ++slot;
  ++layout.changeCount;
}

CameraSlot *Bus::Camera(Guard &guard, uint32_t slot, uint32_t generation) {
  if (slot >= kMaxCameras) return nullptr;
  CameraSlot &camera = guard.Layout().cameras[slot];
  return camera.present == 1 && camera.generation == generation ? &camera : nullptr;
}

bool PlugInto(CameraSlot &slot, const CameraConfig &config) {
  if (BytesPerPixel(config.pixelFormat) == 0 || config.width == 0 || config.width > kMaxDimension ||
      config.height == 0 || config.height > kMaxDimension || config.interfaceClass > 20)
    return false;
  const uint32_t generation = slot.generation + 1;
  std::memset(&slot, 0, sizeof slot);
  slot.generation = generation;
  slot.interfaceClass = config.interfaceClass;
  PutText(slot.identity + reg::kVendorName, 32, config.vendor);
  PutText(slot.identity + reg::kModelName, 32, config.model);
  PutText(slot.identity + reg::kDeviceVersion, 32, config.version);
  PutText(slot.identity + reg::kSerialNumber, 32, config.serial);
  PutText(slot.identity + reg::kUserName, 16, config.userName);
  PutU32(slot.identity + reg::kRegister90, config.register90);
  slot.width = config.width;
  slot.height = config.height;
  slot.pixelFormat = config.pixelFormat;
  slot.frameRateMilli = config.frameRateMilli;
  slot.exposureUs = kReferenceExposureUs;
  PutU32(slot.transportLayer + reg::kTLVersion, 0x00010503);
  PutU32(slot.transportLayer + reg::kTLLinkSpeed, 5000);
  slot.present = 1;
  return true;
}

void PushEvent(CameraSlot &slot, uint32_t id, const void *data, uint32_t length) {
  if (slot.eventTail - slot.eventHead >= kEventQueueLength) ++slot.eventHead;
  EventEntry &entry = slot.events[slot.eventTail % kEventQueueLength];
  entry.id = id;
  entry.length = static_cast<int32_t>(std::min(length, kEventDataSize));
  std::memset(entry.data, 0, sizeof entry.data);
  if (data != nullptr) std::memcpy(entry.data, data, static_cast<size_t>(entry.length));
  ++slot.eventTail;
}

} // namespace oxa::ZarUsb::emulator
