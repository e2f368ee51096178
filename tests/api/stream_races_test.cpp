// Streams under faults and from several threads and processes: an unplug in
// the middle of a stream, injected driver failures, stop and close against a
// pending wait, close against queueing, and an application's close against
// the library's own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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
using Clock = std::chrono::steady_clock;

namespace {

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
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
  std::atomic<int> frames{0};
  std::atomic<int64_t> unpluggedAt{-1};
  const auto start = Clock::now();
  auto waiter = std::async(std::launch::async, [&] {
    std::vector<int64_t> failuresAfterUnplug; // ms from the unplug to each failed wait
    while (failuresAfterUnplug.size() < 3) {
      ZAR_WAIT_RESULT result{};
      if (DSWaitForBuffer(Stream(), 0xFFFFFFFF, 0, &result, nullptr) == ZAR_SUCCESS) {
        ++frames;
        DSQueueBuffer(Stream(), result.iID);
      } else {
        failuresAfterUnplug.push_back(unpluggedAt < 0 ? -1 : MillisecondsSince(start) - unpluggedAt);
      }
    }
    return failuresAfterUnplug;
  });
  EXPECT_TRUE(zar_test::WaitFor([&] { return frames >= 3; })) << "frames flow";
  unpluggedAt = MillisecondsSince(start);
  ASSERT_TRUE(emulator::Unplug(m_stream.Slot()));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "a wait hangs";
  for (int64_t delay : waiter.get()) EXPECT_TRUE(delay >= 0 && delay < 500) << delay << " ms after the unplug";
  // Closed here, or already with its device by the unplug's handling.
  const ZAR_STATUS closed = m_stream.Close();
  EXPECT_TRUE(closed == ZAR_SUCCESS || closed == ZAR_ERR_INVALID_HANDLE) << closed;
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

// An application's close racing a close the library runs itself (the held
// camera's unplug, the last TLClose), coming the moment the library's close
// has made the device handle invalid, while it still revokes the buffers:
// the application's close answers only once the library's has ended, and
// from then on the library touches none of the application's buffers, which
// are freed at once (the sanitizers see any later access).
TEST(CloseRaces, AnApplicationsCloseAnswersOnlyAfterTheLibrarysCloseOfTheSameCamera) {
  for (const bool unplug : {true, false}) {
    for (const bool closesTheStream : {false, true}) {
      for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(std::string(unplug ? "unplug" : "last TLClose") + " / " +
                     (closesTheStream ? "DSClose" : "DevClose") + ", round " + std::to_string(round));
        OpenStream opened(zar_test::StreamConfig("CR"));
        ASSERT_TRUE(opened.Ready());
        std::vector<std::unique_ptr<uint8_t[]>> memory;
        for (int i = 0; i < 4; ++i) {
          memory.push_back(std::make_unique<uint8_t[]>(opened.FrameBytes()));
          uint32_t id = 0;
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
        EXPECT_TRUE(invalid);
        EXPECT_EQ(closed, ZAR_ERR_INVALID_HANDLE);
      }
    }
  }
}

} // namespace
