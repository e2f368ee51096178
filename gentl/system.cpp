// The system module: the library's transport layer, with its one
// interface, "USB".

#include <filesystem>

#include "os/shared_library.h"
#include "producer.h"

namespace zar_gentl {

namespace {

std::mutex systemLock;
std::shared_ptr<System> openSystem; // at most one at a time

// The producer's own file.
std::string OwnPath() { return oxa::ZarUsb::os::ModulePathOf(reinterpret_cast<const void *>(&OwnPath)); }

// A text of the transport layer's info; false for a command that is no text.
bool TLText(TL_INFO_CMD command, std::string *text) {
  std::string vendor, name;
  if (command == TL_INFO_VENDOR || command == TL_INFO_MODEL || command == TL_INFO_DISPLAYNAME) {
    const int32_t status = lib::Info(&vendor, &name);
    if (status != kLibSuccess) return false;
  }
  switch (command) {
  case TL_INFO_ID: *text = "ZAR_USB"; return true;
  case TL_INFO_VENDOR: *text = vendor; return true;
  case TL_INFO_MODEL: *text = name; return true;
  case TL_INFO_VERSION: *text = ZAR_USB_VERSION; return true;
  case TL_INFO_TLTYPE: *text = kTLType; return true;
  case TL_INFO_NAME: *text = std::filesystem::path(OwnPath()).filename().string(); return true;
  case TL_INFO_PATHNAME: *text = OwnPath(); return true;
  case TL_INFO_DISPLAYNAME: *text = vendor + " " + name; return true;
  default: return false;
  }
}

GC_ERROR TLInfoAnswer(TL_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  switch (command) {
  case TL_INFO_CHAR_ENCODING: return Answer<int32_t>(TL_CHAR_ENCODING_ASCII, INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case TL_INFO_GENTL_VER_MAJOR: return Answer<uint32_t>(1, INFO_DATATYPE_UINT32, piType, pBuffer, piSize);
  case TL_INFO_GENTL_VER_MINOR: return Answer<uint32_t>(5, INFO_DATATYPE_UINT32, piType, pBuffer, piSize);
  default: break;
  }
  std::string text;
  if (!TLText(command, &text)) return UnknownCommand(command);
  return AnswerText(text, piType, pBuffer, piSize);
}

GC_ERROR InterfaceInfoAnswer(INTERFACE_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  switch (command) {
  case INTERFACE_INFO_ID: return AnswerText(kInterfaceId, piType, pBuffer, piSize);
  case INTERFACE_INFO_DISPLAYNAME: return AnswerText("USB cameras", piType, pBuffer, piSize);
  case INTERFACE_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  default: return UnknownCommand(command);
  }
}

bool IsOurInterface(const char *id) { return id != nullptr && std::string(id) == kInterfaceId; }

enum SystemFeature {
  kTLVendorName, kTLModelName, kTLID, kTLVersion, kTLPath, kTLType, kGenTLVersionMajor, kGenTLVersionMinor,
  kInterfaceUpdateList, kInterfaceSelector, kInterfaceID
};

void CloseSystem(const std::shared_ptr<System> &system) {
  RemoveHandle(system.get());
  std::shared_ptr<Interface> iface;
  {
    std::lock_guard<std::mutex> guard(system->lock);
    iface = std::move(system->iface);
  }
  if (iface) CloseInterface(iface);
  lib::Close(system->lib);
}

} // namespace

const std::vector<Feature> &System::Features() const {
  static const std::vector<Feature> features = {
      {Feature::Text, "TLVendorName"},   {Feature::Text, "TLModelName"},       {Feature::Text, "TLID"},
      {Feature::Text, "TLVersion"},      {Feature::Text, "TLPath"},            {Feature::Text, "TLType"},
      {Feature::Number, "GenTLVersionMajor"}, {Feature::Number, "GenTLVersionMinor"},
      {Feature::Command, "InterfaceUpdateList"}, {Feature::Selector, "InterfaceSelector"},
      {Feature::Text, "InterfaceID", kInterfaceSelector}};
  return features;
}

bool System::ReadFeature(size_t index, std::string *text, uint64_t *number) {
  static const TL_INFO_CMD commands[] = {TL_INFO_VENDOR, TL_INFO_MODEL, TL_INFO_ID,
                                         TL_INFO_VERSION, TL_INFO_PATHNAME, TL_INFO_TLTYPE};
  if (index < std::size(commands)) return TLText(commands[index], text);
  switch (index) {
  case kGenTLVersionMajor: *number = 1; return true;
  case kGenTLVersionMinor: *number = 5; return true;
  case kInterfaceUpdateList: *number = 0; return true;
  case kInterfaceSelector: {
    std::lock_guard<std::mutex> guard(lock);
    *number = interfaceSelector;
    return true;
  }
  case kInterfaceID: *text = kInterfaceId; return true;
  default: return false;
  }
}

GC_ERROR System::WriteFeature(size_t index, uint64_t value) {
  if (index == kInterfaceUpdateList) return FromLibrary(lib::UpdateInterfaceList(lib), "updating the interface list");
  if (index != kInterfaceSelector) return Fail(GC_ERR_ACCESS_DENIED, "the feature is read-only");
  if (value != 0) return Fail(GC_ERR_INVALID_VALUE, "there is one interface");
  std::lock_guard<std::mutex> guard(lock);
  interfaceSelector = value;
  return GC_ERR_SUCCESS;
}

void CloseAllSystems() {
  std::shared_ptr<System> system;
  {
    std::lock_guard<std::mutex> guard(systemLock);
    system = std::move(openSystem);
  }
  if (system) CloseSystem(system);
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API GCGetInfo(TL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Guarded([&] { return TLInfoAnswer(iInfoCmd, piType, pBuffer, piSize); });
}

ZAR_GENTL_API TLOpen(TL_HANDLE *phTL) {
  return Guarded([&] {
    if (phTL == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    std::lock_guard<std::mutex> guard(systemLock);
    if (openSystem) return Fail(GC_ERR_RESOURCE_IN_USE, "the system is open already");
    auto system = std::make_shared<System>();
    if (const GC_ERROR opened = FromLibrary(lib::Open(&system->lib), "opening the transport layer")) return opened;
    openSystem = system;
    AddHandle(system);
    *phTL = system.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API TLClose(TL_HANDLE hTL) {
  return Guarded([&] {
    auto system = Find<System>(hTL, Kind::System);
    if (!system) return BadHandle("system");
    {
      std::lock_guard<std::mutex> guard(systemLock);
      if (openSystem == system) openSystem.reset();
    }
    CloseSystem(system);
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API TLGetInfo(TL_HANDLE hTL, TL_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    if (!Find<System>(hTL, Kind::System)) return BadHandle("system");
    return TLInfoAnswer(iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API TLGetNumInterfaces(TL_HANDLE hTL, uint32_t *piNumIfaces) {
  return Guarded([&] {
    if (!Find<System>(hTL, Kind::System)) return BadHandle("system");
    if (piNumIfaces == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the count pointer is null");
    *piNumIfaces = 1;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API TLGetInterfaceID(TL_HANDLE hTL, uint32_t iIndex, char *sID, size_t *piSize) {
  return Guarded([&] {
    if (!Find<System>(hTL, Kind::System)) return BadHandle("system");
    if (iIndex != 0) return Fail(GC_ERR_INVALID_INDEX, "there is one interface, index 0");
    return CopyId(kInterfaceId, sID, piSize);
  });
}

ZAR_GENTL_API TLGetInterfaceInfo(TL_HANDLE hTL, const char *sIfaceID, INTERFACE_INFO_CMD iInfoCmd,
                                 INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    if (!Find<System>(hTL, Kind::System)) return BadHandle("system");
    if (!IsOurInterface(sIfaceID)) return Fail(GC_ERR_INVALID_ID, "no interface of that ID");
    return InterfaceInfoAnswer(iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API TLOpenInterface(TL_HANDLE hTL, const char *sIfaceID, IF_HANDLE *phIface) {
  return Guarded([&] {
    auto system = Find<System>(hTL, Kind::System);
    if (!system) return BadHandle("system");
    if (phIface == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    if (!IsOurInterface(sIfaceID)) return Fail(GC_ERR_INVALID_ID, "no interface of that ID");
    std::lock_guard<std::mutex> guard(system->lock);
    if (system->iface) return Fail(GC_ERR_RESOURCE_IN_USE, "the interface is open already");
    auto iface = std::make_shared<Interface>();
    iface->system = system;
    iface->tl = system->lib;
    system->iface = iface;
    AddHandle(iface);
    *phIface = iface.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API TLUpdateInterfaceList(TL_HANDLE hTL, bool8_t *pbChanged, uint64_t) {
  return Guarded([&] {
    auto system = Find<System>(hTL, Kind::System);
    if (!system) return BadHandle("system");
    if (const GC_ERROR updated = FromLibrary(lib::UpdateInterfaceList(system->lib), "updating the interface list"))
      return updated;
    std::lock_guard<std::mutex> guard(system->lock);
    if (pbChanged != nullptr) *pbChanged = system->listed ? 0 : 1;
    system->listed = true;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API IFGetParentTL(IF_HANDLE hIface, TL_HANDLE *phSystem) {
  return Guarded([&] {
    auto iface = Find<Interface>(hIface, Kind::Interface);
    if (!iface) return BadHandle("interface");
    if (phSystem == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    auto system = iface->system.lock();
    if (!system) return BadHandle("interface");
    *phSystem = system.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API IFGetInfo(IF_HANDLE hIface, INTERFACE_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                        size_t *piSize) {
  return Guarded([&] {
    if (!Find<Interface>(hIface, Kind::Interface)) return BadHandle("interface");
    return InterfaceInfoAnswer(iInfoCmd, piType, pBuffer, piSize);
  });
}

} // extern "C"
