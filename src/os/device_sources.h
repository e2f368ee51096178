#pragma once
// The one place where the library lists the members of a device-interface
// class and opens a device path. Two sources feed it: the operating system
// (its device setup and its kernel drivers) and, when the library was loaded
// with emulation on, a second system that stands where the operating system
// stands (the camera emulator's bus). Nothing above the port knows which
// source a member came from: both give paths that OpenDevicePath opens.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "os/device_interfaces.h"
#include "os/device_io.h"

namespace oxa::ZarUsb::os {

class DeviceSource {
public:
  virtual ~DeviceSource() = default;
  // The source's present members of the class, at most `count` of them.
  // Their member numbers are left to the caller. May throw std::bad_alloc.
  virtual std::vector<DeviceInterfaceEntry> Members(const Guid &classGuid, uint32_t count) = 0;
  // Whether the path names one of the source's devices.
  virtual bool Owns(const char *path) const noexcept = 0;
  // Opens one of its paths as OpenSystemDevice opens the system's.
  virtual std::unique_ptr<DeviceIo> Open(const char *path, uint32_t *error) noexcept = 0;
};

namespace detail {
inline std::atomic<DeviceSource *> g_secondSource{nullptr};
} // namespace detail

// Adds the second source (null removes it). The library calls it when it
// loads and unloads; the source must stay valid while it is set. Any thread.
inline void SetSecondDeviceSource(DeviceSource *source) noexcept { detail::g_secondSource.store(source); }

// Members 0 to maxMembers - 1 of the class: the system's first, then the
// second source's, numbered on from the system's last. Failed members are
// listed with their error, members past the end of the class left out.
// Blocks on the system's device setup. Any thread. May throw std::bad_alloc.
inline std::vector<DeviceInterfaceEntry> ListDeviceInterfaces(const Guid &classGuid, uint32_t maxMembers) {
  std::vector<DeviceInterfaceEntry> members = PresentDeviceInterfaces(classGuid, maxMembers);
  DeviceSource *second = detail::g_secondSource.load();
  uint32_t next = members.empty() ? 0 : members.back().member + 1;
  if (second == nullptr || next >= maxMembers) return members;
  for (DeviceInterfaceEntry &member : second->Members(classGuid, maxMembers - next)) {
    member.member = next++;
    members.push_back(std::move(member));
  }
  return members;
}

// Opens a path of either source with read and write access, exclusively, for
// overlapped requests. Null with *error (a system error code) on failure.
// Blocks until the open is done. Any thread.
inline std::unique_ptr<DeviceIo> OpenDevicePath(const char *path, uint32_t *error) noexcept {
  DeviceSource *second = detail::g_secondSource.load();
  if (second != nullptr && second->Owns(path)) return second->Open(path, error);
  return OpenSystemDevice(path, error);
}

} // namespace oxa::ZarUsb::os
