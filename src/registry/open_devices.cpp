#include "registry/open_devices.h"

#include <atomic>
#include <new>
#include <thread>

#include "device/device.h"
#include "os/lock_guard.h"
#include "os/system_info.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb::OpenDevices {

// `handle` is the device's address while its handle is valid, else null.
// `device` is touched only under the writer lock: set by Add in a slot with
// no device, taken out once the handle is null and no pin of either kind is
// counted (by Remove, or by the pin that ends last). Pins never read it: the
// handle is the device's address, and the reference in `device` keeps it
// alive.
// A pin counts itself and then checks the handle; Remove clears the handle
// and then reads the counts; all sequentially consistent, so either the pin
// sees the cleared handle or Remove sees the pin (and leaves the release to
// it). A pin that ends last with the handle cleared takes the reference out;
// when both kinds end at once, the one that takes the writer lock second
// sees both counts at zero.
struct Slot {
  std::atomic<const CDevice *> handle{nullptr};
  std::atomic<uint32_t> calls{0};
  std::atomic<uint32_t> streamPins{0};
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
  if (slot.handle.load(std::memory_order_seq_cst) != nullptr || slot.calls.load(std::memory_order_seq_cst) != 0 ||
      slot.streamPins.load(std::memory_order_seq_cst) != 0)
    return nullptr;
  return std::move(slot.device);
}

} // namespace

DevicePin::~DevicePin() {
  if (m_count == nullptr || m_count->fetch_sub(1, std::memory_order_seq_cst) != 1) return;
  if (m_slot->handle.load(std::memory_order_seq_cst) != nullptr) return;
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

DevicePin PinSlot(Slot &slot, std::atomic<uint32_t> &count, const CDevice *device) noexcept {
  count.fetch_add(1, std::memory_order_seq_cst);
  DevicePin pin(&slot, &count);
  // Otherwise the pin's end gives the count back.
  if (slot.handle.load(std::memory_order_seq_cst) == device) pin.m_device = const_cast<CDevice *>(device);
  return pin;
}

DevicePin Pin(const void *handle) noexcept {
  if (handle == nullptr) return {};
  for (Slot &slot : TheIndex().slots) {
    if (slot.handle.load(std::memory_order_relaxed) != handle) continue;
    if (DevicePin pin = PinSlot(slot, slot.calls, static_cast<const CDevice *>(handle))) return pin;
  }
  return {};
}

DevicePin PinByStream(const void *handle) noexcept {
  if (handle == nullptr) return {};
  for (Slot &slot : TheIndex().slots) {
    const CDevice *device = slot.handle.load(std::memory_order_relaxed);
    if (device == nullptr) continue;
    if (DevicePin pin = PinSlot(slot, slot.streamPins, device); pin && pin->HasDataStream(handle)) return pin;
  }
  return {};
}

void DrainCalls(const CDevice *device) {
  Slot *drained = nullptr;
  {
    Index &index = TheIndex();
    CLockGuard lock(&index.writerLock);
    for (Slot &slot : index.slots) {
      if (slot.device.get() != device) continue;
      drained = &slot;
      break;
    }
  }
  // The slot may pass to another device once its count is zero; a drainer
  // that reads the count after that waits for that device's calls as well,
  // which are as bounded.
  // The drain looks at the count, yielding, then every millisecond, instead
  // of being woken by the call that ends last: it runs only at a close or
  // park with calls in flight, which are short, and nothing can be missed
  // (a drain on the C++ library's atomic wait hung now and then in the
  // Windows build).
  if (drained == nullptr) return;
  for (int looks = 0; drained->calls.load(std::memory_order_seq_cst) != 0; ++looks) {
    if (looks < 1000)
      std::this_thread::yield();
    else
      os::Sleep(1);
  }
}

} // namespace oxa::ZarUsb::OpenDevices
