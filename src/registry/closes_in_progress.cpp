#include "registry/closes_in_progress.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace oxa::ZarUsb {

namespace {

struct Closes {
  std::mutex lock;
  std::condition_variable ended;
  uint32_t count = 0; // guarded by lock
};

// Never destroyed: exports may still run while static objects go at exit.
Closes &TheCloses() {
  static auto *closes = new Closes;
  return *closes;
}

// The calling thread's library thread marks.
thread_local uint32_t t_marks = 0;

void Count(int32_t change) noexcept {
  Closes &closes = TheCloses();
  std::lock_guard<std::mutex> guard(closes.lock);
  closes.count = static_cast<uint32_t>(static_cast<int32_t>(closes.count) + change);
  if (closes.count == 0) closes.ended.notify_all();
}

} // namespace

CloseInProgress::CloseInProgress() noexcept : m_counted(true) { Count(1); }

CloseInProgress &CloseInProgress::operator=(CloseInProgress &&other) noexcept {
  if (this != &other) {
    if (m_counted) Count(-1);
    m_counted = other.m_counted;
    other.m_counted = false;
  }
  return *this;
}

CloseInProgress::~CloseInProgress() {
  if (m_counted) Count(-1);
}

CloseInProgress NoCloseInProgress() noexcept { return CloseInProgress(false); }

LibraryThreadMark::LibraryThreadMark() noexcept { ++t_marks; }

LibraryThreadMark::~LibraryThreadMark() { --t_marks; }

void WaitForClosesInProgress() noexcept {
  if (t_marks != 0) return;
  Closes &closes = TheCloses();
  std::unique_lock<std::mutex> guard(closes.lock);
  closes.ended.wait_for(guard, std::chrono::milliseconds(kCloseWaitMs), [&] { return closes.count == 0; });
}

} // namespace oxa::ZarUsb
