#pragma once
// The cameras that ZAR_USB_EMULATION asks for.

#include <string>
#include <vector>

#include "emulator/camera_model.h"

namespace oxa::ZarUsb::emulator {

// "N": N default cameras (serials EMU0001 ..., at most 30). A path: the
// cameras of that JSON file. Unset: none. Anything else (a file that cannot
// be read or parsed, more than 30 cameras): none, and *why says what is
// wrong, naming the variable and its value.
std::vector<CameraConfig> ConfiguredCameras(std::string *why = nullptr);

// Parses a JSON description: {"cameras": [{"vendor", "model", "version",
// "serial", "name", "register90", "width", "height", "pixel_format"
// ("Mono8", "Mono16", "RGB8", "BayerRG8", "BayerGB8"), "frame_rate" (frames per second, 0 for
// unlimited), "interface_class"}]}. Missing fields take the defaults.
std::vector<CameraConfig> ParseCameras(const std::string &json, std::string *why);

} // namespace oxa::ZarUsb::emulator
