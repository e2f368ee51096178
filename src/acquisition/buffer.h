#pragma once
// One announced image buffer of a data stream: application memory it wraps,
// or library memory it owns.

#include <cstdint>

namespace oxa::ZarUsb {

class CDataStream;

class CBuffer {
public:
  // pMemory: the application's memory (bUserAlloc), or null to have the
  // library allocate uiSize bytes. m_dwError tells how it went: 0, 87 (size
  // below 4, or application memory missing) or 8 (allocation failed).
  CBuffer(CDataStream *pDataStream, void *pMemory, uint32_t uiSize, bool bUserAlloc, void *pPrivate);
  // Frees library memory, unless it was retained.
  virtual ~CBuffer();
  CBuffer(const CBuffer &) = delete;
  CBuffer &operator=(const CBuffer &) = delete;

  // The driver's name for the buffer: the low 32 bits of its memory's address.
  uint32_t Tag() const;
  // Library memory that the driver may still hold (its lock request was not
  // answered in time, or its release failed) is not freed with the buffer:
  // it is kept until the library is unloaded.
  void RetainMemory();

  void *m_pBase = nullptr;
  uint32_t m_uiSize = 0;
  uint32_t m_unID = 0;
  void *m_pPrivate = nullptr;
  bool m_bUserAlloc = false;
  bool m_bQueued = false;
  CDataStream *m_pDataStream; // owner, not owned
  uint32_t m_dwError = 0;
};

} // namespace oxa::ZarUsb
