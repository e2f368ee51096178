#include "emulator/camera_registers.h"

#include <cstring>

#include "driver/driver_requests.h"
#include "emulator/bus.h"
#include "emulator/camera_model.h"

namespace oxa::ZarUsb::emulator {

namespace {

bool Within(uint64_t address, uint64_t size, uint64_t begin, uint64_t end) {
  return address >= begin && address <= end && size <= end - address;
}

uint32_t Payload(const CameraSlot &camera) {
  return camera.width * camera.height * BytesPerPixel(camera.pixelFormat);
}

// The camera register space 0x000-0x11F as bytes; 0x0A0-0x0FF holds none.
void CameraImage(const CameraSlot &camera, uint8_t (&image)[reg::kControlEnd]) {
  std::memset(image, 0, sizeof image);
  std::memcpy(image, camera.identity, kIdentitySize);
  const uint32_t control[8] = {camera.width, camera.height, camera.pixelFormat, Payload(camera),
                               0, 0, camera.frameRateMilli, 0};
  std::memcpy(image + reg::kWidth, control, sizeof control);
}

uint32_t WriteControl(CameraSlot &camera, uint32_t address, uint32_t value) {
  switch (address) {
  case reg::kWidth:
  case reg::kHeight:
    if (value == 0 || value > kMaxDimension) return error_word::kValue;
    (address == reg::kWidth ? camera.width : camera.height) = value;
    return 0;
  case reg::kPixelFormat:
    if (BytesPerPixel(value) == 0) return error_word::kValue;
    camera.pixelFormat = value;
    return 0;
  case reg::kPayloadSize:
    return error_word::kReadOnly;
  case reg::kAcquisitionStart:
    camera.streaming = 1;
    return 0;
  case reg::kAcquisitionStop:
    camera.streaming = 0;
    return 0;
  case reg::kFrameRate:
    camera.frameRateMilli = value;
    return 0;
  case reg::kTestEvent: {
    const uint32_t sequence = camera.eventTail + 1;
    PushEvent(camera, value, &sequence, sizeof sequence);
    return 0;
  }
  default:
    return error_word::kAddress;
  }
}

} // namespace

uint32_t ReadRegisters(const CameraSlot &camera, uint32_t mode, uint64_t address, uint8_t *out, uint64_t size) {
  if (mode == driver::kAccessCustomFeature) {
    if (!Within(address, size, 0, kCustomFeatureSize)) return error_word::kAddress;
    std::memcpy(out, camera.customFeatures + address, size);
    return 0;
  }
  if (mode != driver::kAccessCamera) {
    if (!Within(address, size, 0, kTransportLayerSize)) return error_word::kAddress;
    std::memcpy(out, camera.transportLayer + address, size);
    return 0;
  }
  if (Within(address, size, reg::kUserMemory, reg::kUserMemory + kUserMemorySize)) {
    std::memcpy(out, camera.userMemory + (address - reg::kUserMemory), size);
    return 0;
  }
  const bool identity = Within(address, size, 0, kIdentitySize);
  if (!identity && !Within(address, size, reg::kWidth, reg::kControlEnd)) return error_word::kAddress;
  uint8_t image[reg::kControlEnd];
  CameraImage(camera, image);
  std::memcpy(out, image + address, size);
  return 0;
}

uint32_t WriteRegisters(CameraSlot &camera, uint32_t mode, uint64_t address, const uint8_t *data, uint64_t size) {
  if (mode == driver::kAccessCustomFeature) {
    if (!Within(address, size, 0, kCustomFeatureSize)) return error_word::kAddress;
    std::memcpy(camera.customFeatures + address, data, size);
    return 0;
  }
  if (mode != driver::kAccessCamera) {
    if (!Within(address, size, 0, kTransportLayerSize)) return error_word::kAddress;
    if (address < reg::kTLUserData) return error_word::kReadOnly;
    std::memcpy(camera.transportLayer + address, data, size);
    return 0;
  }
  if (Within(address, size, reg::kUserMemory, reg::kUserMemory + kUserMemorySize)) {
    std::memcpy(camera.userMemory + (address - reg::kUserMemory), data, size);
    return 0;
  }
  if (Within(address, size, reg::kUserName, reg::kUserName + 16)) {
    std::memcpy(camera.identity + address, data, size);
    return 0;
  }
  if (Within(address, size, 0, kIdentitySize)) return error_word::kReadOnly;
  if (!Within(address, size, reg::kWidth, reg::kControlEnd) || address % 4 != 0 || size % 4 != 0)
    return error_word::kAddress;
  // All-or-nothing: check every register first on a copy.
  CameraSlot changed = camera;
  for (uint64_t offset = 0; offset < size; offset += 4) {
    uint32_t value;
    std::memcpy(&value, data + offset, sizeof value);
    if (const uint32_t error = WriteControl(changed, static_cast<uint32_t>(address + offset), value)) return error;
  }
  camera = changed;
  return 0;
}

} // namespace oxa::ZarUsb::emulator
