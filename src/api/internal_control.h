#pragma once
// The library's one internal export, beside the 41 of zar_usb.h: the camera
// emulator's controls and a copy of the shared camera table, for the zarusb
// tool and the tests. They load the library as applications do and reach
// what they need beyond the 41 exports through this table, so that each such
// program holds one copy of the library and its state.
//
// Only plain C types cross: the program may carry a C++ runtime of its own
// (Windows programs link theirs statically). The table is versioned; a
// program built against another layout gets null and says so.

#include <cstdint>
#include <cstring>
#include <string>

#include "emulator/camera_model.h"
#include "zar_usb.h"

extern "C" {

struct ZarUsbEmulatedCamera {
  uint32_t slot;
  uint32_t holderProcess; // process that has it open, 0 when none
  char path[260];
  char vendor[33];
  char model[33];
  char version[33];
  char serial[33];
  char userName[17];
  uint32_t register90;
  uint32_t width;
  uint32_t height;
  uint32_t pixelFormat;
  uint32_t frameRateMilli;
  uint32_t interfaceClass;
};

struct ZarUsbListedCamera {
  int32_t index;
  uint32_t ownerProcessId;
  char friendlyName[260];
  char serialNumber[33];
};

// Each entry does what the function of the same name in emulator/emulator.h
// (or registry/table_snapshot.h) does; lists fill at most `capacity` entries
// and return how many there are.
struct ZarUsbControl {
  uint32_t version;
  uint32_t size;
  int32_t (*EmulationEnabled)();
  int32_t (*Plug)(const ZarUsbEmulatedCamera *camera, uint32_t *slot, char *why, uint32_t whySize);
  int32_t (*Unplug)(uint32_t slot);
  uint32_t (*ListCameras)(ZarUsbEmulatedCamera *cameras, uint32_t capacity);
  int32_t (*RaiseEvent)(uint32_t slot, uint32_t id, const void *data, uint32_t length);
  int32_t (*InjectFault)(uint32_t slot, uint32_t request, uint32_t kind, uint32_t count, uint32_t value,
                         uint32_t skip);
  void (*Suspend)();
  void (*Resume)();
  void (*Hibernate)(uint32_t gapMs);
  int32_t (*ReadCameraRegisters)(uint32_t slot, uint32_t mode, uint64_t address, void *data, uint64_t size);
  uintptr_t (*HoldCamera)(uint32_t slot);
  void (*ReleaseCamera)(uintptr_t hold);
  uint32_t (*ReadSharedTable)(ZarUsbListedCamera *cameras, uint32_t capacity);
};

// The table of this build; null when `version` is another.
ZAR_USB_API const ZarUsbControl *ZarUsbInternalControl(uint32_t version);

} // extern "C"

namespace oxa::ZarUsb::control {

constexpr uint32_t kVersion = 1;

template <size_t N> void CopyText(char (&field)[N], const std::string &text) {
  const size_t length = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, N - length);
}

inline ZarUsbEmulatedCamera ToRecord(const emulator::CameraConfig &config) {
  ZarUsbEmulatedCamera record{};
  CopyText(record.vendor, config.vendor);
  CopyText(record.model, config.model);
  CopyText(record.version, config.version);
  CopyText(record.serial, config.serial);
  CopyText(record.userName, config.userName);
  record.register90 = config.register90;
  record.width = config.width;
  record.height = config.height;
  record.pixelFormat = config.pixelFormat;
  record.frameRateMilli = config.frameRateMilli;
  record.interfaceClass = config.interfaceClass;
  return record;
}

template <size_t N> std::string Text(const char (&field)[N]) { return std::string(field, strnlen(field, N)); }

inline emulator::CameraConfig ToConfig(const ZarUsbEmulatedCamera &record) {
  emulator::CameraConfig config;
  config.vendor = Text(record.vendor);
  config.model = Text(record.model);
  config.version = Text(record.version);
  config.serial = Text(record.serial);
  config.userName = Text(record.userName);
  config.register90 = record.register90;
  config.width = record.width;
  config.height = record.height;
  config.pixelFormat = record.pixelFormat;
  config.frameRateMilli = record.frameRateMilli;
  config.interfaceClass = record.interfaceClass;
  return config;
}

} // namespace oxa::ZarUsb::control
