#pragma once
// A recursive mutex shared by every process of the namespace (Windows: a
// named mutex; POSIX: a robust, recursive, process-shared pthread mutex in a
// small file of the namespace folder). When a holder dies, the next locker
// gets the lock and is told it was abandoned.

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class NamedMutex {
public:
  enum class Lock { Acquired, Abandoned, Failed };

  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex &) = delete;
  NamedMutex &operator=(const NamedMutex &) = delete;

  // Opens the mutex of that name (NamespacedName is applied), creating it
  // when missing. 0 or the system error; *alreadyExisted tells whether
  // another process had it. Not thread-safe against the other members.
  uint32_t Open(const std::string &name, bool *alreadyExisted = nullptr) noexcept;
  bool IsOpen() const noexcept { return m_native != nullptr; }
  // Blocks without limit until the calling thread holds the mutex (again).
  // Abandoned: the previous holder died holding it; the caller now holds it
  // and the data it guards may be half-written. Failed: not open.
  Lock Acquire() noexcept;
  // Gives back one hold of the calling thread; false when it holds none.
  bool Release() noexcept;
  void Close() noexcept;

private:
  void *m_native = nullptr; // HANDLE, or the mapped pthread mutex
};

} // namespace oxa::ZarUsb::os
