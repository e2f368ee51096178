#pragma once
// The present device interfaces of an interface class, as the system's
// device setup reports them (SetupDi* on Windows; POSIX has none).

#include <cstdint>
#include <string>
#include <vector>

namespace oxa::ZarUsb::os {

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

struct DeviceInterfaceEntry {
  uint32_t member; // member index within the class
  std::string path;
  uint32_t error;  // non-zero: this member could not be read (path empty)
  bool detailFailed; // the error came from reading the member's path
};

// Members 0 to maxMembers - 1 of the class; members past the end of the
// class are left out, failed ones are listed with their error.
std::vector<DeviceInterfaceEntry> PresentDeviceInterfaces(const Guid &classGuid, uint32_t maxMembers);

} // namespace oxa::ZarUsb::os
