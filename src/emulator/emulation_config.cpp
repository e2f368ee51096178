#include "emulator/emulation_config.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace oxa::ZarUsb::emulator {

uint32_t PixelFormatByName(const std::string &name) {
  if (name == "Mono8") return kMono8;
  if (name == "Mono16") return kMono16;
  if (name == "RGB8") return kRGB8;
  return 0;
}

std::vector<CameraSpec> ParseCameras(const std::string &text, std::string *why) {
  std::vector<CameraSpec> cameras;
  try {
    const auto json = nlohmann::json::parse(text);
    for (const auto &item : json.at("cameras")) {
      CameraSpec spec;
      spec.vendor = item.value("vendor", spec.vendor);
      spec.model = item.value("model", spec.model);
      spec.version = item.value("version", spec.version);
      spec.serial = item.value("serial", spec.serial);
      spec.userName = item.value("name", spec.userName);
      spec.register90 = item.value("register90", spec.register90);
      spec.width = item.value("width", spec.width);
      spec.height = item.value("height", spec.height);
      if (item.contains("pixel_format")) {
        spec.pixelFormat = PixelFormatByName(item.at("pixel_format").get<std::string>());
        if (spec.pixelFormat == 0) throw std::runtime_error("unknown pixel_format");
      }
      if (item.contains("frame_rate"))
        spec.frameRateMilli = static_cast<uint32_t>(item.at("frame_rate").get<double>() * 1000.0 + 0.5);
      spec.interfaceClass = item.value("interface_class", spec.interfaceClass);
      cameras.push_back(spec);
    }
  } catch (const std::exception &failure) {
    if (why != nullptr) *why = std::string("camera description: ") + failure.what();
    return {};
  }
  return cameras;
}

std::vector<CameraSpec> ConfiguredCameras(std::string *why) {
  const char *value = std::getenv("ZAR_USB_EMULATION");
  if (value == nullptr || *value == '\0') return {};
  char *end = nullptr;
  const unsigned long count = std::strtoul(value, &end, 10);
  if (*end == '\0') {
    std::vector<CameraSpec> cameras;
    for (unsigned long i = 0; i < count && i < 30; ++i) {
      CameraSpec spec;
      char serial[16];
      std::snprintf(serial, sizeof serial, "EMU%04lu", i + 1);
      spec.serial = serial;
      spec.interfaceClass = static_cast<uint32_t>(i % 21);
      cameras.push_back(spec);
    }
    return cameras;
  }
  std::ifstream file(value, std::ios::binary);
  if (!file) {
    if (why != nullptr) *why = std::string("cannot read ZAR_USB_EMULATION file ") + value;
    return {};
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseCameras(text.str(), why);
}

} // namespace oxa::ZarUsb::emulator
