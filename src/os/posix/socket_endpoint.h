#pragma once
// Where a socket endpoint of the namespace (the monitor endpoint, a callback
// pipe) is bound and reached. A socket's path holds at most 107 bytes, less
// than a folder path with a long namespace name: such an endpoint takes a
// short name beside the namespace folder instead, derived from its full
// path, so that every process of the namespace finds the same one.

#include <cstdint>
#include <string>
#include <sys/un.h>

namespace oxa::ZarUsb::os {

struct SocketEndpoint {
  std::string path;
  sockaddr_un address;
};

// The endpoint of that name: 0, or 3 (ERROR_PATH_NOT_FOUND) when the
// namespace folder cannot be made, 206 (ERROR_FILENAME_EXCED_RANGE) when even
// the short path does not fit, 8 when out of memory. Thread-safe.
uint32_t FindSocketEndpoint(const std::string &name, SocketEndpoint *endpoint) noexcept;

} // namespace oxa::ZarUsb::os
