#pragma once
// The devices this process has open, by handle: what the device handle check
// of every export reads. One index for the process, whatever the interface.
//
// A lookup takes no lock and copies no shared pointer: it finds the slot that
// holds the handle and counts itself on that slot's pins; the slot keeps its
// reference to the device until its last pin goes. Removing a device makes
// its handle invalid at once and never waits: when pins remain, the last of
// them lets the reference go (and with it, maybe, the device) as it ends.
// So no call ever uses a freed device.
//
// A slot counts two kinds of pins apart. A call pin (Pin) is held by an
// export working through a device handle; such a call is bounded (each driver
// request has its own bounded wait) and never runs application code. A
// stream pin (PinByStream) is held by a data-stream export, which may wait
// for a frame without limit until its stream is stopped or closed.
//
// The device's register calls rely on the call pins for their driver: they
// read it without the device lock, and a close or park first hides the
// driver from calls that start later, then waits in DrainCalls for the call
// pins counted on the device to end, and only then gives the driver and its
// reservation back. That wait cannot deadlock: the waiter holds no lock a
// call needs, and no thread that waits holds a call pin on that device
// itself (DevClose shares the device rather than pinning it, the library's
// own threads close through shared references, and calls that hold a pin
// never call back into the application, so no DevClose can run inside one).
// It ends: calls in flight are bounded, and those that start after the
// driver was hidden find none and return at once.

#include <atomic>
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
  DevicePin(DevicePin &&other) noexcept : m_slot(other.m_slot), m_count(other.m_count), m_device(other.m_device) {
    other.m_slot = nullptr;
    other.m_count = nullptr;
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
  friend DevicePin PinSlot(Slot &slot, std::atomic<uint32_t> &count, const CDevice *device) noexcept;
  DevicePin(Slot *slot, std::atomic<uint32_t> *count) noexcept : m_slot(slot), m_count(count) {}

  Slot *m_slot = nullptr;
  std::atomic<uint32_t> *m_count = nullptr; // the slot's count this pin is on
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
// The open device whose handle this is, pinned for a call on it (a call pin,
// see above); empty for any other value, garbage included. Lock-free; any
// thread.
DevicePin Pin(const void *handle) noexcept;
// The open device whose handle this is, shared for as long as the caller
// keeps it (a library thread's); null for any other value. Takes the writer
// lock for a moment. Any thread.
std::shared_ptr<CDevice> Share(const void *handle);
// The open device that has the data stream whose handle this is, pinned by a
// stream pin; empty for any other value. Asks each open device under its own lock, for a
// moment; no other lock. Any thread.
DevicePin PinByStream(const void *handle) noexcept;
// Blocks until no call pin is counted on the device (any pin that a lookup
// of its handle holds or is still giving back); returns at once for a device
// not in the index. Bounded by the calls in flight (see above); the caller
// holds no call pin on the device and no lock that a call takes. Any thread.
void DrainCalls(const CDevice *device);

} // namespace OpenDevices

} // namespace oxa::ZarUsb
