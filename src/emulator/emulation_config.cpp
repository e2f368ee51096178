#include "emulator/emulation_config.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "emulator/bus_layout.h"

namespace oxa::ZarUsb::emulator {

namespace {

// A field that holds a 32-bit register value: a whole number from 0 to
// 4294967295, nothing else (a fraction or a sign would be cut silently).
uint32_t RegisterValue(const nlohmann::json &item, const char *key, uint32_t fallback) {
  if (!item.contains(key)) return fallback;
  const nlohmann::json &value = item.at(key);
  if (!value.is_number_unsigned() || value.get<uint64_t>() > UINT32_MAX)
    throw std::runtime_error(std::string(key) + ": not a whole number from 0 to 4294967295");
  return static_cast<uint32_t>(value.get<uint64_t>());
}

} // namespace

std::vector<CameraConfig> ParseCameras(const std::string &text, std::string *why) {
  std::vector<CameraConfig> cameras;
  try {
    const auto json = nlohmann::json::parse(text);
    for (const auto &item : json.at("cameras")) {
      CameraConfig config;
      config.vendor = item.value("vendor", config.vendor);
      config.model = item.value("model", config.model);
      config.version = item.value("version", config.version);
      config.serial = item.value("serial", config.serial);
      config.userName = item.value("name", config.userName);
      config.register90 = RegisterValue(item, "register90", config.register90);
      config.width = RegisterValue(item, "width", config.width);
      config.height = RegisterValue(item, "height", config.height);
      if (item.contains("pixel_format")) {
        config.pixelFormat = PixelFormatByName(item.at("pixel_format").get<std::string>());
        if (config.pixelFormat == 0) throw std::runtime_error("unknown pixel_format");
      }
      if (item.contains("frame_rate")) {
        // Kept in frames per 1000 s, a 32-bit register.
        const double milli = item.at("frame_rate").get<double>() * 1000.0 + 0.5;
        if (!(milli >= 0.0 && milli < 4294967296.0))
          throw std::runtime_error("frame_rate: not from 0 to 4294967 frames per second");
        config.frameRateMilli = static_cast<uint32_t>(milli);
      }
      config.interfaceClass = RegisterValue(item, "interface_class", config.interfaceClass);
      cameras.push_back(config);
    }
  } catch (const std::exception &failure) {
    if (why != nullptr) *why = std::string("camera description: ") + failure.what();
    return {};
  }
  return cameras;
}

std::vector<CameraConfig> ConfiguredCameras(std::string *why) {
  const char *value = std::getenv("ZAR_USB_EMULATION");
  if (value == nullptr || *value == '\0') return {};
  const std::string text = value;
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    const unsigned long count = text.size() > 2 ? kMaxCameras + 1ul : std::stoul(text);
    if (count > kMaxCameras) {
      if (why != nullptr) *why = "ZAR_USB_EMULATION=" + text + ": at most 30 cameras";
      return {};
    }
    std::vector<CameraConfig> cameras;
    for (unsigned long i = 0; i < count; ++i) {
      CameraConfig config;
      char serial[16];
      std::snprintf(serial, sizeof serial, "EMU%04lu", i + 1);
      config.serial = serial;
      config.interfaceClass = static_cast<uint32_t>(i % 21);
      cameras.push_back(config);
    }
    return cameras;
  }
  std::ifstream file(value, std::ios::binary);
  if (!file) {
    if (why != nullptr)
      *why = "ZAR_USB_EMULATION=" + text + ": neither a number of cameras nor a camera description file that can be read";
    return {};
  }
  std::ostringstream content;
  content << file.rdbuf();
  std::vector<CameraConfig> cameras = ParseCameras(content.str(), why);
  if (cameras.empty() && why != nullptr && !why->empty()) *why = "ZAR_USB_EMULATION=" + text + ": " + *why;
  return cameras;
}

} // namespace oxa::ZarUsb::emulator
