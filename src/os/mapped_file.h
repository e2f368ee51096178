#pragma once
// A file of the namespace folder mapped into memory and shared by every
// process that maps it. The file stays on disk when the processes are gone.

#include <cstddef>
#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class MappedFile {
public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;

  // Opens (or creates, zero-filled) the file of that name in the namespace
  // folder with at least `size` bytes and maps its first `size` bytes. 0 or
  // the system error. *created: the file was new. Never blocks on others.
  uint32_t Open(const std::string &name, size_t size, bool *created = nullptr) noexcept;
  void *Data() const noexcept { return m_data; }
  void Close() noexcept;

private:
  void *m_data = nullptr;
  size_t m_size = 0;
};

} // namespace oxa::ZarUsb::os
