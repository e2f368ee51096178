// The data stream module and its buffers: announcement in application or
// library memory, the input pool and output queue, acquisition, and the
// delivery of filled buffers behind the stream's new-buffer event.
//
// Delivery. The library's wait for a filled buffer holds the library's
// stream: its other calls wait until the wait ends, which a frame, the
// wait's timeout, a stop, a close or an unplug does. Stopping a started
// stream stops the camera, so nothing a consumer would not notice can end a
// wait while acquisition runs (stopping a stopped stream ends a wait and
// does nothing else). So no consumer thread ever waits in the library.
// Each stream, once started, has a thread of its own, the deliverer: while
// acquisition runs and the library holds a queued buffer, it waits in the
// library and moves each filled buffer to the output queue. EventGetData
// waits on `arrived` for the output queue, an EventKill, an unregistration,
// a close or an unplug, each of which wakes it at once. A frame that comes
// while no one waits stays in the output queue for the next EventGetData,
// so a kill neither loses nor repeats one.
//
// The deliverer holds no lock of ours while it is in the library. A buffer
// queued meanwhile goes to the pending list, and the deliverer gives it to
// the library as soon as its wait ends, before the next: the library's queue
// is never empty while the deliverer waits, so the camera never lacks a
// buffer that the consumer gave back. A call that must reach the library
// while a wait may be under way (a flush of the library's queue) raises
// holdOff, so that the deliverer begins no further wait, and makes its call
// without the stream's lock: EventGetData, EventKill and DSQueueBuffer
// never wait for a library wait. The flush waits until the current wait
// ends, at the next frame or after kWaitMs (as long, when that wait began
// just after the flush emptied the library's queue, for pending buffers).
//
// Stopping and closing change the state under the stream's lock and then
// stop the library's stream, which ends the wait under way. A wait the
// deliverer began just after that stop would hold the stopped stream until
// its timeout; while the deliverer is still in the library they stop the
// stopped stream again, which only ends that wait (LeaveLibrary). A close
// then joins the deliverer before it closes the library's stream, so that no
// call reaches the library's stream after its close.
//
// Cost. A frame passes two threads instead of one. So that a consumer that
// keeps up with the camera does not fall asleep and get woken for every
// frame, EventGetData, finding the output queue empty while the deliverer
// waits in the library, first yields its processor a few times (to the
// deliverer and the camera, when they share it), then sleeps. Wake-ups are
// sent after the lock is let go, so that the woken thread does not wait for
// it at once.
//
// Locks: the stream's, then the library's. The deliverer takes the stream's
// lock only between library calls, and the library calls the producer's
// device callbacks holding none of its locks, so no thread holds a library
// lock while it waits for the stream's.

#include <chrono>
#include <limits>

#include "producer.h"

namespace zar_gentl {

namespace {

// The longest single library wait of the deliverer: how long a flush of the
// library's queue during acquisition waits at most when no frame comes.
constexpr uint32_t kWaitMs = 100;
// How long the deliverer rests after a failed wait of a camera that still
// answers, before it waits again.
constexpr auto kRetryPause = std::chrono::milliseconds(10);
// How long a stop or close gives the deliverer to leave the library before
// it stops the stopped stream again.
constexpr auto kLeavePause = std::chrono::milliseconds(10);
// The camera's payload size register (32-bit): bytes per frame.
constexpr uint64_t kPayloadSizeRegister = 0x10C;

// How often EventGetData yields before it sleeps (see Cost above).
constexpr int kSpins = 4;

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

std::shared_ptr<Stream> FindStream(DS_HANDLE handle) { return Find<Stream>(handle, Kind::Stream); }

GC_ERROR Lost() { return Fail(GC_ERR_IO, "the camera was unplugged"); }

bool IsLost(const Stream &stream) { return stream.deviceLost->load(std::memory_order_relaxed); }

bool Queued(const Buffer &buffer) { return buffer.place == Place::Pending || buffer.place == Place::Input; }

// Whether the camera still answers. A wait that fails may be the first to
// meet an unplug, before the library's callback reports it.
bool CameraAnswers(const Stream &stream) {
  auto device = stream.device.lock();
  uint32_t word = 0;
  uint64_t size = sizeof word;
  return device && !*device->lost && lib::ReadData(device->lib, 0, &word, &size) == kLibSuccess;
}

// A library call on the stream that failed: GC_ERR_IO when the camera no
// longer answers (marked lost, its waits woken), else the library's error.
GC_ERROR Failed(Stream &stream, int32_t status, const char *what) {
  if (!IsLost(stream) && !CameraAnswers(stream)) {
    *stream.deviceLost = true;
    stream.arrived.notify_all();
  }
  return IsLost(stream) ? Lost() : FromLibrary(status, what);
}

uint64_t PayloadSize(Stream &stream) {
  auto device = stream.device.lock();
  uint32_t payload = 0;
  uint64_t size = sizeof payload;
  if (!device || *device->lost || lib::ReadData(device->lib, kPayloadSizeRegister, &payload, &size) != kLibSuccess)
    return 0;
  return payload;
}

void Remove(std::deque<Buffer *> &queue, Buffer *buffer) {
  for (auto at = queue.begin(); at != queue.end(); ++at)
    if (*at == buffer) {
      queue.erase(at);
      return;
    }
}

// Takes a buffer out of whichever queue holds it (under the lock).
void Unqueue(Stream &stream, Buffer &buffer) {
  if (buffer.place == Place::Pending) Remove(stream.pending, &buffer);
  else if (buffer.place == Place::Input) Remove(stream.input, &buffer);
  else if (buffer.place == Place::Output) Remove(stream.output, &buffer);
  buffer.place = Place::Announced;
}

// Gives a buffer to the library's queue (under the lock).
int32_t GiveToLibrary(Stream &stream, Buffer &buffer) {
  const int32_t status = lib::QueueBuffer(stream.lib, buffer.id);
  if (status != kLibSuccess) return status;
  buffer.place = Place::Input;
  stream.input.push_back(&buffer);
  return kLibSuccess;
}

// Gives the pending buffers to the library, in order, once nothing else is
// in it (under the lock). One it refuses (its camera is gone) is announced
// only again.
void FeedPending(Stream &stream) {
  if (stream.inLibraryWait || stream.holdOff != 0 || stream.closed || IsLost(stream)) return;
  while (!stream.pending.empty()) {
    Buffer *buffer = stream.pending.front();
    stream.pending.pop_front();
    if (GiveToLibrary(stream, *buffer) != kLibSuccess) buffer->place = Place::Announced;
  }
}

// Puts a buffer into the input pool (under the lock): into the library's
// queue, or, while the library is busy with this stream, the pending list.
GC_ERROR Enqueue(Stream &stream, Buffer &buffer) {
  buffer.newData = false;
  if (stream.inLibraryWait || stream.holdOff != 0 || !stream.pending.empty()) {
    buffer.place = Place::Pending;
    stream.pending.push_back(&buffer);
    return GC_ERR_SUCCESS;
  }
  if (const int32_t status = GiveToLibrary(stream, buffer)) {
    buffer.place = Place::Announced;
    return Failed(stream, status, "queueing the buffer");
  }
  return GC_ERR_SUCCESS;
}

// Runs a library call that may wait for the deliverer's wait to end: without
// the stream's lock, no new wait beginning meanwhile.
template <class Call> int32_t WithoutLock(Stream &stream, Lock &lock, Call call) {
  ++stream.holdOff;
  lock.unlock();
  const int32_t status = call();
  lock.lock();
  if (--stream.holdOff == 0) {
    FeedPending(stream);
    stream.control.notify_all();
  }
  return status;
}

// Waits until the deliverer is out of the library, after the library's
// stream was stopped (or lost): a wait begun after the stop is ended by
// stopping again, which on a stopped stream does nothing else. The stream's
// lock is let go meanwhile.
void LeaveLibrary(Stream &stream, Lock &lock) {
  ++stream.awaitingDeliverer;
  while (stream.inLibraryWait) {
    if (stream.control.wait_for(lock, kLeavePause, [&] { return !stream.inLibraryWait; })) break;
    if (!IsLost(stream)) {
      lock.unlock();
      lib::Stop(stream.lib);
      lock.lock();
    }
  }
  if (--stream.awaitingDeliverer == 0) stream.control.notify_all();
}

// Moves the filled buffer to the output queue and counts it (under the
// lock); stops acquisition when the frames asked for have all come. Whether
// a consumer waits for it: the caller wakes one once it has let the lock go,
// so that the consumer does not wake only to wait for the lock.
bool Deliver(Stream &stream, const LibFrame &frame) {
  Buffer *filled = !stream.input.empty() && stream.input.front()->id == frame.id ? stream.input.front() : nullptr;
  if (filled != nullptr) {
    stream.input.pop_front();
  } else {
    const auto found = stream.byId.find(frame.id);
    if (found == stream.byId.end()) return false;
    filled = found->second;
    // A flush took it out of the library's queue while the frame came: into
    // the output queue (the frame is kept), or discarded (so is the frame).
    if (filled->place == Place::Input) Remove(stream.input, filled);
    else if (filled->place != Place::Output) return false;
  }
  filled->frame = frame;
  filled->newData = true;
  if (filled->place != Place::Output) {
    filled->place = Place::Output;
    stream.output.push_back(filled);
  }
  ++stream.delivered;
  // Frames the driver numbered but never delivered: no buffer was queued.
  if (stream.lastFrameId != 0 && frame.frameId > stream.lastFrameId + 1)
    stream.underruns += frame.frameId - stream.lastFrameId - 1;
  stream.lastFrameId = frame.frameId;
  if (stream.newBufferEvent) stream.newBufferEvent->fired.fetch_add(1, std::memory_order_relaxed);
  if (stream.toAcquire != 0 && --stream.toAcquire == 0 && stream.grabbing) {
    stream.grabbing = false;
    lib::Stop(stream.lib);
  }
  return stream.consumersWaiting != 0;
}

// The deliverer: waits in the library while acquisition runs and the
// library holds a queued buffer, hands it the pending ones between waits,
// and ends when the stream closes.
void Deliverer(Stream &stream) {
  Lock lock(stream.lock);
  bool wakeConsumer = false; // after the lock is let go
  while (!stream.closed) {
    FeedPending(stream);
    const bool idle = !stream.grabbing || stream.input.empty() || stream.holdOff != 0 || IsLost(stream);
    if (wakeConsumer && idle) {
      wakeConsumer = false;
      lock.unlock();
      stream.arrived.notify_one();
      lock.lock();
      continue;
    }
    if (idle) {
      stream.delivererIdle = true;
      stream.control.wait(lock);
      stream.delivererIdle = false;
      continue;
    }
    stream.inLibraryWait = true;
    lock.unlock();
    if (wakeConsumer) stream.arrived.notify_one();
    wakeConsumer = false;
    LibFrame frame;
    const auto began = Clock::now();
    const int32_t status = lib::WaitForBuffer(stream.lib, kWaitMs, &frame);
    const bool waitedFully = Clock::now() - began >= std::chrono::milliseconds(kWaitMs / 2);
    lock.lock();
    stream.inLibraryWait = false;
    if (stream.awaitingDeliverer != 0) stream.control.notify_all();
    if (status == kLibSuccess) {
      wakeConsumer = Deliver(stream, frame);
      continue;
    }
    // Nothing came in the whole wait; or a stop, close or unplug ended it.
    if ((status == kLibTimeout && waitedFully) || stream.closed || !stream.grabbing || IsLost(stream)) continue;
    // A wait that fails early otherwise: an unplug the library has not
    // reported yet, or a failed frame.
    lock.unlock();
    const bool answers = CameraAnswers(stream);
    lock.lock();
    if (!answers) {
      *stream.deviceLost = true;
      stream.arrived.notify_all();
    } else {
      stream.control.wait_for(lock, kRetryPause);
    }
  }
  if (wakeConsumer) stream.arrived.notify_one();
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
  std::lock_guard<std::mutex> guard(stream.lock);
  if (stream.closed) return BadHandle("stream");
  if (IsLost(stream)) return Lost();
  if (stream.grabbing) return Fail(GC_ERR_ACCESS_DENIED, "buffers are announced while acquisition is stopped");
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

// The stream's numbers, as its info and its port give them.
struct Numbers {
  uint64_t delivered, underruns, announced, queued, awaiting;
  bool grabbing;
};
Numbers CountsOf(Stream &stream) {
  std::lock_guard<std::mutex> guard(stream.lock);
  return {stream.delivered, stream.underruns, stream.buffers.size(), stream.pending.size() + stream.input.size(),
          stream.output.size(), stream.grabbing};
}

GC_ERROR StreamInfo(Stream &stream, STREAM_INFO_CMD command, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  const Numbers numbers = CountsOf(stream);
  const auto size = [&](uint64_t value) {
    return Answer<size_t>(static_cast<size_t>(value), INFO_DATATYPE_SIZET, piType, pBuffer, piSize);
  };
  switch (command) {
  case STREAM_INFO_ID: return AnswerText(kStreamId, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_DELIVERED:
  case STREAM_INFO_NUM_STARTED: return Answer(numbers.delivered, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_UNDERRUN: return Answer(numbers.underruns, INFO_DATATYPE_UINT64, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_ANNOUNCED: return size(numbers.announced);
  case STREAM_INFO_NUM_QUEUED: return size(numbers.queued);
  case STREAM_INFO_NUM_AWAIT_DELIVERY: return size(numbers.awaiting);
  case STREAM_INFO_PAYLOAD_SIZE: return size(PayloadSize(stream));
  case STREAM_INFO_IS_GRABBING: return AnswerBool(numbers.grabbing, piType, pBuffer, piSize);
  case STREAM_INFO_DEFINES_PAYLOADSIZE: return AnswerBool(true, piType, pBuffer, piSize);
  case STREAM_INFO_TLTYPE: return AnswerText(kTLType, piType, pBuffer, piSize);
  case STREAM_INFO_NUM_CHUNKS_MAX: return size(0);
  case STREAM_INFO_BUF_ANNOUNCE_MIN:
  case STREAM_INFO_BUF_ALIGNMENT: return size(1);
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
  case BUFFER_INFO_IS_QUEUED: return flag(Queued(b));
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

void DiscardLocked(std::deque<Buffer *> &queue) {
  for (Buffer *buffer : queue) buffer->place = Place::Announced;
  queue.clear();
}

// What each flush does to the pool and the queue (under the lock, the
// library's queue already flushed where the operation empties it).
void FlushLocked(Stream &stream, ACQ_QUEUE_TYPE operation) {
  switch (operation) {
  case ACQ_QUEUE_INPUT_TO_OUTPUT:
    for (auto *queue : {&stream.input, &stream.pending}) {
      for (Buffer *buffer : *queue) {
        buffer->place = Place::Output; // without new data, as every queued buffer
        stream.output.push_back(buffer);
      }
      queue->clear();
    }
    stream.arrived.notify_all();
    break;
  case ACQ_QUEUE_OUTPUT_DISCARD: DiscardLocked(stream.output); break;
  case ACQ_QUEUE_ALL_DISCARD:
    for (auto *queue : {&stream.input, &stream.pending, &stream.output}) DiscardLocked(*queue);
    break;
  default: // the two that fill the input pool: from the output queue first, then the others
    if (operation == ACQ_QUEUE_ALL_TO_INPUT) {
      for (Buffer *buffer : stream.output) buffer->place = Place::Announced;
      std::deque<Buffer *> output;
      output.swap(stream.output);
      for (Buffer *buffer : output) Enqueue(stream, *buffer);
    }
    for (auto &buffer : stream.buffers)
      if (buffer->place == Place::Announced) Enqueue(stream, *buffer);
    break;
  }
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
  case kStreamOutputBufferCount: *number = numbers.awaiting; return true;
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
  std::thread deliverer;
  {
    Lock lock(stream->lock);
    if (stream->closed) return; // another thread closes it
    stream->closed = true;
    stream->grabbing = false;
    event = std::move(stream->newBufferEvent);
    stream->arrived.notify_all();
    stream->control.notify_all();
    if (stream->inLibraryWait && !IsLost(*stream)) {
      lock.unlock();
      lib::Stop(stream->lib); // ends the wait under way
      lock.lock();
    }
    LeaveLibrary(*stream, lock);
    deliverer = std::move(stream->deliverer);
  }
  if (deliverer.joinable()) deliverer.join();
  if (event) EndEvent(event);
  // A camera that was unplugged has had its stream closed by the library.
  if (!IsLost(*stream)) lib::CloseStream(stream->lib);
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
    return Fail(GC_ERR_BUFFER_TOO_SMALL, "the event data takes " + std::to_string(*piSize) + " bytes");
  }
  const bool bounded = timeoutMs != GENTL_INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::min<uint64_t>(timeoutMs, 1ull << 40));
  Lock lock(stream->lock);
  int spins = 0;
  for (bool timedOut = false;; ) {
    if (event.kills != 0) {
      --event.kills;
      return Fail(GC_ERR_ABORT, "the wait was ended by EventKill");
    }
    if (event.unregistered || stream->closed) return Fail(GC_ERR_ABORT, "the event was unregistered");
    // The memory of a lost camera's buffers may be gone with its stream.
    if (IsLost(*stream)) return Lost();
    if (!stream->output.empty()) {
      Buffer *buffer = stream->output.front();
      stream->output.pop_front();
      buffer->place = Place::Announced;
      *static_cast<EVENT_NEW_BUFFER_DATA *>(pBuffer) = {buffer, buffer->user};
      *piSize = sizeof(EVENT_NEW_BUFFER_DATA);
      return GC_ERR_SUCCESS;
    }
    if (timedOut) return Fail(GC_ERR_TIMEOUT, "no buffer was filled in time");
    if (spins < kSpins && stream->inLibraryWait) {
      ++spins;
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
      continue;
    }
    ++stream->consumersWaiting;
    if (bounded) timedOut = stream->arrived.wait_until(lock, deadline) == std::cv_status::timeout;
    else stream->arrived.wait(lock);
    --stream->consumersWaiting;
  }
}

size_t NewBuffersWaiting(Stream &stream) {
  std::lock_guard<std::mutex> guard(stream.lock);
  return stream.output.size();
}

void DiscardOutput(Stream &stream) {
  std::lock_guard<std::mutex> guard(stream.lock);
  DiscardLocked(stream.output);
}

void StreamDeviceLost(Stream &stream) {
  std::lock_guard<std::mutex> guard(stream.lock);
  stream.arrived.notify_all();
  stream.control.notify_all();
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
    if (stream->grabbing) return Fail(GC_ERR_ACCESS_DENIED, "buffers are revoked while acquisition is stopped");
    if (!IsLost(*stream)) {
      const int32_t revoked = lib::RevokeBuffer(stream->lib, buffer->id);
      if (const GC_ERROR failed = FromLibrary(revoked, "revoking the buffer")) return failed;
    }
    if (ppBuffer != nullptr) *ppBuffer = buffer->producerMemory ? nullptr : buffer->base;
    if (ppPrivate != nullptr) *ppPrivate = buffer->user;
    Unqueue(*stream, *buffer);
    stream->byId.erase(buffer->id);
    std::erase_if(stream->buffers, [&](const std::unique_ptr<Buffer> &held) { return held.get() == buffer; });
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSQueueBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    bool wakeDeliverer;
    {
      std::lock_guard<std::mutex> guard(stream->lock);
      if (stream->closed) return BadHandle("stream");
      if (IsLost(*stream)) return Lost();
      Buffer *buffer = stream->FindBuffer(hBuffer);
      if (buffer == nullptr) return BadHandle("buffer");
      if (buffer->place != Place::Announced) return Fail(GC_ERR_RESOURCE_IN_USE, "the buffer is queued already");
      if (const GC_ERROR failed = Enqueue(*stream, *buffer)) return failed;
      wakeDeliverer = stream->delivererIdle && stream->grabbing;
    }
    // Once the lock is let go, so that the deliverer does not wake only to wait for it.
    if (wakeDeliverer) stream->control.notify_one();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSFlushQueue(DS_HANDLE hDataStream, ACQ_QUEUE_TYPE iOperation) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (iOperation < ACQ_QUEUE_INPUT_TO_OUTPUT || iOperation > ACQ_QUEUE_ALL_DISCARD)
      return Fail(GC_ERR_INVALID_PARAMETER, "no such queue operation");
    Lock lock(stream->lock);
    if (stream->closed) return BadHandle("stream");
    if (IsLost(*stream)) return Lost();
    // Buffers in the library's queue are taken out of it first.
    const bool emptiesInput = iOperation == ACQ_QUEUE_INPUT_TO_OUTPUT || iOperation == ACQ_QUEUE_ALL_DISCARD;
    if (emptiesInput && !stream->input.empty()) {
      const int32_t flushed = WithoutLock(*stream, lock, [&] { return lib::FlushQueue(stream->lib); });
      if (stream->closed) return BadHandle("stream");
      if (flushed != kLibSuccess) return Failed(*stream, flushed, "flushing the queue");
    }
    FlushLocked(*stream, iOperation);
    stream->control.notify_one();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSStartAcquisition(DS_HANDLE hDataStream, ACQ_START_FLAGS, uint64_t iNumToAcquire) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    if (iNumToAcquire == 0) return Fail(GC_ERR_INVALID_PARAMETER, "no frames to acquire");
    Lock lock(stream->lock);
    // A stop or flush still under way in the library ends first.
    stream->control.wait(lock, [&] { return stream->awaitingDeliverer == 0 && stream->holdOff == 0; });
    if (stream->closed) return BadHandle("stream");
    if (IsLost(*stream)) return Lost();
    if (stream->grabbing) return Fail(GC_ERR_RESOURCE_IN_USE, "acquisition runs already");
    if (!stream->deliverer.joinable()) stream->deliverer = std::thread(Deliverer, std::ref(*stream));
    if (const int32_t started = lib::Start(stream->lib)) return Failed(*stream, started, "starting acquisition");
    stream->grabbing = true;
    stream->toAcquire = iNumToAcquire == GENTL_INFINITE ? 0 : iNumToAcquire;
    stream->delivered = stream->underruns = stream->lastFrameId = 0;
    stream->control.notify_one();
    return GC_ERR_SUCCESS;
  });
}

ZAR_GENTL_API DSStopAcquisition(DS_HANDLE hDataStream, ACQ_STOP_FLAGS) {
  return Guarded([&] {
    auto stream = FindStream(hDataStream);
    if (!stream) return BadHandle("stream");
    Lock lock(stream->lock);
    if (stream->closed) return BadHandle("stream");
    if (IsLost(*stream)) return Lost();
    // A stream that stopped by itself (its frames all came) or never
    // started stops at once.
    if (!stream->grabbing) return GC_ERR_SUCCESS;
    stream->grabbing = false;
    // Ends the deliverer's wait at once.
    const int32_t stopped = WithoutLock(*stream, lock, [&] { return lib::Stop(stream->lib); });
    if (stopped == kLibSuccess) {
      LeaveLibrary(*stream, lock);
    } else if (!stream->closed) {
      stream->grabbing = true; // the library counts acquisition as running
      stream->control.notify_one();
    }
    return stopped == kLibSuccess ? GC_ERR_SUCCESS : Failed(*stream, stopped, "stopping acquisition");
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
