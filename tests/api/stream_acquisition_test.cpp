// Data streams and their buffers, their state rules, and streams under driver faults and racing threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "open_stream.h"
#include "os/fixed_memory.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using emulator::FaultKind;
using emulator::Request;
using zar_test::OpenStream;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t Low32(const void *pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

template <class T> T At(const uint8_t *p, size_t at) { T value; std::memcpy(&value, p + at, sizeof value); return value; }

bool All(const uint8_t *from, const uint8_t *to, uint8_t value) { return std::count(from, to, value) == to - from; }
int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The IDs in the order DSGetBufferID gives them, up to the first failure (or 16).
std::vector<uint32_t> ListedIds(ZAR_DS_HANDLE stream) {
  std::vector<uint32_t> ids; uint32_t id = 0xFFFFFFFF;
  while (ids.size() < 16 && DSGetBufferID(stream, static_cast<uint32_t>(ids.size()), &id) == ZAR_SUCCESS)
    ids.push_back(std::exchange(id, 0xFFFFFFFF));
  EXPECT_TRUE(ids.size() == 16 || id == 0u) << "a failed lookup leaves 0";
  return ids;
}

class Streams : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(m_stream.Ready()); }
  ZAR_DS_HANDLE Stream() const { return m_stream.Stream(); }
  auto AnnounceAndQueue(uint32_t count) { return zar_test::AnnounceAndQueue(Stream(), m_stream.FrameBytes(), count); }
  OpenStream m_stream{zar_test::StreamConfig("DS")}; // a camera of its own for each test
};

// Frames, and then the buffer information records byte for byte; revocation hands the memory back.
TEST_F(Streams, FramesArriveInQueuedBuffersWhoseRecordsDescribeThem) {
  std::vector<uint8_t> mine(m_stream.FrameBytes() + 8, 0xEE);
  uint32_t userId = 0; int marker = 0;
  ASSERT_EQ(DSAnnounceBuffer(Stream(), mine.data(), static_cast<uint32_t>(mine.size()), &marker, &userId), 0);
  ASSERT_EQ(DSQueueBuffer(Stream(), userId), 0);
  const std::vector<uint32_t> library = AnnounceAndQueue(3);
  ASSERT_EQ(library.size(), 3u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  uint64_t lastFrame = 0; std::set<uint32_t> seen;
  for (int i = 0; i < 24; ++i) {
    ZAR_WAIT_RESULT result; std::memset(&result, 0xAB, sizeof result);
    ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0) << "frame " << i;
    const uint64_t frame = zar_test::FrameId(result);
    EXPECT_GT(frame, std::exchange(lastFrame, frame)) << "frame ids strictly increase";
    EXPECT_EQ(zar_test::PatternMismatch(static_cast<const uint8_t *>(result.pBase), 64, 8, frame), "");
    EXPECT_EQ(result.iFrameInfo, m_stream.FrameBytes()) << "the driver's frame size";
    EXPECT_EQ(result.bFilled, 1);
    EXPECT_TRUE(result.aReserved[0] == 0xAB && result.aReserved[6] == 0xAB) << "bytes 25 to 31 are not written";
    const bool user = result.iID == userId;
    EXPECT_EQ(result.bUserAlloc, user ? 1 : 0);
    EXPECT_EQ(result.pPrivate, user ? &marker : nullptr);
    EXPECT_TRUE(!user || result.pBase == mine.data()) << "the application's memory";
    seen.insert(result.iID);
    ASSERT_EQ(DSQueueBuffer(Stream(), result.iID), 0) << "a returned buffer can be queued again";
  }
  EXPECT_EQ(seen.size(), 4u) << "every buffer took its turn";
  EXPECT_EQ(mine[m_stream.FrameBytes()], 0xEE) << "nothing past the frame";
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);

  uint8_t area[40]; std::memset(area, 0xEE, sizeof area);
  auto *const record = reinterpret_cast<ZAR_BUFFER_INFO *>(area);
  uint32_t size = 31;
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, record, &size), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(All(area, area + sizeof area, 0xEE)) << "nothing written";
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, nullptr, &size), ZAR_ERR_INVALID_PARAMETER);
  size = 40;
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, record, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId ^ 0x40000000u, record, &size), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(DSGetBufferInfo(Stream(), userId, record, &size), 0);
  EXPECT_EQ(size, 40u) << "the size is not written back";
  EXPECT_EQ(At<uint64_t>(area, 0), reinterpret_cast<uintptr_t>(mine.data()));
  EXPECT_EQ(At<uint32_t>(area, 8), mine.size());
  EXPECT_EQ(At<uint32_t>(area, 12), userId);
  EXPECT_EQ(At<uint64_t>(area, 16), reinterpret_cast<uintptr_t>(&marker));
  EXPECT_EQ(area[24], 1) << "application memory";
  EXPECT_TRUE(All(area + 25, area + 32, 0)) << "bytes 25 to 31";
  EXPECT_TRUE(All(area + 32, area + 40, 0xEE)) << "past the record";
  ASSERT_EQ(DSGetBufferInfo(Stream(), library[0], record, &size), 0);
  EXPECT_EQ(area[24], 0) << "library memory";
  EXPECT_EQ(At<uint32_t>(area, 8), m_stream.FrameBytes());

  void *revokedBase = nullptr, *revokedPrivate = &revokedBase;
  ASSERT_EQ(DSRevokeBuffer(Stream(), userId, &revokedBase, &revokedPrivate), 0) << "before its memory goes";
  EXPECT_EQ(revokedBase, nullptr) << "a variable holding null is left alone";
  EXPECT_EQ(revokedPrivate, &marker);
  EXPECT_EQ(DSRevokeBuffer(Stream(), userId, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER) << "revoked twice";
}

// Flush type 0 sends nothing; start and stop each reach the driver once. A revoke the driver refuses fails
// but forgets the buffer; the driver still fills it, and the wait that returns it fails.
TEST_F(Streams, StateRulesOfQueueingStartingWaitingRevokingAndClosing) {
  const std::vector<uint32_t> ids = AnnounceAndQueue(3);
  ASSERT_EQ(ids.size(), 3u);
  ZAR_WAIT_RESULT result{};
  EXPECT_EQ(DSWaitForBuffer(Stream(), 20, 0, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSWaitForBuffer(Stream(), 20, 0, &result, nullptr), ZAR_ERR_TIMEOUT) << "not started";
  EXPECT_EQ(result.bFilled, 0);
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0]), ZAR_ERR_ACCESS_DENIED) << "queued twice";
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0] ^ 0x5A5A0000u), ZAR_ERR_INVALID_PARAMETER) << "no such ID";

  zar_test::TraceCapture trace;
  EXPECT_EQ(DSFlushQueue(Stream(), 0), 0);
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0]), ZAR_ERR_ACCESS_DENIED) << "type 0 changes nothing";
  EXPECT_EQ(DSFlushQueue(Stream(), 7), 0);
  EXPECT_EQ(trace.Lines("Enter FlushQueue").size(), 1u) << "type 0 sends nothing";
  // Flushed out of the driver's queue too: only what is queued again is filled.
  for (const uint32_t id : {ids[0], ids[1]}) EXPECT_EQ(DSQueueBuffer(Stream(), id), 0);
  ASSERT_TRUE(emulator::InjectFault(m_stream.Slot(), Request::FreeBuffer, FaultKind::SystemError, 1, 0));
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[0], nullptr, nullptr), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[0], nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  const std::vector<uint32_t> listed = ListedIds(Stream());
  EXPECT_EQ(std::set<uint32_t>(listed.begin(), listed.end()), (std::set<uint32_t>{ids[1], ids[2]}));

  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0) << "stopping a stopped stream";
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, 0), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, INT64_MAX), 0);
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, 0), 0) << "already started: nothing is checked or sent";
  EXPECT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), ZAR_ERR_GENERAL) << "the revoked buffer";
  EXPECT_EQ(result.bFilled, 0);
  ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0);
  EXPECT_EQ(result.iID, ids[1]);
  EXPECT_EQ(DSWaitForBuffer(Stream(), 30, 0, &result, nullptr), ZAR_ERR_TIMEOUT);

  alignas(8) uint8_t memory[16]; uint32_t other = 0;
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[2], nullptr, nullptr), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory, 2, nullptr, &other), ZAR_ERR_INVALID_PARAMETER) << "size first";
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory, 8, nullptr, &other), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 0, nullptr, nullptr, &other), ZAR_ERR_ACCESS_DENIED) << "state first";
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[2], nullptr, nullptr), 0) << "once stopped";
  EXPECT_EQ(trace.Lines("Enter StartStopStream Mode=1 ").size(), 1u);
  EXPECT_EQ(trace.Lines("Enter StartStopStream Mode=0 ").size(), 1u);
  EXPECT_NE(trace.Text().find("iNumFramesToAcquire=9223372036854775807\n"), std::string::npos);

  // One stream per camera, on channel 0; handles of one kind are not taken for the other.
  ZAR_DS_HANDLE stream = nullptr;
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 0, &stream), ZAR_ERR_INVALID_PARAMETER) << "one per camera";
  EXPECT_EQ(DSClose(m_stream.Device()), ZAR_ERR_INVALID_HANDLE) << "a device handle is no stream";
  EXPECT_EQ(DevGetNumDataStreams(Stream(), nullptr), ZAR_ERR_INVALID_HANDLE) << "nor the other way round";
  EXPECT_EQ(DSGetStatus(Stream(), 5, &other, &other), ZAR_ERR_GENERAL) << "no status values";
  EXPECT_EQ(DSGetStatus(Stream(), 5, &other, nullptr), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(DSClose(Stream()), 0);
  EXPECT_EQ(DSClose(Stream()), ZAR_ERR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(DSGetBufferID(Stream(), 0, &other), ZAR_ERR_INVALID_HANDLE);
  m_stream.Forget();
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 1, &stream), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 0, nullptr), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(DevCreateDataStream(m_stream.Device(), 0, &stream), 0) << "a new one after the close";
  EXPECT_EQ(DSClose(stream), 0);
}

// Announcement writes the tag (the low half of the memory's address) into the first four bytes and nothing
// else. IDs are the low half of the buffer objects' addresses (what the revoke trace prints), unique, and
// listed in the order of those objects, which the close revokes them in.
TEST_F(Streams, AnnouncedMemoryCarriesItsTagAndIdsNameTheBufferObjects) {
  std::vector<uint8_t> memory(64, 0x5C); uint32_t id = 0;
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 3, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), nullptr, 64, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 64, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  os::FixedMemory untaggable; // the low half of its address zero: its tag would be 0
  for (const uint64_t high : {0x3000u, 0x2000u, 0x1000u, 0x7000u})
    if (untaggable.Map(static_cast<uintptr_t>(high << 32), 0x10000)) break;
  ASSERT_NE(untaggable.Data(), nullptr) << "no such address free";
  EXPECT_EQ(DSAnnounceBuffer(Stream(), untaggable.Data(), 64, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  for (uint32_t size : {0u, 3u, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), size, nullptr, nullptr, &id), ZAR_ERR_INVALID_PARAMETER) << size;
  EXPECT_TRUE(ListedIds(Stream()).empty()) << "refused buffers are not kept";
  EXPECT_TRUE(All(memory.data(), memory.data() + 64, 0x5C));

  ASSERT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 4, nullptr, &id), 0) << "four bytes are enough";
  std::set<uint32_t> announced{id};
  for (int i = 0; i < 5; ++i) { // the first with a variable holding null, which is left alone
    void *given = i == 0 ? nullptr : &announced;
    ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 16, nullptr, &given, &id), 0);
    EXPECT_TRUE(i == 0 ? given == nullptr : At<uint32_t>(static_cast<uint8_t *>(given), 0) == Low32(given)) << i;
    announced.insert(id);
  }
  const std::vector<uint32_t> listed = ListedIds(Stream());
  EXPECT_EQ(listed.size(), 6u);
  EXPECT_EQ(std::set<uint32_t>(listed.begin(), listed.end()), announced) << "unique, each listed once";

  zar_test::TraceCapture trace;
  ASSERT_EQ(m_stream.Close(), 0);
  std::vector<uint32_t> revoked, objects;
  for (const std::string &line : trace.Lines("~CDataStream() RevokeBuffer ID = "))
    revoked.push_back(static_cast<uint32_t>(std::stoul(line.substr(line.find("ID = ") + 5))));
  for (const std::string &line : trace.Lines("and remove it from BufferSet"))
    objects.push_back(static_cast<uint32_t>(std::stoul(line.substr(line.find("=0x") + 3), nullptr, 16)));
  EXPECT_EQ(revoked, listed) << "the close revokes in the listed order";
  EXPECT_EQ(objects, revoked) << "an ID is its object's address when no other buffer holds that value";
  EXPECT_EQ(trace.Lines("~CBuffer) delete kernel buffer").size(), 5u) << "library memory freed";
  EXPECT_EQ(At<uint32_t>(memory.data(), 0), Low32(memory.data())) << "least significant byte first";
  EXPECT_TRUE(All(memory.data() + 4, memory.data() + 64, 0x5C)) << "nothing else changed, by announce or close";
}

class StreamRaces : public Streams {};

TEST_F(StreamRaces, AnUnplugEndsEveryPendingAndLaterWaitPromptly) {
  ASSERT_EQ(AnnounceAndQueue(2).size(), 2u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  std::atomic<int> frames{0}; std::atomic<int64_t> unpluggedAt{-1};
  const auto start = Clock::now();
  auto waiter = std::async(std::launch::async, [&] {
    std::vector<int64_t> failuresAfterUnplug; // ms from the unplug to each failed wait
    while (failuresAfterUnplug.size() < 3) {
      ZAR_WAIT_RESULT result{};
      if (DSWaitForBuffer(Stream(), 0xFFFFFFFF, 0, &result, nullptr) != ZAR_SUCCESS)
        failuresAfterUnplug.push_back(unpluggedAt < 0 ? -1 : MillisecondsSince(start) - unpluggedAt);
      else { ++frames; DSQueueBuffer(Stream(), result.iID); }
    }
    return failuresAfterUnplug;
  });
  EXPECT_TRUE(zar_test::WaitFor([&] { return frames >= 3; })) << "frames flow";
  unpluggedAt = MillisecondsSince(start);
  ASSERT_TRUE(emulator::Unplug(m_stream.Slot()));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "a wait hangs";
  for (int64_t delay : waiter.get()) EXPECT_TRUE(delay >= 0 && delay < 500) << delay << " ms after the unplug";
  const ZAR_STATUS closed = m_stream.Close(); // or closed with its device by the unplug's handling
  EXPECT_TRUE(closed == ZAR_SUCCESS || closed == ZAR_ERR_INVALID_HANDLE) << closed;
}

// Failed driver requests change no state. A lock the driver has not answered after its 2 s wait may still
// take hold later: the announce fails, and the library's memory is not freed.
TEST_F(StreamRaces, InjectedDriverFailuresChangeNoState) {
  // The status of `call` made with one fault of `request` injected.
  const auto with = [slot = m_stream.Slot()](Request request, FaultKind kind, uint32_t word, const auto &call) {
    return emulator::InjectFault(slot, request, kind, 1, word) ? call() : ZAR_STATUS{-1000};
  };
  uint32_t id = 0, other = 0;
  ZAR_WAIT_RESULT result{};
  const auto announce = [&] { return DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &id); };
  const auto wait = [&] { return DSWaitForBuffer(Stream(), 1000, 0, &result, nullptr); };
  zar_test::TraceCapture trace;
  EXPECT_EQ(with(Request::LockBuffer, FaultKind::Pend, 0, announce), ZAR_ERR_GENERAL);
  EXPECT_EQ(trace.Lines("CBuffer::CBuffer alloc kernel buffer").size(), 1u);
  EXPECT_EQ(trace.Lines("~CBuffer m_bUserAlloc = 0, m_pBase = 0x0").size(), 1u) << "handed over, not freed";
  EXPECT_TRUE(trace.Lines("delete kernel buffer").empty());
  EXPECT_EQ(with(Request::LockBuffer, FaultKind::SystemError, 0, announce), ZAR_ERR_GENERAL);
  EXPECT_EQ(with(Request::LockBuffer, FaultKind::DriverError, 9, announce), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSGetBufferID(Stream(), 0, &id), ZAR_ERR_GENERAL) << "no buffer was kept";
  ASSERT_EQ(announce(), 0);
  EXPECT_EQ(with(Request::QueueBuffer, FaultKind::DriverError, 3, [&] { return DSQueueBuffer(Stream(), id); }),
            ZAR_ERR_GENERAL);
  EXPECT_EQ(DSQueueBuffer(Stream(), id), 0) << "the failed queueing left it unqueued";
  EXPECT_EQ(with(Request::StartStopStream, FaultKind::SystemError, 0, [&] { return DSStartAcquisition(Stream(), 0, 1); }),
            ZAR_ERR_GENERAL);
  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &other), 0) << "still stopped";
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  EXPECT_EQ(with(Request::StartStopStream, FaultKind::DriverError, 4, [&] { return DSStopAcquisition(Stream(), 0); }),
            ZAR_ERR_GENERAL);
  EXPECT_EQ(DSRevokeBuffer(Stream(), other, nullptr, nullptr), ZAR_ERR_ACCESS_DENIED) << "still started";
  EXPECT_EQ(with(Request::GetBuffer, FaultKind::SystemError, 0, wait), ZAR_ERR_GENERAL);
  EXPECT_EQ(with(Request::GetBuffer, FaultKind::DriverError, 5, wait), ZAR_ERR_TIMEOUT) << "a failed frame";
  ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0) << "the frame still comes";
  EXPECT_EQ(result.iID, id);
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
}

// A stop, a close or a device close on another thread ends a wait that the driver holds (even one it would
// never answer) at once; the wait fails.
TEST_F(StreamRaces, StopAndClosesEndAPendingWaitAtOnce) {
  ZAR_DS_HANDLE stream = Stream();
  ASSERT_EQ(DSStartAcquisition(stream, 0, 1), 0);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round == 0 ? "stop" : round == 1 ? "held by the driver, then DSClose" : "DevClose");
    zar_test::TraceCapture trace;
    ASSERT_TRUE(round != 1 || emulator::InjectFault(m_stream.Slot(), Request::GetBuffer, FaultKind::Pend, 1, 0));
    auto wait = std::async(std::launch::async, [stream, result = ZAR_WAIT_RESULT{}]() mutable {
      return DSWaitForBuffer(stream, 30000, 0, &result, nullptr); });
    EXPECT_TRUE(zar_test::WaitFor([&] { return !trace.Lines("Enter GetBuffer").empty(); })) << "with the driver";
    const auto start = Clock::now();
    EXPECT_EQ(round == 0 ? DSStopAcquisition(stream, 0) : round == 1 ? DSClose(stream) : DevClose(m_stream.Device()), 0);
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(wait.get(), ZAR_ERR_GENERAL);
    EXPECT_LT(MillisecondsSince(start), 1000);
    if (round == 1) {
      EXPECT_EQ(DSClose(stream), ZAR_ERR_INVALID_HANDLE);
      m_stream.Forget();
      ASSERT_EQ(DevCreateDataStream(m_stream.Device(), 0, &stream), 0);
      ASSERT_EQ(DSStartAcquisition(stream, 0, 1), 0);
    }
  }
  EXPECT_EQ(DSClose(stream), ZAR_ERR_INVALID_HANDLE) << "the device took its stream along";
}

TEST_F(StreamRaces, ClosingWhileOtherThreadsQueueAndWaitIsSafe) {
  const std::vector<uint32_t> ids = AnnounceAndQueue(6);
  ASSERT_EQ(ids.size(), 6u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  std::atomic<bool> go{false}; std::atomic<int> calls{0};
  std::vector<std::future<bool>> workers;
  for (int t = 0; t < 3; ++t) {
    workers.push_back(std::async(std::launch::async, [&, t] {
      while (!go) std::this_thread::yield();
      for (;;) {
        ZAR_WAIT_RESULT result{};
        const ZAR_STATUS status = t == 0 ? DSWaitForBuffer(Stream(), 100, 0, &result, nullptr)
                                         : DSQueueBuffer(Stream(), ids[static_cast<size_t>(t)]);
        ++calls;
        if (status == ZAR_ERR_INVALID_HANDLE) return true; // the stream is gone
        if (status == ZAR_SUCCESS && t == 0) DSQueueBuffer(Stream(), result.iID);
        if (status != ZAR_SUCCESS && status != ZAR_ERR_ACCESS_DENIED && status != ZAR_ERR_TIMEOUT &&
            status != ZAR_ERR_GENERAL) return false;
      }
    }));
  }
  go = true;
  EXPECT_TRUE(zar_test::WaitFor([&] { return calls >= 30; })) << "they run into each other";
  EXPECT_EQ(m_stream.Close(), 0);
  for (auto &worker : workers) {
    ASSERT_EQ(worker.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(worker.get()) << "only the codes of a stream going away";
  }
}

// An application's close the moment the library's own close (of an unplug, of the last TLClose) made the
// device handle invalid, while it still revokes the buffers, answers only once that has ended: the
// application's buffers, freed at once, are never touched again (the sanitizers see it).
TEST(CloseRaces, AnApplicationsCloseAnswersOnlyAfterTheLibrarysCloseOfTheSameCamera) {
  for (int run = 0; run < 20; ++run) {
    const bool unplug = run % 2 == 0, closesTheStream = run % 4 >= 2;
    SCOPED_TRACE(std::string(unplug ? "unplug" : "last TLClose") + " / " + (closesTheStream ? "DSClose" : "DevClose") +
                 ", run " + std::to_string(run));
    OpenStream opened(zar_test::StreamConfig("CR"));
    ASSERT_TRUE(opened.Ready());
    std::vector<std::unique_ptr<uint8_t[]>> memory;
    for (uint32_t id = 0; memory.size() < 4;) {
      memory.push_back(std::make_unique<uint8_t[]>(opened.FrameBytes()));
      ASSERT_EQ(DSAnnounceBuffer(opened.Stream(), memory.back().get(), opened.FrameBytes(), nullptr, &id), 0);
      ASSERT_EQ(DSQueueBuffer(opened.Stream(), id), 0);
    }
    ASSERT_EQ(DSStartAcquisition(opened.Stream(), 0, 1000000), 0);
    std::thread library([&] { unplug ? void(emulator::Unplug(opened.Slot())) : void(TLClose(opened.TL())); });
    uint32_t streams = 0;
    const bool invalid = zar_test::WaitFor(
        [&] { return DevGetNumDataStreams(opened.Device(), &streams) == ZAR_ERR_INVALID_HANDLE; });
    const ZAR_STATUS closed = closesTheStream ? DSClose(opened.Stream()) : DevClose(opened.Device());
    memory.clear();
    library.join();
    opened.Forget();
    EXPECT_TRUE(invalid && closed == ZAR_ERR_INVALID_HANDLE) << closed;
  }
}

} // namespace
