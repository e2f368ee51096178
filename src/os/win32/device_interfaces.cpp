#include "os/device_interfaces.h"

#include <cstring>
#include <vector>
#include <windows.h>
#include <setupapi.h>

namespace oxa::ZarUsb::os {

std::vector<DeviceInterfaceEntry> PresentDeviceInterfaces(const Guid &classGuid, uint32_t maxMembers) {
  GUID guid;
  static_assert(sizeof guid == sizeof classGuid);
  std::memcpy(&guid, &classGuid, sizeof guid);
  std::vector<DeviceInterfaceEntry> found;
  // A class that cannot be queried is walked all the same: each member then
  // fails to enumerate and is listed with that error.
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  for (DWORD member = 0; member < maxMembers; ++member) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, member, &data)) {
      const DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_ITEMS) found.push_back({member, {}, error, false});
      continue;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    std::vector<unsigned char> buffer(required > sizeof(DWORD) ? required : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr)) {
      found.push_back({member, {}, GetLastError(), true});
      continue;
    }
    found.push_back({member, detail->DevicePath, 0, false});
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  return found;
}

} // namespace oxa::ZarUsb::os
