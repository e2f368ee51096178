#include "list_command.h"

#include <cstdio>

#include "emu_commands.h"
#include "emulator/emulator.h"
#include "registry/table_snapshot.h"
#include "zar_usb.h"

namespace zarusb {

void AddListCommand(CLI::App &app) {
  app.add_subcommand("list", "List the connected cameras: table index, name, and the process that holds each")
      ->callback([] {
        ZAR_TL_HANDLE tl = nullptr;
        if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS) throw CLI::RuntimeError(1);
        uint8_t changed = 0;
        TLUpdateDeviceList(tl, "USB", &changed); // waits for the first scan
        uint32_t count = 0;
        TLGetNumDevices(tl, "USB", &count);
        const auto cameras = oxa::ZarUsb::ReadSharedTable();
        TLClose(tl);
        if (cameras.empty()) {
          if (oxa::ZarUsb::emulator::EmulationEnabled())
            std::printf("No camera. Plug an emulated one with `zarusb emu plug`.\n");
          else
            std::printf("%s", NoCameraAdvice());
          return;
        }
        std::printf("%-5s  %-40s %s\n", "index", "name", "held by");
        for (const auto &camera : cameras) {
          const std::string holder = camera.ownerProcessId == 0 ? "free"
                                     : camera.ownerProcessId == 0xFFFFFFFFu
                                         ? "unplugged"
                                         : "process " + std::to_string(camera.ownerProcessId);
          std::printf("%-5d  %-40s %s\n", camera.index, camera.friendlyName.c_str(), holder.c_str());
        }
      });
}

} // namespace zarusb
