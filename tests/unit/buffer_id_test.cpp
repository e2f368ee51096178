// Buffer IDs of a data stream stay unique when buffer objects share the low
// 32 bits of their addresses, as objects 4 GiB apart do (here set up by hand).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>

#include "acquisition/buffer.h"
#include "acquisition/data_stream.h"
#include "device/device.h"
#include "registry/interface.h"
#include "trace/trace.h"

using namespace oxa::ZarUsb;

namespace {

// A free ID is the buffer object's address. The taken candidate is held by a
// buffer after the new one in the set and the next number by one before it:
// a walk that only went on from the match would give that number twice.
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
  uint32_t id = 0;
  for (uint32_t index = 0; stream->GetBufferID(index, &id) == ZAR_SUCCESS; ++index) ids.insert(id);
  EXPECT_EQ(ids, (std::set<uint32_t>{candidate, candidate + 1, candidate + 2}));
  stream.reset();
  usb->DeleteDevice(device.get());
}

} // namespace
