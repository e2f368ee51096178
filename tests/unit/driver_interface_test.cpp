// CDriverInterface on a scripted driver: every request byte for byte, the
// waits, cancellation of what did not finish, and how outcomes map.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>
#include <thread>

#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "registry/interface.h"
#include "registry/open_devices.h"
#include "fake_device.h"
#include "test_main.h"

using namespace oxa::ZarUsb;
using namespace zar_test;

namespace {

// A driver interface on a fake device the test keeps a pointer to.
struct Scripted {
  FakeDevice *fake = nullptr;
  std::unique_ptr<CDriverInterface> driver;
  Scripted() {
    driver = std::make_unique<CDriverInterface>("\\\\?\\usb#fake", [this](const char *, uint32_t *error) {
      auto device = std::make_unique<FakeDevice>();
      fake = device.get();
      *error = 0;
      return std::unique_ptr<os::DeviceIo>(std::move(device));
    });
  }
};

TEST(DriverInterface, AFailedOpenKeepsItsErrorAndSendsNothing) {
  CDriverInterface driver("\\\\?\\no-such-device", [](const char *, uint32_t *error) {
    *error = 2;
    return std::unique_ptr<os::DeviceIo>();
  });
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_EQ(driver.m_dwLastError, 2u);
  uint64_t size = 4;
  uint32_t word = 0;
  uint8_t data[4];
  EXPECT_NE(driver.ReadMem(1, 0, data, &size, &word), 0u);
  EXPECT_NE(driver.QueueBuffer(1, &word), 0u);
}

TEST(DriverInterface, ReadMemSendsSixteenBytesAndCopiesNoMoreThanAsked) {
  for (uint32_t mode : {0u, 1u, 2u}) {
    Scripted s;
    s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t outLength) {
                                PutU64(out, 100); // claims more than the 5 asked
                                PutU32(out + 8, 0);
                                for (uint32_t i = 12; i < outLength; ++i) out[i] = static_cast<uint8_t>(0xA0 + i);
                              }});
    std::array<uint8_t, 8> destination;
    destination.fill(0xEE);
    uint64_t size = 5;
    uint32_t word = 77;
    ASSERT_EQ(s.driver->ReadMem(mode, 0x1234567890ull, destination.data(), &size, &word), 0u);
    const Recorded &sent = s.fake->log.at(0);
    EXPECT_EQ(sent.code, driver::ReadMemCode(mode));
    EXPECT_EQ(sent.code, (std::array<uint32_t, 3>{0x22201C, 0x222014, 0x222040})[mode]);
    EXPECT_FALSE(sent.overlapped);
    ASSERT_EQ(sent.inLength, 16u);
    EXPECT_EQ(U64At(sent.input, 0), 0x1234567890ull);
    EXPECT_EQ(U64At(sent.input, 8), 5u);
    EXPECT_EQ(sent.outLength, 12u + 5u);
    EXPECT_EQ(U32At(sent.output, 8), 30023u) << "error word preset";
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(destination[4], 0xA0 + 16);
    EXPECT_EQ(destination[5], 0xEE) << "nothing past the size asked";
  }
}

TEST(DriverInterface, AnUnwrittenReadReplyReadsAsAFailure) {
  Scripted s;
  uint8_t data[4];
  uint64_t size = 4;
  uint32_t word = 0;
  ASSERT_EQ(s.driver->ReadMem(1, 0x60, data, &size, &word), 0u);
  EXPECT_EQ(word, 30023u);
}

TEST(DriverInterface, WriteMemSendsAddressSizeAndData) {
  Scripted s;
  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) {
                              PutU64(out, 3);
                              PutU32(out + 8, 9);
                            }});
  const uint8_t data[3] = {1, 2, 3};
  uint64_t size = 3;
  uint32_t word = 0;
  ASSERT_EQ(s.driver->WriteMem(2, 0xABCD, data, &size, &word), 0u);
  const Recorded &sent = s.fake->log.at(0);
  EXPECT_EQ(sent.code, 0x22203Cu);
  ASSERT_EQ(sent.inLength, 19u);
  EXPECT_EQ(U64At(sent.input, 0), 0xABCDu);
  EXPECT_EQ(U64At(sent.input, 8), 3u);
  EXPECT_EQ(std::vector<uint8_t>(sent.input.begin() + 16, sent.input.end()), std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(sent.outLength, 12u);
  EXPECT_EQ(U64At(sent.output, 0), 0u);
  EXPECT_EQ(U32At(sent.output, 8), 0u) << "reply zeroed before sending";
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(word, 9u);
}

TEST(DriverInterface, FailedMemoryRequestsLeaveSizeAndWordAlone) {
  Scripted s;
  s.fake->script.push_back({31, false, nullptr});
  s.fake->script.push_back({1167, false, nullptr});
  uint8_t data[4] = {};
  uint64_t size = 4;
  uint32_t word = 55;
  EXPECT_EQ(s.driver->WriteMem(1, 0, data, &size, &word), 31u);
  EXPECT_EQ(s.driver->ReadMem(1, 0, data, &size, &word), 1167u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(word, 55u);
  uint64_t absurd = ~0ull;
  EXPECT_EQ(s.driver->ReadMem(1, 0, data, &absurd, &word), 8u) << "no request larger than 4 GiB";
  EXPECT_EQ(s.fake->log.size(), 2u);
}

TEST(DriverInterface, LockBufferTagsTheBufferAndHandsItToTheDriver) {
  Scripted s;
  alignas(8) std::array<uint8_t, 64> buffer;
  buffer.fill(0);
  uint32_t word = 0;
  ASSERT_EQ(s.driver->LockBuffer(buffer.data(), 64, &word), 0u);
  const Recorded &sent = s.fake->log.at(0);
  EXPECT_EQ(sent.code, 0x222023u);
  EXPECT_TRUE(sent.overlapped);
  EXPECT_EQ(sent.inPointer, buffer.data()) << "the buffer itself is the input";
  EXPECT_EQ(sent.inLength, 64u);
  EXPECT_EQ(sent.outLength, 4u);
  const uint32_t tag = driver::DriverTag(buffer.data());
  EXPECT_EQ(U32At(sent.input, 0), tag) << "tag written before sending, low byte first";

  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) { PutU32(out, 4); }});
  EXPECT_EQ(s.driver->LockBuffer(buffer.data(), 64, &word), 8u) << "a driver error word locks nothing";
  EXPECT_EQ(s.driver->LockBuffer(nullptr, 64, &word), 8u);
}

TEST(DriverInterface, QueueAndFreeNameTheBufferByTag) {
  Scripted s;
  uint32_t word = 0;
  EXPECT_EQ(s.driver->QueueBuffer(0, &word), 87u);
  EXPECT_EQ(s.driver->FreeBuffer(nullptr, &word), 87u);
  EXPECT_TRUE(s.fake->log.empty()) << "nothing sent for tag 0 or a null buffer";

  ASSERT_EQ(s.driver->QueueBuffer(0x11223344, &word), 0u);
  EXPECT_EQ(s.fake->log.at(0).code, 0x222024u);
  EXPECT_EQ(s.fake->log.at(0).input, std::vector<uint8_t>({0x44, 0x33, 0x22, 0x11}));

  alignas(8) uint8_t buffer[16] = {};
  ASSERT_EQ(s.driver->FreeBuffer(buffer, &word), 0u);
  EXPECT_EQ(s.fake->log.at(1).code, 0x222030u);
  EXPECT_EQ(U32At(s.fake->log.at(1).input, 0), driver::DriverTag(buffer));

  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) { PutU32(out, 3); }});
  EXPECT_EQ(s.driver->QueueBuffer(7, &word), 998u);
  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) { PutU32(out, 3); }});
  EXPECT_EQ(s.driver->FreeBuffer(buffer, &word), 998u);
  s.fake->script.push_back({1167, false, nullptr});
  EXPECT_EQ(s.driver->QueueBuffer(7, &word), 1167u);
}

TEST(DriverInterface, PendingRequestsThatFinishInTimeSucceed) {
  Scripted s;
  s.fake->script.push_back({0, true, nullptr});
  uint32_t word = 1;
  auto queued = std::async(std::launch::async, [&] { return s.driver->QueueBuffer(5, &word); });
  ASSERT_TRUE(WaitFor([&] { return s.fake->Holding(); }));
  ASSERT_TRUE(s.fake->CompleteHeld([](uint8_t *out, uint32_t) { PutU32(out, 0); }));
  EXPECT_EQ(queued.get(), 0u);
  EXPECT_EQ(s.fake->cancels, 0);
}

// Each request that is still pending after 2000 ms returns 258, and was
// cancelled before returning: a late completion finds nothing to write.
TEST(DriverInterface, RequestsNotFinishedInTimeAreCancelledBeforeReturning) {
  const std::array<const char *, 4> names = {"LockBuffer", "QueueBuffer", "FreeBuffer", "StartStopStream"};
  std::array<Scripted, 4> drivers;
  std::array<std::future<uint32_t>, 4> results;
  alignas(8) static uint8_t buffers[4][16];
  for (size_t i = 0; i < 4; ++i) {
    drivers[i].fake->script.push_back({0, true, nullptr});
    results[i] = std::async(std::launch::async, [&, i] {
      uint32_t word = 0; // on this thread's stack: must never be written late
      CDriverInterface &driver = *drivers[i].driver;
      switch (i) {
      case 0: return driver.LockBuffer(buffers[i], 16, &word);
      case 1: return driver.QueueBuffer(9, &word);
      case 2: return driver.FreeBuffer(buffers[i], &word);
      default: return driver.StartStopStream(1, &word);
      }
    });
  }
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(results[i].get(), 258u) << names[i];
    EXPECT_EQ(drivers[i].fake->cancels, 1) << names[i];
    EXPECT_FALSE(drivers[i].fake->CompleteHeld([](uint8_t *out, uint32_t) { PutU32(out, 0xBAD); })) << names[i];
  }
}

TEST(DriverInterface, GetBufferReportsDriverErrorsLikeATimeout) {
  Scripted s;
  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t outLength) {
                              ASSERT_EQ(outLength, 44u);
                              EXPECT_EQ(U32At(std::vector<uint8_t>(out, out + 44), 40), 30020u) << "preset";
                              for (uint32_t i = 0; i < 44; ++i) out[i] = static_cast<uint8_t>(i + 1);
                              PutU32(out + 40, 5);
                            }});
  std::array<uint8_t, 44> record{};
  EXPECT_EQ(s.driver->GetBuffer(1000, record.data()), 258u);
  EXPECT_EQ(U32At(s.fake->log.at(0).input, 0), 1000u) << "the timeout goes to the driver";
  EXPECT_EQ(s.fake->log.at(0).code, 0x22202Cu);
  std::vector<uint8_t> got(record.begin(), record.end());
  EXPECT_EQ(U32At(got, 0), 0x04030201u) << "the tag stays";
  for (size_t i = 4; i < 40; ++i) EXPECT_EQ(got[i], 0) << "byte " << i;
  EXPECT_EQ(U32At(got, 40), 5u);

  s.fake->script.push_back({0, true, nullptr});
  auto waited = std::async(std::launch::async, [&] { return s.driver->GetBuffer(50, record.data()); });
  ASSERT_TRUE(WaitFor([&] { return s.fake->Holding(); }));
  ASSERT_TRUE(s.fake->CompleteHeld([](uint8_t *out, uint32_t) {
    std::memset(out, 0, 44);
    PutU32(out, 0xCAFE);
    out[4] = 42;
    PutU32(out + 36, 640);
  }));
  EXPECT_EQ(waited.get(), 0u);
  got.assign(record.begin(), record.end());
  EXPECT_EQ(U32At(got, 0), 0xCAFEu);
  EXPECT_EQ(got[4], 42);
  EXPECT_EQ(U32At(got, 36), 640u);
}

// A request that pends and then fails: a buffer completion is judged by its
// record alone (unwritten, it keeps the preset: a failed completion); the
// requests answered by a word alone count as failed, never as done.
TEST(DriverInterface, PendingRequestsThatFailAreNeverTakenForSuccess) {
  Scripted s;
  std::array<uint8_t, 44> record;
  record.fill(0x77);
  s.fake->script.push_back({0, true, nullptr});
  auto waited = std::async(std::launch::async, [&] { return s.driver->GetBuffer(100, record.data()); });
  ASSERT_TRUE(WaitFor([&] { return s.fake->Holding(); }));
  ASSERT_TRUE(s.fake->CompleteHeld(nullptr, 1167));
  EXPECT_EQ(waited.get(), 258u);
  const std::vector<uint8_t> got(record.begin(), record.end());
  EXPECT_EQ(U32At(got, 0), 0x77777777u) << "the tag as it stood";
  for (size_t i = 4; i < 40; ++i) ASSERT_EQ(got[i], 0) << "byte " << i;
  EXPECT_EQ(U32At(got, 40), 30020u) << "the preset, in the caller's record";

  alignas(8) uint8_t buffer[16] = {};
  for (int i = 0; i < 3; ++i) {
    s.fake->script.push_back({0, true, nullptr});
    uint32_t word = 0;
    auto sent = std::async(std::launch::async, [&] {
      return i == 0 ? s.driver->LockBuffer(buffer, 16, &word)
                    : i == 1 ? s.driver->QueueBuffer(9, &word) : s.driver->FreeBuffer(buffer, &word);
    });
    ASSERT_TRUE(WaitFor([&] { return s.fake->Holding(); }));
    ASSERT_TRUE(s.fake->CompleteHeld(nullptr, 1167));
    EXPECT_EQ(sent.get(), 1167u) << "request " << i;
  }
}

// A wait for a buffer ends when its wake-up event is signalled: the request
// is cancelled before the call returns.
TEST(DriverInterface, AWokenGetBufferIsCancelled) {
  Scripted s;
  auto wake = os::Event::Create(true);
  ASSERT_TRUE(wake);
  std::array<uint8_t, 44> record{};
  s.fake->script.push_back({0, true, nullptr});
  auto waited = std::async(std::launch::async, [&] { return s.driver->GetBuffer(0xFFFFFFFF, record.data(), wake.get()); });
  ASSERT_TRUE(WaitFor([&] { return s.fake->Holding(); }));
  wake->Set();
  EXPECT_EQ(waited.get(), 995u);
  EXPECT_EQ(s.fake->cancels, 1);
  EXPECT_FALSE(s.fake->Holding());

  // Signalled before the driver answers at once: the frame is not lost.
  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) {
                              std::memset(out, 0, 44);
                              PutU32(out, 0xF00D);
                            }});
  EXPECT_EQ(s.driver->GetBuffer(10, record.data(), wake.get()), 0u);
  EXPECT_EQ(record[0], 0x0D);
}

TEST(DriverInterface, StreamAndQueueControl) {
  Scripted s;
  uint32_t word = 99;
  ASSERT_EQ(s.driver->StartStopStream(1, &word), 0u);
  EXPECT_EQ(s.fake->log.at(0).code, 0x222034u);
  EXPECT_EQ(U32At(s.fake->log.at(0).input, 0), 1u);
  EXPECT_EQ(U32At(s.fake->log.at(0).output, 0), 0u) << "word zeroed before sending";
  s.fake->script.push_back({0, false, [](uint8_t *out, uint32_t) { PutU32(out, 6); }});
  EXPECT_EQ(s.driver->StartStopStream(0, &word), 0u) << "the word is the caller's to test";
  EXPECT_EQ(word, 6u);
  ASSERT_EQ(s.driver->FlushQueue(&word), 0u);
  EXPECT_EQ(s.fake->log.at(2).code, 0x222028u);
  EXPECT_EQ(s.fake->log.at(2).inLength, 0u);
  EXPECT_FALSE(s.fake->log.at(2).overlapped);
}

TEST(DriverInterface, GetEventPendsOnTheCallersBlock) {
  Scripted s;
  std::array<uint8_t, 80> record{};
  os::IoRequest request;
  ASSERT_TRUE(request.Prepare());
  s.fake->script.push_back({0, true, nullptr});
  EXPECT_EQ(s.driver->GetEvent(record.data(), request), 997u);
  EXPECT_EQ(s.fake->log.at(0).code, 0x222038u);
  EXPECT_EQ(s.fake->log.at(0).outLength, 80u);
  ASSERT_TRUE(s.fake->CompleteHeld([](uint8_t *out, uint32_t) { PutU32(out, 0x1234); }));
  ASSERT_TRUE(request.Completion().Wait(1000));
  EXPECT_EQ(s.driver->EventResult(request), 0u);
  EXPECT_EQ(record[0], 0x34);

  ASSERT_TRUE(request.Prepare());
  EXPECT_EQ(s.driver->GetEvent(record.data(), request), 0u) << "completed at once";
  s.fake->script.push_back({0, true, nullptr});
  ASSERT_TRUE(request.Prepare());
  EXPECT_EQ(s.driver->GetEvent(record.data(), request), 997u);
  s.driver->CancelEvent(request);
  EXPECT_FALSE(s.fake->Holding());
}

TEST(DriverInterface, DestructionCancelsPendingRequestsBeforeClosing) {
  int cancelAlls = 0;
  bool closed = false;
  {
    Scripted s;
    s.fake->onCancelAll = [&] { ++cancelAlls; };
    s.fake->onClose = [&] {
      EXPECT_EQ(cancelAlls, 1) << "cancelled before the handle closes";
      closed = true;
    };
  }
  EXPECT_TRUE(closed);
}

// A driver interface that goes while a device still uses it takes that device
// out of its interface first; a thread still holding the device keeps it
// whole.
TEST(DriverInterface, DestructionWithItsDeviceLinkSetDeletesThatDeviceFirst) {
  const auto usb = std::make_shared<CInterface>("USB");
  const std::shared_ptr<CDevice> device = usb->AddDevice("ZC1000_#LINK", 3);
  ASSERT_NE(device, nullptr);
  bool goneBeforeClose = false;
  {
    Scripted s;
    s.driver->m_pDevice = device.get();
    s.fake->onClose = [&] { goneBeforeClose = !OpenDevices::Pin(device.get()); };
  }
  EXPECT_TRUE(goneBeforeClose);
  EXPECT_EQ(usb->FindDevice("ZC1000_#LINK"), nullptr);
  EXPECT_EQ(device->GetName(), "ZC1000_#LINK");
  uint8_t data[4];
  uint64_t size = sizeof data;
  EXPECT_EQ(device->ReadData(0, data, &size), -6) << "closed: no driver";
}

} // namespace
