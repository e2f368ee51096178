#pragma once
// Keeping threads on one CPU, for measurements that compare two paths side
// by side: on a shared machine a thread woken on another CPU costs several
// times one woken on its own, and which path gets such wake-ups, for how
// long, is chance.

#include <cstdint>

namespace oxa::ZarUsb::os {

// While it lives, the calling thread runs only on the CPU it ran on when it
// was made, and so do the threads started meanwhile (Windows: every thread
// of the process). The former CPUs are given back when it ends. When the
// system refuses, nothing changes and Pinned() is false. Make and end it on
// one thread; not thread-safe against other changes of CPU affinity. Never
// blocks.
class OneCpu {
public:
  OneCpu() noexcept;
  ~OneCpu();
  OneCpu(const OneCpu &) = delete;
  OneCpu &operator=(const OneCpu &) = delete;

  bool Pinned() const noexcept { return m_pinned; }

private:
  uint64_t m_former[16] = {}; // the former CPU set as the system keeps it
  bool m_pinned = false;
};

} // namespace oxa::ZarUsb::os
