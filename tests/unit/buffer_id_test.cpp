// Buffer IDs of a data stream stay unique when buffer objects share the low
// 32 bits of their addresses (objects 4 GiB apart), which a heap above 4 GiB
// produces at random: the earlier bumps are set up here by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>

#include "acquisition/buffer.h"
#include "acquisition/data_stream.h"
#include "device/device.h"
#include "registry/interface.h"
#include "test_main.h"
#include "trace/trace.h"

using namespace oxa::ZarUsb;

namespace {

class BufferIds : public ::testing::Test {
protected:
  ~BufferIds() override {
    m_stream.reset();
    m_usb->DeleteDevice(m_device.get());
  }
  // Three announced buffers, in the stream's order (by address).
  std::array<CBuffer *, 3> ThreeBuffers() {
    std::array<CBuffer *, 3> buffers{};
    for (size_t i = 0; i < buffers.size(); ++i) buffers[i] = new CBuffer(m_stream.get(), m_memory[i], 16, true, nullptr);
    std::sort(buffers.begin(), buffers.end());
    return buffers;
  }
  std::set<uint32_t> Ids() {
    std::set<uint32_t> ids;
    uint32_t id = 0;
    for (uint32_t index = 0; m_stream->GetBufferID(index, &id) == ZAR_SUCCESS; ++index) ids.insert(id);
    return ids;
  }

  std::shared_ptr<CInterface> m_usb = std::make_shared<CInterface>("USB");
  std::shared_ptr<CDevice> m_device = m_usb->AddDevice("ZC1000_#IDS", 6);
  std::unique_ptr<CDataStream> m_stream = std::make_unique<CDataStream>(m_device.get());
  uint8_t m_memory[3][16] = {};
};

TEST_F(BufferIds, AnIdIsTheBufferObjectsAddressWhileFree) {
  const auto buffers = ThreeBuffers();
  for (CBuffer *buffer : buffers) EXPECT_EQ(m_stream->AssignBufferID(buffer), AddressLow32(buffer));
  EXPECT_EQ(Ids().size(), 3u);
}

// The taken candidate is held by a buffer after the new one in the set and
// the next number by one before it: a walk that only went on from the match
// would give that number twice.
TEST_F(BufferIds, ATakenIdMovesOnPastEveryIdOfTheSetWhereverItIs) {
  const auto [first, middle, last] = ThreeBuffers();
  m_stream->AssignBufferID(first);
  m_stream->AssignBufferID(last);
  const uint32_t candidate = AddressLow32(middle);
  last->m_unID = candidate;
  first->m_unID = candidate + 1;
  EXPECT_EQ(m_stream->AssignBufferID(middle), candidate + 2);
  EXPECT_EQ(Ids(), (std::set<uint32_t>{candidate, candidate + 1, candidate + 2}));
}

} // namespace
