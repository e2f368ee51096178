#include "acquisition/buffer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "driver/driver_requests.h"
#include "os/device_io.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {

// Library memory handed to a driver that may still hold it; freed when the
// process lets the library go.
struct RetainedMemory {
  std::mutex lock;
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
};

RetainedMemory &Retained() {
  static RetainedMemory retained;
  return retained;
}

// A block whose address has its low 32 bits zero would have the driver tag 0,
// which names no buffer: such blocks are kept aside until another one comes,
// then freed. Blocks alive at once never share an address, so this ends.
uint8_t *AllocateTaggable(uint32_t size) {
  std::vector<std::unique_ptr<uint8_t[]>> untaggable;
  for (;;) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
    if (block == nullptr || driver::DriverTag(block.get()) != 0) return block.release();
    try {
      untaggable.push_back(std::move(block));
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
  }
}

} // namespace

CBuffer::CBuffer(CDataStream *pDataStream, void *pMemory, uint32_t uiSize, bool bUserAlloc, void *pPrivate)
    : m_pDataStream(pDataStream) {
  TraceMessage("ZAR=> CBuffer m_bUserAlloc = %u\n", bUserAlloc ? 1u : 0u);
  // The driver names a buffer by the low 32 bits of its address: memory
  // where they are zero (null among it) cannot be named.
  if (uiSize < 4 || (bUserAlloc && driver::DriverTag(pMemory) == 0)) {
    m_dwError = os::kErrorInvalidParameter;
    return;
  }
  m_bUserAlloc = bUserAlloc;
  m_uiSize = uiSize;
  m_pPrivate = pPrivate;
  if (bUserAlloc) {
    m_pBase = pMemory;
    return;
  }
  // The size counts as a signed 32-bit number: 2 GiB and more cannot be had.
  m_pBase = uiSize <= INT32_MAX ? AllocateTaggable(uiSize) : nullptr;
  if (m_pBase == nullptr) {
    m_dwError = os::kErrorNotEnoughMemory;
    return;
  }
  TraceMessage("ZAR=> CBuffer::CBuffer alloc kernel buffer = 0x%X\n", AddressLow32(m_pBase));
}

CBuffer::~CBuffer() {
  TraceMessage("ZAR=> ~CBuffer m_bUserAlloc = %u, m_pBase = 0x%X\n", m_bUserAlloc ? 1u : 0u, AddressLow32(m_pBase));
  if (!m_bUserAlloc && m_pBase != nullptr) {
    TraceMessage("ZAR=> ~CBuffer) delete kernel buffer = 0x%X\n", AddressLow32(m_pBase));
    delete[] static_cast<uint8_t *>(m_pBase);
    m_pBase = nullptr;
  }
}

uint32_t CBuffer::Tag() const { return driver::DriverTag(m_pBase); }

void CBuffer::RetainMemory() {
  if (m_bUserAlloc || m_pBase == nullptr) return;
  RetainedMemory &retained = Retained();
  std::lock_guard<std::mutex> lock(retained.lock);
  try {
    retained.blocks.emplace_back(static_cast<uint8_t *>(m_pBase));
  } catch (const std::bad_alloc &) {
    // Out of memory: the block stays unfreed without an owner.
  }
  m_pBase = nullptr;
}

} // namespace oxa::ZarUsb
