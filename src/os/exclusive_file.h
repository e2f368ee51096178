#pragma once
// A claim on a file of the namespace folder that only one opener at a time
// can hold, in this process or another. The system ends the claim when its
// holder dies.

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class ExclusiveFile {
public:
  ExclusiveFile() = default;
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile &) = delete;
  ExclusiveFile &operator=(const ExclusiveFile &) = delete;

  // Claims the file (created when missing). 0, kErrorSharingViolation (32)
  // when another opener holds it, or another system error. Never blocks.
  uint32_t Open(const std::string &name) noexcept;
  bool IsOpen() const noexcept { return m_native != -1; }
  void Close() noexcept;

private:
  intptr_t m_native = -1; // file descriptor, or HANDLE
};

} // namespace oxa::ZarUsb::os
