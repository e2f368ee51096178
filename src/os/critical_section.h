#pragma once
// Re-entrant in-process lock (CRITICAL_SECTION on Windows, a recursive
// pthread mutex on POSIX).

namespace oxa::ZarUsb::os {

class CriticalSection {
public:
  // Never fails: the native object is initialised in place.
  CriticalSection() noexcept;
  ~CriticalSection();
  CriticalSection(const CriticalSection &) = delete;
  CriticalSection &operator=(const CriticalSection &) = delete;

  // Blocks until the calling thread owns the lock. A thread that already owns
  // it enters again at once; each Enter needs a matching Leave.
  void Enter() noexcept;
  // Gives back one Enter of the calling thread. Calling it from a thread that
  // does not own the lock is undefined, as for the native objects.
  void Leave() noexcept;

  // Room for the native object (40 bytes on both platforms); each backend
  // checks at compile time that its object fits.
  static constexpr unsigned kStorageSize = 64;

private:
  alignas(8) unsigned char m_storage[kStorageSize];
};

} // namespace oxa::ZarUsb::os
