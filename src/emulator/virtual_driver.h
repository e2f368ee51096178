#pragma once
// The emulator's stand-in for a camera's kernel driver: answers the
// thirteen control codes with their layouts, byte for byte.
//
// One open is exclusive across every process of the namespace (a second
// open fails with 32, a sharing violation). A worker thread per open writes
// frames straight into the locked buffers, in queue order, at the camera's
// frame rate (as fast as buffers come at rate 0), completes GetBuffer
// requests (or ends them at their timeout with driver error word 7), and
// hands queued device events to GetEvent requests. Events raised and unplugs
// made by any process wake it at once: once the camera is unplugged,
// pending and later requests fail with 1167 and no frame is written any
// more. Injected faults are taken from the bus.
//
// A request that is synchronous (DeviceIo::Control) and would pend fails
// with 997 at once.

#include <cstdint>
#include <memory>

#include "os/device_io.h"

namespace oxa::ZarUsb::emulator {

bool IsEmulatedPath(const char *path) noexcept;

// Opens the emulated camera of that path: null with *error 2 when it is not
// plugged (any more), 32 when it is open elsewhere.
std::unique_ptr<os::DeviceIo> OpenVirtualDriver(const char *path, uint32_t *error) noexcept;

} // namespace oxa::ZarUsb::emulator
