// Events: a stream's new-buffer event (the library's wait for a filled
// buffer) and a device's remote-device event (the camera's device events,
// as the library's device callback reports them). Their data: for a new
// buffer, EVENT_NEW_BUFFER_DATA; for a device event, its 64-bit event ID
// (little-endian) followed by the bytes the camera sent with it.

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "producer.h"

namespace zar_gentl {

namespace {

// The most data a camera sends with a device event, as the event's size
// maximum reports it; longer data is delivered whole all the same.
constexpr size_t kDeviceEventDataMax = 256;

GC_ERROR WaitForDeviceEvent(Event &event, void *pBuffer, size_t *piSize, uint64_t timeoutMs) {
  if (pBuffer == nullptr || piSize == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
  auto device = event.device.lock();
  std::unique_lock<std::mutex> guard(event.lock);
  const auto ready = [&] { return event.kills != 0 || event.unregistered || !event.queue.empty() || !device || *device->lost; };
  if (timeoutMs == GENTL_INFINITE) {
    event.changed.wait(guard, ready);
  } else if (!event.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready)) {
    return Fail(GC_ERR_TIMEOUT, "no device event came in time");
  }
  if (event.kills != 0) {
    --event.kills;
    return Fail(GC_ERR_ABORT, "the wait was ended by EventKill");
  }
  if (event.unregistered) return Fail(GC_ERR_ABORT, "the event was unregistered");
  if (event.queue.empty()) return Fail(GC_ERR_IO, "the camera was unplugged");
  const std::vector<uint8_t> &data = event.queue.front();
  if (*piSize < data.size()) {
    *piSize = data.size();
    return Fail(GC_ERR_BUFFER_TOO_SMALL, "the event data takes " + std::to_string(data.size()) + " bytes");
  }
  std::memcpy(pBuffer, data.data(), data.size());
  *piSize = data.size();
  event.queue.pop_front();
  return GC_ERR_SUCCESS;
}

GC_ERROR DataInfo(const Event &event, const void *pInBuffer, size_t iInSize, EVENT_DATA_INFO_CMD command,
                  INFO_DATATYPE *piType, void *pOutBuffer, size_t *piOutSize) {
  if (pInBuffer == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the event data pointer is null");
  if (event.type == EVENT_NEW_BUFFER) {
    if (iInSize < sizeof(EVENT_NEW_BUFFER_DATA)) return Fail(GC_ERR_INVALID_PARAMETER, "the event data is too short");
    EVENT_NEW_BUFFER_DATA data;
    std::memcpy(&data, pInBuffer, sizeof data);
    switch (command) {
    case EVENT_DATA_ID: return Answer(data.BufferHandle, INFO_DATATYPE_PTR, piType, pOutBuffer, piOutSize);
    case EVENT_DATA_VALUE: return Answer(data.pUserPointer, INFO_DATATYPE_PTR, piType, pOutBuffer, piOutSize);
    default: return UnknownCommand(command);
    }
  }
  if (iInSize < sizeof(uint64_t)) return Fail(GC_ERR_INVALID_PARAMETER, "the event data is too short");
  uint64_t id = 0;
  std::memcpy(&id, pInBuffer, sizeof id);
  switch (command) {
  case EVENT_DATA_ID: {
    char text[20];
    std::snprintf(text, sizeof text, "%" PRIX64, id);
    return AnswerText(text, piType, pOutBuffer, piOutSize);
  }
  case EVENT_DATA_VALUE:
    return AnswerBytes(static_cast<const uint8_t *>(pInBuffer) + sizeof id, iInSize - sizeof id, INFO_DATATYPE_BUFFER,
                       piType, pOutBuffer, piOutSize);
  case EVENT_DATA_NUMID: return Answer(id, INFO_DATATYPE_UINT64, piType, pOutBuffer, piOutSize);
  default: return UnknownCommand(command);
  }
}

GC_ERROR EventInfo(Event &event, EVENT_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  const bool newBuffer = event.type == EVENT_NEW_BUFFER;
  size_t queued = 0;
  if (!newBuffer) {
    std::lock_guard<std::mutex> guard(event.lock);
    queued = event.queue.size();
  } else if (auto stream = event.stream.lock()) {
    queued = NewBuffersWaiting(*stream);
  }
  const uint64_t fired = event.fired.load();
  switch (command) {
  case EVENT_EVENT_TYPE: return Answer<int32_t>(event.type, INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case EVENT_NUM_IN_QUEUE: return Answer(queued, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case EVENT_NUM_FIRED: return Answer(fired, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case EVENT_SIZE_MAX:
    return Answer<size_t>(newBuffer ? sizeof(EVENT_NEW_BUFFER_DATA) : sizeof(uint64_t) + kDeviceEventDataMax,
                          INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case EVENT_INFO_DATA_SIZE_MAX:
    return Answer<size_t>(newBuffer ? sizeof(void *) : kDeviceEventDataMax, INFO_DATATYPE_SIZET, piType, pBuffer,
                          piSize);
  default: return UnknownCommand(command);
  }
}

std::shared_ptr<Event> FindEvent(EVENT_HANDLE handle) { return Find<Event>(handle, Kind::Event); }

// The registered event of that type of the source, by reference to where
// the source keeps it; null when the source has no such event.
std::shared_ptr<Event> *Slot(Module &source, EVENT_TYPE type, std::mutex **lock) {
  if (source.kind == Kind::Stream && type == EVENT_NEW_BUFFER) {
    auto &stream = static_cast<Stream &>(source);
    *lock = &stream.lock;
    return &stream.newBufferEvent;
  }
  if (source.kind == Kind::Device && type == EVENT_REMOTE_DEVICE) {
    auto &device = static_cast<Device &>(source);
    *lock = &device.lock;
    return &device.remoteEvent;
  }
  return nullptr;
}

// Changes what the event's waits look at, under the lock that guards it
// (a new-buffer event's waits wait on their stream), and wakes them.
template <class Change> void Signal(Event &event, Change change) {
  if (event.type == EVENT_NEW_BUFFER)
    if (auto stream = event.stream.lock()) {
      std::lock_guard<std::mutex> guard(stream->lock);
      change();
      stream->arrived.notify_all();
      return;
    }
  std::lock_guard<std::mutex> guard(event.lock);
  change();
  event.changed.notify_all();
}

} // namespace

const std::vector<Feature> &Event::Features() const {
  static const std::vector<Feature> none;
  return none;
}

void EndEvent(const std::shared_ptr<Event> &event) {
  RemoveHandle(event.get());
  Signal(*event, [&] { event->unregistered = true; });
}

void DeviceEventArrived(Device &device, uint32_t id, const void *data, int64_t size) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard<std::mutex> guard(device.lock);
    event = device.remoteEvent;
  }
  if (!event) return;
  const uint64_t wideId = id;
  std::vector<uint8_t> bytes(sizeof wideId + (data != nullptr && size > 0 ? static_cast<size_t>(size) : 0));
  std::memcpy(bytes.data(), &wideId, sizeof wideId);
  if (bytes.size() > sizeof wideId) std::memcpy(bytes.data() + sizeof wideId, data, bytes.size() - sizeof wideId);
  std::lock_guard<std::mutex> guard(event->lock);
  event->queue.push_back(std::move(bytes));
  ++event->fired;
  event->changed.notify_all();
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API GCRegisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID, EVENT_HANDLE *phEvent) {
  return Guarded([&] {
    auto source = FindModule(hEventSrc);
    if (!source || source->kind == Kind::Event || source->kind == Kind::RemotePort) return BadHandle("event source");
    if (phEvent == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    std::mutex *lock = nullptr;
    std::shared_ptr<Event> *slot = Slot(*source, iEventID, &lock);
    if (slot == nullptr) return Fail(GC_ERR_NOT_IMPLEMENTED, "the module has no events of that type");
    std::lock_guard<std::mutex> guard(*lock);
    if (*slot) return Fail(GC_ERR_RESOURCE_IN_USE, "the event is registered already");
    auto event = std::make_shared<Event>();
    event->type = iEventID;
    if (source->kind == Kind::Stream) event->stream = std::static_pointer_cast<Stream>(source);
    else event->device = std::static_pointer_cast<Device>(source);
    *slot = event;
    AddHandle(event);
    *phEvent = event.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API GCUnregisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID) {
  return Guarded([&] {
    auto source = FindModule(hEventSrc);
    if (!source || source->kind == Kind::Event || source->kind == Kind::RemotePort) return BadHandle("event source");
    std::mutex *lock = nullptr;
    std::shared_ptr<Event> *slot = Slot(*source, iEventID, &lock);
    if (slot == nullptr) return Fail(GC_ERR_NOT_IMPLEMENTED, "the module has no events of that type");
    std::shared_ptr<Event> event;
    {
      std::lock_guard<std::mutex> guard(*lock);
      event = std::move(*slot);
    }
    if (!event) return Fail(GC_ERR_NOT_AVAILABLE, "the event is not registered");
    EndEvent(event);
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API EventGetData(EVENT_HANDLE hEvent, void *pBuffer, size_t *piSize, uint64_t iTimeout) {
  return Guarded([&] {
    auto event = FindEvent(hEvent);
    if (!event) return BadHandle("event");
    return event->type == EVENT_NEW_BUFFER ? WaitForNewBuffer(*event, pBuffer, piSize, iTimeout)
                                           : WaitForDeviceEvent(*event, pBuffer, piSize, iTimeout);
  });
}

ZAR_GENTL_API EventGetDataInfo(EVENT_HANDLE hEvent, const void *pInBuffer, size_t iInSize,
                               EVENT_DATA_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pOutBuffer,
                               size_t *piOutSize) {
  return Guarded([&] {
    auto event = FindEvent(hEvent);
    if (!event) return BadHandle("event");
    return DataInfo(*event, pInBuffer, iInSize, iInfoCmd, piType, pOutBuffer, piOutSize);
  });
}

ZAR_GENTL_API EventGetInfo(EVENT_HANDLE hEvent, EVENT_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                           size_t *piSize) {
  return Guarded([&] {
    auto event = FindEvent(hEvent);
    if (!event) return BadHandle("event");
    return EventInfo(*event, iInfoCmd, piType, pBuffer, piSize);
  });
}

// Device events waiting to be taken are dropped; for a new-buffer event,
// the filled buffers of the output queue (they stay announced).
ZAR_GENTL_API EventFlush(EVENT_HANDLE hEvent) {
  return Guarded([&] {
    auto event = FindEvent(hEvent);
    if (!event) return BadHandle("event");
    if (event->type == EVENT_NEW_BUFFER) {
      if (auto stream = event->stream.lock()) DiscardOutput(*stream);
      return GC_ERR_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(event->lock);
    event->queue.clear();
    return GC_ERR_SUCCESS;
  });
}

// Ends one wait at once: a pending EventGetData, or else the next one,
// returns GC_ERR_ABORT.
ZAR_GENTL_API EventKill(EVENT_HANDLE hEvent) {
  return Guarded([&] {
    auto event = FindEvent(hEvent);
    if (!event) return BadHandle("event");
    Signal(*event, [&] { ++event->kills; });
    return GC_ERR_SUCCESS;
  });
}

} // extern "C"
