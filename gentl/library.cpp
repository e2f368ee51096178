#include "library.h"

#include <cstring>
#include <mutex>

#include "os/shared_library.h"
#include "zar_usb.h"

namespace zar_gentl {

namespace {

// Every export the producer calls; the pointer types come from zar_usb.h's
// declarations, which bind nothing by themselves.
#define ZAR_GENTL_LIBRARY_FUNCTIONS(X)                                                                                 \
  X(TLOpen) X(TLClose) X(TLInfo) X(TLUpdateInterfaceList) X(TLUpdateDeviceList) X(TLGetNumDevices)                     \
  X(TLGetDeviceName) X(TLOpenDevice) X(GCReadData) X(GCWriteData) X(GCGetErrorText) X(DevGetXml) X(DevGetInfo)         \
  X(DevSetCallback) X(DevRemoveCallback) X(DevClose) X(DevCreateDataStream) X(DSAnnounceBuffer)                      \
  X(DSAllocAndAnnounceBuffer) X(DSRevokeBuffer) X(DSQueueBuffer) X(DSFlushQueue) X(DSStartAcquisition)               \
  X(DSStopAcquisition) X(DSWaitForBuffer) X(DSGetBufferInfo) X(DSClose)

struct Table {
#define ZAR_GENTL_MEMBER(name) decltype(&::name) name = nullptr;
  ZAR_GENTL_LIBRARY_FUNCTIONS(ZAR_GENTL_MEMBER)
#undef ZAR_GENTL_MEMBER
};

Table table;
std::once_flag loadOnce;
bool loaded = false;
std::string loadFailure;

std::string Folder(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void Load() {
  namespace os = oxa::ZarUsb::os;
  const std::string beside = Folder(os::ModulePathOf(reinterpret_cast<const void *>(&Load)));
  std::string why;
  void *library = beside.empty() ? nullptr : os::LoadSharedLibrary(beside + os::kZarUsbLibraryFile);
  if (library == nullptr) library = os::LoadSharedLibrary(os::kZarUsbLibraryFile, &why);
  if (library == nullptr) {
    loadFailure = std::string("the ZAR_USB library (") + os::kZarUsbLibraryFile + ") cannot be loaded: " + why;
    return;
  }
#define ZAR_GENTL_RESOLVE(name)                                                                                        \
  table.name = reinterpret_cast<decltype(table.name)>(os::SharedLibrarySymbol(library, #name));                       \
  if (table.name == nullptr) {                                                                                         \
    loadFailure = "the ZAR_USB library has no function " #name;                                                        \
    return;                                                                                                            \
  }
  ZAR_GENTL_LIBRARY_FUNCTIONS(ZAR_GENTL_RESOLVE)
#undef ZAR_GENTL_RESOLVE
  loaded = true;
}

// A text field of a record, which need not be terminated.
std::string Field(const char *text, size_t size) { return std::string(text, strnlen(text, size)); }

} // namespace

bool LoadLibraryTable(std::string *why) {
  std::call_once(loadOnce, Load);
  if (!loaded && why != nullptr) *why = loadFailure;
  return loaded;
}

namespace lib {

int32_t Open(void **tl) { return table.TLOpen(nullptr, nullptr, tl); }
int32_t Close(void *tl) { return table.TLClose(tl); }

int32_t Info(std::string *vendor, std::string *name) {
  ZAR_TL_INFO info{};
  uint32_t size = sizeof info;
  const int32_t status = table.TLInfo(nullptr, &info, &size);
  if (status == ZAR_SUCCESS) {
    *vendor = Field(info.sVendor, sizeof info.sVendor);
    *name = Field(info.sName, sizeof info.sName);
  }
  return status;
}

int32_t UpdateInterfaceList(void *tl) {
  uint8_t changed = 0;
  return table.TLUpdateInterfaceList(tl, &changed);
}

int32_t UpdateDeviceList(void *tl, bool *changed) {
  uint8_t flag = 0;
  const int32_t status = table.TLUpdateDeviceList(tl, "USB", &flag);
  *changed = flag != 0;
  return status;
}

int32_t DeviceNames(void *tl, std::vector<std::string> *names) {
  uint32_t count = 0;
  int32_t status = table.TLGetNumDevices(tl, "USB", &count);
  names->clear();
  for (uint32_t i = 0; i < count && status == ZAR_SUCCESS; ++i) {
    char name[261] = {};
    status = table.TLGetDeviceName(tl, "USB", i, name, sizeof name);
    // A camera unplugged since the count was taken ends the list early.
    if (status == ZAR_ERR_INVALID_PARAMETER) return ZAR_SUCCESS;
    if (status == ZAR_SUCCESS) names->emplace_back(name);
  }
  return status;
}

int32_t OpenDevice(void *tl, const std::string &name, void **device) {
  return table.TLOpenDevice(tl, "USB", name.c_str(), device);
}

int32_t ReadData(void *handle, uint64_t address, void *buffer, uint64_t *size) {
  return table.GCReadData(handle, 0, address, buffer, size);
}

int32_t WriteData(void *handle, uint64_t address, const void *buffer, uint64_t *size) {
  return table.GCWriteData(handle, 0, address, buffer, size);
}

std::string ErrorText(void *tl, int32_t status) {
  const char *text = nullptr;
  if (tl == nullptr || table.GCGetErrorText(tl, status, &text) != ZAR_SUCCESS || text == nullptr) return {};
  return text;
}

int32_t DeviceXml(void *device, std::string *xml) {
  uint32_t size = 0;
  int32_t status = table.DevGetXml(device, nullptr, &size);
  if (status != ZAR_ERR_INVALID_BUFFER_SIZE) return status == ZAR_SUCCESS ? ZAR_ERR_FILE_IO : status;
  std::string text(size + 1, '\0');
  uint32_t capacity = size + 1;
  status = table.DevGetXml(device, text.data(), &capacity);
  if (status != ZAR_SUCCESS) return status;
  text.resize(strnlen(text.data(), size));
  *xml = std::move(text);
  return ZAR_SUCCESS;
}

int32_t DeviceIdentity(void *device, LibIdentity *identity) {
  ZAR_DEVICE_INFO info{};
  uint32_t size = sizeof info;
  const int32_t status = table.DevGetInfo(device, &info, &size);
  if (status != ZAR_SUCCESS) return status;
  identity->vendor = Field(info.sVendor, sizeof info.sVendor);
  identity->model = Field(info.sModel, sizeof info.sModel);
  identity->serial = Field(info.sSerial, sizeof info.sSerial);
  return ZAR_SUCCESS;
}

int32_t SetDeviceCallback(void *device, LibCallback callback, void *context) {
  return table.DevSetCallback(device, callback, context);
}
int32_t RemoveDeviceCallback(void *device, LibCallback callback) { return table.DevRemoveCallback(device, callback); }
int32_t CloseDevice(void *device) { return table.DevClose(device); }
int32_t CreateStream(void *device, void **stream) { return table.DevCreateDataStream(device, 0, stream); }

int32_t AnnounceBuffer(void *stream, void *memory, uint32_t size, uint32_t *id) {
  return table.DSAnnounceBuffer(stream, memory, size, nullptr, id);
}

int32_t AllocBuffer(void *stream, uint32_t size, uint32_t *id, void **memory) {
  int32_t status = table.DSAllocAndAnnounceBuffer(stream, size, nullptr, nullptr, id);
  if (status != ZAR_SUCCESS) return status;
  ZAR_BUFFER_INFO info{};
  uint32_t infoSize = sizeof info;
  status = table.DSGetBufferInfo(stream, *id, &info, &infoSize);
  if (status != ZAR_SUCCESS) {
    table.DSRevokeBuffer(stream, *id, nullptr, nullptr);
    return status;
  }
  *memory = info.pBase;
  return ZAR_SUCCESS;
}

int32_t RevokeBuffer(void *stream, uint32_t id) { return table.DSRevokeBuffer(stream, id, nullptr, nullptr); }
int32_t QueueBuffer(void *stream, uint32_t id) { return table.DSQueueBuffer(stream, id); }
int32_t FlushQueue(void *stream) { return table.DSFlushQueue(stream, 1); }
int32_t Start(void *stream) { return table.DSStartAcquisition(stream, 0, -1); }
int32_t Stop(void *stream) { return table.DSStopAcquisition(stream, 0); }

int32_t WaitForBuffer(void *stream, uint32_t milliseconds, LibFrame *frame) {
  ZAR_WAIT_RESULT result;
  const int32_t status = table.DSWaitForBuffer(stream, milliseconds, 0, &result, nullptr);
  if (status != ZAR_SUCCESS) return status;
  // The driver's frame information: frame id, timestamp (microseconds),
  // width, height, pixel format, bytes written.
  struct {
    uint64_t frameId, timestampUs;
    uint32_t width, height, pixelFormat, bytesWritten;
  } info;
  static_assert(sizeof info == sizeof result.aFrameInfo);
  std::memcpy(&info, result.aFrameInfo, sizeof info);
  *frame = {result.pBase, result.iID,         result.iFrameInfo, info.frameId,     info.timestampUs,
            info.width,   info.height,        info.pixelFormat,  info.bytesWritten};
  return ZAR_SUCCESS;
}

int32_t CloseStream(void *stream) { return table.DSClose(stream); }

} // namespace lib

} // namespace zar_gentl
