#pragma once
// The producer's modules and what every family of its functions shares:
// handles, the last error of each thread, info answers, and the features
// each module's port shows.
//
// Handles are the addresses of module objects, each held by a shared
// pointer in one table of live handles; a function finds its module there
// (wrong kind or closed: GC_ERR_INVALID_HANDLE) and keeps it alive for the
// call, so a close on another thread never frees what a call still uses.
//
// Locks: the handle table's lock is held only to find or change an entry;
// each module has one lock of its own for its state, taken after its
// parent's, never across a library call that waits (DSWaitForBuffer, the
// closes). A close takes a module out of the table first, so that no new
// call finds it, then closes its children and its library object.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gentl_types.h"
#include "library.h"

namespace zar_gentl {

enum class Kind { System, Interface, Device, RemotePort, Stream, Event };

constexpr const char *kTLType = "Custom";
constexpr const char *kInterfaceId = "USB";
constexpr const char *kStreamId = "Stream0";

// ---- Errors ------------------------------------------------------------------

// Records the error as the calling thread's last one and returns it.
GC_ERROR Fail(GC_ERROR code, const std::string &text);
// A library status as the GenTL error of the same meaning (recorded with
// the library's text and what was being done); success stays success.
GC_ERROR FromLibrary(int32_t status, const char *what);
// Runs a function's body: GC_ERR_NOT_INITIALIZED before GCInitLib, and an
// escaping exception (out of memory) as an error instead of a crash.
template <class Body> GC_ERROR Guarded(Body body) noexcept;

// ---- Info answers ----------------------------------------------------------

// The standard way of answering an info command: *piSize must be given; a
// null pBuffer asks for the size; a buffer smaller than the answer is
// refused with GC_ERR_BUFFER_TOO_SMALL and *piSize set to what is needed.
// piType is optional.
GC_ERROR AnswerText(const std::string &text, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);
GC_ERROR AnswerBytes(const void *data, size_t size, INFO_DATATYPE type, INFO_DATATYPE *piType, void *pBuffer,
                     size_t *piSize);
template <class T> GC_ERROR Answer(T value, INFO_DATATYPE type, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return AnswerBytes(&value, sizeof value, type, piType, pBuffer, piSize);
}
inline GC_ERROR AnswerBool(bool value, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Answer<bool8_t>(value ? 1 : 0, INFO_DATATYPE_BOOL8, piType, pBuffer, piSize);
}
GC_ERROR UnknownCommand(int32_t command);
// An ID copied the way TLGetInterfaceID and its kind copy theirs.
GC_ERROR CopyId(const std::string &id, char *out, size_t *piSize);

// ---- Port features ------------------------------------------------------------

// A feature of a module's port: a text, a read-only number, a selector
// (a number the consumer sets, whose range is 0 to the selector's maximum)
// or a command.
struct Feature {
  enum Type { Text, Number, Selector, Command } type;
  const char *name;
  int selectedBy = -1; // the index of the selector this feature depends on
};

// ---- Modules -------------------------------------------------------------------

struct Module : std::enable_shared_from_this<Module> {
  explicit Module(Kind k) : kind(k) {}
  virtual ~Module() = default;
  const Kind kind;
  // The module's port: its features, their values, and writes of its
  // selectors and commands. The module's own lock is taken inside.
  virtual const std::vector<Feature> &Features() const = 0;
  virtual const char *ModuleName() const = 0;
  virtual bool ReadFeature(size_t index, std::string *text, uint64_t *number) = 0;
  virtual GC_ERROR WriteFeature(size_t index, uint64_t value) = 0;
  // The largest value of the selector feature at that index.
  virtual uint64_t SelectorMax(size_t) { return 0; }
};

struct Interface;
struct Device;
struct Stream;
struct Event;

struct System : Module {
  System() : Module(Kind::System) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "TLSystem"; }
  bool ReadFeature(size_t index, std::string *text, uint64_t *number) override;
  GC_ERROR WriteFeature(size_t index, uint64_t value) override;

  void *lib = nullptr; // the library's transport layer
  std::mutex lock;
  std::shared_ptr<Interface> iface; // open interface
  bool listed = false;              // TLUpdateInterfaceList was called
  uint64_t interfaceSelector = 0;
};

// What a listed camera is, read once while it could be opened.
struct Identity {
  std::string vendor, model, serial, version, userName;
};

struct Interface : Module {
  Interface() : Module(Kind::Interface) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "TLInterface"; }
  bool ReadFeature(size_t index, std::string *text, uint64_t *number) override;
  GC_ERROR WriteFeature(size_t index, uint64_t value) override;
  uint64_t SelectorMax(size_t index) override;

  std::weak_ptr<System> system;
  void *tl = nullptr;
  std::mutex lock;
  std::vector<std::string> devices; // the list as of the last update
  std::map<std::string, std::weak_ptr<Device>> open;
  std::map<std::string, Identity> identities;
  uint64_t deviceSelector = 0;
};

struct RemotePort : Module {
  RemotePort() : Module(Kind::RemotePort) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "Device"; }
  bool ReadFeature(size_t, std::string *, uint64_t *) override { return false; }
  GC_ERROR WriteFeature(size_t, uint64_t) override { return GC_ERR_ACCESS_DENIED; }
  std::weak_ptr<Device> device;
};

struct Device : Module {
  Device() : Module(Kind::Device) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "TLDevice"; }
  bool ReadFeature(size_t index, std::string *text, uint64_t *number) override;
  GC_ERROR WriteFeature(size_t index, uint64_t value) override;

  std::weak_ptr<Interface> iface;
  std::string id;
  Identity identity;
  void *lib = nullptr; // the library's device; not used once lost
  uint64_t callbackKey = 0;
  // Set when the camera was unplugged: the library closes its device
  // itself, and its handles are never passed to it again. Shared with the
  // device's stream, which reads it for every frame.
  std::shared_ptr<std::atomic<bool>> lost = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<RemotePort> port;
  std::mutex lock;
  std::shared_ptr<Stream> stream;
  std::shared_ptr<Event> remoteEvent; // registered EVENT_REMOTE_DEVICE
  std::string xml;                    // the camera's description file, once read
  uint64_t streamSelector = 0;
};

// Where a buffer is: announced only (or with the consumer, after
// EventGetData gave it), in the input pool (pending: given to the library
// once its current wait ends; or in the library's queue), or in the output
// queue, filled (or flushed there) and waiting for EventGetData.
enum class Place { Announced, Pending, Input, Output };

struct Buffer {
  uint32_t id = 0;
  void *base = nullptr;
  size_t size = 0;
  void *user = nullptr;
  bool producerMemory = false;
  Place place = Place::Announced;
  bool newData = false;
  LibFrame frame{};
};

// A stream and its deliverer (see stream.cpp). Everything below is guarded
// by `lock`.
struct Stream : Module {
  Stream() : Module(Kind::Stream) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "TLDataStream"; }
  bool ReadFeature(size_t index, std::string *text, uint64_t *number) override;
  GC_ERROR WriteFeature(size_t, uint64_t) override { return GC_ERR_ACCESS_DENIED; }

  std::weak_ptr<Device> device;
  std::shared_ptr<std::atomic<bool>> deviceLost;
  void *lib = nullptr;
  std::mutex lock;
  std::condition_variable arrived; // EventGetData: a filled buffer, a kill, the end
  std::condition_variable control; // the deliverer's work, and the deliverer leaving the library
  bool closed = false;             // the library's stream is closed or being closed
  std::vector<std::unique_ptr<Buffer>> buffers; // in order of announcement
  std::unordered_map<uint32_t, Buffer *> byId;
  std::deque<Buffer *> pending, input, output;  // input: in the order the driver fills them
  std::shared_ptr<Event> newBufferEvent;
  bool grabbing = false;
  uint64_t toAcquire = 0; // frames left before acquisition stops by itself; 0: no limit
  uint64_t delivered = 0, underruns = 0, lastFrameId = 0; // since the last start
  std::thread deliverer;
  bool inLibraryWait = false;  // the deliverer waits in the library, or is about to
  bool delivererIdle = false;  // the deliverer waits on `control`
  int holdOff = 0;             // calls that reach the library without the lock; no new wait begins
  int consumersWaiting = 0, awaitingDeliverer = 0;
  // Finds a buffer of this stream.
  Buffer *FindBuffer(BUFFER_HANDLE handle) const;
};

// kills and unregistered are guarded by the stream's lock for a new-buffer
// event (its waits wait on the stream's `arrived`), by `lock` otherwise.
struct Event : Module {
  Event() : Module(Kind::Event) {}
  const std::vector<Feature> &Features() const override;
  const char *ModuleName() const override { return "Event"; }
  bool ReadFeature(size_t, std::string *, uint64_t *) override { return false; }
  GC_ERROR WriteFeature(size_t, uint64_t) override { return GC_ERR_ACCESS_DENIED; }

  EVENT_TYPE type = EVENT_NEW_BUFFER;
  std::weak_ptr<Stream> stream; // new-buffer events
  std::weak_ptr<Device> device; // remote-device events
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::vector<uint8_t>> queue; // remote-device event data
  std::atomic<uint64_t> fired{0};
  uint32_t kills = 0; // EventKill calls not yet answered by an abort
  bool unregistered = false;
};

// ---- The handle table ------------------------------------------------------------

void AddHandle(const std::shared_ptr<Module> &module);
void RemoveHandle(const Module *module);
std::shared_ptr<Module> FindModule(void *handle);
template <class T> std::shared_ptr<T> Find(void *handle, Kind kind) {
  std::shared_ptr<Module> module = FindModule(handle);
  if (!module || module->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(std::move(module));
}
GC_ERROR BadHandle(const char *what);

// Whether GCInitLib has loaded the library (and GCCloseLib not ended it).
bool Initialized();

// ---- Closing, across families -------------------------------------------------------

void CloseInterface(const std::shared_ptr<Interface> &iface);
void CloseDevice(const std::shared_ptr<Device> &device);
void CloseStream(const std::shared_ptr<Stream> &stream);
// Ends the event: pending waits end with GC_ERR_ABORT.
void EndEvent(const std::shared_ptr<Event> &event);
// Every open system, for GCCloseLib.
void CloseAllSystems();

// What the stream's new-buffer event waits for; how many filled buffers
// wait for it; EventFlush of it (the output queue is discarded).
GC_ERROR WaitForNewBuffer(Event &event, void *pBuffer, size_t *piSize, uint64_t timeoutMs);
size_t NewBuffersWaiting(Stream &stream);
void DiscardOutput(Stream &stream);
// Marks the camera lost and wakes every wait on it; the stream's part.
void DeviceLost(Device &device);
void StreamDeviceLost(Stream &stream);
// A device event for the device's registered remote-device event.
void DeviceEventArrived(Device &device, uint32_t id, const void *data, int64_t size);

// Reads what the camera is from an open library device.
int32_t ReadIdentity(void *libDevice, Identity *identity);
// What a camera's listed name tells of it: model (or the user's name) and
// serial number.
Identity IdentityFromName(const std::string &name);
// Opens a camera on the interface (IFOpenDevice's work).
GC_ERROR OpenDevice(const std::shared_ptr<Interface> &iface, const std::string &id, DEV_HANDLE *phDevice);

// The device info answer shared by DevGetInfo and IFGetDeviceInfo.
GC_ERROR DeviceInfo(const std::string &id, const Identity &identity, DEVICE_ACCESS_STATUS access,
                    DEVICE_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize);

template <class Body> GC_ERROR Guarded(Body body) noexcept {
  try {
    if (!Initialized()) return Fail(GC_ERR_NOT_INITIALIZED, "GCInitLib has not been called");
    return body();
  } catch (const std::bad_alloc &) {
    return Fail(GC_ERR_OUT_OF_MEMORY, "out of memory");
  } catch (...) {
    return Fail(GC_ERR_ERROR, "internal error");
  }
}

} // namespace zar_gentl
