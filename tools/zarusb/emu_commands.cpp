#include "emu_commands.h"

#include "command_support.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace zarusb {

using namespace oxa::ZarUsb::emulator;

namespace {

const std::map<std::string, Request> kRequests = {
    {"write-camera", Request::WriteMemCamera},   {"read-camera", Request::ReadMemCamera},
    {"write-tl", Request::WriteMemTransportLayer}, {"read-tl", Request::ReadMemTransportLayer},
    {"lock-buffer", Request::LockBuffer},        {"queue-buffer", Request::QueueBuffer},
    {"flush-queue", Request::FlushQueue},        {"get-buffer", Request::GetBuffer},
    {"free-buffer", Request::FreeBuffer},        {"start-stop-stream", Request::StartStopStream},
    {"get-event", Request::GetEvent},            {"write-custom", Request::WriteMemCustomFeature},
    {"read-custom", Request::ReadMemCustomFeature}};

const std::vector<std::string> kPixelFormats = {"Mono8", "Mono16", "RGB8", "BayerRG8", "BayerGB8"};

const std::map<std::string, FaultKind> kFaults = {{"none", FaultKind::None},
                                                  {"system-error", FaultKind::SystemError},
                                                  {"driver-error", FaultKind::DriverError},
                                                  {"pend", FaultKind::Pend},
                                                  {"byte-count", FaultKind::ByteCount},
                                                  {"at-once", FaultKind::AtOnce}};

const char *PixelFormatName(uint32_t format) {
  for (const std::string &name : kPixelFormats)
    if (PixelFormatByName(name) == format) return name.c_str();
  return "?";
}

// A camera named by its serial number or its slot.
bool FindSlot(const std::string &camera, uint32_t *slot) {
  for (const auto &plugged : ListCameras()) {
    if (plugged.config.serial == camera || std::to_string(plugged.slot) == camera) {
      *slot = plugged.slot;
      return true;
    }
  }
  std::fprintf(stderr, "zarusb: no emulated camera '%s' (see `zarusb emu list`)\n", camera.c_str());
  return false;
}

void RemindToEnable() {
  if (!EmulationEnabled())
    std::printf("Note: applications list emulated cameras only while ZAR_USB_EMULATION is set "
                "(export ZAR_USB_EMULATION=0).\n");
  const std::string problem = EmulationProblem();
  if (!problem.empty()) std::printf("Note: %s.\n", problem.c_str());
}

} // namespace

const char *NoCameraAdvice() {
  return "No camera found. Without camera hardware, use the camera emulator:\n"
         "  export ZAR_USB_EMULATION=2     # two emulated cameras on a fresh bus\n"
         "  zarusb emu plug --serial S123  # or plug one at any time\n";
}

void AddEmulatorCommands(CLI::App &app) {
  CLI::App *emu = app.add_subcommand("emu", "Drive the camera emulator (no hardware needed)");
  emu->require_subcommand(1);

  auto config = std::make_shared<CameraConfig>();
  auto pixelFormat = std::make_shared<std::string>("Mono8");
  auto fps = std::make_shared<double>(30.0);
  CLI::App *plug = emu->add_subcommand("plug", "Plug an emulated camera into the bus");
  plug->add_option("--vendor", config->vendor, "Vendor name")->capture_default_str();
  plug->add_option("--model", config->model, "Model name")->capture_default_str();
  plug->add_option("--version", config->version, "Device version (major.minor)")->capture_default_str();
  plug->add_option("--serial", config->serial, "Serial number")->capture_default_str();
  plug->add_option("--name", config->userName, "User-defined name (16 bytes), listed instead of the model");
  plug->add_option("--width", config->width, "Image width")->capture_default_str()->check(CLI::Range(1u, kMaxDimension));
  plug->add_option("--height", config->height, "Image height")
      ->capture_default_str()
      ->check(CLI::Range(1u, kMaxDimension));
  plug->add_option("--pixel-format", *pixelFormat, "Mono8, Mono16, RGB8, BayerRG8 or BayerGB8")
      ->capture_default_str()
      ->check(CLI::IsMember(kPixelFormats));
  // The rate register holds frames per 1000 s in 32 bits.
  plug->add_option("--fps", *fps, "Frames per second, 0 for as fast as buffers come")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 4294967.0));
  plug->add_option("--class", config->interfaceClass, "Device interface class, 0-20")
      ->capture_default_str()
      ->check(CLI::Range(0u, 20u));
  plug->callback([config, pixelFormat, fps] {
    config->pixelFormat = PixelFormatByName(*pixelFormat);
    config->frameRateMilli = static_cast<uint32_t>(*fps * 1000.0 + 0.5);
    std::string why;
    const auto slot = Plug(*config, &why);
    if (!slot) Fail("cannot plug the camera: " + why);
    std::printf("Plugged %s %s into slot %u\n", config->model.c_str(), config->serial.c_str(), *slot);
    RemindToEnable();
  });

  auto camera = std::make_shared<std::string>();
  CLI::App *unplug = emu->add_subcommand("unplug", "Unplug an emulated camera");
  unplug->add_option("camera", *camera, "Serial number or slot")->required();
  unplug->callback([camera] {
    uint32_t slot = 0;
    if (!FindSlot(*camera, &slot)) throw CLI::RuntimeError(1);
    if (!Unplug(slot)) Fail("slot " + std::to_string(slot) + " holds no camera");
    std::printf("Unplugged slot %u\n", slot);
  });

  emu->add_subcommand("list", "List the emulated cameras on the bus")->callback([] {
    const auto cameras = ListCameras();
    if (cameras.empty()) std::printf("The emulated bus is empty. Plug a camera with `zarusb emu plug`.\n");
    for (const auto &plugged : cameras) {
      std::printf("slot %2u  %-16s %-12s %-8s %ux%u %-6s %6.2f fps  class %2u  %s\n", plugged.slot,
                  plugged.config.model.c_str(), plugged.config.serial.c_str(), plugged.config.version.c_str(),
                  plugged.config.width, plugged.config.height, PixelFormatName(plugged.config.pixelFormat),
                  plugged.config.frameRateMilli / 1000.0, plugged.config.interfaceClass,
                  plugged.holderProcess != 0 ? ("open in process " + std::to_string(plugged.holderProcess)).c_str()
                                             : "free");
    }
    RemindToEnable();
  });

  auto eventId = std::make_shared<uint32_t>(0);
  auto eventData = std::make_shared<std::string>();
  CLI::App *event = emu->add_subcommand("event", "Raise a device event on a camera");
  event->add_option("camera", *camera, "Serial number or slot")->required();
  event->add_option("id", *eventId, "Event identifier")->required();
  event->add_option("--data", *eventData, "Event data in hex, at most 64 bytes");
  event->callback([camera, eventId, eventData] {
    uint32_t slot = 0;
    std::vector<uint8_t> bytes;
    if (!ParseHex(*eventData, &bytes) || bytes.size() > 64)
      Fail("--data takes at most 64 bytes in hex");
    if (!FindSlot(*camera, &slot)) throw CLI::RuntimeError(1);
    if (!RaiseEvent(slot, *eventId, bytes.data(), static_cast<uint32_t>(bytes.size())))
      Fail("the camera left the bus");
    std::printf("Raised event 0x%X on slot %u\n", *eventId, slot);
  });

  auto requestName = std::make_shared<std::string>();
  auto faultName = std::make_shared<std::string>();
  auto count = std::make_shared<uint32_t>(1);
  auto value = std::make_shared<uint32_t>(0);
  auto after = std::make_shared<uint32_t>(0);
  CLI::App *fault = emu->add_subcommand("fault", "Make the next requests of one kind fail");
  fault->add_option("camera", *camera, "Serial number or slot")->required();
  fault->add_option("request", *requestName, "Request kind")->required()->check(CLI::IsMember(kRequests));
  fault->add_option("kind", *faultName, "Fault")->required()->check(CLI::IsMember(kFaults));
  fault->add_option("--count", *count, "How many requests it hits")->capture_default_str();
  fault->add_option("--value", *value, "System error, driver error word or byte count")->capture_default_str();
  fault->add_option("--after", *after, "Requests of that kind to let through first")->capture_default_str();
  fault->callback([camera, requestName, faultName, count, value, after] {
    uint32_t slot = 0;
    if (!FindSlot(*camera, &slot)) throw CLI::RuntimeError(1);
    if (!InjectFault(slot, kRequests.at(*requestName), kFaults.at(*faultName), *count, *value, *after))
      Fail("the camera left the bus");
    std::printf("The next %u %s request(s) of slot %u: %s\n", *count, requestName->c_str(), slot, faultName->c_str());
  });

  emu->add_subcommand("suspend", "Announce a system suspend")->callback([] {
    std::printf("Announced a system suspend%s\n",
                Suspend() ? ": open cameras hear PC_SUSPEND_MODE" : "; no application is listening");
  });
  emu->add_subcommand("resume", "Announce a system resume")->callback([] {
    std::printf("Announced a system resume%s\n",
                Resume() ? ": open cameras hear PC_RESTORE_SLEEP_MODE 10 s later" : "; no application is listening");
  });
  emu->add_subcommand("reset", "Unplug every camera and plug those ZAR_USB_EMULATION asks for now")->callback([] {
    std::string why;
    const auto plugged = Reset(&why);
    if (!plugged) Fail("the bus is empty now: " + why);
    std::printf("Reset the bus: %u camera(s) from ZAR_USB_EMULATION=%s\n", *plugged,
                EmulationEnabled() ? std::getenv("ZAR_USB_EMULATION") : "(unset)");
  });
  auto gap = std::make_shared<uint32_t>(1000);
  CLI::App *hibernate =
      emu->add_subcommand("hibernate", "Suspend, drop every camera off the bus, resume, and plug them back");
  hibernate->add_option("--gap-ms", *gap, "Time between the resume and the cameras' return")->capture_default_str();
  hibernate->callback([gap] {
    Hibernate(*gap);
    std::printf("Announced a hibernation: suspend, every camera unplugged, resume, and the cameras back %u ms later\n",
                *gap);
  });
}

} // namespace zarusb
