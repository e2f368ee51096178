#pragma once
// What an emulated camera is: identity, geometry, pixel format, frame rate;
// its register map; the per-frame information its driver reports.

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::emulator {

// Pixel formats (GenICam PFNC values).
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono16 = 0x01100007;
constexpr uint32_t kRGB8 = 0x02180014;
constexpr uint32_t kBayerRG8 = 0x01080009; // rows R G R G ..., G B G B ...
constexpr uint32_t kBayerGB8 = 0x0108000A; // rows G B G B ..., R G R G ...

// Bytes per pixel of a supported format; 0 for any other.
constexpr uint32_t BytesPerPixel(uint32_t pixelFormat) {
  return pixelFormat == kMono8 || pixelFormat == kBayerRG8 || pixelFormat == kBayerGB8 ? 1
         : pixelFormat == kMono16                                                 ? 2
         : pixelFormat == kRGB8                                                   ? 3
                                                                                  : 0;
}

// The largest width and height, in pixels.
constexpr uint32_t kMaxDimension = 16384;

// A pixel format by name ("Mono8", "Mono16", "RGB8", "BayerRG8",
// "BayerGB8"); 0 when unknown.
inline uint32_t PixelFormatByName(const std::string &name) {
  return name == "Mono8"      ? kMono8
         : name == "Mono16"   ? kMono16
         : name == "RGB8"     ? kRGB8
         : name == "BayerRG8" ? kBayerRG8
         : name == "BayerGB8" ? kBayerGB8
                              : 0;
}

// Exposure and gain scale the image's brightness by
// (exposure / kReferenceExposureUs) * 10^(gain / 20): at the defaults, 1.
constexpr float kReferenceExposureUs = 10000.0f;
constexpr float kMinExposureUs = 10.0f, kMaxExposureUs = 1000000.0f;
constexpr float kMaxGainDb = 24.0f;

struct CameraConfig {
  std::string vendor = "RK46";
  std::string model = "ZC1000";
  std::string version = "1.0";
  std::string serial = "EMU0001";
  std::string userName{};        // the 16-byte name at 0x80; empty: not set
  uint32_t register90 = 0x00010000; // the 32-bit value at 0x90
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t pixelFormat = kMono8;
  uint32_t frameRateMilli = 30000; // 30 frames per second; 0: unlimited
  uint32_t interfaceClass = 0;     // 0-20
};

// Camera registers (access mode 1). Texts are 32 bytes, zero-padded.
namespace reg {
constexpr uint32_t kVendorName = 0x00;
constexpr uint32_t kModelName = 0x20;
constexpr uint32_t kDeviceVersion = 0x40;
constexpr uint32_t kSerialNumber = 0x60;
constexpr uint32_t kUserName = 0x80;        // 16 bytes, read-write
constexpr uint32_t kRegister90 = 0x90;      // read-only
constexpr uint32_t kWidth = 0x100;          // read-write
constexpr uint32_t kHeight = 0x104;         // read-write
constexpr uint32_t kPixelFormat = 0x108;    // read-write, a supported format
constexpr uint32_t kPayloadSize = 0x10C;    // read-only: width * height * bytes per pixel
constexpr uint32_t kAcquisitionStart = 0x110; // write-only command
constexpr uint32_t kAcquisitionStop = 0x114;  // write-only command
constexpr uint32_t kFrameRate = 0x118;      // read-write, frames per 1000 s, 0 unlimited
constexpr uint32_t kTestEvent = 0x11C;      // write-only: raises the event of that id
constexpr uint32_t kExposureTime = 0x120;   // read-write float, microseconds
constexpr uint32_t kGain = 0x124;           // read-write float, dB
constexpr uint32_t kOffsetX = 0x128;        // read-write: offset + width at most kMaxDimension
constexpr uint32_t kOffsetY = 0x12C;        // read-write: offset + height at most kMaxDimension
constexpr uint32_t kTriggerMode = 0x130;    // read-write: 0 off (free-running), 1 on
constexpr uint32_t kTriggerSource = 0x134;  // read-write: 0 software, the one source
constexpr uint32_t kTriggerSoftware = 0x138; // write-only: one frame, while the trigger mode is on
constexpr uint32_t kFrameRateFloat = 0x13C; // read-write float, frames per second: kFrameRate in other units
constexpr uint32_t kControlEnd = 0x140;
constexpr uint32_t kUserMemory = 0x1000;    // 4096 bytes, read-write
// Transport-layer registers (access mode 0).
constexpr uint32_t kTLVersion = 0x00;   // read-only, 0x00010503
constexpr uint32_t kTLLinkSpeed = 0x04; // read-only, Mbit/s
constexpr uint32_t kTLUserData = 0x08;  // 64 bytes, read-write
} // namespace reg

// Driver error words of the virtual driver.
namespace error_word {
constexpr uint32_t kAddress = 0x0001;       // no register at (part of) the range
constexpr uint32_t kReadOnly = 0x0002;      // a write to a read-only register
constexpr uint32_t kValue = 0x0003;         // a value the register does not take
constexpr uint32_t kUnknownBuffer = 0x0004; // no locked buffer with that tag
constexpr uint32_t kBufferState = 0x0005;   // buffer already locked, or already queued
constexpr uint32_t kBufferTooSmall = 0x0006;
constexpr uint32_t kTimeout = 0x0007;       // GetBuffer: no frame within the timeout
constexpr uint32_t kMalformed = 0x0008;     // request or reply of the wrong length
} // namespace error_word

// Per-frame information in a buffer completion (bytes 4 to 35), and the
// value at offset 36:
//   4  u64 frame id, counting from 1 since the camera was opened
//   12 u64 timestamp, microseconds since the camera was opened, on the
//          frame-rate grid (frames missed while no buffer was queued are
//          dropped, their slots skipped)
//   20 u32 width      24 u32 height      28 u32 pixel format
//   32 u32 bytes written into the buffer
//   36 u32 the frame's full size (more than bytes written when the buffer
//          was too small for it)
struct FrameInfo {
  uint64_t frameId;
  uint64_t timestampUs;
  uint32_t width;
  uint32_t height;
  uint32_t pixelFormat;
  uint32_t bytesWritten;
};
static_assert(sizeof(FrameInfo) == 32);

} // namespace oxa::ZarUsb::emulator
