#include "registry/open_devices.h"

#include <atomic>
#include <new>

#include "device/device.h"
#include "os/lock_guard.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb::OpenDevices {

// `handle` is the device's address while its handle is valid, else null.
// `device` is touched only under the writer lock: set by Add in a slot with
// no device, taken out once the handle is null and no pin is counted (by
// Remove, or by the pin that ends last). Pins never read it: the handle is
// the device's address, and the reference in `device` keeps it alive.
// A pin counts itself and then checks the handle; Remove clears the handle
// and then reads the count; both sequentially consistent, so either the pin
// sees the cleared handle or Remove sees the pin (and leaves the release to
// it). A pin that ends last with the handle cleared takes the reference out.
struct Slot {
  std::atomic<const CDevice *> handle{nullptr};
  std::atomic<uint32_t> pins{0};
  std::shared_ptr<CDevice> device;
};

namespace {

struct Index {
  os::CriticalSection writerLock;
  Slot slots[2 * kTableRecords];
};

// Never destroyed: exports may still run while static objects go at exit.
Index &TheIndex() {
  alignas(Index) static unsigned char storage[sizeof(Index)];
  static Index *index = new (storage) Index;
  return *index;
}

// The slot's reference once its handle is invalid and no pin is counted;
// null otherwise or when it is already gone. Called under the writer lock.
std::shared_ptr<CDevice> TakeUnpinned(Slot &slot) {
  if (slot.handle.load(std::memory_order_seq_cst) != nullptr || slot.pins.load(std::memory_order_seq_cst) != 0)
    return nullptr;
  return std::move(slot.device);
}

} // namespace

DevicePin::~DevicePin() {
  if (m_slot == nullptr) return;
  if (m_slot->pins.fetch_sub(1, std::memory_order_seq_cst) != 1 ||
      m_slot->handle.load(std::memory_order_seq_cst) != nullptr)
    return;
  std::shared_ptr<CDevice> released;
  {
    Index &index = TheIndex();
    CLockGuard lock(&index.writerLock);
    released = TakeUnpinned(*m_slot);
  }
  // The device, when this was its last reference, goes outside the lock.
}

bool Add(std::shared_ptr<CDevice> device) {
  Index &index = TheIndex();
  CLockGuard lock(&index.writerLock);
  for (Slot &slot : index.slots) {
    if (slot.device) continue;
    slot.device = std::move(device);
    slot.handle.store(slot.device.get(), std::memory_order_seq_cst);
    return true;
  }
  return false;
}

void Remove(const CDevice *device) {
  if (device == nullptr) return;
  std::shared_ptr<CDevice> released;
  Index &index = TheIndex();
  {
    CLockGuard lock(&index.writerLock);
    for (Slot &slot : index.slots) {
      if (slot.handle.load(std::memory_order_relaxed) != device) continue;
      slot.handle.store(nullptr, std::memory_order_seq_cst);
      released = TakeUnpinned(slot);
      break;
    }
  }
  // The device, when this was its last reference, goes outside the lock.
}

std::shared_ptr<CDevice> Share(const void *handle) {
  if (handle == nullptr) return nullptr;
  Index &index = TheIndex();
  CLockGuard lock(&index.writerLock);
  for (Slot &slot : index.slots)
    if (slot.handle.load(std::memory_order_relaxed) == handle) return slot.device;
  return nullptr;
}

DevicePin PinSlot(Slot &slot, const CDevice *device) noexcept {
  slot.pins.fetch_add(1, std::memory_order_seq_cst);
  DevicePin pin(&slot, nullptr);
  // Otherwise the pin's end gives the count back.
  if (slot.handle.load(std::memory_order_seq_cst) == device) pin.m_device = const_cast<CDevice *>(device);
  return pin;
}

DevicePin Pin(const void *handle) noexcept {
  if (handle == nullptr) return {};
  for (Slot &slot : TheIndex().slots) {
    if (slot.handle.load(std::memory_order_relaxed) != handle) continue;
    if (DevicePin pin = PinSlot(slot, static_cast<const CDevice *>(handle))) return pin;
  }
  return {};
}

DevicePin PinByStream(const void *handle) noexcept {
  if (handle == nullptr) return {};
  for (Slot &slot : TheIndex().slots) {
    const CDevice *device = slot.handle.load(std::memory_order_relaxed);
    if (device == nullptr) continue;
    if (DevicePin pin = PinSlot(slot, device); pin && pin->HasDataStream(handle)) return pin;
  }
  return {};
}

} // namespace oxa::ZarUsb::OpenDevices
