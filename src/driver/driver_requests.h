#pragma once
// The camera driver's I/O control protocol: control codes, request and reply
// layouts (little-endian, byte offsets fixed), preset words. Shared by the
// library's CDriverInterface and the emulator's virtual driver.

#include <cstddef>
#include <cstdint>

namespace oxa::ZarUsb::driver {

constexpr uint32_t ControlCode(uint32_t function, uint32_t method) {
  return (0x22u << 16) | (function << 2) | method; // FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS
}
constexpr uint32_t kMethodBuffered = 0, kMethodNeither = 3;

constexpr uint32_t kWriteMemMode1 = ControlCode(0x804, kMethodBuffered);
constexpr uint32_t kReadMemMode1 = ControlCode(0x805, kMethodBuffered);
constexpr uint32_t kWriteMemMode0 = ControlCode(0x806, kMethodBuffered);
constexpr uint32_t kReadMemMode0 = ControlCode(0x807, kMethodBuffered);
constexpr uint32_t kLockBuffer = ControlCode(0x808, kMethodNeither);
constexpr uint32_t kQueueBuffer = ControlCode(0x809, kMethodBuffered);
constexpr uint32_t kFlushQueue = ControlCode(0x80A, kMethodBuffered);
constexpr uint32_t kGetBuffer = ControlCode(0x80B, kMethodBuffered);
constexpr uint32_t kFreeBuffer = ControlCode(0x80C, kMethodBuffered);
constexpr uint32_t kStartStopStream = ControlCode(0x80D, kMethodBuffered);
constexpr uint32_t kGetEvent = ControlCode(0x80E, kMethodBuffered);
constexpr uint32_t kWriteMemMode2 = ControlCode(0x80F, kMethodBuffered);
constexpr uint32_t kReadMemMode2 = ControlCode(0x810, kMethodBuffered);

static_assert(kWriteMemMode1 == 0x222010 && kReadMemMode1 == 0x222014 && kWriteMemMode0 == 0x222018 &&
              kReadMemMode0 == 0x22201C && kLockBuffer == 0x222023 && kQueueBuffer == 0x222024 &&
              kFlushQueue == 0x222028 && kGetBuffer == 0x22202C && kFreeBuffer == 0x222030 &&
              kStartStopStream == 0x222034 && kGetEvent == 0x222038 && kWriteMemMode2 == 0x22203C &&
              kReadMemMode2 == 0x222040);

// The thirteen codes in function order (function 0x804 first).
constexpr uint32_t kControlCodes[13] = {kWriteMemMode1, kReadMemMode1, kWriteMemMode0,  kReadMemMode0, kLockBuffer,
                                        kQueueBuffer,   kFlushQueue,   kGetBuffer,      kFreeBuffer,   kStartStopStream,
                                        kGetEvent,      kWriteMemMode2, kReadMemMode2};

// Access modes of the memory requests.
constexpr uint32_t kAccessTransportLayer = 0, kAccessCamera = 1, kAccessCustomFeature = 2;

constexpr uint32_t WriteMemCode(uint32_t mode) {
  return mode == kAccessCamera ? kWriteMemMode1 : mode == kAccessCustomFeature ? kWriteMemMode2 : kWriteMemMode0;
}
constexpr uint32_t ReadMemCode(uint32_t mode) {
  return mode == kAccessCamera ? kReadMemMode1 : mode == kAccessCustomFeature ? kReadMemMode2 : kReadMemMode0;
}

// Preset driver error words: a reply that leaves them unwritten reads as a failure.
constexpr uint32_t kReadReplyPreset = 30023;  // 0x7547
constexpr uint32_t kCompletionPreset = 30020; // 0x7544

constexpr uint32_t kStreamStop = 0, kStreamStart = 1;

#pragma pack(push, 1)

// Write request: header, then `size` data bytes.
struct WriteRequestHeader {
  uint64_t address;
  uint64_t size;
};
struct WriteReply {
  uint64_t count;
  uint32_t driverError;
};
struct ReadRequest {
  uint64_t address;
  uint64_t size;
};
// Read reply: header, then the data.
struct ReadReplyHeader {
  uint64_t count;
  uint32_t driverError;
};
struct BufferCompletion {
  uint32_t tag;
  uint8_t frameInfo[32];
  uint32_t frameValue;
  uint32_t driverError;
};
struct EventRecord {
  uint32_t id;
  int32_t length;
  uint8_t reserved[8];
  uint8_t data[64];
};

#pragma pack(pop)

static_assert(sizeof(WriteRequestHeader) == 16 && offsetof(WriteRequestHeader, size) == 8);
static_assert(sizeof(WriteReply) == 12 && offsetof(WriteReply, driverError) == 8);
static_assert(sizeof(ReadRequest) == 16 && offsetof(ReadRequest, size) == 8);
static_assert(sizeof(ReadReplyHeader) == 12 && offsetof(ReadReplyHeader, driverError) == 8);
static_assert(sizeof(BufferCompletion) == 44 && offsetof(BufferCompletion, frameInfo) == 4 &&
              offsetof(BufferCompletion, frameValue) == 36 && offsetof(BufferCompletion, driverError) == 40);
static_assert(sizeof(EventRecord) == 80 && offsetof(EventRecord, length) == 4 && offsetof(EventRecord, data) == 16);

// The driver tag of a buffer: the low 32 bits of its address.
inline uint32_t DriverTag(const void *buffer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)); }

} // namespace oxa::ZarUsb::driver
