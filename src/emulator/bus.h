#pragma once
// Access to the namespace's emulated bus (see bus_layout.h).

#include <cstdint>
#include <string>

#include "emulator/bus_layout.h"
#include "emulator/camera_model.h"
#include "os/mapped_file.h"
#include "os/named_mutex.h"

namespace oxa::ZarUsb::emulator {

class Bus {
public:
  // The bus of this process's namespace, opened (and on first creation seeded
  // from ZAR_USB_EMULATION) on first use, kept until the process ends. Null
  // when it cannot be opened.
  static Bus *Get();

  // Holds the bus lock; the layout may be read and changed meanwhile.
  class Guard {
  public:
    explicit Guard(Bus &bus) : m_bus(bus) { m_bus.m_mutex.Acquire(); }
    ~Guard() { m_bus.m_mutex.Release(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    BusLayout &Layout() { return *m_bus.m_layout; }

  private:
    Bus &m_bus;
  };

  // The slot if it still holds the camera of that plug; null otherwise.
  // Only while a Guard is held.
  CameraSlot *Camera(Guard &guard, uint32_t slot, uint32_t generation);

  // Empties every slot (their generations go on, so that no old device path
  // names a new camera) and plugs the cameras ZAR_USB_EMULATION asks for;
  // *why says what is wrong with the variable, if anything. Only while a
  // Guard is held.
  static void Seed(BusLayout &layout, std::string *why);

private:
  Bus() = default;
  bool Open();

  os::NamedMutex m_mutex;
  os::MappedFile m_file;
  BusLayout *m_layout = nullptr;
};

// Device paths of emulated cameras.
std::string DevicePath(uint32_t slot, uint32_t generation, uint32_t interfaceClass);
bool ParseDevicePath(const char *path, uint32_t *slot, uint32_t *generation);
// The named event (os::NamedEvent) of the virtual driver that holds the
// camera of that plug: set after a change that comes from outside the driver
// (a raised event, the unplug), so that the driver acts on it at once.
std::string WakeEventName(uint32_t slot, uint32_t generation);

// Fills a free slot with a camera of that config; false when the config is unusable.
bool PlugInto(CameraSlot &slot, const CameraConfig &config);
// Appends an event to the camera's queue (the oldest is dropped when full).
void PushEvent(CameraSlot &slot, uint32_t id, const void *data, uint32_t length);

} // namespace oxa::ZarUsb::emulator
