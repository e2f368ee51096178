// The device module: an opened camera, its remote port (the camera's own
// registers and description file), and what its library callbacks report.

#include <cstring>

#include "producer.h"

namespace zar_gentl {

namespace {

// Camera registers that name what the camera is, beside what the library's
// device information gives: its version (32-byte text) and the name a user
// gave it (16 bytes).
constexpr uint64_t kVersionRegister = 0x40;
constexpr uint64_t kUserNameRegister = 0x80;

std::string ReadText(void *libDevice, uint64_t address, size_t length) {
  std::string text(length, '\0');
  uint64_t size = length;
  if (lib::ReadData(libDevice, address, text.data(), &size) != kLibSuccess) return {};
  text.resize(strnlen(text.data(), length));
  return text;
}

// The library calls device callbacks on its own threads, possibly while the
// device is being closed. The context given to it is a key that is never
// used again, looked up here, so that a late call finds no device rather
// than a freed one.
std::mutex callbackLock;
std::unordered_map<uint64_t, std::weak_ptr<Device>> callbackDevices;
uint64_t nextCallbackKey = 1;

void OnDeviceEvent(uint32_t event, void *data, int64_t size, void *context) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard<std::mutex> guard(callbackLock);
    const auto found = callbackDevices.find(reinterpret_cast<uintptr_t>(context));
    if (found != callbackDevices.end()) device = found->second.lock();
  }
  if (!device) return;
  try {
    if (event == kLibUnplugged) {
      DeviceLost(*device);
    } else if (event != kLibPlugged && (event < kLibFirstPowerEvent || event > kLibLastPowerEvent)) {
      DeviceEventArrived(*device, event, data, size);
    }
  } catch (...) {
    // Out of memory: the event is dropped; the library's thread goes on.
  }
}

std::string DisplayName(const Identity &identity) {
  return identity.vendor + " " + identity.model + " (" + identity.serial + ")";
}

enum DeviceFeature {
  kDeviceID, kDeviceVendorName, kDeviceModelName, kDeviceSerialNumber, kDeviceVersion, kDeviceType,
  kDeviceDisplayName, kDeviceAccessStatus, kStreamSelector, kStreamID
};

} // namespace

int32_t ReadIdentity(void *libDevice, Identity *identity) {
  LibIdentity read;
  const int32_t status = lib::DeviceIdentity(libDevice, &read);
  if (status != kLibSuccess) return status;
  identity->vendor = read.vendor;
  identity->model = read.model;
  identity->serial = read.serial;
  identity->version = ReadText(libDevice, kVersionRegister, 32);
  identity->userName = ReadText(libDevice, kUserNameRegister, 16);
  return kLibSuccess;
}

GC_ERROR DeviceInfo(const std::string &id, const Identity &identity, DEVICE_ACCESS_STATUS access,
                    DEVICE_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  switch (command) {
  case DEVICE_INFO_ID: return AnswerText(id, piType, pBuffer, piSize);
  case DEVICE_INFO_VENDOR: return AnswerText(identity.vendor, piType, pBuffer, piSize);
  case DEVICE_INFO_MODEL: return AnswerText(identity.model, piType, pBuffer, piSize);
  case DEVICE_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  case DEVICE_INFO_DISPLAYNAME: return AnswerText(DisplayName(identity), piType, pBuffer, piSize);
  case DEVICE_INFO_ACCESS_STATUS: return Answer<int32_t>(access, INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case DEVICE_INFO_USER_DEFINED_NAME: return AnswerText(identity.userName, piType, pBuffer, piSize);
  case DEVICE_INFO_SERIAL_NUMBER: return AnswerText(identity.serial, piType, pBuffer, piSize);
  case DEVICE_INFO_VERSION: return AnswerText(identity.version, piType, pBuffer, piSize);
  // Timestamps count microseconds.
  case DEVICE_INFO_TIMESTAMP_FREQUENCY:
    return Answer<uint64_t>(1000000, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  default: return UnknownCommand(command);
  }
}

GC_ERROR OpenDevice(const std::shared_ptr<Interface> &iface, const std::string &id, DEV_HANDLE *phDevice) {
  {
    std::lock_guard<std::mutex> guard(iface->lock);
    const auto found = iface->open.find(id);
    if (found != iface->open.end() && !found->second.expired())
      return Fail(GC_ERR_RESOURCE_IN_USE, "the camera is open already");
  }
  auto device = std::make_shared<Device>();
  device->iface = iface;
  device->id = id;
  const int32_t opened = lib::OpenDevice(iface->tl, id, &device->lib);
  if (opened == kLibInvalidParameter) return Fail(GC_ERR_INVALID_ID, "no camera of that ID");
  if (opened == kLibAccessDenied) return Fail(GC_ERR_ACCESS_DENIED, "the camera is held by another process");
  if (const GC_ERROR failed = FromLibrary(opened, "opening the camera")) return failed;
  if (const int32_t read = ReadIdentity(device->lib, &device->identity); read != kLibSuccess) {
    lib::CloseDevice(device->lib);
    return FromLibrary(read, "reading what the camera is");
  }
  {
    std::lock_guard<std::mutex> guard(callbackLock);
    device->callbackKey = nextCallbackKey++;
    callbackDevices.emplace(device->callbackKey, device);
  }
  const int32_t registered = lib::SetDeviceCallback(device->lib, OnDeviceEvent,
                                                    reinterpret_cast<void *>(static_cast<uintptr_t>(device->callbackKey)));
  if (registered != kLibSuccess) {
    {
      std::lock_guard<std::mutex> guard(callbackLock);
      callbackDevices.erase(device->callbackKey);
    }
    lib::CloseDevice(device->lib);
    return FromLibrary(registered, "registering for the camera's events");
  }
  device->port = std::make_shared<RemotePort>();
  device->port->device = device;
  {
    std::lock_guard<std::mutex> guard(iface->lock);
    iface->open[id] = device;
    iface->identities[id] = device->identity;
  }
  AddHandle(device);
  AddHandle(device->port);
  *phDevice = device.get();
  return GC_ERR_SUCCESS;
}

void CloseDevice(const std::shared_ptr<Device> &device) {
  RemoveHandle(device.get());
  RemoveHandle(device->port.get());
  std::shared_ptr<Stream> stream;
  std::shared_ptr<Event> event;
  {
    std::lock_guard<std::mutex> guard(device->lock);
    stream = std::move(device->stream);
    event = std::move(device->remoteEvent);
  }
  if (stream) CloseStream(stream);
  if (event) EndEvent(event);
  {
    std::lock_guard<std::mutex> guard(callbackLock);
    callbackDevices.erase(device->callbackKey);
  }
  if (!*device->lost) {
    lib::RemoveDeviceCallback(device->lib, OnDeviceEvent);
    lib::CloseDevice(device->lib);
  }
  if (auto iface = device->iface.lock()) {
    std::lock_guard<std::mutex> guard(iface->lock);
    const auto found = iface->open.find(device->id);
    if (found != iface->open.end() && found->second.lock() == device) iface->open.erase(found);
  }
}

void DeviceLost(Device &device) {
  *device.lost = true;
  std::shared_ptr<Stream> stream;
  std::shared_ptr<Event> event;
  {
    std::lock_guard<std::mutex> guard(device.lock);
    stream = device.stream;
    event = device.remoteEvent;
  }
  if (stream) StreamDeviceLost(*stream);
  if (event) {
    std::lock_guard<std::mutex> guard(event->lock);
    event->changed.notify_all();
  }
}

const std::vector<Feature> &Device::Features() const {
  static const std::vector<Feature> features = {
      {Feature::Text, "DeviceID"},          {Feature::Text, "DeviceVendorName"}, {Feature::Text, "DeviceModelName"},
      {Feature::Text, "DeviceSerialNumber"}, {Feature::Text, "DeviceVersion"},   {Feature::Text, "DeviceType"},
      {Feature::Text, "DeviceDisplayName"}, {Feature::Number, "DeviceAccessStatus"},
      {Feature::Selector, "StreamSelector"}, {Feature::Text, "StreamID", kStreamSelector}};
  return features;
}

bool Device::ReadFeature(size_t index, std::string *text, uint64_t *number) {
  switch (index) {
  case kDeviceID: *text = id; return true;
  case kDeviceVendorName: *text = identity.vendor; return true;
  case kDeviceModelName: *text = identity.model; return true;
  case kDeviceSerialNumber: *text = identity.serial; return true;
  case kDeviceVersion: *text = identity.version; return true;
  case kDeviceType: *text = kTLType; return true;
  case kDeviceDisplayName: *text = DisplayName(identity); return true;
  case kDeviceAccessStatus: *number = DEVICE_ACCESS_STATUS_OPEN_READWRITE; return true;
  case kStreamSelector: *number = 0; return true;
  case kStreamID: *text = kStreamId; return true;
  default: return false;
  }
}

GC_ERROR Device::WriteFeature(size_t index, uint64_t value) {
  if (index != kStreamSelector) return Fail(GC_ERR_ACCESS_DENIED, "the feature is read-only");
  if (value != 0) return Fail(GC_ERR_INVALID_VALUE, "the camera has one stream");
  return GC_ERR_SUCCESS;
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API DevClose(DEV_HANDLE hDevice) {
  return Guarded([&] {
    auto device = Find<Device>(hDevice, Kind::Device);
    if (!device) return BadHandle("device");
    CloseDevice(device);
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DevGetInfo(DEV_HANDLE hDevice, DEVICE_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                         size_t *piSize) {
  return Guarded([&] {
    auto device = Find<Device>(hDevice, Kind::Device);
    if (!device) return BadHandle("device");
    const DEVICE_ACCESS_STATUS access =
        *device->lost ? DEVICE_ACCESS_STATUS_NOACCESS : DEVICE_ACCESS_STATUS_OPEN_READWRITE;
    return DeviceInfo(device->id, device->identity, access, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API DevGetPort(DEV_HANDLE hDevice, PORT_HANDLE *phRemoteDevice) {
  return Guarded([&] {
    auto device = Find<Device>(hDevice, Kind::Device);
    if (!device) return BadHandle("device");
    if (phRemoteDevice == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    *phRemoteDevice = device->port.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DevGetParentIF(DEV_HANDLE hDevice, IF_HANDLE *phIface) {
  return Guarded([&] {
    auto device = Find<Device>(hDevice, Kind::Device);
    if (!device) return BadHandle("device");
    if (phIface == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    auto iface = device->iface.lock();
    if (!iface) return BadHandle("device");
    *phIface = iface.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DevGetNumDataStreams(DEV_HANDLE hDevice, uint32_t *piNumDataStreams) {
  return Guarded([&] {
    if (!Find<Device>(hDevice, Kind::Device)) return BadHandle("device");
    if (piNumDataStreams == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the count pointer is null");
    *piNumDataStreams = 1;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DevGetDataStreamID(DEV_HANDLE hDevice, uint32_t iIndex, char *sDataStreamID, size_t *piSize) {
  return Guarded([&] {
    if (!Find<Device>(hDevice, Kind::Device)) return BadHandle("device");
    if (iIndex != 0) return Fail(GC_ERR_INVALID_INDEX, "the camera has one stream, index 0");
    return CopyId(kStreamId, sDataStreamID, piSize);
  });
}

} // extern "C"
