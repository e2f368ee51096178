// zarusb-demo: loads the library and shows what it reports about itself.

#include <cstdio>

#include "zar_usb.h"

int main() {
  ZAR_TL_INFO info{};
  uint32_t size = sizeof info;
  if (TLInfo(nullptr, &info, &size) != ZAR_SUCCESS) {
    std::fprintf(stderr, "TLInfo failed\n");
    return 1;
  }
  std::printf("Transport layer: %s by %s, transport %s (record version %u, %u bytes)\n", info.sName,
              info.sVendor, info.sTransport, info.iVersion, info.iSize);

  ZAR_TL_HANDLE tl = nullptr;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) {
    std::fprintf(stderr, "TLOpen failed\n");
    return 1;
  }
  uint32_t interfaces = 0;
  TLGetNumInterfaces(tl, &interfaces);
  for (uint32_t i = 0; i < interfaces; ++i) {
    char name[64];
    if (TLGetInterfaceName(tl, i, name, sizeof name) == ZAR_SUCCESS) std::printf("Interface %u: %s\n", i, name);
  }
  std::printf("Status codes:\n");
  for (int32_t code = 0; code >= -11; --code) {
    const char *text = nullptr;
    GCGetErrorText(tl, code, &text);
    std::printf("  %3d  %s\n", code, text != nullptr ? text : "(none)");
  }
  TLClose(tl);
  return 0;
}
