#include "gentl_consumer.h"

#include <filesystem>

#include "os/child_process.h"
#include "os/shared_library.h"

namespace gentl {

// Every function name of the GenTL 1.5 table: a consumer refuses a producer that lacks one.
const char *const kAllFunctions[] = {
    "GCGetInfo", "GCGetLastError", "GCInitLib", "GCCloseLib", "GCReadPort", "GCWritePort", "GCGetPortURL",
    "GCGetPortInfo", "GCRegisterEvent", "GCUnregisterEvent", "EventGetData", "EventGetDataInfo", "EventGetInfo",
    "EventFlush", "EventKill", "TLOpen", "TLClose", "TLGetInfo", "TLGetNumInterfaces", "TLGetInterfaceID",
    "TLGetInterfaceInfo", "TLOpenInterface", "TLUpdateInterfaceList", "IFClose", "IFGetInfo", "IFGetNumDevices",
    "IFGetDeviceID", "IFUpdateDeviceList", "IFGetDeviceInfo", "IFOpenDevice", "DevGetPort", "DevGetNumDataStreams",
    "DevGetDataStreamID", "DevOpenDataStream", "DevGetInfo", "DevClose", "DSAnnounceBuffer", "DSAllocAndAnnounceBuffer",
    "DSFlushQueue", "DSStartAcquisition", "DSStopAcquisition", "DSGetInfo", "DSGetBufferID", "DSClose",
    "DSRevokeBuffer", "DSQueueBuffer", "DSGetBufferInfo", "GCGetNumPortURLs", "GCGetPortURLInfo", "GCReadPortStacked",
    "GCWritePortStacked", "DSGetBufferChunkData", "IFGetParentTL", "DevGetParentIF", "DSGetParentDev",
    "DSGetNumBufferParts", "DSGetBufferPartInfo"};
static_assert(sizeof kAllFunctions / sizeof *kAllFunctions == 57);

std::string ProducerPath() {
  return (std::filesystem::path(oxa::ZarUsb::os::ExecutablePath()).parent_path() / "ZAR_USB.cti").string();
}

const Producer *LoadProducer(const std::string &path, std::string *missing) {
  namespace os = oxa::ZarUsb::os;
  static Producer producer{}; static void *library = nullptr;
  if (library == nullptr) library = os::LoadSharedLibrary(path, missing);
  if (library == nullptr) return nullptr;
  for (const char *name : kAllFunctions)
    if (os::SharedLibrarySymbol(library, name) == nullptr) { *missing = name; return nullptr; }
#define GENTL_CONSUMER_RESOLVE(name, ...)                                                                              \
  producer.name = reinterpret_cast<Pointer<__VA_ARGS__>>(os::SharedLibrarySymbol(library, #name));
  GENTL_CONSUMER_FUNCTIONS(GENTL_CONSUMER_RESOLVE)
#undef GENTL_CONSUMER_RESOLVE
  return &producer;
}

} // namespace gentl
