#include "emulator/virtual_driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "driver/driver_requests.h"
#include "emulator/bus.h"
#include "emulator/camera_registers.h"
#include "emulator/emulator.h"
#include "emulator/test_pattern.h"
#include "os/exclusive_file.h"
#include "os/named_event.h"
#include "os/system_info.h"

namespace oxa::ZarUsb::emulator {

namespace {

using Clock = std::chrono::steady_clock;
using namespace driver;

constexpr uint32_t kErrorInvalidFunction = 1;

struct Pending {
  os::IoRequest *request;
  void *out;
  uint32_t thread;
  bool hasDeadline;
  Clock::time_point deadline;
};

struct LockedBuffer {
  uint8_t *data;
  uint32_t size;
  bool queued;
};

// Index of a control code in kControlCodes, or -1.
int RequestIndex(uint32_t code) {
  for (int i = 0; i < 13; ++i)
    if (kControlCodes[i] == code) return i;
  return -1;
}

uint32_t ModeOf(uint32_t code) {
  if (code == kWriteMemMode1 || code == kReadMemMode1) return kAccessCamera;
  if (code == kWriteMemMode2 || code == kReadMemMode2) return kAccessCustomFeature;
  return kAccessTransportLayer;
}

void PutWord(void *out, uint32_t word) { std::memcpy(out, &word, sizeof word); }

uint32_t GetWord(const void *in) {
  uint32_t word;
  std::memcpy(&word, in, sizeof word);
  return word;
}

class VirtualDriver final : public os::DeviceIo {
public:
  VirtualDriver(Bus &bus, uint32_t slot, uint32_t generation)
      : m_bus(bus), m_slot(slot), m_generation(generation), m_opened(Clock::now()) {}

  uint32_t Open() {
    {
      Bus::Guard guard(m_bus);
      if (m_bus.Camera(guard, m_slot, m_generation) == nullptr) return os::kErrorFileNotFound;
    }
    const uint32_t claimed = m_claim.Open("emulator-camera-" + std::to_string(m_slot) + "-" +
                                          std::to_string(m_generation) + ".lock");
    if (claimed != 0) return claimed;
    if (const uint32_t error = m_outside.Create(WakeEventName(m_slot, m_generation)); error != 0) return error;
    {
      Bus::Guard guard(m_bus);
      CameraSlot *camera = m_bus.Camera(guard, m_slot, m_generation);
      if (camera == nullptr) return os::kErrorFileNotFound;
      camera->holderProcess = os::CurrentProcessId();
      camera->streaming = 0;
    }
    try {
      m_worker = std::thread([this] { Work(); });
      m_listener = std::thread([this] { Listen(); });
    } catch (...) {
      return os::kErrorNotEnoughMemory;
    }
    return 0;
  }

  ~VirtualDriver() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopping = true;
    }
    m_wake.notify_all();
    m_outside.Set();
    if (m_worker.joinable()) m_worker.join();
    if (m_listener.joinable()) m_listener.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    CancelWhere([](const Pending &) { return true; });
    if (!m_claim.IsOpen()) return;
    Bus::Guard guard(m_bus);
    if (CameraSlot *camera = m_bus.Camera(guard, m_slot, m_generation)) {
      camera->holderProcess = 0;
      camera->streaming = 0;
    }
  }

  uint32_t Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                   uint32_t *bytes) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t count = 0;
    const uint32_t result = Dispatch(code, in, inLength, out, outLength, nullptr, &count);
    if (bytes != nullptr) *bytes = count;
    return result;
  }

  uint32_t Submit(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  os::IoRequest &request) noexcept override {
    uint32_t result;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      uint32_t count = 0;
      result = Dispatch(code, in, inLength, out, outLength, &request, &count);
      if (result == 0) request.Complete(0, count);
    }
    m_wake.notify_all();
    return result;
  }

  uint32_t Result(os::IoRequest &request, uint32_t *bytes) noexcept override {
    if (bytes != nullptr) *bytes = request.Bytes();
    return request.Status();
  }

  void Cancel(os::IoRequest &request) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    CancelWhere([&](const Pending &pending) { return pending.request == &request; });
  }

  uint32_t CancelAll() noexcept override {
    const uint32_t thread = os::CurrentThreadId();
    std::lock_guard<std::mutex> lock(m_mutex);
    CancelWhere([&](const Pending &pending) { return pending.thread == thread; });
    return 0;
  }

private:
  template <class Match> void CancelWhere(Match match) {
    for (auto *list : {&m_bufferWaits, &m_eventWaits, &m_held}) {
      for (auto item = list->begin(); item != list->end();) {
        if (match(*item)) {
          item->request->Complete(os::kErrorOperationAborted, 0);
          item = list->erase(item);
        } else {
          ++item;
        }
      }
    }
  }

  // Runs one request with m_mutex held. 0: done, *bytes written to out;
  // 997: the driver holds it (only when request is given); else the error.
  uint32_t Dispatch(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                    os::IoRequest *request, uint32_t *bytes) {
    if (m_removed) return os::kErrorDeviceNotConnected;
    const int index = RequestIndex(code);
    if (index < 0) return kErrorInvalidFunction;
    Bus::Guard guard(m_bus);
    CameraSlot *camera = m_bus.Camera(guard, m_slot, m_generation);
    if (camera == nullptr) {
      Removed();
      return os::kErrorDeviceNotConnected;
    }
    FaultEntry fault{};
    FaultEntry &armed = camera->faults[index];
    if (armed.remaining != 0 && armed.skip != 0) {
      --armed.skip;
    } else if (armed.remaining != 0) {
      --armed.remaining;
      fault = armed;
    }
    const auto kind = static_cast<FaultKind>(fault.kind);
    if (kind == FaultKind::SystemError) return fault.value != 0 ? fault.value : os::kErrorGenFailure;
    if (kind == FaultKind::Pend) return Hold(m_held, request, out, false, 0);
    const uint32_t injectedWord = kind == FaultKind::DriverError ? fault.value : 0;
    const bool countFault = kind == FaultKind::ByteCount;

    switch (code) {
    case kReadMemMode0:
    case kReadMemMode1:
    case kReadMemMode2: {
      if (in == nullptr || out == nullptr || inLength < sizeof(ReadRequest) || outLength < sizeof(ReadReplyHeader))
        return os::kErrorInvalidParameter;
      ReadRequest read;
      std::memcpy(&read, in, sizeof read);
      uint8_t *data = static_cast<uint8_t *>(out) + sizeof(ReadReplyHeader);
      uint32_t word = read.size > outLength - sizeof(ReadReplyHeader) ? error_word::kMalformed : injectedWord;
      if (word == 0) word = ReadRegisters(*camera, ModeOf(code), read.address, data, read.size);
      const ReadReplyHeader reply{countFault ? fault.value : (word == 0 ? read.size : 0), word};
      std::memcpy(out, &reply, sizeof reply);
      *bytes = static_cast<uint32_t>(sizeof reply + (word == 0 ? read.size : 0));
      return 0;
    }
    case kWriteMemMode0:
    case kWriteMemMode1:
    case kWriteMemMode2: {
      if (in == nullptr || out == nullptr || inLength < sizeof(WriteRequestHeader) || outLength < sizeof(WriteReply))
        return os::kErrorInvalidParameter;
      WriteRequestHeader write;
      std::memcpy(&write, in, sizeof write);
      uint32_t word = write.size != inLength - sizeof write ? error_word::kMalformed : injectedWord;
      const uint32_t eventTail = camera->eventTail, triggers = camera->triggers;
      if (word == 0)
        word = WriteRegisters(*camera, ModeOf(code), write.address,
                              static_cast<const uint8_t *>(in) + sizeof write, write.size);
      // The test-event register queued an event, or a software trigger asks for a frame.
      if (camera->eventTail != eventTail || camera->triggers != triggers) m_wake.notify_one();
      const WriteReply reply{countFault ? fault.value : (word == 0 ? write.size : 0), word};
      std::memcpy(out, &reply, sizeof reply);
      *bytes = sizeof reply;
      return 0;
    }
    case kGetBuffer: {
      if (in == nullptr || out == nullptr || inLength < 4 || outLength < sizeof(BufferCompletion))
        return os::kErrorInvalidParameter;
      if (injectedWord != 0 || !m_filled.empty()) {
        BufferCompletion completion{};
        if (injectedWord != 0) {
          completion.driverError = injectedWord;
        } else {
          completion = m_filled.front();
          m_filled.pop_front();
        }
        std::memcpy(out, &completion, sizeof completion);
        *bytes = countFault ? fault.value : sizeof completion;
        return 0;
      }
      const uint32_t timeout = GetWord(in);
      return Hold(m_bufferWaits, request, out, timeout != os::Event::kInfinite, timeout);
    }
    case kGetEvent: {
      if (out == nullptr || outLength < sizeof(EventRecord)) return os::kErrorInvalidParameter;
      // The driver holds every event request, also when an event is already
      // queued: the worker completes it at once.
      if (kind != FaultKind::AtOnce) {
        m_wake.notify_one();
        return Hold(m_eventWaits, request, out, false, 0);
      }
      if (camera->eventHead != camera->eventTail) PopEvent(*camera, out);
      *bytes = countFault ? fault.value : sizeof(EventRecord);
      return 0;
    }
    default:
      break;
    }

    // The buffer and stream requests answer with one driver error word.
    if (out == nullptr || outLength < 4) return os::kErrorInvalidParameter;
    uint32_t word = injectedWord;
    if (word == 0) {
      if (code == kLockBuffer) {
        word = LockBuffer(static_cast<uint8_t *>(const_cast<void *>(in)), inLength);
      } else if (code == kFlushQueue) {
        for (auto &buffer : m_buffers) buffer.second.queued = false;
        m_queue.clear();
        m_filled.clear();
      } else if (in == nullptr || inLength < 4) {
        return os::kErrorInvalidParameter;
      } else if (code == kQueueBuffer) {
        word = QueueBuffer(GetWord(in));
      } else if (code == kFreeBuffer) {
        word = FreeBuffer(GetWord(in));
      } else { // kStartStopStream
        camera->streaming = GetWord(in) == kStreamStart ? 1 : 0;
        m_nextFrame = Clock::now();
      }
    }
    PutWord(out, word);
    *bytes = countFault ? fault.value : 4;
    return 0;
  }

  uint32_t Hold(std::deque<Pending> &list, os::IoRequest *request, void *out, bool hasDeadline, uint32_t timeoutMs) {
    if (request == nullptr) return os::kErrorIoPending;
    list.push_back({request, out, os::CurrentThreadId(), hasDeadline,
                    Clock::now() + std::chrono::milliseconds(timeoutMs)});
    return os::kErrorIoPending;
  }

  uint32_t LockBuffer(uint8_t *data, uint32_t size) {
    if (data == nullptr) return error_word::kUnknownBuffer;
    if (size < 4) return error_word::kBufferTooSmall;
    const uint32_t tag = DriverTag(data);
    if (m_buffers.count(tag) != 0) return error_word::kBufferState;
    m_buffers[tag] = {data, size, false};
    return 0;
  }

  uint32_t QueueBuffer(uint32_t tag) {
    const auto found = m_buffers.find(tag);
    if (found == m_buffers.end()) return error_word::kUnknownBuffer;
    if (found->second.queued) return error_word::kBufferState;
    found->second.queued = true;
    m_queue.push_back(tag);
    return 0;
  }

  uint32_t FreeBuffer(uint32_t tag) {
    if (m_buffers.erase(tag) == 0) return error_word::kUnknownBuffer;
    m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), tag), m_queue.end());
    m_filled.erase(std::remove_if(m_filled.begin(), m_filled.end(),
                                  [tag](const BufferCompletion &done) { return done.tag == tag; }),
                   m_filled.end());
    return 0;
  }

  static void PopEvent(CameraSlot &camera, void *out) {
    const EventEntry &entry = camera.events[camera.eventHead % kEventQueueLength];
    EventRecord record{};
    record.id = entry.id;
    record.length = entry.length;
    std::memcpy(record.data, entry.data, sizeof record.data);
    std::memcpy(out, &record, sizeof record);
    ++camera.eventHead;
  }

  // The camera left the bus: everything pending and later fails.
  void Removed() {
    m_removed = true;
    for (auto *list : {&m_bufferWaits, &m_eventWaits, &m_held}) {
      for (const Pending &pending : *list) pending.request->Complete(os::kErrorDeviceNotConnected, 0);
      list->clear();
    }
    m_queue.clear();
    m_filled.clear();
  }

  // The worker sleeps until a request comes, the wake event is set (an event
  // raised or the camera unplugged, from any process), or the next frame or
  // a GetBuffer deadline is due. Whatever changes its state does so under
  // m_mutex and notifies m_wake afterwards; the worker holds m_mutex from its
  // look at the state until it waits, so no change goes unseen. A camera
  // unplugged by a process that died before it set the wake event is seen
  // at the next request.
  void Work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
      if (!m_removed) Tick(Clock::now());
      std::optional<Clock::time_point> wake;
      if (m_streaming && !m_queue.empty() && !m_awaitingTrigger) wake = m_nextFrame;
      for (const Pending &pending : m_bufferWaits)
        if (pending.hasDeadline) wake = std::min(wake.value_or(pending.deadline), pending.deadline);
      if (wake)
        m_wake.wait_until(lock, *wake);
      else
        m_wake.wait(lock);
    }
  }

  // Hands each set of the wake event to the worker. A thread of its own, so
  // that the worker keeps one wait (m_wake) for everything else. Taking
  // m_mutex before notifying means that the worker is waiting or has yet to
  // look at the bus.
  void Listen() {
    while (m_outside.Wait(os::Event::kInfinite)) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
      }
      m_wake.notify_all();
    }
  }

  void Tick(Clock::time_point now) {
    {
      Bus::Guard guard(m_bus);
      CameraSlot *camera = m_bus.Camera(guard, m_slot, m_generation);
      if (camera == nullptr) {
        Removed();
        return;
      }
      while (!m_eventWaits.empty() && camera->eventHead != camera->eventTail) {
        PopEvent(*camera, m_eventWaits.front().out);
        m_eventWaits.front().request->Complete(0, sizeof(EventRecord));
        m_eventWaits.pop_front();
      }
      m_streaming = camera->streaming != 0;
      // The frame is written under the bus lock: an unplug either comes
      // before it (no frame) or after it. In trigger mode each software
      // trigger makes one frame, when a buffer is queued.
      if (camera->triggerMode != 0) {
        if (m_streaming && !m_queue.empty() && camera->triggers != 0) {
          --camera->triggers;
          WriteFrame(*camera, now);
        }
      } else if (m_streaming && !m_queue.empty() && now >= m_nextFrame) {
        WriteFrame(*camera, now);
      }
      m_awaitingTrigger = camera->triggerMode != 0 && camera->triggers == 0;
    }
    while (!m_bufferWaits.empty() && !m_filled.empty()) {
      std::memcpy(m_bufferWaits.front().out, &m_filled.front(), sizeof(BufferCompletion));
      m_bufferWaits.front().request->Complete(0, sizeof(BufferCompletion));
      m_bufferWaits.pop_front();
      m_filled.pop_front();
    }
    for (auto item = m_bufferWaits.begin(); item != m_bufferWaits.end();) {
      if (item->hasDeadline && item->deadline <= now) {
        BufferCompletion timedOut{};
        timedOut.driverError = error_word::kTimeout;
        std::memcpy(item->out, &timedOut, sizeof timedOut);
        item->request->Complete(0, sizeof timedOut);
        item = m_bufferWaits.erase(item);
      } else {
        ++item;
      }
    }
  }

  // Frames follow the camera's cadence: each is stamped with its slot on the
  // frame-rate grid, and slots missed while no buffer was queued (or the
  // worker was late) are dropped, as a free-running sensor drops them. At
  // rate 0, and in trigger mode, a frame is made as soon as a buffer is
  // queued (and a trigger came).
  void WriteFrame(const CameraSlot &camera, Clock::time_point now) {
    Clock::time_point stamp = now;
    if (camera.frameRateMilli != 0 && camera.triggerMode == 0) {
      const auto period = std::chrono::nanoseconds(1000000000000ull / camera.frameRateMilli);
      while (m_nextFrame + period <= now) m_nextFrame += period;
      stamp = m_nextFrame;
      m_nextFrame += period;
    } else {
      m_nextFrame = now;
    }
    const uint32_t tag = m_queue.front();
    m_queue.pop_front();
    LockedBuffer &buffer = m_buffers.at(tag);
    buffer.queued = false;
    const uint32_t payload = camera.width * camera.height * BytesPerPixel(camera.pixelFormat);
    ++m_frameId;
    const float brightness = camera.exposureUs / kReferenceExposureUs * std::pow(10.0f, camera.gainDb / 20.0f);
    const uint32_t written = m_pattern.Write(buffer.data, buffer.size, camera.width, camera.height, camera.pixelFormat,
                                             m_frameId, {camera.offsetX, camera.offsetY, brightness});
    const FrameInfo info{m_frameId,
                         static_cast<uint64_t>(
                             std::chrono::duration_cast<std::chrono::microseconds>(stamp - m_opened).count()),
                         camera.width, camera.height, camera.pixelFormat, written};
    BufferCompletion completion{};
    completion.tag = tag;
    std::memcpy(completion.frameInfo, &info, sizeof info);
    completion.frameValue = payload;
    m_filled.push_back(completion);
  }

  Bus &m_bus;
  const uint32_t m_slot;
  const uint32_t m_generation;
  const Clock::time_point m_opened;
  os::ExclusiveFile m_claim;
  os::NamedEvent m_outside; // closed before the claim ends: one owner per name
  std::mutex m_mutex; // guards everything below; taken before the bus lock
  std::condition_variable m_wake;
  bool m_stopping = false;
  bool m_removed = false;
  bool m_streaming = false;
  bool m_awaitingTrigger = false; // trigger mode, and no trigger to answer
  std::map<uint32_t, LockedBuffer> m_buffers;
  std::deque<uint32_t> m_queue;
  std::deque<BufferCompletion> m_filled;
  std::deque<Pending> m_bufferWaits, m_eventWaits, m_held;
  Clock::time_point m_nextFrame = Clock::now();
  uint64_t m_frameId = 0;
  TestPattern m_pattern;
  std::thread m_worker;
  std::thread m_listener;
};

} // namespace

bool IsEmulatedPath(const char *path) noexcept {
  uint32_t slot = 0, generation = 0;
  return ParseDevicePath(path, &slot, &generation);
}

std::unique_ptr<os::DeviceIo> OpenVirtualDriver(const char *path, uint32_t *error) noexcept {
  uint32_t slot = 0, generation = 0;
  Bus *bus = Bus::Get();
  if (!ParseDevicePath(path, &slot, &generation) || bus == nullptr) {
    *error = os::kErrorFileNotFound;
    return nullptr;
  }
  std::unique_ptr<VirtualDriver> driver(new (std::nothrow) VirtualDriver(*bus, slot, generation));
  if (!driver) {
    *error = os::kErrorNotEnoughMemory;
    return nullptr;
  }
  *error = driver->Open();
  if (*error != 0) return nullptr;
  return driver;
}

} // namespace oxa::ZarUsb::emulator
