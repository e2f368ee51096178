#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "acquisition/buffer.h"
#include "acquisition/data_stream.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "registry/interface.h"
#include "registry/open_devices.h"
#include "test_main.h"
#include "trace/trace.h"

using namespace oxa::ZarUsb;
using zar_test::WaitFor;

namespace {

using Reply = std::function<void(uint8_t *out, uint32_t outLength)>;

// A request as sent: its input, and its output buffer as it was then.
struct Recorded { uint32_t code; bool overlapped; const void *in; std::vector<uint8_t> input, output; };
// Fails with `error`, or is held (`pend`) until CompleteHeld or a cancel, or writes `reply` in the output.
struct Answer { uint32_t error = 0; bool pend = false; Reply reply; };

// A DeviceIo that records every request and answers as scripted (an empty script answers success). A held request stays
// until CompleteHeld or a cancel, after which nothing of it is touched, as the system guarantees.
class FakeDevice : public os::DeviceIo {
public:
  std::deque<Answer> script;
  std::vector<Recorded> log;
  int cancels = 0;
  std::function<void()> onCancelAll, onClose;

  ~FakeDevice() override { if (onClose) onClose(); }
  uint32_t Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                   uint32_t *bytes) noexcept override {
    *bytes = outLength;
    return Take(code, in, inLength, out, outLength, nullptr);
  }
  uint32_t Submit(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  os::IoRequest &r) noexcept override { return Take(code, in, inLength, out, outLength, &r); }
  uint32_t Result(os::IoRequest &r, uint32_t *bytes) noexcept override { *bytes = r.Bytes(); return r.Status(); }
  void Cancel(os::IoRequest &request) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++cancels;
    if (m_held.request == &request) Finish(nullptr, os::kErrorOperationAborted);
  }
  uint32_t CancelAll() noexcept override { if (onCancelAll) onCancelAll(); return 0; }
  // False when nothing is held any more (it was cancelled).
  bool CompleteHeld(const Reply &reply, uint32_t status = 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.request != nullptr && (Finish(reply, status), true);
  }
  bool Holding() { std::lock_guard<std::mutex> lock(m_mutex); return m_held.request != nullptr; }

private:
  uint32_t Take(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                os::IoRequest *request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto bytes = [](const void *p, uint32_t n) {
      const auto *b = static_cast<const uint8_t *>(p);
      return b == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(b, b + n);
    };
    log.push_back({code, request != nullptr, in, bytes(in, inLength), bytes(out, outLength)});
    Answer answer;
    if (!script.empty()) answer = script.front(), script.pop_front();
    if (answer.pend) m_held = {request, static_cast<uint8_t *>(out), outLength};
    if (answer.pend || answer.error != 0) return answer.pend ? os::kErrorIoPending : answer.error;
    if (answer.reply) answer.reply(static_cast<uint8_t *>(out), outLength);
    if (request != nullptr) request->Complete(0, outLength);
    return 0;
  }
  void Finish(const Reply &reply, uint32_t status) {
    if (reply) reply(m_held.out, m_held.outLength);
    m_held.request->Complete(status, status == os::kErrorOperationAborted ? 0 : m_held.outLength);
    m_held = {};
  }

  struct Held { os::IoRequest *request = nullptr; uint8_t *out = nullptr; uint32_t outLength = 0; } m_held;
  std::mutex m_mutex;
};

std::vector<uint8_t> LE(std::initializer_list<std::pair<uint64_t, size_t>> fields) {
  std::vector<uint8_t> bytes;
  for (const auto &[value, width] : fields)
    for (size_t i = 0; i < width; ++i) bytes.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
  return bytes;
}
Reply Writes(std::vector<uint8_t> bytes) {
  return [bytes](uint8_t *out, uint32_t) { std::memcpy(out, bytes.data(), bytes.size()); };
}
Reply Word(uint32_t value) { return Writes(LE({{value, 4}})); }

struct Scripted {
  FakeDevice *fake = nullptr;
  std::unique_ptr<CDriverInterface> driver = std::make_unique<CDriverInterface>(
      "\\\\?\\usb#fake", [this](const char *, uint32_t *error) -> std::unique_ptr<os::DeviceIo> {
        auto device = std::make_unique<FakeDevice>();
        fake = device.get();
        *error = 0;
        return device;
      });
  // Runs the call on another thread until the driver holds its request.
  template <class Call> std::future<uint32_t> Pending(Call call) {
    fake->script.push_back({0, true, nullptr});
    auto result = std::async(std::launch::async, call);
    EXPECT_TRUE(WaitFor([&] { return fake->Holding(); }));
    return result;
  }
};

// The requests answered by the driver's outcome word; firstWord 0: the buffer's tag.
struct WordRequest {
  const char *name;
  uint32_t code, inLength, firstWord;
  std::function<uint32_t(CDriverInterface &, uint8_t *buffer, uint32_t *word)> call;
};
const WordRequest kWordRequests[] = {
    {"LockBuffer", 0x222023, 64, 0, [](CDriverInterface &d, uint8_t *b, uint32_t *w) { return d.LockBuffer(b, 64, w); }},
    {"QueueBuffer", 0x222024, 4, 0x11223344,
     [](CDriverInterface &d, uint8_t *, uint32_t *w) { return d.QueueBuffer(0x11223344, w); }},
    {"FreeBuffer", 0x222030, 4, 0, [](CDriverInterface &d, uint8_t *b, uint32_t *w) { return d.FreeBuffer(b, w); }},
    {"StartStopStream", 0x222034, 4, 1,
     [](CDriverInterface &d, uint8_t *, uint32_t *w) { return d.StartStopStream(1, w); }},
};

// Every request byte for byte. Reads and writes of each access mode copy no more than asked; a byte count above the
// request is cut to it; a read the driver answers without writing the reply keeps the preset word, a failure.
TEST(DriverInterface, RequestsAreSentByteForByteAndCopyNoMoreThanAsked) {
  for (uint32_t mode : {0u, 1u, 2u}) {
    SCOPED_TRACE(mode);
    Scripted s;
    // Counts of 100, more than the 5 bytes asked and the 3 sent.
    s.fake->script.push_back({0, false, Writes(LE({{100, 8}, {0, 4}, {0x0504030201, 5}}))});
    s.fake->script.push_back({0, false, Writes(LE({{100, 8}, {9, 4}}))});
    std::vector<uint8_t> destination(8, 0xEE);
    uint64_t size = 5;
    uint32_t word = 77;
    ASSERT_EQ(s.driver->ReadMem(mode, 0x1234567890ull, destination.data(), &size, &word), 0u);
    EXPECT_EQ(std::tuple(size, word), std::tuple(uint64_t{5}, 0u));
    EXPECT_EQ(destination, LE({{0xEEEEEE0504030201, 8}})) << "nothing past the size asked";
    const uint8_t data[3] = {1, 2, 3};
    size = sizeof data;
    ASSERT_EQ(s.driver->WriteMem(mode, 0xABCD, data, &size, &word), 0u);
    EXPECT_EQ(std::tuple(size, word), std::tuple(uint64_t{3}, 9u));
    ASSERT_EQ(s.driver->ReadMem(mode, 0x60, destination.data(), &size, &word), 0u);
    EXPECT_EQ(word, 30023u) << "unanswered";
    uint64_t absurd = ~0ull;
    EXPECT_EQ(s.driver->WriteMem(mode, 0, data, &absurd, &word), 8u) << "no request larger than 4 GiB";
    ASSERT_EQ(s.fake->log.size(), 3u);

    const Recorded &read = s.fake->log.at(0), &write = s.fake->log.at(1);
    EXPECT_EQ(read.code, (std::array<uint32_t, 3>{0x22201C, 0x222014, 0x222040})[mode]);
    EXPECT_EQ(write.code, (std::array<uint32_t, 3>{0x222018, 0x222010, 0x22203C})[mode]);
    EXPECT_FALSE(read.overlapped || write.overlapped);
    EXPECT_EQ(read.input, LE({{0x1234567890ull, 8}, {5, 8}}));
    EXPECT_EQ(read.output, LE({{0, 8}, {30023, 4}, {0, 5}})) << "the error word preset";
    EXPECT_EQ(write.input, LE({{0xABCD, 8}, {3, 8}, {1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(write.output, LE({{0, 12}})) << "the reply zeroed";
  }
  for (const WordRequest &request : kWordRequests) {
    SCOPED_TRACE(request.name);
    Scripted s;
    alignas(8) std::array<uint8_t, 64> buffer{};
    uint32_t word = 99;
    s.fake->script.push_back({0, false, Word(0)});
    ASSERT_EQ(request.call(*s.driver, buffer.data(), &word), 0u);
    const Recorded &sent = s.fake->log.at(0);
    EXPECT_EQ(sent.code, request.code);
    EXPECT_TRUE(sent.overlapped);
    EXPECT_EQ(sent.input, LE({{request.firstWord != 0 ? request.firstWord : driver::DriverTag(buffer.data()), 4},
                              {0, request.inLength - 4}}));
    EXPECT_EQ(sent.output.size(), 4u);
    if (request.code == 0x222023) { EXPECT_EQ(sent.in, buffer.data()) << "the buffer itself is the input"; }
    if (request.code == 0x222034) { EXPECT_EQ(sent.output, LE({{0, 4}})) << "word zeroed before sending"; }
  }
  Scripted s;
  uint32_t word = 99;
  ASSERT_EQ(s.driver->FlushQueue(&word), 0u);
  uint8_t record[80];
  os::IoRequest request;
  ASSERT_TRUE(request.Prepare());
  s.fake->script.push_back({0, true, nullptr});
  EXPECT_EQ(s.driver->GetEvent(record, request), 997u) << "held on the caller's block";
  s.driver->CancelEvent(request);
  EXPECT_FALSE(s.fake->Holding());
  const Recorded &flush = s.fake->log.at(0), &event = s.fake->log.at(1);
  EXPECT_EQ(std::tuple(flush.code, flush.overlapped, flush.input, flush.output),
            std::tuple(0x222028u, false, std::vector<uint8_t>(), LE({{0, 4}})));
  EXPECT_EQ(std::tuple(event.code, event.input.size(), event.output.size()),
            std::tuple(0x222038u, size_t{0}, size_t{80}));
}

// Each request that is still pending after 2000 ms returns 258, and was cancelled before returning: a late completion
// finds nothing to write. So is a wait for a buffer that its wake-up event ends, unless the frame came at once.
TEST(DriverInterface, RequestsNotFinishedInTimeOrWokenAreCancelledBeforeReturning) {
  constexpr size_t kCount = std::size(kWordRequests);
  std::array<Scripted, kCount> drivers;
  std::array<std::future<uint32_t>, kCount> results;
  alignas(8) static uint8_t buffers[kCount][64];
  for (size_t i = 0; i < kCount; ++i) {
    drivers[i].fake->script.push_back({0, true, nullptr});
    results[i] = std::async(std::launch::async, [&, i] {
      uint32_t word = 0; // on this thread's stack: must never be written late
      return kWordRequests[i].call(*drivers[i].driver, buffers[i], &word);
    });
  }
  for (size_t i = 0; i < kCount; ++i) {
    SCOPED_TRACE(kWordRequests[i].name);
    EXPECT_EQ(results[i].get(), 258u);
    EXPECT_EQ(drivers[i].fake->cancels, 1);
    EXPECT_FALSE(drivers[i].fake->CompleteHeld(Word(0xBAD)));
  }
  Scripted &s = drivers[0];
  auto wake = os::Event::Create(true);
  uint8_t record[44];
  auto waited = s.Pending([&] { return s.driver->GetBuffer(0xFFFFFFFF, record, wake.get()); });
  wake->Set();
  EXPECT_EQ(waited.get(), 995u);
  EXPECT_EQ(std::tuple(s.fake->cancels, s.fake->Holding()), std::tuple(2, false));
  s.fake->script.push_back({0, false, Writes(LE({{0xF00D, 4}, {0, 40}}))});
  EXPECT_EQ(s.driver->GetBuffer(10, record, wake.get()), 0u) << "woken before a frame that came at once";
  EXPECT_EQ(record[0], 0x0D);
}

// A buffer completion is judged by its record alone: a driver error in it, or a pending request that fails (its record
// keeping the preset), is a timeout. Word requests that pend and fail never count as done, even with a zero word.
TEST(DriverInterface, FailedRequestsAreNeverTakenForSuccessAndDestructionCancelsThenDeletesItsDeviceThenCloses) {
  Scripted s;
  std::vector<uint8_t> reply = LE({{0x04030201, 4}, {0, 36}, {5, 4}}), record(44);
  std::fill(reply.begin() + 4, reply.begin() + 40, 0xAB);
  s.fake->script.push_back({0, false, Writes(reply)});
  EXPECT_EQ(s.driver->GetBuffer(1000, record.data()), 258u);
  const Recorded &sent = s.fake->log.at(0);
  EXPECT_EQ(std::tuple(sent.code, sent.input, sent.output),
            std::tuple(0x22202Cu, LE({{1000, 4}}), LE({{0, 40}, {30020, 4}})))
      << "the timeout goes to the driver, the error word preset";
  EXPECT_EQ(record, LE({{0x04030201, 4}, {0, 36}, {5, 4}})) << "the tag kept, the frame's information cleared";

  record.assign(44, 0x77);
  auto waited = s.Pending([&] { return s.driver->GetBuffer(100, record.data()); });
  ASSERT_TRUE(s.fake->CompleteHeld(nullptr, 1167));
  EXPECT_EQ(waited.get(), 258u);
  EXPECT_EQ(record, LE({{0x77777777, 4}, {0, 36}, {30020, 4}}))
      << "the tag as it stood, the frame's information cleared, the preset";

  alignas(8) uint8_t buffer[64] = {};
  for (const WordRequest &request : kWordRequests)
    for (const uint32_t status : {1167u, 0u}) { // and one that finishes in time
      uint32_t word = 0;
      auto sent = s.Pending([&] { return request.call(*s.driver, buffer, &word); });
      ASSERT_TRUE(s.fake->CompleteHeld(Word(0), status));
      EXPECT_EQ(sent.get(), status) << request.name;
    }
  EXPECT_EQ(s.fake->cancels, 0);

  // Pending requests are cancelled before the handle closes; a driver interface that goes while a device uses it takes
  // that device out of its interface first, and a thread still holding the device keeps it whole.
  const auto usb = std::make_shared<CInterface>("USB");
  const std::shared_ptr<CDevice> device = usb->AddDevice("ZC1000_#LINK", 3);
  ASSERT_NE(device, nullptr);
  int cancelAlls = 0;
  bool closed = false, goneBeforeClose = false;
  {
    Scripted linked;
    linked.driver->m_pDevice = device.get();
    linked.fake->onCancelAll = [&] { ++cancelAlls; };
    linked.fake->onClose = [&] {
      EXPECT_EQ(cancelAlls, 1) << "cancelled before the handle closes";
      goneBeforeClose = !OpenDevices::Pin(device.get());
      closed = true;
    };
  }
  EXPECT_TRUE(closed && goneBeforeClose) << "closed, and out of its interface first";
  EXPECT_EQ(usb->FindDevice("ZC1000_#LINK"), nullptr);
  EXPECT_EQ(device->GetName(), "ZC1000_#LINK");
  uint64_t size = 4;
  EXPECT_EQ(device->ReadData(0, buffer, &size), -6) << "closed: no driver";
}

// IDs stay unique when buffers share their addresses' low 32 bits: the taken candidate is held by a buffer after the
// new one and the next number by one before it, which a walk that only went on from the match would give twice.
TEST(BufferIds, ATakenIdMovesOnPastEveryIdOfTheSetWhereverItIs) {
  const auto usb = std::make_shared<CInterface>("USB");
  const std::shared_ptr<CDevice> device = usb->AddDevice("ZC1000_#IDS", 6);
  uint8_t memory[3][16] = {};
  auto stream = std::make_unique<CDataStream>(device.get());
  std::array<CBuffer *, 3> buffers{};
  for (size_t i = 0; i < buffers.size(); ++i) buffers[i] = new CBuffer(stream.get(), memory[i], 16, true, nullptr);
  std::sort(buffers.begin(), buffers.end()); // the stream's order
  const auto [first, middle, last] = buffers;
  EXPECT_EQ(stream->AssignBufferID(first), AddressLow32(first));
  EXPECT_EQ(stream->AssignBufferID(last), AddressLow32(last));
  const uint32_t candidate = AddressLow32(middle);
  last->m_unID = candidate;
  first->m_unID = candidate + 1;
  EXPECT_EQ(stream->AssignBufferID(middle), candidate + 2);
  std::set<uint32_t> ids;
  for (uint32_t index = 0, id = 0; stream->GetBufferID(index, &id) == ZAR_SUCCESS; ++index) ids.insert(id);
  EXPECT_EQ(ids, (std::set<uint32_t>{candidate, candidate + 1, candidate + 2}));
  stream.reset();
  usb->DeleteDevice(device.get());
}


} // namespace
