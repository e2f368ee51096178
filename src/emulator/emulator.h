#pragma once
// The camera emulator's controls: cameras on an emulated USB bus that every
// process of the namespace shares, and the virtual driver that serves them.
// Users run and develop against it without hardware; tests drive it through
// this API and the `zarusb emu` commands drive it from the shell.
//
// The library serves the emulated cameras; programs that load it and drive
// the bus from the side (zarusb, tests, benchmarks) build this code into
// themselves (zar_usb_control in CMakeLists.txt says why that is sound).
//
// Every function is thread-safe and never blocks beyond the bus lock, except
// Hibernate, which waits between its steps.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/camera_model.h"

namespace oxa::ZarUsb::emulator {

// The thirteen driver requests, in control-code order.
enum class Request : uint32_t {
  WriteMemCamera, ReadMemCamera, WriteMemTransportLayer, ReadMemTransportLayer, LockBuffer, QueueBuffer,
  FlushQueue, GetBuffer, FreeBuffer, StartStopStream, GetEvent, WriteMemCustomFeature, ReadMemCustomFeature
};

enum class FaultKind : uint32_t {
  None = 0,
  SystemError = 1, // the request fails at the system level with the value (31 when 0)
  DriverError = 2, // the reply carries the value as its driver error word
  Pend = 3,        // the driver holds the request until it is cancelled
  ByteCount = 4,   // the reply reports the value as the count of bytes done
  AtOnce = 5,      // an event request completes before the call returns, instead of being held
};

struct PluggedCamera {
  uint32_t slot;
  std::string path;
  CameraConfig config;
  uint32_t holderProcess; // process that has it open, 0 when none
};

// Whether the library lists emulated cameras: ZAR_USB_EMULATION is set (the
// library reads it as it loads), to a number of default cameras or the path
// of a JSON file describing them ({"cameras": [{"model": "...", ...}]}).
// Those cameras are plugged when the namespace's bus is first created.
bool EmulationEnabled();

// What is wrong with ZAR_USB_EMULATION, or empty: a value that is no number
// of cameras and no readable, valid description file; or, once the bus
// exists, a value that asks for cameras but is not the one the bus was made
// from (those cameras are plugged only into a new bus: Reset).
std::string EmulationProblem();

// Unplugs every camera and plugs those ZAR_USB_EMULATION asks for now, as
// when the bus was first made. The count plugged, or nullopt with *why set
// (no bus, or what is wrong with the variable; its cameras are then none).
std::optional<uint32_t> Reset(std::string *why = nullptr);

// Plugs a camera into the lowest free slot and tells the monitor window.
// The slot, or nullopt with *why set (bus full, bad config, no bus).
std::optional<uint32_t> Plug(const CameraConfig &config, std::string *why = nullptr);
// Unplugs the camera of that slot and tells the monitor window; false when
// the slot holds none. The camera's open handle fails from then on.
bool Unplug(uint32_t slot);
std::vector<PluggedCamera> ListCameras();
// Queues a device event for the camera (at most 64 bytes of data).
bool RaiseEvent(uint32_t slot, uint32_t id, const void *data, uint32_t length);
// After `skip` requests of that kind, the next `count` ones to the camera
// meet the fault.
bool InjectFault(uint32_t slot, Request request, FaultKind kind, uint32_t count, uint32_t value, uint32_t skip = 0);
// Power changes as the system announces them to the monitor window; false
// when there is none (no process of the namespace listens).
bool Suspend();
bool Resume();
// Suspend; every camera drops off the bus; resume; after gapMs the cameras
// come back (new device paths, as after a real hibernation).
void Hibernate(uint32_t gapMs);
// Reads the camera's registers from the side, as its firmware holds them
// (no driver request, no open): false when the slot holds no camera or a
// byte of the range is no register.
bool ReadCameraRegisters(uint32_t slot, uint32_t mode, uint64_t address, void *data, uint64_t size);
// Opens the camera as another program would, so that nobody else can open it
// until ReleaseCamera; 0 when it cannot be opened (not plugged, or open).
uintptr_t HoldCamera(uint32_t slot);
void ReleaseCamera(uintptr_t hold);

} // namespace oxa::ZarUsb::emulator
