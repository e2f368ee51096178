#pragma once
// The one place where POSIX errno values become the Windows system error
// codes the library speaks.

#include <cerrno>
#include <cstdint>

namespace oxa::ZarUsb::os {

inline uint32_t WindowsError(int error) {
  switch (error) {
  case 0: return 0;
  case ENOENT: return 2;        // ERROR_FILE_NOT_FOUND
  case ENOTDIR: return 3;       // ERROR_PATH_NOT_FOUND
  case EMFILE: case ENFILE: return 4; // ERROR_TOO_MANY_OPEN_FILES
  case EACCES: case EPERM: return 5;  // ERROR_ACCESS_DENIED
  case ENOMEM: return 8;        // ERROR_NOT_ENOUGH_MEMORY
  case EWOULDBLOCK: return 32;  // ERROR_SHARING_VIOLATION
  case EEXIST: return 183;      // ERROR_ALREADY_EXISTS
  case EINVAL: return 87;       // ERROR_INVALID_PARAMETER
  case ENOSPC: return 112;      // ERROR_DISK_FULL
  case ETIMEDOUT: return 258;   // WAIT_TIMEOUT
  case ECONNREFUSED: case ENOTCONN: return 233; // ERROR_PIPE_NOT_CONNECTED
  case EPIPE: return 232;       // ERROR_NO_DATA (pipe being closed)
  default: return 31;           // ERROR_GEN_FAILURE
  }
}

inline uint32_t LastWindowsError() { return WindowsError(errno); }

} // namespace oxa::ZarUsb::os
