#pragma once
// The register spaces of an emulated camera. Called with the bus lock held.

#include <cstdint>

#include "emulator/bus_layout.h"

namespace oxa::ZarUsb::emulator {

// Reads `size` bytes at `address` of access mode 0 (transport layer), 1
// (camera) or 2 (custom features). 0, or the driver error word when any byte
// of the range is no register.
uint32_t ReadRegisters(const CameraSlot &camera, uint32_t mode, uint64_t address, uint8_t *out, uint64_t size);
// Writes, with the registers' effects (geometry, acquisition start and stop,
// test events). 0 or the driver error word; nothing is written on error.
uint32_t WriteRegisters(CameraSlot &camera, uint32_t mode, uint64_t address, const uint8_t *data, uint64_t size);

} // namespace oxa::ZarUsb::emulator
