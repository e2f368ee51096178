#include "os/posix/socket_endpoint.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "os/namespace.h"

namespace oxa::ZarUsb::os {

namespace {

// FNV-1a, 64 bits: short names that collide only by accident.
uint64_t Hash(const std::string &text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

} // namespace

uint32_t FindSocketEndpoint(const std::string &name, SocketEndpoint *endpoint) noexcept {
  try {
    const std::string folder = NamespaceFolder();
    if (folder.empty()) return 3;
    endpoint->path = folder + "/" + name;
    endpoint->address = {};
    endpoint->address.sun_family = AF_UNIX;
    if (endpoint->path.size() >= sizeof endpoint->address.sun_path) {
      char shortName[24];
      std::snprintf(shortName, sizeof shortName, "/ep-%016" PRIx64, Hash(endpoint->path));
      endpoint->path = folder.substr(0, folder.rfind('/')) + shortName;
      if (endpoint->path.size() >= sizeof endpoint->address.sun_path) return 206;
    }
    std::memcpy(endpoint->address.sun_path, endpoint->path.c_str(), endpoint->path.size() + 1);
    return 0;
  } catch (...) {
    return 8;
  }
}

} // namespace oxa::ZarUsb::os
