// The emulation configuration file: any text is either refused with a reason
// or gives cameras that plug into a bus slot, answer their registers, and
// paint their test pattern.

#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/bus.h"
#include "emulator/camera_registers.h"
#include "emulator/emulation_config.h"
#include "emulator/emulator.h"
#include "emulator/test_pattern.h"

using namespace oxa::ZarUsb::emulator;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string why;
  const std::vector<CameraConfig> cameras =
      ParseCameras(std::string(reinterpret_cast<const char *>(data), size), &why);
  Check(cameras.empty() || why.empty());
  for (const CameraConfig &config : cameras) {
    CameraSlot slot{};
    if (!PlugInto(slot, config)) continue;
    uint8_t registers[0x120];
    Check(ReadRegisters(slot, 1, 0, registers, sizeof registers) != 0); // 0xA0-0xFF holds no register
    for (uint32_t address = 0; address < sizeof registers; address += 4) ReadRegisters(slot, 1, address, registers, 4);
    Check(ReadRegisters(slot, 0, 0, registers, 8) == 0);
    uint32_t parsedSlot = 0, generation = 0;
    Check(ParseDevicePath(DevicePath(29, slot.generation, slot.interfaceClass).c_str(), &parsedSlot, &generation));
    Check(parsedSlot == 29 && generation == slot.generation);
    std::vector<uint8_t> frame(4096);
    TestPattern pattern;
    Check(pattern.Write(frame.data(), static_cast<uint32_t>(frame.size()), slot.width, slot.height, slot.pixelFormat,
                        7) <= frame.size());
  }
  return 0;
}
