#pragma once
// A file reached through the C runtime's low-level descriptor functions
// (_wsopen_s/_write/_telli64/_close on Windows, open/write/lseek/close on
// POSIX). One object owns at most one descriptor and closes it when it goes.
//
// The flag word keeps the Windows C runtime's values on every platform:
// 0x0001 write-only, 0x0002 read-write, 0x0008 append, 0x0100 create,
// 0x0200 truncate, 0x0400 exclusive, 0x4000 text, 0x8000 binary. On POSIX the
// text flag does nothing: newlines are written as they are. Error numbers are
// the Windows C runtime's (ENOENT 2, EACCES 13, EEXIST 17, EINVAL 22,
// EMFILE 24, ENOSPC 28, ENAMETOOLONG 38 ...) on every platform.
//
// No member blocks beyond the file system call it makes. An object is not
// synchronised: its owner serialises the calls.

#include <cstdint>

namespace oxa::ZarUsb::os {

class LowLevelFile {
public:
  // Windows share mode "deny write" (other openers may read only); POSIX has
  // no mandatory sharing, so there it is not enforced.
  static constexpr int kShareDenyWrite = 0x20;
  // Read and write permission for a file the flags create.
  static constexpr int kPermissionReadWrite = 0x180;

  LowLevelFile() = default;
  ~LowLevelFile();
  LowLevelFile(const LowLevelFile &) = delete;
  LowLevelFile &operator=(const LowLevelFile &) = delete;

  // Opens a zero-terminated wide-character path (UTF-16 on Windows, UTF-32 on
  // POSIX, turned into UTF-8 there). Closes the descriptor held before. Returns
  // 0 or the error number; on failure the object holds no descriptor.
  int Open(const wchar_t *path, int flags, int shareMode, int permission) noexcept;
  bool IsOpen() const noexcept { return m_fd != -1; }
  // Current position, or -1 when there is no descriptor or the query fails.
  int64_t Tell() const noexcept;
  // Writes the bytes at the current position; the count written, or -1.
  int64_t Write(const void *data, uint32_t size) const noexcept;
  // Closes the descriptor if there is one.
  void Close() noexcept;

private:
  int m_fd = -1;
};

} // namespace oxa::ZarUsb::os
