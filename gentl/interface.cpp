// The interface module "USB": the cameras the library lists, under their
// listed names, and what each is and whether it can be opened.

#include "producer.h"

namespace zar_gentl {

namespace {

// Whether the camera is ours (opened through this interface).
bool OpenHere(Interface &iface, const std::string &id) {
  std::lock_guard<std::mutex> guard(iface.lock);
  const auto found = iface.open.find(id);
  return found != iface.open.end() && !found->second.expired();
}

// What the camera is and who can open it. The library opens a camera for
// one process at a time and tells no one who holds it, so a camera that is
// not ours is opened for a moment: refused, it is busy (held elsewhere);
// opened, its identity is read and kept.
Identity Probe(Interface &iface, const std::string &id, DEVICE_ACCESS_STATUS *access) {
  if (OpenHere(iface, id)) {
    *access = DEVICE_ACCESS_STATUS_OPEN_READWRITE;
    std::lock_guard<std::mutex> guard(iface.lock);
    return iface.identities[id];
  }
  void *device = nullptr;
  const int32_t opened = lib::OpenDevice(iface.tl, id, &device);
  if (opened != kLibSuccess) {
    *access = opened == kLibAccessDenied ? DEVICE_ACCESS_STATUS_BUSY : DEVICE_ACCESS_STATUS_UNKNOWN;
    std::lock_guard<std::mutex> guard(iface.lock);
    const auto known = iface.identities.find(id);
    return known != iface.identities.end() ? known->second : IdentityFromName(id);
  }
  Identity identity;
  const int32_t read = ReadIdentity(device, &identity);
  lib::CloseDevice(device);
  *access = DEVICE_ACCESS_STATUS_READWRITE;
  if (read != kLibSuccess) return IdentityFromName(id);
  std::lock_guard<std::mutex> guard(iface.lock);
  iface.identities[id] = identity;
  return identity;
}

bool Listed(Interface &iface, const std::string &id) {
  std::lock_guard<std::mutex> guard(iface.lock);
  for (const auto &listed : iface.devices)
    if (listed == id) return true;
  return false;
}

enum InterfaceFeature {
  kInterfaceID, kInterfaceType, kDeviceUpdateList, kDeviceSelector, kDeviceID, kDeviceVendorName, kDeviceModelName,
  kDeviceSerialNumber, kDeviceAccessStatus
};

GC_ERROR UpdateList(Interface &iface, bool *changed) {
  bool libraryChanged = false;
  if (const GC_ERROR updated = FromLibrary(lib::UpdateDeviceList(iface.tl, &libraryChanged), "updating the device list"))
    return updated;
  std::vector<std::string> names;
  if (const GC_ERROR listed = FromLibrary(lib::DeviceNames(iface.tl, &names), "listing the cameras")) return listed;
  std::lock_guard<std::mutex> guard(iface.lock);
  *changed = names != iface.devices;
  iface.devices = std::move(names);
  return GC_ERR_SUCCESS;
}

} // namespace

Identity IdentityFromName(const std::string &name) {
  Identity identity;
  const size_t mark = name.rfind("_#");
  if (mark == std::string::npos) return identity;
  identity.model = name.substr(0, mark);
  identity.serial = name.substr(mark + 2);
  return identity;
}

const std::vector<Feature> &Interface::Features() const {
  static const std::vector<Feature> features = {
      {Feature::Text, "InterfaceID"},        {Feature::Text, "InterfaceType"},
      {Feature::Command, "DeviceUpdateList"}, {Feature::Selector, "DeviceSelector"},
      {Feature::Text, "DeviceID", kDeviceSelector},        {Feature::Text, "DeviceVendorName", kDeviceSelector},
      {Feature::Text, "DeviceModelName", kDeviceSelector}, {Feature::Text, "DeviceSerialNumber", kDeviceSelector},
      {Feature::Number, "DeviceAccessStatus", kDeviceSelector}};
  return features;
}

uint64_t Interface::SelectorMax(size_t) {
  std::lock_guard<std::mutex> guard(lock);
  return devices.empty() ? 0 : devices.size() - 1;
}

bool Interface::ReadFeature(size_t index, std::string *text, uint64_t *number) {
  std::string id;
  {
    std::lock_guard<std::mutex> guard(lock);
    switch (index) {
    case kInterfaceID: *text = kInterfaceId; return true;
    case kInterfaceType: *text = kTLType; return true;
    case kDeviceUpdateList: *number = 0; return true;
    case kDeviceSelector: *number = deviceSelector; return true;
    default: break;
    }
    if (deviceSelector >= devices.size()) {
      *text = {};
      *number = DEVICE_ACCESS_STATUS_UNKNOWN;
      return true;
    }
    id = devices[deviceSelector];
  }
  if (index == kDeviceID) {
    *text = id;
    return true;
  }
  DEVICE_ACCESS_STATUS access = DEVICE_ACCESS_STATUS_UNKNOWN;
  const Identity identity = Probe(*this, id, &access);
  switch (index) {
  case kDeviceVendorName: *text = identity.vendor; return true;
  case kDeviceModelName: *text = identity.model; return true;
  case kDeviceSerialNumber: *text = identity.serial; return true;
  case kDeviceAccessStatus: *number = static_cast<uint64_t>(access); return true;
  default: return false;
  }
}

GC_ERROR Interface::WriteFeature(size_t index, uint64_t value) {
  if (index == kDeviceUpdateList) {
    bool changed = false;
    return UpdateList(*this, &changed);
  }
  if (index != kDeviceSelector) return Fail(GC_ERR_ACCESS_DENIED, "the feature is read-only");
  std::lock_guard<std::mutex> guard(lock);
  if (value >= devices.size() && value != 0) return Fail(GC_ERR_INVALID_VALUE, "no camera at that index");
  deviceSelector = value;
  return GC_ERR_SUCCESS;
}

void CloseInterface(const std::shared_ptr<Interface> &iface) {
  RemoveHandle(iface.get());
  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard<std::mutex> guard(iface->lock);
    for (auto &[id, device] : iface->open)
      if (auto held = device.lock()) devices.push_back(std::move(held));
    iface->open.clear();
  }
  for (const auto &device : devices) CloseDevice(device);
  if (auto system = iface->system.lock()) {
    std::lock_guard<std::mutex> guard(system->lock);
    if (system->iface == iface) system->iface.reset();
  }
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API IFClose(IF_HANDLE hIface) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    CloseInterface(iface);
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API IFUpdateDeviceList(IF_HANDLE hIface, bool8_t *pbChanged, uint64_t) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    bool changed = false;
    if (const GC_ERROR updated = UpdateList(*iface, &changed)) return updated;
    if (pbChanged != nullptr) *pbChanged = changed ? 1 : 0;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API IFGetNumDevices(IF_HANDLE hIface, uint32_t *piNumDevices) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    if (piNumDevices == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the count pointer is null");
    std::lock_guard<std::mutex> guard(iface->lock);
    *piNumDevices = static_cast<uint32_t>(iface->devices.size());
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API IFGetDeviceID(IF_HANDLE hIface, uint32_t iIndex, char *sIDeviceID, size_t *piSize) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    std::string id;
    {
      std::lock_guard<std::mutex> guard(iface->lock);
      if (iIndex >= iface->devices.size()) return Fail(GC_ERR_INVALID_INDEX, "no camera at that index");
      id = iface->devices[iIndex];
    }
    return CopyId(id, sIDeviceID, piSize);
  });
}

ZAR_GENTL_API IFGetDeviceInfo(IF_HANDLE hIface, const char *sDeviceID, DEVICE_INFO_CMD iInfoCmd,
                              INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    if (sDeviceID == nullptr || !Listed(*iface, sDeviceID)) return Fail(GC_ERR_INVALID_ID, "no camera of that ID");
    if (iInfoCmd == DEVICE_INFO_ID || iInfoCmd == DEVICE_INFO_TLTYPE || iInfoCmd == DEVICE_INFO_TIMESTAMP_FREQUENCY)
      return DeviceInfo(sDeviceID, {}, DEVICE_ACCESS_STATUS_UNKNOWN, iInfoCmd, piType, pBuffer, piSize);
    DEVICE_ACCESS_STATUS access = DEVICE_ACCESS_STATUS_UNKNOWN;
    const Identity identity = Probe(*iface, sDeviceID, &access);
    return DeviceInfo(sDeviceID, identity, access, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API IFOpenDevice(IF_HANDLE hIface, const char *sDeviceID, DEVICE_ACCESS_FLAGS iOpenFlags,
                           DEV_HANDLE *phDevice) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    if (sDeviceID == nullptr || phDevice == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
    // The library opens a camera exclusively, for control and streaming.
    if (iOpenFlags != DEVICE_ACCESS_EXCLUSIVE && iOpenFlags != DEVICE_ACCESS_CONTROL)
      return Fail(GC_ERR_ACCESS_DENIED, "cameras open with exclusive access only");
    return OpenDevice(iface, sDeviceID, phDevice);
  });
}

} // extern "C"
