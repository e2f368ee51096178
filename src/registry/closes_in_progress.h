#pragma once
// The closes the library runs, counted so that an application's close that
// finds its handle already invalid can wait for them.
//
// A device's or a stream's handle becomes invalid when its close starts, but
// the close goes on after that: it revokes the stream's buffers (writing into
// the application's memory, and the driver unlocking it). When the close was
// the library's own (an unplugged camera closed on the callback thread, the
// last TLClose) or another thread's, an application close of the same handle
// that answered at once would let the application free its buffers under it.
// So every close counts itself from before it makes a handle invalid until it
// has ended, and DevClose and DSClose, when their handle is already invalid,
// wait for the count to reach zero before they answer.
//
// That wait never waits for itself: the library's own threads that close
// devices or run the application's callbacks (the callback thread, the
// device event threads, the recovery timer) are marked, and on them the wait
// returns at once. A close on a marked thread
// that another close waits for (the last TLClose waits for the callback
// thread to end) therefore cannot be held up by that close. On any other
// thread the wait is bounded (kCloseWaitMs): a close that takes longer than
// that (driver requests each at their own bound) is not waited for further.

#include <cstdint>

namespace oxa::ZarUsb {

constexpr uint32_t kCloseWaitMs = 10000;

// Counts one close while it lives; movable, so that a close that starts in
// one function and ends in another (the last TLClose) can hand it on. Any
// thread; never blocks beyond a moment.
class CloseInProgress {
public:
  CloseInProgress() noexcept;
  CloseInProgress(CloseInProgress &&other) noexcept : m_counted(other.m_counted) { other.m_counted = false; }
  CloseInProgress &operator=(CloseInProgress &&other) noexcept;
  CloseInProgress(const CloseInProgress &) = delete;
  CloseInProgress &operator=(const CloseInProgress &) = delete;
  ~CloseInProgress();

private:
  explicit CloseInProgress(bool counted) noexcept : m_counted(counted) {}
  friend CloseInProgress NoCloseInProgress() noexcept;
  bool m_counted;
};

// An object that counts nothing, to be assigned a CloseInProgress later.
CloseInProgress NoCloseInProgress() noexcept;

// Marks the calling thread as a library thread while it lives (nestable).
class LibraryThreadMark {
public:
  LibraryThreadMark() noexcept;
  ~LibraryThreadMark();
  LibraryThreadMark(const LibraryThreadMark &) = delete;
  LibraryThreadMark &operator=(const LibraryThreadMark &) = delete;
};

// Blocks until no close is in progress or kCloseWaitMs have passed; returns
// at once on a marked thread. Any thread.
void WaitForClosesInProgress() noexcept;

} // namespace oxa::ZarUsb
