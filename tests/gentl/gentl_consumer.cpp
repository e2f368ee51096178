#include "gentl_consumer.h"

#include <filesystem>

#include "os/child_process.h"
#include "os/shared_library.h"

namespace gentl {

const std::vector<std::string> kAllFunctions = {
    "GCGetInfo", "GCGetLastError", "GCInitLib", "GCCloseLib", "GCReadPort", "GCWritePort", "GCGetPortURL",
    "GCGetPortInfo", "GCRegisterEvent", "GCUnregisterEvent", "EventGetData", "EventGetDataInfo", "EventGetInfo",
    "EventFlush", "EventKill", "TLOpen", "TLClose", "TLGetInfo", "TLGetNumInterfaces", "TLGetInterfaceID",
    "TLGetInterfaceInfo", "TLOpenInterface", "TLUpdateInterfaceList", "IFClose", "IFGetInfo", "IFGetNumDevices",
    "IFGetDeviceID", "IFUpdateDeviceList", "IFGetDeviceInfo", "IFOpenDevice", "DevGetPort", "DevGetNumDataStreams",
    "DevGetDataStreamID", "DevOpenDataStream", "DevGetInfo", "DevClose", "DSAnnounceBuffer",
    "DSAllocAndAnnounceBuffer", "DSFlushQueue", "DSStartAcquisition", "DSStopAcquisition", "DSGetInfo",
    "DSGetBufferID", "DSClose", "DSRevokeBuffer", "DSQueueBuffer", "DSGetBufferInfo", "GCGetNumPortURLs",
    "GCGetPortURLInfo", "GCReadPortStacked", "GCWritePortStacked", "DSGetBufferChunkData", "IFGetParentTL",
    "DevGetParentIF", "DSGetParentDev", "DSGetNumBufferParts", "DSGetBufferPartInfo"};

std::string ProducerPath() {
  return (std::filesystem::path(oxa::ZarUsb::os::ExecutablePath()).parent_path() / "ZAR_USB.cti").string();
}

const Producer *LoadProducer(const std::string &path, std::string *missing) {
  namespace os = oxa::ZarUsb::os;
  static Producer producer{};
  static void *library = nullptr;
  if (library == nullptr) library = os::LoadSharedLibrary(path, missing);
  if (library == nullptr) return nullptr;
  for (const auto &name : kAllFunctions)
    if (os::SharedLibrarySymbol(library, name.c_str()) == nullptr) {
      *missing = name;
      return nullptr;
    }
#define GENTL_RESOLVE(name) producer.name = reinterpret_cast<decltype(producer.name)>(os::SharedLibrarySymbol(library, #name));
  GENTL_RESOLVE(GCInitLib) GENTL_RESOLVE(GCCloseLib) GENTL_RESOLVE(GCGetInfo) GENTL_RESOLVE(GCGetLastError)
  GENTL_RESOLVE(GCReadPort) GENTL_RESOLVE(GCWritePort) GENTL_RESOLVE(GCGetPortURLInfo) GENTL_RESOLVE(GCGetPortInfo)
  GENTL_RESOLVE(GCRegisterEvent) GENTL_RESOLVE(GCUnregisterEvent) GENTL_RESOLVE(EventGetData)
  GENTL_RESOLVE(EventGetDataInfo) GENTL_RESOLVE(EventKill) GENTL_RESOLVE(TLOpen) GENTL_RESOLVE(TLClose)
  GENTL_RESOLVE(TLGetInfo) GENTL_RESOLVE(TLGetNumInterfaces) GENTL_RESOLVE(TLGetInterfaceID)
  GENTL_RESOLVE(TLOpenInterface) GENTL_RESOLVE(TLUpdateInterfaceList) GENTL_RESOLVE(IFGetInfo) GENTL_RESOLVE(IFClose)
  GENTL_RESOLVE(IFUpdateDeviceList) GENTL_RESOLVE(IFGetNumDevices) GENTL_RESOLVE(IFGetDeviceID)
  GENTL_RESOLVE(IFGetDeviceInfo) GENTL_RESOLVE(IFOpenDevice) GENTL_RESOLVE(DevGetPort)
  GENTL_RESOLVE(DevGetDataStreamID) GENTL_RESOLVE(DevOpenDataStream) GENTL_RESOLVE(DevGetInfo)
  GENTL_RESOLVE(DevClose) GENTL_RESOLVE(DSAnnounceBuffer) GENTL_RESOLVE(DSAllocAndAnnounceBuffer)
  GENTL_RESOLVE(DSFlushQueue) GENTL_RESOLVE(DSStartAcquisition) GENTL_RESOLVE(DSStopAcquisition)
  GENTL_RESOLVE(DSGetInfo) GENTL_RESOLVE(DSClose) GENTL_RESOLVE(DSRevokeBuffer) GENTL_RESOLVE(DSQueueBuffer)
  GENTL_RESOLVE(DSGetBufferInfo)
#undef GENTL_RESOLVE
  return &producer;
}

} // namespace gentl
