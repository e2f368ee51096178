// Streams under faults and from several threads and processes: an unplug in
// the middle of a stream, injected driver failures, stop and close against a
// pending wait, close against queueing, and cameras streaming side by side.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "open_stream.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using emulator::FaultKind;
using emulator::Request;
using zar_test::OpenStream;
using zar_test::StreamConfig;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Streams `frames` frames (4 buffers, wait and requeue); empty when every
// frame came with the pattern and a frame id above the last, else why not.
std::string StreamFrames(ZAR_DS_HANDLE stream, OpenStream *owner, int frames) {
  if (owner->AnnounceAndQueue(4).size() != 4) return "announce";
  if (DSStartAcquisition(stream, 0, 1) != ZAR_SUCCESS) return "start";
  uint64_t last = 0;
  for (int i = 0; i < frames; ++i) {
    ZAR_WAIT_RESULT result{};
    if (const ZAR_STATUS waited = DSWaitForBuffer(stream, 5000, 0, &result, nullptr); waited != ZAR_SUCCESS)
      return "wait " + std::to_string(waited);
    const uint64_t frame = zar_test::FrameId(result);
    if (frame <= last) return "frame id " + std::to_string(frame) + " after " + std::to_string(last);
    last = frame;
    const std::string mismatch = zar_test::PatternMismatch(static_cast<const uint8_t *>(result.pBase),
                                                           owner->Config().width, owner->Config().height, frame);
    if (!mismatch.empty()) return mismatch;
    if (DSQueueBuffer(stream, result.iID) != ZAR_SUCCESS) return "requeue";
  }
  return DSStopAcquisition(stream, 0) == ZAR_SUCCESS ? "" : "stop";
}

class StreamRaces : public zar_test::StreamFixture {
protected:
  // A wait with a long timeout, started on another thread; returns once the
  // wait is with the driver.
  static std::future<ZAR_STATUS> PendingWait(const zar_test::TraceCapture &trace, ZAR_DS_HANDLE stream) {
    auto wait = std::async(std::launch::async, [stream] {
      ZAR_WAIT_RESULT result{};
      return DSWaitForBuffer(stream, 30000, 0, &result, nullptr);
    });
    EXPECT_TRUE(zar_test::WaitFor([&] { return !trace.Lines("Enter GetBuffer").empty(); }));
    return wait;
  }
};

TEST_F(StreamRaces, AnUnplugEndsEveryPendingAndLaterWaitPromptly) {
  ASSERT_EQ(m_stream.AnnounceAndQueue(2).size(), 2u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  std::atomic<bool> unplugged{false};
  std::atomic<int> frames{0};
  std::atomic<int64_t> unpluggedAt{0};
  const auto start = Clock::now();
  auto waiter = std::async(std::launch::async, [&] {
    std::vector<int64_t> failuresAfterUnplug; // ms from the unplug to each failed wait
    while (failuresAfterUnplug.size() < 3) {
      ZAR_WAIT_RESULT result{};
      const ZAR_STATUS waited = DSWaitForBuffer(Stream(), 0xFFFFFFFF, 0, &result, nullptr);
      if (waited == ZAR_SUCCESS) {
        ++frames;
        DSQueueBuffer(Stream(), result.iID);
        continue;
      }
      if (!unplugged) return std::vector<int64_t>{-1};
      failuresAfterUnplug.push_back(MillisecondsSince(start) - unpluggedAt);
    }
    return failuresAfterUnplug;
  });
  EXPECT_TRUE(zar_test::WaitFor([&] { return frames >= 3; })) << "frames flow";
  unpluggedAt = MillisecondsSince(start);
  unplugged = true;
  ASSERT_TRUE(emulator::Unplug(m_stream.Slot()));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "a wait hangs";
  for (int64_t delay : waiter.get()) EXPECT_TRUE(delay >= 0 && delay < 500) << delay << " ms after the unplug";
  // Closed here, or already with its device by the unplug's handling.
  const ZAR_STATUS closed = DSClose(Stream());
  EXPECT_TRUE(closed == ZAR_SUCCESS || closed == ZAR_ERR_INVALID_HANDLE) << closed;
  m_stream.Forget();
}

TEST_F(StreamRaces, InjectedDriverFailuresChangeNoState) {
  const uint32_t slot = m_stream.Slot();
  uint32_t id = 0;
  ASSERT_TRUE(emulator::InjectFault(slot, Request::LockBuffer, FaultKind::SystemError, 1, 0));
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &id), ZAR_ERR_GENERAL);
  ASSERT_TRUE(emulator::InjectFault(slot, Request::LockBuffer, FaultKind::DriverError, 1, 9));
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &id), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSGetBufferID(Stream(), 0, &id), ZAR_ERR_GENERAL) << "no buffer was kept";

  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &id), 0);
  ASSERT_TRUE(emulator::InjectFault(slot, Request::QueueBuffer, FaultKind::DriverError, 1, 3));
  EXPECT_EQ(DSQueueBuffer(Stream(), id), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSQueueBuffer(Stream(), id), 0) << "the failed queueing left it unqueued";

  ASSERT_TRUE(emulator::InjectFault(slot, Request::StartStopStream, FaultKind::SystemError, 1, 0));
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, 1), ZAR_ERR_GENERAL);
  uint32_t other = 0;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 512, nullptr, nullptr, &other), 0) << "still stopped";
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  ASSERT_TRUE(emulator::InjectFault(slot, Request::StartStopStream, FaultKind::DriverError, 1, 4));
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSRevokeBuffer(Stream(), other, nullptr, nullptr), ZAR_ERR_ACCESS_DENIED) << "still started";

  ZAR_WAIT_RESULT result{};
  ASSERT_TRUE(emulator::InjectFault(slot, Request::GetBuffer, FaultKind::SystemError, 1, 0));
  EXPECT_EQ(DSWaitForBuffer(Stream(), 1000, 0, &result, nullptr), ZAR_ERR_GENERAL);
  ASSERT_TRUE(emulator::InjectFault(slot, Request::GetBuffer, FaultKind::DriverError, 1, 5));
  EXPECT_EQ(DSWaitForBuffer(Stream(), 1000, 0, &result, nullptr), ZAR_ERR_TIMEOUT) << "a failed frame";
  ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0) << "the frame still comes";
  EXPECT_EQ(result.iID, id);
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
}

// A lock the driver has not answered after its 2 s wait may still take hold
// later: the announce fails, and the library's memory is not freed.
TEST_F(StreamRaces, ALockNotAnsweredInTimeKeepsItsMemory) {
  zar_test::TraceCapture trace;
  ASSERT_TRUE(emulator::InjectFault(m_stream.Slot(), Request::LockBuffer, FaultKind::Pend, 1, 0));
  uint32_t id = 0;
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 256, nullptr, nullptr, &id), ZAR_ERR_GENERAL);
  EXPECT_EQ(trace.Lines("CBuffer::CBuffer alloc kernel buffer").size(), 1u);
  EXPECT_EQ(trace.Lines("~CBuffer m_bUserAlloc = 0, m_pBase = 0x0").size(), 1u) << "handed over, not freed";
  EXPECT_TRUE(trace.Lines("delete kernel buffer").empty());
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 256, nullptr, nullptr, &id), 0) << "the next one is locked";
}

// A stop, a close or a device close on another thread ends a wait that the
// driver holds (even one it would never answer) at once; the wait fails.
TEST_F(StreamRaces, StopAndClosesEndAPendingWaitAtOnce) {
  ZAR_DS_HANDLE stream = Stream();
  ASSERT_EQ(DSStartAcquisition(stream, 0, 1), 0);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round == 0 ? "stop" : round == 1 ? "held by the driver, then DSClose" : "DevClose");
    zar_test::TraceCapture trace;
    if (round == 1) {
      ASSERT_TRUE(emulator::InjectFault(m_stream.Slot(), Request::GetBuffer, FaultKind::Pend, 1, 0));
    }
    auto wait = PendingWait(trace, stream);
    const auto start = Clock::now();
    const ZAR_STATUS ended = round == 0   ? DSStopAcquisition(stream, 0)
                             : round == 1 ? DSClose(stream)
                                          : DevClose(m_stream.Device());
    EXPECT_EQ(ended, 0);
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
  const std::vector<uint32_t> ids = m_stream.AnnounceAndQueue(6);
  ASSERT_EQ(ids.size(), 6u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  std::atomic<bool> go{false};
  std::atomic<int> calls{0};
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
            status != ZAR_ERR_GENERAL)
          return false;
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

TEST(StreamsSideBySide, TwoCamerasStreamAtOnceInOneProcess) {
  OpenStream first(StreamConfig("PAIR")), second(StreamConfig("PAIR"));
  ASSERT_TRUE(first.Ready() && second.Ready());
  auto one = std::async(std::launch::async, [&] { return StreamFrames(first.Stream(), &first, 40); });
  auto two = std::async(std::launch::async, [&] { return StreamFrames(second.Stream(), &second, 40); });
  EXPECT_EQ(one.get(), "");
  EXPECT_EQ(two.get(), "");
}

// Streams one camera (serial in the arguments) in a process of its own.
const bool kStreamCamera = zar_test::RegisterHelper("stream-camera", [](const std::vector<std::string> &args) {
  emulator::CameraConfig config = StreamConfig("unused");
  config.serial = args.at(0);
  config.width = 320;
  config.height = 240;
  OpenStream stream(config);
  if (!stream.Ready()) return 9;
  return StreamFrames(stream.Stream(), &stream, 60).empty() ? 0 : 10;
});

TEST(StreamsSideBySide, TwoProcessesStreamTheirOwnCamerasAtOnce) {
  OpenStream mine(StreamConfig("PROC"));
  ASSERT_TRUE(mine.Ready());
  zar_test::HelperProcess other("stream-camera", {"PROCX1"});
  ASSERT_TRUE(other.Started());
  EXPECT_EQ(StreamFrames(mine.Stream(), &mine, 60), "");
  EXPECT_EQ(other.Wait(60000), 0);
}

} // namespace
