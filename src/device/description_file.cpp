// The camera's GenICam description file, chosen below GENICAM_ROOT by the
// camera's vendor, model and version.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "os/directory_search.h"
#include "os/lock_guard.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

namespace {

constexpr const char *kCameraFolder = "\\XML\\Cameras\\oxa\\";

// The text of a 32-byte identity field: up to its first zero, at most 32.
std::string FieldText(const char *field) { return std::string(field, std::find(field, field + 32, '\0')); }

// The file of the highest minor number among those found; empty when none
// has a minor number of 0 or more. Equal numbers keep the first found.
std::string ChooseFile(const std::string &pattern) {
  long best = -1;
  std::string chosen;
  for (const std::string &name : os::FindFiles(pattern)) {
    if (name.size() < 4) continue;
    const std::string stem = name.substr(0, name.size() - 4);
    const size_t point = stem.rfind('.');
    if (stem.empty() || point == std::string::npos) continue;
    const long minor = std::atol(stem.c_str() + point + 1);
    if (minor > best) {
      best = minor;
      chosen = name;
    }
  }
  return chosen;
}

// The file's lines, each followed by one line break, read as Windows' text
// mode reads a file: a carriage return right before a line feed is dropped
// (any other is kept), and a Ctrl-Z ends the text. Empty when the file
// cannot be opened, or is a folder.
std::string ReadLines(const std::string &path) {
  const std::string native = os::NativePath(path);
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(native, ignored)) return {};
  std::ifstream file(native, std::ios::binary);
  if (!file) return {};
  std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  raw.resize(std::min(raw.find('\x1A'), raw.size()));
  std::string translated;
  translated.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i)
    if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') translated += raw[i];
  std::istringstream lines(translated);
  std::string text;
  while (lines.good()) {
    std::string line;
    std::getline(lines, line);
    text += line;
    text += '\n';
  }
  return text;
}

} // namespace

int32_t CDevice::GetXml(void *buffer, uint32_t *size) {
  CLockGuard lock(&m_csLock);
  CDriverInterface *const driver = Driver();
  if (driver == nullptr) return -6;
  ZAR_DEVICE_INFO info{};
  const uint32_t capacity = sizeof info;
  if (const int32_t result = GetInfo(&info, &capacity); result != 0) return result;
  char version[33] = {};
  uint64_t count = 32;
  uint32_t word = 0;
  if (driver->ReadMem(driver::kAccessCamera, 0x40, version, &count, &word) != 0 || word != 0) return -6;

  const char *root = std::getenv("GENICAM_ROOT");
  if (root == nullptr) {
    *size = 0;
    return -9;
  }
  const std::string folder = std::string(root) + kCameraFolder;
  std::string pattern = folder + FieldText(info.sVendor) + "_" + FieldText(info.sModel) + "_";
  const std::string versionText = FieldText(version);
  const size_t point = versionText.rfind('.');
  if (point != std::string::npos) pattern += versionText.substr(0, point + 1) + "*";
  pattern += ".xml";

  const std::string chosen = ChooseFile(pattern);
  if (chosen.empty()) return -11;
  const std::string text = ReadLines(folder + chosen);
  if (text.empty()) return -11;

  // A capacity of 0 has no room even for the terminator: answered like the
  // size query.
  if (buffer == nullptr || *size == 0) {
    *size = static_cast<uint32_t>(text.size());
    return -1;
  }
  const size_t copied = std::min<size_t>(text.size(), *size - 1);
  auto *out = static_cast<char *>(buffer);
  std::memcpy(out, text.data(), copied);
  std::memset(out + copied, 0, *size - copied);
  *size = static_cast<uint32_t>(copied + 1);
  return 0;
}

} // namespace oxa::ZarUsb
