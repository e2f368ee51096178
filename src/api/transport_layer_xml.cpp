#include "api/transport_layer_xml.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "os/directory_search.h"

namespace oxa::ZarUsb {

int32_t ReadTransportLayerXml(void *buffer, uint32_t *size) {
  const uint32_t capacity = *size;
  *size = 0;
  const char *root = std::getenv("GENICAM_ROOT");
  if (root == nullptr) return -9;
  const std::string path = os::NativePath(std::string(root) + "/xml/TransportLayers/oxa/ZARUSBRegs.xml");
  // A folder in the file's place opens on some systems but is no file.
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(path, ignored)) return -9;
  const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return -9;
  std::fseek(file.get(), 0, SEEK_END);
  const long length = std::ftell(file.get());
  std::fseek(file.get(), 0, SEEK_SET);
  *size = static_cast<uint32_t>(length < 0 ? 0 : length);
  if (*size > capacity) return -1;
  if (buffer == nullptr) return -7;
  std::fread(buffer, 1, *size, file.get());
  return 0;
}

} // namespace oxa::ZarUsb
