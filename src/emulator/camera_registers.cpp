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

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float BitsFloat(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The camera register space up to kControlEnd as bytes; 0x0A0-0x0FF holds
// none.
void CameraImage(const CameraSlot &camera, uint8_t (&image)[reg::kControlEnd]) {
  std::memset(image, 0, sizeof image);
  std::memcpy(image, camera.identity, kIdentitySize);
  const uint32_t control[] = {camera.width,
                              camera.height,
                              camera.pixelFormat,
                              Payload(camera),
                              0,
                              0,
                              camera.frameRateMilli,
                              0,
                              FloatBits(camera.exposureUs),
                              FloatBits(camera.gainDb),
                              camera.offsetX,
                              camera.offsetY,
                              camera.triggerMode,
                              0,
                              0,
                              FloatBits(static_cast<float>(camera.frameRateMilli / 1000.0))};
  static_assert(sizeof control == reg::kControlEnd - reg::kWidth);
  std::memcpy(image + reg::kWidth, control, sizeof control);
}

bool InRange(float value, float low, float high) { return value >= low && value <= high; } // false for NaN

uint32_t WriteControl(CameraSlot &camera, uint32_t address, uint32_t value) {
  switch (address) {
  case reg::kWidth:
  case reg::kHeight: {
    const uint32_t offset = address == reg::kWidth ? camera.offsetX : camera.offsetY;
    if (value == 0 || value > kMaxDimension - offset) return error_word::kValue;
    (address == reg::kWidth ? camera.width : camera.height) = value;
    return 0;
  }
  case reg::kOffsetX:
  case reg::kOffsetY: {
    const uint32_t size = address == reg::kOffsetX ? camera.width : camera.height;
    if (value > kMaxDimension - size) return error_word::kValue;
    (address == reg::kOffsetX ? camera.offsetX : camera.offsetY) = value;
    return 0;
  }
  case reg::kExposureTime:
    if (!InRange(BitsFloat(value), kMinExposureUs, kMaxExposureUs)) return error_word::kValue;
    camera.exposureUs = BitsFloat(value);
    return 0;
  case reg::kGain:
    if (!InRange(BitsFloat(value), 0.0f, kMaxGainDb)) return error_word::kValue;
    camera.gainDb = BitsFloat(value);
    return 0;
  case reg::kTriggerMode:
    if (value > 1) return error_word::kValue;
    camera.triggerMode = value;
    camera.triggers = 0;
    return 0;
  case reg::kTriggerSource:
    return value == 0 ? 0 : error_word::kValue;
  case reg::kTriggerSoftware:
    if (camera.triggerMode != 0 && camera.streaming != 0) ++camera.triggers;
    return 0;
  case reg::kFrameRateFloat:
    // Kept in frames per 1000 s, as kFrameRate holds it.
    if (!InRange(BitsFloat(value), 0.0f, 4294967.0f)) return error_word::kValue;
    camera.frameRateMilli = static_cast<uint32_t>(static_cast<double>(BitsFloat(value)) * 1000.0 + 0.5);
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
    camera.triggers = 0;
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
