// Register access of an opened camera.

#include <algorithm>

#include "os/lock_guard.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "registry/open_devices.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {
constexpr uint64_t kChunk = 48;
} // namespace

// The device keeps its own pin on the driver (dropped only under m_csLock,
// which the caller holds), so the driver cannot go during the call and no
// table lookup or further pin is needed; whether the record is still this
// process's and its camera present is read from the two words that say so,
// lock-free (HoldsRecord).
CDriverInterface *CDevice::Driver() {
  return m_pDriver != nullptr && HoldsRecord(static_cast<int32_t>(m_unIndex)) ? m_pDriver.get() : nullptr;
}

// Every register call asks this, so it takes no lock at all: the driver is
// dropped only after DrainRegisterCalls has seen the call pins end, and the
// index, set before the driver is published, is read after it.
CDriverInterface *CDevice::RegisterDriver() {
  CDriverInterface *const driver = m_pRegisterDriver.load(std::memory_order_acquire);
  return driver != nullptr && HoldsRecord(static_cast<int32_t>(m_unIndex.load(std::memory_order_relaxed))) ? driver
                                                                                                           : nullptr;
}

void CDevice::DrainRegisterCalls() {
  m_pRegisterDriver.store(nullptr, std::memory_order_seq_cst);
  OpenDevices::DrainCalls(this);
}

std::shared_ptr<CDriverInterface> CDevice::PinDriver() {
  CLockGuard lock(&m_csLock);
  return Driver() != nullptr ? m_pDriver : nullptr;
}

// Moves the bytes in chunks of at most 48 through request(offset, chunk,
// &count, &word), which returns the system error and reports at most the
// chunk as done. A reply that reports no progress ends the transfer with -4,
// so that it ends.
template <class Request>
int32_t CDevice::Transfer(const char *operation, uint64_t address, uint64_t *size, Request request) {
  uint64_t remaining = *size;
  uint64_t done = 0;
  int32_t result = -6;
  while (remaining != 0) {
    const uint64_t chunk = std::min(remaining, kChunk);
    uint64_t count = chunk;
    uint32_t word = 0;
    const uint32_t error = request(done, &count, &word);
    if (error != 0) {
      result = -4;
      TraceMessage("ZAR=> !!! Error CDevice::%s: Addr=0x%X GetLasError=%u", operation, static_cast<uint32_t>(address),
                   error);
      break;
    }
    if (word != 0) {
      result = -4;
      TraceMessage("ZAR=> !!! Error CDevice::%s: Addr=0x%X nErrorCode=%d", operation, static_cast<uint32_t>(address),
                   static_cast<int32_t>(word));
      break;
    }
    if (count == 0) {
      result = -4;
      TraceMessage("ZAR=> !!! Error CDevice::%s: Addr=0x%X nCount=%I64u", operation, static_cast<uint32_t>(address),
                   count);
      break;
    }
    done += count;
    remaining -= count;
    result = 0;
  }
  *size = done;
  return result;
}

int32_t CDevice::ReadData(uint64_t address, void *buffer, uint64_t *size) {
  if (buffer == nullptr || size == nullptr) return -7;
  CDriverInterface *const driver = RegisterDriver();
  if (driver == nullptr) return -6;
  auto *bytes = static_cast<uint8_t *>(buffer);
  return Transfer("ReadData", address, size, [&](uint64_t offset, uint64_t *count, uint32_t *word) {
    return driver->ReadMem(driver::kAccessCamera, address + offset, bytes + offset, count, word);
  });
}

int32_t CDevice::WriteData(uint64_t address, const void *buffer, uint64_t *size) {
  if (buffer == nullptr || size == nullptr) return -7;
  CDriverInterface *const driver = RegisterDriver();
  if (driver == nullptr) return -6;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  return Transfer("WriteData", address, size, [&](uint64_t offset, uint64_t *count, uint32_t *word) {
    return driver->WriteMem(driver::kAccessCamera, address + offset, bytes + offset, count, word);
  });
}

} // namespace oxa::ZarUsb
