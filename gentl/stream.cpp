// The data stream module and its buffers: announcement in application or
// library memory, the input queue, acquisition, and the wait for filled
// buffers behind the stream's new-buffer event.
//
// The library lets a wait for a filled buffer hold the stream: the stream's
// other functions wait until it ends (only stop and close end it early).
// So that a consumer may requeue buffers on one thread while another waits,
// a wait here is a series of short library waits. Every other operation
// holds the stream's lock across its library call, and the waiting thread
// takes that lock between two waits: an operation that comes during a wait
// goes first once that wait ends, and a wait never holds the lock.

#include <chrono>
#include <limits>

#include "producer.h"

namespace zar_gentl {

namespace {

// The longest single library wait: how long an EventKill or an operation on
// the stream waits at most for a pending wait to make way.
constexpr uint32_t kSliceMs = 10;
// The camera's payload size register (32-bit): bytes per frame.
constexpr uint64_t kPayloadSizeRegister = 0x10C;

using Clock = std::chrono::steady_clock;

std::shared_ptr<Stream> FindStream(DS_HANDLE handle) { return Find<Stream>(handle, Kind::Stream); }

GC_ERROR Lost() { return Fail(GC_ERR_IO, "the camera was unplugged"); }

bool DeviceLostFor(const Stream &stream) { return stream.deviceLost->load(std::memory_order_relaxed); }

// Whether the camera still answers. A wait that fails may be the first to
// meet an unplug, before the library's callback reports it.
bool CameraAnswers(const Stream &stream) {
  auto device = stream.device.lock();
  uint32_t word = 0;
  uint64_t size = sizeof word;
  return device && !*device->lost && lib::ReadData(device->lib, 0, &word, &size) == kLibSuccess;
}

uint64_t PayloadSize(Stream &stream) {
  auto device = stream.device.lock();
  uint32_t payload = 0;
  uint64_t size = sizeof payload;
  if (!device || *device->lost || lib::ReadData(device->lib, kPayloadSizeRegister, &payload, &size) != kLibSuccess)
    return 0;
  return payload;
}

// Adds an announced buffer (under the stream's lock).
BUFFER_HANDLE AddBuffer(Stream &stream, uint32_t id, void *base, size_t size, void *user, bool producerMemory) {
  auto buffer = std::make_unique<Buffer>();
  buffer->id = id;
  buffer->base = base;
  buffer->size = size;
  buffer->user = user;
  buffer->producerMemory = producerMemory;
  Buffer *added = buffer.get();
  stream.buffers.push_back(std::move(buffer));
  stream.byId[id] = added;
  return added;
}

// Both announcements once the stream and the handle pointer are checked:
// the application's memory when `memory` is given, the library's otherwise.
GC_ERROR Announce(Stream &stream, void *memory, size_t size, void *user, BUFFER_HANDLE *handle) {
  if (size == 0 || size > std::numeric_limits<uint32_t>::max())
    return Fail(GC_ERR_INVALID_PARAMETER, "buffers hold 1 byte to 4 GiB");
  if (DeviceLostFor(stream)) return Lost();
  std::lock_guard<std::mutex> guard(stream.lock);
  if (stream.closed) return BadHandle("stream");
  const bool producerMemory = memory == nullptr;
  uint32_t id = 0;
  const int32_t announced = producerMemory
                                ? lib::AllocBuffer(stream.lib, static_cast<uint32_t>(size), &id, &memory)
                                : lib::AnnounceBuffer(stream.lib, memory, static_cast<uint32_t>(size), &id);
  if (const GC_ERROR failed =
          FromLibrary(announced, producerMemory ? "allocating the buffer" : "announcing the buffer"))
    return failed;
  *handle = AddBuffer(stream, id, memory, size, user, producerMemory);
  return GC_ERR_SUCCESS;
}

void RemoveFromInput(Stream &stream, Buffer *buffer) {
  for (auto at = stream.input.begin(); at != stream.input.end(); ++at)
    if (*at == buffer) {
      stream.input.erase(at);
      return;
    }
}

GC_ERROR QueueLocked(Stream &stream, Buffer &buffer) {
  if (buffer.queued) return Fail(GC_ERR_RESOURCE_IN_USE, "the buffer is queued already");
  if (const GC_ERROR queued = FromLibrary(lib::QueueBuffer(stream.lib, buffer.id),
                                          "queueing the buffer"))
    return queued;
  buffer.queued = true;
  buffer.newData = false;
  stream.input.push_back(&buffer);
  return GC_ERR_SUCCESS;
}

// The stream's numbers, as its info and its port give them.
struct Numbers {
  uint64_t delivered, underruns, announced, queued;
  bool grabbing;
};
Numbers CountsOf(Stream &stream) {
  std::lock_guard<std::mutex> guard(stream.lock);
  return {stream.delivered, stream.underruns, stream.buffers.size(), stream.input.size(), stream.grabbing};
}

GC_ERROR StreamInfo(Stream &stream, STREAM_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  const Numbers numbers = CountsOf(stream);
  switch (command) {
  case STREAM_INFO_ID: return AnswerText(kStreamId, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_DELIVERED:
  case STREAM_INFO_NUM_STARTED: return Answer(numbers.delivered, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_UNDERRUN: return Answer(numbers.underruns, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_ANNOUNCED:
    return Answer<size_t>(numbers.announced, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_QUEUED: return Answer<size_t>(numbers.queued, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  // Filled buffers stay with the library until waited for: none waits here.
  case STREAM_INFO_NUM_AWAIT_DELIVERY: return Answer<size_t>(0, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case STREAM_INFO_PAYLOAD_SIZE:
    return Answer<size_t>(PayloadSize(stream), INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case STREAM_INFO_IS_GRABBING: return AnswerBool(numbers.grabbing, piType, pBuffer, piSize);
  case STREAM_INFO_DEFINES_PAYLOADSIZE: return AnswerBool(true, piType, pBuffer, piSize);
  case STREAM_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_CHUNKS_MAX: return Answer<size_t>(0, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case STREAM_INFO_BUF_ANNOUNCE_MIN: return Answer<size_t>(1, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  case STREAM_INFO_BUF_ALIGNMENT: return Answer<size_t>(1, INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  default: return UnknownCommand(command);
  }
}

GC_ERROR BufferInfo(const Buffer &b, bool acquiring, BUFFER_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer,
                    size_t *piSize) {
  const LibFrame &f = b.frame;
  const auto size = [&](uint64_t value) {
    return Answer<size_t>(static_cast<size_t>(value), INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  };
  const auto u64 = [&](uint64_t value) { return Answer(value, INFO_DATATYPE_UINT64, piType, pBuffer, piSize); };
  const auto flag = [&](bool value) { return AnswerBool(value, piType, pBuffer, piSize); };
  switch (command) {
  case BUFFER_INFO_BASE: return Answer(b.base, INFO_DATATYPE_PTR, piType, pBuffer, piSize);
  case BUFFER_INFO_SIZE: return size(b.size);
  case BUFFER_INFO_USER_PTR: return Answer(b.user, INFO_DATATYPE_PTR, piType, pBuffer, piSize);
  case BUFFER_INFO_TIMESTAMP: return u64(f.timestampUs);
  case BUFFER_INFO_TIMESTAMP_NS: return u64(f.timestampUs * 1000);
  case BUFFER_INFO_NEW_DATA: return flag(b.newData);
  case BUFFER_INFO_IS_QUEUED: return flag(b.queued);
  case BUFFER_INFO_IS_ACQUIRING: return flag(acquiring);
  case BUFFER_INFO_IS_INCOMPLETE: return flag(f.bytesWritten < f.fullSize);
  case BUFFER_INFO_DATA_LARGER_THAN_BUFFER: return flag(f.fullSize > b.size);
  case BUFFER_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  case BUFFER_INFO_SIZE_FILLED:
  case BUFFER_INFO_DATA_SIZE: return size(f.bytesWritten);
  case BUFFER_INFO_WIDTH: return size(f.width);
  case BUFFER_INFO_HEIGHT:
  case BUFFER_INFO_DELIVERED_IMAGEHEIGHT: return size(f.height);
  case BUFFER_INFO_XOFFSET:
  case BUFFER_INFO_YOFFSET:
  case BUFFER_INFO_XPADDING:
  case BUFFER_INFO_YPADDING:
  case BUFFER_INFO_IMAGEOFFSET:
  case BUFFER_INFO_DELIVERED_CHUNKPAYLOADSIZE: return size(0);
  case BUFFER_INFO_FRAMEID: return u64(f.frameId);
  case BUFFER_INFO_IMAGEPRESENT: return flag(true);
  case BUFFER_INFO_PAYLOADTYPE: return size(PAYLOAD_TYPE_IMAGE);
  case BUFFER_INFO_PIXELFORMAT: return u64(f.pixelFormat);
  case BUFFER_INFO_PIXELFORMAT_NAMESPACE: return u64(PIXELFORMAT_NAMESPACE_PFNC_32BIT);
  case BUFFER_INFO_PIXEL_ENDIANNESS:
    return Answer<int32_t>(PIXELENDIANNESS_LITTLE, INFO_DATATYPE_INT32, piType, pBuffer, piSize);
  case BUFFER_INFO_CHUNKLAYOUTID: return u64(0);
  case BUFFER_INFO_CONTAINS_CHUNKDATA: return flag(false);
  default: return UnknownCommand(command);
  }
}

enum StreamFeature {
  kStreamID, kStreamType, kStreamAnnouncedBufferCount, kStreamInputBufferCount, kStreamOutputBufferCount,
  kStreamStartedFrameCount, kStreamDeliveredFrameCount, kStreamLostFrameCount, kStreamAnnounceBufferMinimum,
  kStreamIsGrabbing, kPayloadSize
};

// Takes the delivered buffer out of the input queue and describes it;
// whether the frames asked for at the start have all come.
bool Deliver(Stream &stream, const LibFrame &frame, EVENT_NEW_BUFFER_DATA *data) {
  std::lock_guard<std::mutex> guard(stream.lock);
  // The driver fills buffers in queue order: the first queued one, as a rule.
  Buffer *filled = !stream.input.empty() && stream.input.front()->id == frame.id ? stream.input.front() : nullptr;
  if (filled != nullptr) {
    stream.input.pop_front();
  } else {
    const auto found = stream.byId.find(frame.id);
    if (found == stream.byId.end()) {
      *data = {nullptr, nullptr};
      return false;
    }
    filled = found->second;
    RemoveFromInput(stream, filled);
  }
  Buffer &buffer = *filled;
  buffer.frame = frame;
  buffer.queued = false;
  buffer.newData = true;
  ++stream.delivered;
  // Frames the driver numbered but never delivered: no buffer was queued.
  if (stream.lastFrameId != 0 && frame.frameId > stream.lastFrameId + 1)
    stream.underruns += frame.frameId - stream.lastFrameId - 1;
  stream.lastFrameId = frame.frameId;
  *data = {&buffer, buffer.user};
  return stream.toAcquire != 0 && --stream.toAcquire == 0;
}

} // namespace

Buffer *Stream::FindBuffer(BUFFER_HANDLE handle) const {
  for (const auto &buffer : buffers)
    if (buffer.get() == handle) return buffer.get();
  return nullptr;
}

const std::vector<Feature> &Stream::Features() const {
  static const std::vector<Feature> features = {
      {Feature::Text, "StreamID"},
      {Feature::Text, "StreamType"},
      {Feature::Number, "StreamAnnouncedBufferCount"},
      {Feature::Number, "StreamInputBufferCount"},
      {Feature::Number, "StreamOutputBufferCount"},
      {Feature::Number, "StreamStartedFrameCount"},
      {Feature::Number, "StreamDeliveredFrameCount"},
      {Feature::Number, "StreamLostFrameCount"},
      {Feature::Number, "StreamAnnounceBufferMinimum"},
      {Feature::Number, "StreamIsGrabbing"},
      {Feature::Number, "PayloadSize"}};
  return features;
}

bool Stream::ReadFeature(size_t index, std::string *text, uint64_t *number) {
  const Numbers numbers = CountsOf(*this);
  switch (index) {
  case kStreamID: *text = kStreamId; return true;
  case kStreamType: *text = kTLType; return true;
  case kStreamAnnouncedBufferCount: *number = numbers.announced; return true;
  case kStreamInputBufferCount: *number = numbers.queued; return true;
  case kStreamOutputBufferCount: *number = 0; return true;
  case kStreamStartedFrameCount:
  case kStreamDeliveredFrameCount: *number = numbers.delivered; return true;
  case kStreamLostFrameCount: *number = numbers.underruns; return true;
  case kStreamAnnounceBufferMinimum: *number = 1; return true;
  case kStreamIsGrabbing: *number = numbers.grabbing ? 1 : 0; return true;
  case kPayloadSize: *number = PayloadSize(*this); return true;
  default: return false;
  }
}

void CloseStream(const std::shared_ptr<Stream> &stream) {
  RemoveHandle(stream.get());
  std::shared_ptr<Event> event;
  {
    std::lock_guard<std::mutex> guard(stream->lock);
    event = std::move(stream->newBufferEvent);
    stream->grabbing = false;
    stream->closed = true;
  }
  if (event) EndEvent(event);
  // The close ends a pending library wait at once.
  if (!DeviceLostFor(*stream)) lib::CloseStream(stream->lib);
  if (auto device = stream->device.lock()) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->stream == stream) device->stream.reset();
  }
}

GC_ERROR WaitForNewBuffer(Event &event, void *pBuffer, size_t *piSize, uint64_t timeoutMs) {
  auto stream = event.stream.lock();
  if (!stream) return Fail(GC_ERR_ABORT, "the stream was closed");
  if (pBuffer == nullptr || piSize == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
  if (*piSize < sizeof(EVENT_NEW_BUFFER_DATA)) {
    *piSize = sizeof(EVENT_NEW_BUFFER_DATA);
    return Fail(GC_ERR_BUFFER_TOO_SMALL, "the event data takes " + std::to_string(sizeof(EVENT_NEW_BUFFER_DATA)) + " bytes");
  }
  const bool bounded = timeoutMs != GENTL_INFINITE;
  const auto start = bounded ? Clock::now() : Clock::time_point();
  for (;;) {
    if (event.pendingKill || event.unregistered) {
      std::lock_guard<std::mutex> guard(event.lock);
      if (event.kills != 0) {
        event.pendingKill = --event.kills != 0;
        return Fail(GC_ERR_ABORT, "the wait was ended by EventKill");
      }
      if (event.unregistered) return Fail(GC_ERR_ABORT, "the event was unregistered");
    }
    if (DeviceLostFor(*stream)) return Lost();
    uint32_t slice = kSliceMs;
    if (bounded) {
      const auto elapsed = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
      if (elapsed >= timeoutMs) return Fail(GC_ERR_TIMEOUT, "no buffer was filled in time");
      slice = static_cast<uint32_t>(std::min<uint64_t>(kSliceMs, timeoutMs - elapsed));
    }
    bool grabbing;
    {
      std::lock_guard<std::mutex> guard(stream->lock); // operations waiting for it go first
      grabbing = stream->grabbing;
    }
    if (!grabbing) {
      // No frame comes before a start: wait for the start, a kill or the end.
      std::unique_lock<std::mutex> guard(event.lock);
      event.changed.wait_for(guard, std::chrono::milliseconds(slice));
      continue;
    }
    LibFrame frame;
    const auto sliceStart = Clock::now();
    const int32_t status = lib::WaitForBuffer(stream->lib, slice, &frame);
    if (status == kLibSuccess) {
      auto *data = static_cast<EVENT_NEW_BUFFER_DATA *>(pBuffer);
      const bool allCame = Deliver(*stream, frame, data);
      event.fired.fetch_add(1, std::memory_order_relaxed);
      if (allCame) {
        std::lock_guard<std::mutex> guard(stream->lock);
        stream->grabbing = false;
        lib::Stop(stream->lib);
      }
      *piSize = sizeof(EVENT_NEW_BUFFER_DATA);
      return data->BufferHandle != nullptr ? GC_ERR_SUCCESS : Fail(GC_ERR_ERROR, "an unknown buffer was filled");
    }
    // A wait that ends early without a frame (an unplugged camera's does)
    // is checked as any failed one.
    if (status == kLibTimeout && Clock::now() - sliceStart >= std::chrono::milliseconds(slice / 2)) continue;
    if (DeviceLostFor(*stream)) return Lost();
    {
      std::lock_guard<std::mutex> guard(stream->lock);
      if (!stream->grabbing) continue; // stopped meanwhile: wait for a start, a kill or the end
    }
    if (!CameraAnswers(*stream)) return Lost();
    if (status == kLibTimeout) continue;
    return FromLibrary(status, "waiting for a buffer");
  }
}

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API DevOpenDataStream(DEV_HANDLE hDevice, const char *sDataStreamID, DS_HANDLE *phDataStream) {
  return Guarded([&] {
    auto device = Find<Device>(hDevice, Kind::Device);
    if (!device) return BadHandle("device");
    if (sDataStreamID == nullptr || phDataStream == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
    if (std::string(sDataStreamID) != kStreamId) return Fail(GC_ERR_INVALID_ID, "no stream of that ID");
    if (*device->lost) return Lost();
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->stream) return Fail(GC_ERR_RESOURCE_IN_USE, "the stream is open already");
    auto stream = std::make_shared<Stream>();
    stream->device = device;
    stream->deviceLost = device->lost;
    if (const GC_ERROR created = FromLibrary(lib::CreateStream(device->lib, &stream->lib), "opening the stream"))
      return created;
    device->stream = stream;
    AddHandle(stream);
    *phDataStream = stream.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSClose(DS_HANDLE hDataStream) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    CloseStream(stream);
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSGetParentDev(DS_HANDLE hDataStream, DEV_HANDLE *phDevice) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (phDevice == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    auto device = stream->device.lock();
    if (!device) return BadHandle("stream");
    *phDevice = device.get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSAnnounceBuffer(DS_HANDLE hDataStream, void *pBuffer, size_t iSize, void *pPrivate,
                               BUFFER_HANDLE *phBuffer) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (pBuffer == nullptr || phBuffer == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "a pointer is null");
    return Announce(*stream, pBuffer, iSize, pPrivate, phBuffer);
  });
}

ZAR_GENTL_API DSAllocAndAnnounceBuffer(DS_HANDLE hDataStream, size_t iSize, void *pPrivate, BUFFER_HANDLE *phBuffer) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (phBuffer == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    return Announce(*stream, nullptr, iSize, pPrivate, phBuffer);
  });
}

ZAR_GENTL_API DSRevokeBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, void **ppBuffer, void **ppPrivate) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    std::lock_guard<std::mutex> guard(stream->lock);
    if (stream->closed) return BadHandle("stream");
    Buffer *buffer = stream->FindBuffer(hBuffer);
    if (buffer == nullptr) return BadHandle("buffer");
    if (!DeviceLostFor(*stream)) {
      const int32_t revoked = lib::RevokeBuffer(stream->lib, buffer->id);
      if (const GC_ERROR failed = FromLibrary(revoked, "revoking the buffer")) return failed;
    }
    if (ppBuffer != nullptr) *ppBuffer = buffer->producerMemory ? nullptr : buffer->base;
    if (ppPrivate != nullptr) *ppPrivate = buffer->user;
    RemoveFromInput(*stream, buffer);
    stream->byId.erase(buffer->id);
    std::erase_if(stream->buffers, [&](const std::unique_ptr<Buffer> &held) { return held.get() == buffer; });
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSQueueBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (DeviceLostFor(*stream)) return Lost();
    std::lock_guard<std::mutex> guard(stream->lock);
    if (stream->closed) return BadHandle("stream");
    Buffer *buffer = stream->FindBuffer(hBuffer);
    if (buffer == nullptr) return BadHandle("buffer");
    return QueueLocked(*stream, *buffer);
  });
}

ZAR_GENTL_API DSFlushQueue(DS_HANDLE hDataStream, ACQ_QUEUE_TYPE iOperation) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (iOperation != ACQ_QUEUE_ALL_DISCARD && iOperation != ACQ_QUEUE_ALL_TO_INPUT &&
        iOperation != ACQ_QUEUE_UNQUEUED_TO_INPUT)
      return Fail(GC_ERR_NOT_IMPLEMENTED, "filled buffers stay with the library until waited for");
    if (DeviceLostFor(*stream)) return Lost();
    std::lock_guard<std::mutex> guard(stream->lock);
    if (stream->closed) return BadHandle("stream");
    if (iOperation != ACQ_QUEUE_UNQUEUED_TO_INPUT) {
      if (const GC_ERROR flushed = FromLibrary(lib::FlushQueue(stream->lib), "flushing the queue")) return flushed;
      for (auto &buffer : stream->buffers) buffer->queued = false;
      stream->input.clear();
      if (iOperation == ACQ_QUEUE_ALL_DISCARD) return GC_ERR_SUCCESS;
    }
    for (auto &buffer : stream->buffers)
      if (!buffer->queued)
        if (const GC_ERROR queued = QueueLocked(*stream, *buffer)) return queued;
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSStartAcquisition(DS_HANDLE hDataStream, ACQ_START_FLAGS, uint64_t iNumToAcquire) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (iNumToAcquire == 0) return Fail(GC_ERR_INVALID_PARAMETER, "no frames to acquire");
    if (DeviceLostFor(*stream)) return Lost();
    std::shared_ptr<Event> event;
    {
      std::lock_guard<std::mutex> guard(stream->lock);
      if (stream->closed) return BadHandle("stream");
      if (stream->grabbing) return Fail(GC_ERR_RESOURCE_IN_USE, "acquisition runs already");
      if (const GC_ERROR started = FromLibrary(lib::Start(stream->lib), "starting acquisition")) return started;
      stream->grabbing = true;
      stream->toAcquire = iNumToAcquire == GENTL_INFINITE ? 0 : iNumToAcquire;
      event = stream->newBufferEvent;
    }
    if (event) {
      std::lock_guard<std::mutex> guard(event->lock);
      event->changed.notify_all();
    }
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSStopAcquisition(DS_HANDLE hDataStream, ACQ_STOP_FLAGS) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (DeviceLostFor(*stream)) return Lost();
    {
      // A stream that stopped by itself (its frames all came) or never
      // started stops at once.
      std::lock_guard<std::mutex> guard(stream->lock);
      if (!stream->grabbing) return GC_ERR_SUCCESS;
      stream->grabbing = false;
    }
    // Ends a pending library wait at once; the lock is not held meanwhile.
    return FromLibrary(lib::Stop(stream->lib), "stopping acquisition");
  });
}

ZAR_GENTL_API DSGetInfo(DS_HANDLE hDataStream, STREAM_INFO_CMD iInfoCmd, INFO_DATATYPE *piType, void *pBuffer,
                        size_t *piSize) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    return StreamInfo(*stream, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API DSGetBufferID(DS_HANDLE hDataStream, uint32_t iIndex, BUFFER_HANDLE *phBuffer) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (phBuffer == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the handle pointer is null");
    std::lock_guard<std::mutex> guard(stream->lock);
    if (iIndex >= stream->buffers.size()) return Fail(GC_ERR_INVALID_INDEX, "no buffer at that index");
    *phBuffer = stream->buffers[iIndex].get();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSGetBufferInfo(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, BUFFER_INFO_CMD iInfoCmd,
                              INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    std::lock_guard<std::mutex> guard(stream->lock);
    const Buffer *buffer = stream->FindBuffer(hBuffer);
    if (buffer == nullptr) return BadHandle("buffer");
    const bool acquiring = stream->grabbing && !stream->input.empty() && stream->input.front() == buffer;
    return BufferInfo(*buffer, acquiring, iInfoCmd, piType, pBuffer, piSize);
  });
}

ZAR_GENTL_API DSGetBufferChunkData(DS_HANDLE, BUFFER_HANDLE, SINGLE_CHUNK_DATA *, size_t *) {
  return Guarded([] { return Fail(GC_ERR_NOT_IMPLEMENTED, "frames carry no chunk data"); });
}

ZAR_GENTL_API DSGetNumBufferParts(DS_HANDLE, BUFFER_HANDLE, uint32_t *) {
  return Guarded([] { return Fail(GC_ERR_NOT_IMPLEMENTED, "buffers hold one image, not parts"); });
}

ZAR_GENTL_API DSGetBufferPartInfo(DS_HANDLE, BUFFER_HANDLE, uint32_t, BUFFER_PART_INFO_CMD, INFO_DATATYPE *, void *,
                                  size_t *) {
  return Guarded([] { return Fail(GC_ERR_NOT_IMPLEMENTED, "buffers hold one image, not parts"); });
}

} // extern "C"
