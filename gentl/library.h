#pragma once
// The ZAR_USB library as the producer reaches it: found and loaded at run
// time, its exports resolved by name into one table, never linked. GenTL
// names the functions of its table like ours but with other signatures, so
// the producer keeps our library's names out of its own symbol lookup and
// the library never sees the producer's: the library is loaded with local
// binding and called only through this table.
//
// Where the library is looked for: first the folder the producer's own file
// lies in (ZAR_USB.dll beside ZAR_USB.cti, libzar_usb.so.1 beside it in a
// build tree), then the system's search for the bare file name (the PATH and
// system folders on Windows; on Linux the loader's folders and the
// producer's run path, which names the folder above it, where an installed
// producer in lib/<multiarch>/gentl finds lib/<multiarch>/libzar_usb.so.1).
//
// This header keeps zar_usb.h away from the producer's other files: that
// header declares our exports by the names the producer defines.

#include <cstdint>
#include <string>
#include <vector>

namespace zar_gentl {

// The library's status codes the producer tells apart.
enum LibraryStatus : int32_t {
  kLibSuccess = 0,
  kLibInvalidBufferSize = -1,
  kLibInvalidHandle = -2,
  kLibInvalidId = -3,
  kLibAccessDenied = -4,
  kLibNoData = -5,
  kLibGeneral = -6,
  kLibInvalidParameter = -7,
  kLibTimeout = -8,
  kLibInvalidFilename = -9,
  kLibInvalidAddress = -10,
  kLibFileIo = -11,
};

// Device callback events the producer reacts to.
constexpr uint32_t kLibUnplugged = 0x7FFF;
constexpr uint32_t kLibPlugged = 0x8000;
constexpr uint32_t kLibFirstPowerEvent = 0x8001;
constexpr uint32_t kLibLastPowerEvent = 0x8004;

using LibCallback = void (*)(uint32_t event, void *data, int64_t size, void *context);

// What the driver reports about a filled buffer.
struct LibFrame {
  void *base;
  uint32_t id;
  uint32_t fullSize; // the frame's size; more than bytesWritten when cut
  uint64_t frameId;
  uint64_t timestampUs;
  uint32_t width;
  uint32_t height;
  uint32_t pixelFormat;
  uint32_t bytesWritten;
};

struct LibIdentity {
  std::string vendor, model, serial;
};

// Loads the library and resolves its exports, once per process; later calls
// answer as the first did. False with *why set when the library or one of
// its exports is missing.
bool LoadLibraryTable(std::string *why);

// The library's exports, by what they do. Each returns the library's status.
namespace lib {
int32_t Open(void **tl);
int32_t Close(void *tl);
// Vendor, name and transport texts of the transport layer.
int32_t Info(std::string *vendor, std::string *name);
int32_t UpdateInterfaceList(void *tl);
int32_t UpdateDeviceList(void *tl, bool *changed);
int32_t DeviceNames(void *tl, std::vector<std::string> *names);
int32_t OpenDevice(void *tl, const std::string &name, void **device);
int32_t ReadData(void *handle, uint64_t address, void *buffer, uint64_t *size);
int32_t WriteData(void *handle, uint64_t address, const void *buffer, uint64_t *size);
// The library's text of a status; empty when it has none.
std::string ErrorText(void *tl, int32_t status);
int32_t DeviceXml(void *device, std::string *xml);
int32_t DeviceIdentity(void *device, LibIdentity *identity);
int32_t SetDeviceCallback(void *device, LibCallback callback, void *context);
int32_t RemoveDeviceCallback(void *device, LibCallback callback);
int32_t CloseDevice(void *device);
int32_t CreateStream(void *device, void **stream);
int32_t AnnounceBuffer(void *stream, void *memory, uint32_t size, uint32_t *id);
// Library memory: its address at *memory.
int32_t AllocBuffer(void *stream, uint32_t size, uint32_t *id, void **memory);
int32_t RevokeBuffer(void *stream, uint32_t id);
int32_t QueueBuffer(void *stream, uint32_t id);
int32_t FlushQueue(void *stream);
int32_t Start(void *stream);
int32_t Stop(void *stream);
int32_t WaitForBuffer(void *stream, uint32_t milliseconds, LibFrame *frame);
int32_t CloseStream(void *stream);
} // namespace lib

} // namespace zar_gentl
