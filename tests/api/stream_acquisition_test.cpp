// Queueing, acquisition and waiting through the exports: frames land in the
// queued buffers with the emulator's pattern, and every state rule of the
// stream and its buffers holds.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "emulator/emulator.h"
#include "open_stream.h"

using namespace oxa::ZarUsb;

namespace {

class Acquisition : public zar_test::StreamFixture {};

TEST_F(Acquisition, FramesArriveInQueuedBuffersWithThePatternAndRisingFrameIds) {
  std::vector<uint8_t> mine(m_stream.FrameBytes() + 8, 0xEE);
  uint32_t userId = 0;
  int marker = 0;
  ASSERT_EQ(DSAnnounceBuffer(Stream(), mine.data(), static_cast<uint32_t>(mine.size()), &marker, &userId), 0);
  ASSERT_EQ(DSQueueBuffer(Stream(), userId), 0);
  const std::vector<uint32_t> ids = m_stream.AnnounceAndQueue(3);
  ASSERT_EQ(ids.size(), 3u);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);

  uint64_t lastFrame = 0;
  std::set<uint32_t> seen;
  for (int i = 0; i < 24; ++i) {
    ZAR_WAIT_RESULT result;
    std::memset(&result, 0xAB, sizeof result);
    ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0) << "frame " << i;
    const uint64_t frame = zar_test::FrameId(result);
    EXPECT_GT(frame, lastFrame) << "frame ids strictly increase";
    lastFrame = frame;
    EXPECT_EQ(zar_test::PatternMismatch(static_cast<const uint8_t *>(result.pBase), 64, 8, frame), "");
    EXPECT_EQ(result.iFrameInfo, m_stream.FrameBytes()) << "the driver's frame size";
    EXPECT_EQ(result.bFilled, 1);
    EXPECT_EQ(result.aReserved[0], 0xAB) << "bytes 25 to 31 are not written";
    EXPECT_EQ(result.aReserved[6], 0xAB);
    if (result.iID == userId) {
      EXPECT_EQ(result.pBase, mine.data());
      EXPECT_EQ(result.pPrivate, &marker);
      EXPECT_EQ(result.bUserAlloc, 1);
      EXPECT_EQ(mine[m_stream.FrameBytes()], 0xEE) << "nothing past the frame";
    } else {
      EXPECT_EQ(result.bUserAlloc, 0);
      EXPECT_EQ(result.pPrivate, nullptr);
    }
    seen.insert(result.iID);
    ASSERT_EQ(DSQueueBuffer(Stream(), result.iID), 0) << "a returned buffer can be queued again";
  }
  EXPECT_EQ(seen.size(), 4u) << "every buffer took its turn";
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
  EXPECT_EQ(DSRevokeBuffer(Stream(), userId, nullptr, nullptr), 0) << "before its memory goes";
}

TEST_F(Acquisition, StartAndStopAreSentOnceAndZeroFramesIsRefused) {
  zar_test::TraceCapture trace;
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0) << "stopping a stopped stream";
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, 0), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, INT64_MAX), 0);
  EXPECT_EQ(DSStartAcquisition(Stream(), 0, 0), 0) << "already started: nothing is checked or sent";
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
  EXPECT_EQ(DSStopAcquisition(Stream(), 0), 0);
  EXPECT_EQ(trace.Lines("Enter StartStopStream Mode=1 ").size(), 1u);
  EXPECT_EQ(trace.Lines("Enter StartStopStream Mode=0 ").size(), 1u);
  EXPECT_NE(trace.Text().find("iNumFramesToAcquire=9223372036854775807\n"), std::string::npos);
}

TEST_F(Acquisition, QueueRulesAndFlushing) {
  const std::vector<uint32_t> ids = m_stream.AnnounceAndQueue(2);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0]), ZAR_ERR_ACCESS_DENIED) << "queued twice";
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0] ^ 0x5A5A0000u), ZAR_ERR_INVALID_PARAMETER) << "no such ID";

  zar_test::TraceCapture trace;
  EXPECT_EQ(DSFlushQueue(Stream(), 0), 0);
  EXPECT_TRUE(trace.Lines("Enter FlushQueue").empty()) << "type 0 sends nothing";
  EXPECT_EQ(DSQueueBuffer(Stream(), ids[0]), ZAR_ERR_ACCESS_DENIED) << "and changes nothing";
  EXPECT_EQ(DSFlushQueue(Stream(), 1), 0);
  EXPECT_EQ(trace.Lines("Enter FlushQueue").size(), 1u);
  for (uint32_t id : ids) EXPECT_EQ(DSQueueBuffer(Stream(), id), 0) << "flushed buffers are free to queue";

  // Flushed buffers are out of the driver's queue too: after a flush, only
  // what is queued again is filled.
  ASSERT_EQ(DSFlushQueue(Stream(), 7), 0);
  ASSERT_EQ(DSQueueBuffer(Stream(), ids[1]), 0);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  ZAR_WAIT_RESULT result{};
  ASSERT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), 0);
  EXPECT_EQ(result.iID, ids[1]);
  EXPECT_EQ(DSWaitForBuffer(Stream(), 30, 0, &result, nullptr), ZAR_ERR_TIMEOUT);
}

TEST_F(Acquisition, WaitsTimeOutAndRefuseAMissingRecord) {
  ZAR_WAIT_RESULT result{};
  EXPECT_EQ(DSWaitForBuffer(Stream(), 20, 0, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSWaitForBuffer(Stream(), 20, 0, &result, nullptr), ZAR_ERR_TIMEOUT) << "nothing queued";
  ASSERT_EQ(m_stream.AnnounceAndQueue(1).size(), 1u);
  EXPECT_EQ(DSWaitForBuffer(Stream(), 20, 0, &result, nullptr), ZAR_ERR_TIMEOUT) << "not started";
  EXPECT_EQ(result.bFilled, 0);
}

// A buffer the stream no longer knows, but the driver still holds (its
// release failed), is filled; the wait that returns it fails.
TEST_F(Acquisition, ACompletionForABufferTheStreamDoesNotKnowFails) {
  const std::vector<uint32_t> ids = m_stream.AnnounceAndQueue(1);
  ASSERT_EQ(ids.size(), 1u);
  ASSERT_TRUE(emulator::InjectFault(m_stream.Slot(), emulator::Request::FreeBuffer, emulator::FaultKind::SystemError,
                                    1, 0));
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[0], nullptr, nullptr), ZAR_ERR_GENERAL);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  ZAR_WAIT_RESULT result{};
  EXPECT_EQ(DSWaitForBuffer(Stream(), 2000, 0, &result, nullptr), ZAR_ERR_GENERAL);
  EXPECT_EQ(result.bFilled, 0);
}

} // namespace
