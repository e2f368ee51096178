#pragma once
// The devices this process has open, by handle: what the device handle check
// of every export reads. One index for the process, whatever the interface.
//
// A lookup takes no lock and copies no shared pointer: it finds the slot that
// holds the handle and counts itself on that slot's pins; the slot keeps its
// reference to the device until its last pin goes. Removing a device makes
// its handle invalid at once and never waits: when pins remain, the last of
// them lets the reference go (and with it, maybe, the device) as it ends.
// So no call ever uses a freed device, and DevClose, unplug or TLClose never
// wait for a lookup.

#include <cstdint>
#include <memory>

namespace oxa::ZarUsb {

class CDevice;

namespace OpenDevices {

struct Slot;

// The device of a handle, kept alive while the pin lives. Movable, not
// copyable; empty when the handle was not an open device's.
class DevicePin {
public:
  DevicePin() noexcept = default;
  DevicePin(DevicePin &&other) noexcept : m_slot(other.m_slot), m_device(other.m_device) {
    other.m_slot = nullptr;
    other.m_device = nullptr;
  }
  DevicePin &operator=(DevicePin &&) = delete;
  DevicePin(const DevicePin &) = delete;
  DevicePin &operator=(const DevicePin &) = delete;
  ~DevicePin();

  CDevice *get() const noexcept { return m_device; }
  CDevice *operator->() const noexcept { return m_device; }
  explicit operator bool() const noexcept { return m_device != nullptr; }

private:
  friend DevicePin PinSlot(Slot &slot, const CDevice *device) noexcept;
  DevicePin(Slot *slot, CDevice *device) noexcept : m_slot(slot), m_device(device) {}

  Slot *m_slot = nullptr;
  CDevice *m_device = nullptr;
};

// Makes the device's handle valid. False when the index is full (it has a
// slot for every record of the shared table and as many again for closed
// devices whose last call is still running). Any thread; takes the index's
// writer lock for a moment.
bool Add(std::shared_ptr<CDevice> device);
// Makes the device's handle invalid; a lookup that starts afterwards misses
// it. Never waits. Any thread; a device not in the index is ignored.
void Remove(const CDevice *device);
// The open device whose handle this is, pinned for the caller's work; empty
// for any other value, garbage included. Lock-free; any thread.
DevicePin Pin(const void *handle) noexcept;
// The open device whose handle this is, shared for as long as the caller
// keeps it (a library thread's); null for any other value. Takes the writer
// lock for a moment. Any thread.
std::shared_ptr<CDevice> Share(const void *handle);
// The open device that has the data stream whose handle this is, pinned;
// empty for any other value. Asks each open device under its own lock, for a
// moment; no other lock. Any thread.
DevicePin PinByStream(const void *handle) noexcept;

} // namespace OpenDevices

} // namespace oxa::ZarUsb
