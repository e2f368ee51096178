// Data streams and their buffers through the exports: one stream per camera,
// announcement (IDs, the tag, size limits), revocation, buffer information
// and the teardown of a stream that still has buffers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "open_stream.h"
#include "os/fixed_memory.h"

using namespace oxa::ZarUsb;

namespace {

uint32_t Low32(const void *pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

// The IDs in the order DSGetBufferID gives them; stops at the first failure.
std::vector<uint32_t> ListedIds(ZAR_DS_HANDLE stream) {
  std::vector<uint32_t> ids;
  for (uint32_t index = 0;; ++index) {
    uint32_t id = 0xFFFFFFFF;
    if (DSGetBufferID(stream, index, &id) != ZAR_SUCCESS) {
      EXPECT_EQ(id, 0u) << "a failed lookup leaves 0";
      return ids;
    }
    ids.push_back(id);
  }
}

class Buffers : public zar_test::StreamFixture {};

TEST_F(Buffers, OneStreamPerCameraOnChannelZero) {
  ZAR_DS_HANDLE other = nullptr;
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 0, &other), ZAR_ERR_INVALID_PARAMETER) << "one exists";
  EXPECT_EQ(DSClose(m_stream.Device()), ZAR_ERR_INVALID_HANDLE) << "a device handle is no stream";
  EXPECT_EQ(DevGetNumDataStreams(Stream(), nullptr), ZAR_ERR_INVALID_HANDLE) << "nor the other way round";
  uint32_t id = 0;
  EXPECT_EQ(DSGetStatus(Stream(), 5, &id, &id), ZAR_ERR_GENERAL) << "no status values";
  EXPECT_EQ(DSGetStatus(Stream(), 5, &id, nullptr), ZAR_ERR_INVALID_PARAMETER);

  ASSERT_EQ(DSClose(Stream()), 0);
  EXPECT_EQ(DSClose(Stream()), ZAR_ERR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(DSGetBufferID(Stream(), 0, &id), ZAR_ERR_INVALID_HANDLE);
  m_stream.Forget();
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 1, &other), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DevCreateDataStream(m_stream.Device(), 0, nullptr), ZAR_ERR_INVALID_PARAMETER);
  ASSERT_EQ(DevCreateDataStream(m_stream.Device(), 0, &other), 0) << "a new one after the close";
  EXPECT_EQ(DSClose(other), 0);
}

TEST_F(Buffers, AnnouncedMemoryCarriesItsTagAndSizesAreChecked) {
  std::vector<uint8_t> memory(64, 0x5C);
  uint32_t id = 0;
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 3, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), nullptr, 64, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 64, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  // Memory whose address has its low half zero: its tag would be 0.
  os::FixedMemory untaggable;
  for (const uint64_t high : {0x3000u, 0x2000u, 0x1000u, 0x7000u})
    if (untaggable.Map(static_cast<uintptr_t>(high << 32), 0x10000)) break;
  ASSERT_NE(untaggable.Data(), nullptr) << "no such address free";
  EXPECT_EQ(DSAnnounceBuffer(Stream(), untaggable.Data(), 64, nullptr, &id), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(ListedIds(Stream()).empty()) << "refused buffers are not kept";
  EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](uint8_t b) { return b == 0x5C; }));

  ASSERT_EQ(DSAnnounceBuffer(Stream(), memory.data(), 4, nullptr, &id), 0) << "four bytes are enough";
  uint32_t tag = 0;
  std::memcpy(&tag, memory.data(), 4);
  EXPECT_EQ(tag, Low32(memory.data())) << "the low half of its own address, least significant byte first";
  EXPECT_EQ(memory[4], 0x5C);

  for (uint32_t size : {0u, 3u, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), size, nullptr, nullptr, &id), ZAR_ERR_INVALID_PARAMETER) << size;
  void *where = nullptr;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 16, nullptr, &where, &id), 0);
  EXPECT_EQ(where, nullptr) << "a variable holding null is left alone";
  void *given = &where;
  uint32_t second = 0;
  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 16, nullptr, &given, &second), 0);
  ZAR_BUFFER_INFO info{};
  uint32_t size = sizeof info;
  ASSERT_EQ(DSGetBufferInfo(Stream(), second, &info, &size), 0);
  EXPECT_EQ(given, info.pBase) << "a non-null variable receives the memory";
  std::memcpy(&tag, info.pBase, 4);
  EXPECT_EQ(tag, Low32(info.pBase));
  EXPECT_EQ(ListedIds(Stream()).size(), 3u);
  EXPECT_EQ(DSRevokeBuffer(Stream(), ListedIds(Stream()).at(0), nullptr, nullptr), 0);
  // The user buffer goes with the stream before `memory` does.
  EXPECT_EQ(m_stream.Close(), 0);
  std::memcpy(&tag, memory.data(), 4);
  EXPECT_EQ(tag, Low32(memory.data())) << "the close leaves the tag";
  EXPECT_TRUE(std::all_of(memory.begin() + 4, memory.end(), [](uint8_t b) { return b == 0x5C; }))
      << "and nothing else of application memory changed";
}

// IDs are the low half of the buffer objects' addresses (what the revoke
// trace prints), unique, and listed in the order of those objects.
TEST_F(Buffers, IdsNameTheBufferObjectsAndAreListedInTheirOrder) {
  std::vector<uint32_t> announced;
  for (int i = 0; i < 6; ++i) {
    uint32_t id = 0;
    ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 32, nullptr, nullptr, &id), 0);
    announced.push_back(id);
  }
  std::vector<uint32_t> listed = ListedIds(Stream());
  std::vector<uint32_t> sorted = announced;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "unique";
  std::vector<uint32_t> listedSorted = listed;
  std::sort(listedSorted.begin(), listedSorted.end());
  EXPECT_EQ(listedSorted, sorted) << "each ID listed once";

  zar_test::TraceCapture trace;
  ASSERT_EQ(m_stream.Close(), 0);
  std::vector<uint32_t> revoked, objects;
  for (const std::string &line : trace.Lines("~CDataStream() RevokeBuffer ID = "))
    revoked.push_back(static_cast<uint32_t>(std::stoul(line.substr(line.find("ID = ") + 5))));
  for (const std::string &line : trace.Lines("and remove it from BufferSet"))
    objects.push_back(static_cast<uint32_t>(std::stoul(line.substr(line.find("=0x") + 3), nullptr, 16)));
  EXPECT_EQ(revoked, listed) << "the close revokes in the listed order";
  EXPECT_EQ(objects, revoked) << "an ID is its object's address when no other buffer holds that value";
  EXPECT_EQ(trace.Lines("~CBuffer) delete kernel buffer").size(), 6u) << "library memory freed";
}

TEST_F(Buffers, BufferInformationRecordsByteForByte) {
  alignas(8) uint8_t memory[40] = {};
  int marker = 0;
  uint32_t userId = 0, libraryId = 0;
  ASSERT_EQ(DSAnnounceBuffer(Stream(), memory, sizeof memory, &marker, &userId), 0);
  ASSERT_EQ(DSAllocAndAnnounceBuffer(Stream(), 100, &memory, nullptr, &libraryId), 0);

  uint8_t area[40];
  std::memset(area, 0xEE, sizeof area);
  uint32_t size = 31;
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, reinterpret_cast<ZAR_BUFFER_INFO *>(area), &size),
            ZAR_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(std::all_of(area, area + sizeof area, [](uint8_t b) { return b == 0xEE; })) << "nothing written";
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, nullptr, &size), ZAR_ERR_INVALID_PARAMETER);
  size = 40;
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId, reinterpret_cast<ZAR_BUFFER_INFO *>(area), nullptr),
            ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DSGetBufferInfo(Stream(), userId ^ 0x40000000u, reinterpret_cast<ZAR_BUFFER_INFO *>(area), &size),
            ZAR_ERR_INVALID_PARAMETER);

  ASSERT_EQ(DSGetBufferInfo(Stream(), userId, reinterpret_cast<ZAR_BUFFER_INFO *>(area), &size), 0);
  EXPECT_EQ(size, 40u) << "the size is not written back";
  uint64_t base = 0, privateValue = 0;
  uint32_t bytes = 0, id = 0;
  std::memcpy(&base, area, 8);
  std::memcpy(&bytes, area + 8, 4);
  std::memcpy(&id, area + 12, 4);
  std::memcpy(&privateValue, area + 16, 8);
  EXPECT_EQ(base, reinterpret_cast<uintptr_t>(memory));
  EXPECT_EQ(bytes, 40u);
  EXPECT_EQ(id, userId);
  EXPECT_EQ(privateValue, reinterpret_cast<uintptr_t>(&marker));
  EXPECT_EQ(area[24], 1) << "application memory";
  for (int i = 25; i < 32; ++i) EXPECT_EQ(area[i], 0) << "byte " << i;
  for (int i = 32; i < 40; ++i) EXPECT_EQ(area[i], 0xEE) << "byte " << i << " is past the record";

  ASSERT_EQ(DSGetBufferInfo(Stream(), libraryId, reinterpret_cast<ZAR_BUFFER_INFO *>(area), &size), 0);
  EXPECT_EQ(area[24], 0) << "library memory";
  std::memcpy(&bytes, area + 8, 4);
  EXPECT_EQ(bytes, 100u);
  EXPECT_EQ(m_stream.Close(), 0);
}

TEST_F(Buffers, RevokingHandsBackWhatWasAskedForAndIsRefusedWhileRunning) {
  alignas(8) uint8_t memory[16];
  int marker = 0;
  uint32_t id = 0, other = 0;
  ASSERT_EQ(DSAnnounceBuffer(Stream(), memory, sizeof memory, &marker, &id), 0);
  ASSERT_EQ(DSStartAcquisition(Stream(), 0, 1), 0);
  EXPECT_EQ(DSRevokeBuffer(Stream(), id, nullptr, nullptr), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory, 2, nullptr, &other), ZAR_ERR_INVALID_PARAMETER)
      << "the size is checked before the state";
  EXPECT_EQ(DSAnnounceBuffer(Stream(), memory + 8, 8, nullptr, &other), ZAR_ERR_ACCESS_DENIED);
  EXPECT_EQ(DSAllocAndAnnounceBuffer(Stream(), 0, nullptr, nullptr, &other), ZAR_ERR_ACCESS_DENIED)
      << "the state is checked before the size";
  ASSERT_EQ(DSStopAcquisition(Stream(), 0), 0);

  void *base = nullptr;
  void *privateValue = &base;
  ASSERT_EQ(DSRevokeBuffer(Stream(), id, &base, &privateValue), 0);
  EXPECT_EQ(base, nullptr) << "a variable holding null is left alone";
  EXPECT_EQ(privateValue, &marker);
  EXPECT_EQ(DSRevokeBuffer(Stream(), id, nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER) << "revoked twice";
}

TEST_F(Buffers, RevokingThatTheDriverRefusesFailsButForgetsTheBuffer) {
  const std::vector<uint32_t> ids = m_stream.AnnounceAndQueue(2);
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_TRUE(oxa::ZarUsb::emulator::InjectFault(m_stream.Slot(), oxa::ZarUsb::emulator::Request::FreeBuffer,
                                                 oxa::ZarUsb::emulator::FaultKind::SystemError, 1, 0));
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[0], nullptr, nullptr), ZAR_ERR_GENERAL);
  EXPECT_EQ(DSRevokeBuffer(Stream(), ids[0], nullptr, nullptr), ZAR_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ListedIds(Stream()), std::vector<uint32_t>{ids[1]});
}

} // namespace
