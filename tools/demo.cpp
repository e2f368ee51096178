// zarusb-demo: what an application sees through the ZAR_USB C API: the
// transport layer, its cameras, one camera's identity, a register read and
// its GenICam description file.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "genicam_root.h"
#include "zar_usb.h"
#include "zar_usb_camera.h"

namespace {

std::string Text(const char *field, size_t size) { return std::string(field, std::find(field, field + size, '\0')); }

int Fail(ZAR_TL_HANDLE tl, const char *what, ZAR_STATUS status) {
  const char *text = nullptr;
  GCGetErrorText(tl, status, &text);
  std::fprintf(stderr, "%s failed: %d (%s)\n", what, status, text != nullptr ? text : "?");
  TLClose(tl);
  return 1;
}

} // namespace

int main() {
  zarusb::DefaultGenicamRoot();
  ZAR_TL_INFO info{};
  uint32_t infoSize = sizeof info;
  TLInfo(nullptr, &info, &infoSize);
  std::printf("Transport layer %s by %s, transport %s\n", info.sName, info.sVendor, info.sTransport);

  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) return 1;
  uint8_t changed = 0;
  TLUpdateDeviceList(tl, "USB", &changed);
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  std::printf("\n%u camera(s) on interface USB:\n", count);
  for (uint32_t i = 0; i < count; ++i) {
    char name[260];
    if (TLGetDeviceName(tl, "USB", i, name, sizeof name) == ZAR_SUCCESS) std::printf("  %u  %s\n", i, name);
  }
  if (count == 0) {
    std::printf("No camera. Without hardware, turn the camera emulator on: ZAR_USB_EMULATION=2 %s\n",
                "zarusb-demo (or `zarusb emu plug`)");
    TLClose(tl);
    return 0;
  }

  char name[260];
  TLGetDeviceName(tl, "USB", 0, name, sizeof name);
  ZAR_DEV_HANDLE device = nullptr;
  if (const ZAR_STATUS status = TLOpenDevice(tl, "USB", name, &device); status != ZAR_SUCCESS)
    return Fail(tl, "TLOpenDevice", status);

  ZAR_DEVICE_INFO identity{};
  uint32_t identitySize = sizeof identity;
  if (const ZAR_STATUS status = DevGetInfo(device, &identity, &identitySize); status != ZAR_SUCCESS)
    return Fail(tl, "DevGetInfo", status);
  std::printf("\nOpened %s: vendor %s, model %s, serial number %s\n", name, Text(identity.sVendor, 32).c_str(),
              Text(identity.sModel, 32).c_str(), Text(identity.sSerial, 32).c_str());

  uint32_t geometry[4] = {};
  uint64_t size = sizeof geometry;
  if (const ZAR_STATUS status = GCReadData(device, 0, ZAR_CAMERA_WIDTH, geometry, &size); status != ZAR_SUCCESS)
    return Fail(tl, "GCReadData", status);
  std::printf("Registers 0x100-0x10F: width %u, height %u, pixel format 0x%08X, payload %u bytes\n", geometry[0],
              geometry[1], geometry[2], geometry[3]);

  uint32_t xmlSize = 0;
  const ZAR_STATUS query = DevGetXml(device, nullptr, &xmlSize);
  if (query != ZAR_ERR_INVALID_BUFFER_SIZE) {
    std::printf("No description file (%d): set GENICAM_ROOT to the folder that holds xml/\n", query);
  } else {
    std::vector<char> xml(xmlSize + 1);
    uint32_t capacity = static_cast<uint32_t>(xml.size());
    DevGetXml(device, xml.data(), &capacity);
    std::printf("\nDescription file, %u bytes; it begins:\n", xmlSize);
    const char *text = xml.data();
    for (int line = 0; line < 6 && *text != '\0'; ++line) {
      const char *end = std::strchr(text, '\n');
      const size_t length = end != nullptr ? static_cast<size_t>(end - text) : std::strlen(text);
      std::printf("  %.*s\n", static_cast<int>(length), text);
      text += length + (end != nullptr ? 1 : 0);
    }
  }
  DevClose(device);
  TLClose(tl);
  return 0;
}
