// Ports. The remote device's port is the camera's register space, with its
// description file shown in a window no camera register reaches. Each
// module's own port shows the module's features as registers, described by
// a GenICam file made from the module's feature list, so that file and
// registers always agree.

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "producer.h"

namespace zar_gentl {

namespace {

// The camera's description file, at the top of the 64-bit address space.
constexpr uint64_t kRemoteXmlAddress = 0xFFFFFFFF00000000ULL;

// Module ports: feature i's register at kFeatureBase + i * kFeatureStride
// (a text of kTextLength bytes, or an unsigned 64-bit little-endian
// number), a selector's maximum kMaxOffset after its value; the
// description file at kModuleXmlAddress.
constexpr uint64_t kFeatureBase = 0x1000;
constexpr uint64_t kFeatureStride = 0x200;
constexpr uint64_t kTextLength = 256;
constexpr uint64_t kMaxOffset = 0x100;
constexpr uint64_t kModuleXmlAddress = 0x100000;
constexpr const char *kModulePortName = "TLPort";

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, value);
  return text;
}

void Register(std::string &xml, const std::string &name, const char *node, uint64_t address, uint64_t length,
              const char *access, bool hidden) {
  xml += "  <" + std::string(node) + " Name=\"" + name + "\" NameSpace=\"" + (hidden ? "Custom" : "Standard") + "\">\n";
  if (hidden) xml += "    <Visibility>Invisible</Visibility>\n";
  xml += "    <Address>" + Hex(address) + "</Address>\n    <Length>" + std::to_string(length) +
         "</Length>\n    <AccessMode>" + access + "</AccessMode>\n    <pPort>" + kModulePortName +
         "</pPort>\n    <Cachable>NoCache</Cachable>\n";
  if (std::string(node) == "IntReg") xml += "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n";
  xml += "  </" + std::string(node) + ">\n";
}

std::string MakeModuleXml(Module &module) {
  const auto &features = module.Features();
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<RegisterDescription ModelName=\"ZAR_USB\" VendorName=\"RK46\" ToolTip=\"ZAR_USB GenTL " +
      std::string(module.ModuleName()) +
      " module\" StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" "
      "SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" "
      "ProductGuid=\"6F1C2A40-5B7E-4D93-8A21-3E0C9D4B7A01\" VersionGuid=\"6F1C2A40-5B7E-4D93-8A21-3E0C9D4B7A" +
      std::to_string(10 + static_cast<int>(module.kind)) +
      "\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
      "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n"
      "  <Category Name=\"Root\" NameSpace=\"Standard\">\n";
  for (const auto &feature : features) xml += "    <pFeature>" + std::string(feature.name) + "</pFeature>\n";
  xml += "  </Category>\n";
  for (size_t i = 0; i < features.size(); ++i) {
    const Feature &feature = features[i];
    const std::string name = feature.name;
    const uint64_t address = kFeatureBase + i * kFeatureStride;
    switch (feature.type) {
    case Feature::Text: Register(xml, name, "StringReg", address, kTextLength, "RO", false); break;
    case Feature::Number: Register(xml, name, "IntReg", address, 8, "RO", false); break;
    case Feature::Command:
      xml += "  <Command Name=\"" + name + "\" NameSpace=\"Standard\">\n    <pValue>" + name +
             "Reg</pValue>\n    <CommandValue>1</CommandValue>\n  </Command>\n";
      Register(xml, name + "Reg", "IntReg", address, 8, "RW", true);
      break;
    case Feature::Selector:
      xml += "  <Integer Name=\"" + name + "\" NameSpace=\"Standard\">\n    <pValue>" + name +
             "Reg</pValue>\n    <Min>0</Min>\n    <pMax>" + name + "Max</pMax>\n";
      for (const auto &selected : features)
        if (selected.selectedBy == static_cast<int>(i))
          xml += "    <pSelected>" + std::string(selected.name) + "</pSelected>\n";
      xml += "  </Integer>\n";
      Register(xml, name + "Reg", "IntReg", address, 8, "RW", true);
      Register(xml, name + "Max", "IntReg", address + kMaxOffset, 8, "RO", true);
      break;
    }
  }
  xml += "  <Port Name=\"" + std::string(kModulePortName) + "\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
  return xml;
}

// The description file of a module kind, made once.
const std::string &ModuleXml(Module &module) {
  static std::mutex lock;
  static std::map<Kind, std::string> made;
  std::lock_guard<std::mutex> guard(lock);
  auto found = made.find(module.kind);
  if (found == made.end()) found = made.emplace(module.kind, MakeModuleXml(module)).first;
  return found->second;
}

GC_ERROR CopyWindow(const std::string &bytes, uint64_t offset, void *pBuffer, size_t size) {
  if (offset > bytes.size() || size > bytes.size() - offset)
    return Fail(GC_ERR_INVALID_ADDRESS, "the read goes past the description file");
  std::memcpy(pBuffer, bytes.data() + offset, size);
  return GC_ERR_SUCCESS;
}

GC_ERROR ReadModule(Module &module, uint64_t address, void *pBuffer, size_t size) {
  if (address >= kModuleXmlAddress) return CopyWindow(ModuleXml(module), address - kModuleXmlAddress, pBuffer, size);
  const auto &features = module.Features();
  if (address < kFeatureBase) return Fail(GC_ERR_INVALID_ADDRESS, "no register there");
  const uint64_t index = (address - kFeatureBase) / kFeatureStride;
  const uint64_t offset = (address - kFeatureBase) % kFeatureStride;
  if (index >= features.size()) return Fail(GC_ERR_INVALID_ADDRESS, "no register there");
  std::string bytes;
  if (features[index].type == Feature::Selector && offset >= kMaxOffset) {
    const uint64_t max = module.SelectorMax(index);
    bytes.assign(reinterpret_cast<const char *>(&max), sizeof max);
    return CopyWindow(bytes, offset - kMaxOffset, pBuffer, size);
  }
  std::string text;
  uint64_t number = 0;
  if (!module.ReadFeature(index, &text, &number)) return Fail(GC_ERR_NOT_AVAILABLE, "the feature has no value now");
  if (features[index].type == Feature::Text) {
    bytes = text.substr(0, kTextLength - 1);
    bytes.resize(kTextLength, '\0');
  } else {
    bytes.assign(reinterpret_cast<const char *>(&number), sizeof number);
  }
  return CopyWindow(bytes, offset, pBuffer, size);
}

GC_ERROR WriteModule(Module &module, uint64_t address, const void *pBuffer, size_t size) {
  const auto &features = module.Features();
  const uint64_t index = address >= kFeatureBase ? (address - kFeatureBase) / kFeatureStride : features.size();
  if (index >= features.size() || address != kFeatureBase + index * kFeatureStride || size == 0 || size > 8 ||
      (features[index].type != Feature::Selector && features[index].type != Feature::Command))
    return Fail(GC_ERR_ACCESS_DENIED, "no writable register there");
  uint64_t value = 0;
  std::memcpy(&value, pBuffer, size);
  if (features[index].type == Feature::Command && value != 1) return GC_ERR_SUCCESS;
  return module.WriteFeature(index, value);
}

// The camera's description file, read once per opened camera.
GC_ERROR CameraXml(Device &device, std::string *xml) {
  std::lock_guard<std::mutex> guard(device.lock);
  if (device.xml.empty()) {
    if (*device.lost) return Fail(GC_ERR_IO, "the camera was unplugged");
    if (const GC_ERROR read = FromLibrary(lib::DeviceXml(device.lib, &device.xml), "reading the description file"))
      return read;
  }
  *xml = device.xml;
  return GC_ERR_SUCCESS;
}

// A port handle: a module (its own port) or a remote device port.
std::shared_ptr<Module> FindPort(void *handle) {
  std::shared_ptr<Module> module = FindModule(handle);
  return module && module->kind != Kind::Event ? module : nullptr;
}

std::shared_ptr<Device> RemoteDevice(Module &port) {
  return port.kind == Kind::RemotePort ? static_cast<RemotePort &>(port).device.lock() : nullptr;
}

GC_ERROR ReadPort(Module &port, uint64_t address, void *pBuffer, size_t *piSize) {
  if (pBuffer == nullptr || piSize == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
  if (port.kind != Kind::RemotePort) return ReadModule(port, address, pBuffer, *piSize);
  auto device = RemoteDevice(port);
  if (!device) return BadHandle("port");
  if (address >= kRemoteXmlAddress) {
    std::string xml;
    if (const GC_ERROR read = CameraXml(*device, &xml)) return read;
    return CopyWindow(xml, address - kRemoteXmlAddress, pBuffer, *piSize);
  }
  if (*device->lost) return Fail(GC_ERR_IO, "the camera was unplugged");
  uint64_t size = *piSize;
  const GC_ERROR read = FromLibrary(lib::ReadData(device->lib, address, pBuffer, &size), "reading the camera");
  *piSize = static_cast<size_t>(size);
  return read;
}

GC_ERROR WritePort(Module &port, uint64_t address, const void *pBuffer, size_t *piSize) {
  if (pBuffer == nullptr || piSize == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
  if (port.kind != Kind::RemotePort) return WriteModule(port, address, pBuffer, *piSize);
  auto device = RemoteDevice(port);
  if (!device) return BadHandle("port");
  if (address >= kRemoteXmlAddress) return Fail(GC_ERR_ACCESS_DENIED, "the description file is read-only");
  if (*device->lost) return Fail(GC_ERR_IO, "the camera was unplugged");
  uint64_t size = *piSize;
  const GC_ERROR written = FromLibrary(lib::WriteData(device->lib, address, pBuffer, &size), "writing the camera");
  *piSize = static_cast<size_t>(size);
  return written;
}

// Where a port's description file is, and what the file says of itself.
struct FileLocation {
  std::string fileName;
  uint64_t address = 0, size = 0;
  int32_t schema[3] = {1, 1, 0};
  int32_t version[3] = {1, 0, 0};
  std::string Url() const {
    char location[64];
    std::snprintf(location, sizeof location, ";%" PRIX64 ";%" PRIX64, address, size);
    return "local:///" + fileName + location + "?SchemaVersion=" + std::to_string(schema[0]) + "." +
           std::to_string(schema[1]) + "." + std::to_string(schema[2]);
  }
};

// An attribute of the description file's root element, as a number.
void ReadAttribute(const std::string &xml, const char *name, int32_t *value) {
  const size_t root = xml.find("<RegisterDescription");
  const size_t at = root == std::string::npos ? root : xml.find(std::string(name) + "=\"", root);
  if (at != std::string::npos) *value = std::atoi(xml.c_str() + at + std::strlen(name) + 2);
}

GC_ERROR Locate(Module &port, FileLocation *location) {
  std::string xml;
  if (auto device = RemoteDevice(port)) {
    if (const GC_ERROR read = CameraXml(*device, &xml)) return read;
    const Identity &identity = device->identity;
    location->fileName = identity.vendor + "_" + identity.model + "_" + identity.version + ".xml";
    location->address = kRemoteXmlAddress;
  } else if (port.kind == Kind::RemotePort) {
    return BadHandle("port");
  } else {
    xml = ModuleXml(port);
    location->fileName = std::string("ZAR_USB_") + port.ModuleName() + ".xml";
    location->address = kModuleXmlAddress;
  }
  location->size = xml.size();
  const char *names[] = {"SchemaMajorVersion", "SchemaMinorVersion", "SchemaSubMinorVersion",
                         "MajorVersion",       "MinorVersion",       "SubMinorVersion"};
  for (int i = 0; i < 3; ++i) ReadAttribute(xml, names[i], &location->schema[i]);
  for (int i = 0; i < 3; ++i) ReadAttribute(xml, names[3 + i], &location->version[i]);
  return GC_ERR_SUCCESS;
}

GC_ERROR PortInfo(Module &port, PORT_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  std::string id, vendor = "RK46", model = "ZAR_USB", version = ZAR_USB_VERSION;
  auto device = RemoteDevice(port);
  if (port.kind == Kind::RemotePort && !device) return BadHandle("port");
  if (port.kind == Kind::Device) device = std::static_pointer_cast<Device>(port.shared_from_this());
  switch (port.kind) {
  case Kind::System: id = "ZAR_USB"; break;
  case Kind::Interface: id = kInterfaceId; break;
  case Kind::Stream: id = kStreamId; break;
  default: break;
  }
  if (device) {
    id = device->id;
    if (port.kind == Kind::RemotePort) {
      vendor = device->identity.vendor;
      model = device->identity.model;
      version = device->identity.version;
    }
  }
  switch (command) {
  case PORT_INFO_ID: return AnswerText(id, piType, pBuffer, piSize);
  case PORT_INFO_VENDOR: return AnswerText(vendor, piType, pBuffer, piSize);
  case PORT_INFO_MODEL: return AnswerText(model, piType, pBuffer, piSize);
  case PORT_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  case PORT_INFO_MODULE: return AnswerText(port.ModuleName(), piType, pBuffer, piSize);
  case PORT_INFO_LITTLE_ENDIAN: return AnswerBool(true, piType, pBuffer, piSize);
  case PORT_INFO_BIG_ENDIAN: return AnswerBool(false, piType, pBuffer, piSize);
  case PORT_INFO_ACCESS_READ: return AnswerBool(true, piType, pBuffer, piSize);
  case PORT_INFO_ACCESS_WRITE: return AnswerBool(true, piType, pBuffer, piSize);
  case PORT_INFO_ACCESS_NA: return AnswerBool(false, piType, pBuffer, piSize);
  case PORT_INFO_ACCESS_NI: return AnswerBool(false, piType, pBuffer, piSize);
  case PORT_INFO_VERSION: return AnswerText(version, piType, pBuffer, piSize);
  case PORT_INFO_PORTNAME:
    return AnswerText(port.kind == Kind::RemotePort ? "Device" : kModulePortName, piType, pBuffer, piSize);
  default: return UnknownCommand(command);
  }
}

GC_ERROR UrlInfo(const FileLocation &location, URL_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer,
                 size_t *piSize) {
  switch (command) {
  case URL_INFO_URL: return AnswerText(location.Url(), piType, pBuffer, piSize);
  case URL_INFO_SCHEMA_VER_MAJOR: return Answer(location.schema[0], INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_SCHEMA_VER_MINOR: return Answer(location.schema[1], INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_FILE_VER_MAJOR: return Answer(location.version[0], INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_FILE_VER_MINOR: return Answer(location.version[1], INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_FILE_VER_SUBMINOR: return Answer(location.version[2], INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_FILE_REGISTER_ADDRESS: return Answer(location.address, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case URL_INFO_FILE_SIZE: return Answer(location.size, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case URL_INFO_SCHEME: return Answer<int32_t>(URL_SCHEME_LOCAL, INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case URL_INFO_FILENAME: return AnswerText(location.fileName, piType, pBuffer, piSize);
  default: return UnknownCommand(command);
  }
}

template <class Access>
GC_ERROR Stacked(PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY *pEntries, size_t *piNumEntries, Access access) {
  auto port = FindPort(hPort);
  if (!port) return BadHandle("port");
  if (pEntries == nullptr || piNumEntries == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
  for (size_t i = 0; i < *piNumEntries; ++i) {
    size_t size = pEntries[i].Size;
    if (const GC_ERROR failed = access(*port, pEntries[i].Address, pEntries[i].pBuffer, &size)) {
      *piNumEntries = i;
      return failed;
    }
  }
  return GC_ERR_SUCCESS;
}

} // namespace

const std::vector<Feature> &RemotePort::Features() const {
  static const std::vector<Feature> none;
  return none;
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API GCReadPort(PORT_HANDLE hPort, uint64_t iAddress, void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    auto port = FindPort(hPort);
    if (!port) return BadHandle("port");
    return ReadPort(*port, iAddress, pBuffer, piSize);
  });
}

ZAR_GENTL_API GCWritePort(PORT_HANDLE hPort, uint64_t iAddress, const void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    auto port = FindPort(hPort);
    if (!port) return BadHandle("port");
    return WritePort(*port, iAddress, pBuffer, piSize);
  });
}

ZAR_GENTL_API GCReadPortStacked(PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY *pEntries, size_t *piNumEntries) {
  return Guarded([&] { return Stacked(hPort, pEntries, piNumEntries, ReadPort); });
}

ZAR_GENTL_API GCWritePortStacked(PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY *pEntries, size_t *piNumEntries) {
  return Guarded([&] {
    return Stacked(hPort, pEntries, piNumEntries, [](Module &port, uint64_t address, void *buffer, size_t *size) {
      return WritePort(port, address, buffer, size);
    });
  });
}

ZAR_GENTL_API GCGetPortInfo(PORT_HANDLE hPort, PORT_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                            size_t *piSize) {
  return Guarded([&] {
    auto port = FindPort(hPort);
    if (!port) return BadHandle("port");
    return PortInfo(*port, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API GCGetNumPortURLs(PORT_HANDLE hPort, uint32_t *piNumURLs) {
  return Guarded([&] {
    if (!FindPort(hPort)) return BadHandle("port");
    if (piNumURLs == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the count pointer is null");
    *piNumURLs = 1;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API GCGetPortURLInfo(PORT_HANDLE hPort, uint32_t iURLIndex, URL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType,
                               void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    auto port = FindPort(hPort);
    if (!port) return BadHandle("port");
    if (iURLIndex != 0) return Fail(GC_ERR_INVALID_INDEX, "the port has one URL, index 0");
    FileLocation location;
    if (const GC_ERROR located = Locate(*port, &location)) return located;
    return UrlInfo(location, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API GCGetPortURL(PORT_HANDLE hPort, char *sURL, size_t *piSize) {
  return Guarded([&] {
    auto port = FindPort(hPort);
    if (!port) return BadHandle("port");
    FileLocation location;
    if (const GC_ERROR located = Locate(*port, &location)) return located;
    return AnswerText(location.Url(), nullptr, sURL, piSize);
  });
}

} // extern "C"
