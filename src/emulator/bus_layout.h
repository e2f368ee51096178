#pragma once
// The emulated USB bus as every process of the namespace maps it: a file
// "emulator-bus" in the namespace folder, so that plugged cameras outlive the
// process that plugged them. Guarded by the named mutex "emulator-bus".

#include <cstddef>
#include <cstdint>

namespace oxa::ZarUsb::emulator {

constexpr uint32_t kMaxCameras = 30;
constexpr uint32_t kBusMagic = 0x42454D5A; // "ZMEB"
constexpr uint32_t kBusVersion = 3;
constexpr uint32_t kEventQueueLength = 16;
constexpr uint32_t kEventDataSize = 64;
constexpr uint32_t kIdentitySize = 0xA0;      // camera registers 0x00-0x9F
constexpr uint32_t kTransportLayerSize = 0x48; // access mode 0
constexpr uint32_t kCustomFeatureSize = 0x400; // access mode 2
constexpr uint32_t kUserMemorySize = 0x1000;   // camera registers 0x1000-0x1FFF
constexpr uint32_t kRequestKinds = 13;
constexpr uint32_t kSeedTextSize = 256;

struct EventEntry {
  uint32_t id;
  int32_t length;
  uint8_t data[kEventDataSize];
};

struct FaultEntry {
  uint32_t remaining; // requests still to be hit
  uint32_t kind;      // FaultKind
  uint32_t value;
  uint32_t skip;      // requests to let through first
};

struct CameraSlot {
  uint32_t present;        // 1 while plugged
  uint32_t generation;     // counts plugs into this slot; part of the device path
  uint32_t interfaceClass; // 0-20
  uint32_t holderProcess;  // process that has the camera open, 0 when none (informative)
  uint8_t identity[kIdentitySize];
  uint32_t width;
  uint32_t height;
  uint32_t pixelFormat;
  uint32_t frameRateMilli; // frames per 1000 s; 0: as fast as buffers come
  uint32_t streaming;      // 1 while acquisition runs
  uint32_t reserved[3];
  uint8_t transportLayer[kTransportLayerSize];
  uint8_t customFeatures[kCustomFeatureSize];
  uint32_t eventHead; // next event to deliver
  uint32_t eventTail; // next free entry
  EventEntry events[kEventQueueLength];
  FaultEntry faults[kRequestKinds];
  uint8_t userMemory[kUserMemorySize];
  float exposureUs;
  float gainDb;
  uint32_t offsetX;
  uint32_t offsetY;
  uint32_t triggerMode;   // 1: a frame per software trigger
  uint32_t triggers;      // software triggers not yet answered by a frame
  uint32_t reserved2[2];
};

struct BusLayout {
  uint32_t magic;
  uint32_t version;
  uint32_t changeCount; // rises with every plug and unplug
  uint32_t reserved;
  CameraSlot cameras[kMaxCameras];
  char seededFrom[kSeedTextSize]; // ZAR_USB_EMULATION of the process that made or reset the bus, cut, zero-ended
};

static_assert(sizeof(EventEntry) == 72);
static_assert(sizeof(FaultEntry) == 16);
static_assert(offsetof(CameraSlot, identity) == 16);
static_assert(offsetof(CameraSlot, width) == 16 + kIdentitySize);
static_assert(offsetof(CameraSlot, transportLayer) == 208);
static_assert(offsetof(CameraSlot, customFeatures) == 208 + kTransportLayerSize);
static_assert(offsetof(CameraSlot, eventHead) == 1304);
static_assert(offsetof(CameraSlot, events) == 1312);
static_assert(offsetof(CameraSlot, faults) == 1312 + kEventQueueLength * sizeof(EventEntry));
static_assert(offsetof(CameraSlot, userMemory) == 2672);
static_assert(offsetof(CameraSlot, exposureUs) == 2672 + kUserMemorySize);
static_assert(sizeof(CameraSlot) == 2672 + kUserMemorySize + 32);
static_assert(offsetof(BusLayout, cameras) == 16);
static_assert(sizeof(BusLayout) == 16 + kMaxCameras * sizeof(CameraSlot) + kSeedTextSize);

} // namespace oxa::ZarUsb::emulator
