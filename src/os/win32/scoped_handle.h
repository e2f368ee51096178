#pragma once
// Owns one Win32 kernel handle and closes it when it goes. "Invalid" is
// whatever the creating function returns on failure: null for most,
// INVALID_HANDLE_VALUE for CreateFileA.

#include <utility>
#include <windows.h>

namespace oxa::ZarUsb::os {

class ScopedHandle {
public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  ScopedHandle &operator=(ScopedHandle &&other) noexcept {
    if (this != &other) {
      Reset();
      m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle &) = delete;
  ScopedHandle &operator=(const ScopedHandle &) = delete;

  HANDLE Get() const { return m_handle; }
  bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return IsValid(); }
  void Reset(HANDLE handle = nullptr) {
    if (IsValid()) CloseHandle(m_handle);
    m_handle = handle;
  }

private:
  HANDLE m_handle = nullptr;
};

} // namespace oxa::ZarUsb::os
