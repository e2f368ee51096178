#include "grab_command.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "command_support.h"
#include "os/event.h"
#include "os/interrupt.h"
#include "os/system_info.h"
#include "zar_usb.h"
#include "zar_usb_camera.h"

namespace zarusb {

namespace {

constexpr uint32_t kBufferCount = 8;
constexpr int kBarWidth = 30;

static_assert(sizeof(ZAR_CAMERA_FRAME_INFO) == sizeof(ZAR_WAIT_RESULT::aFrameInfo));

// The exit code of a grab ended by Ctrl-C, as a shell reports a program
// that SIGINT ended.
constexpr int kInterruptedExit = 130;

struct Options {
  std::string camera;
  uint32_t count = 10;
  uint32_t timeoutMs = 5000;
  uint32_t every = 1;
  std::string pattern = "frame_%04d.png";
};

struct Geometry {
  uint32_t width, height, pixelFormat, payload, frameRateMilli;
};

uint32_t ReadRegister(const Session &session, uint64_t address) {
  uint32_t value = 0;
  uint64_t size = sizeof value;
  const ZAR_STATUS status = GCReadData(session.Device(), 0, address, &value, &size);
  if (status != ZAR_SUCCESS) Fail("GCReadData: " + ErrorText(session.TL(), status));
  return value;
}

// The file name of frame n: the pattern's one integer conversion (%d, %u,
// with a width and zero padding if wanted) replaced by n.
std::string FileName(const std::string &pattern, uint32_t n) {
  char name[1024];
  std::snprintf(name, sizeof name, pattern.c_str(), n);
  return name;
}

bool ValidPattern(const std::string &pattern) {
  static const std::regex oneNumber(R"(([^%]|%%)*%0?[0-9]*[du]([^%]|%%)*)");
  return std::regex_match(pattern, oneNumber);
}

// The CRC-32 of a PNG chunk (type and data).
uint32_t ChunkCrc(const uint8_t *bytes, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Mono16 as a 16-bit grey PNG. PNG filters work on the bytes of whole
// pixels, so the encoding of 16-bit grey is that of 8-bit grey with alpha
// over the same (big-endian) bytes: stb writes the latter, and the header
// is turned into the former (bit depth 16, colour type 0, its CRC anew).
bool WriteGrey16Png(const std::string &file, const uint8_t *littleEndian, int width, int height) {
  std::vector<uint8_t> bigEndian(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0; i < bigEndian.size(); i += 2) {
    bigEndian[i] = littleEndian[i + 1];
    bigEndian[i + 1] = littleEndian[i];
  }
  int length = 0;
  uint8_t *png = stbi_write_png_to_mem(bigEndian.data(), width * 2, width, height, 2, &length);
  if (png == nullptr) return false;
  // Signature (8), IHDR length (4), "IHDR" at 12, width, height, depth at 24, colour type at 25, CRC at 29.
  png[24] = 16;
  png[25] = 0;
  const uint32_t crc = ChunkCrc(png + 12, 17);
  for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  std::FILE *out = std::fopen(file.c_str(), "wb");
  const bool written = out != nullptr && std::fwrite(png, 1, length, out) == static_cast<size_t>(length);
  const bool closed = out != nullptr && std::fclose(out) == 0;
  STBIW_FREE(png);
  return written && closed;
}

bool Grey8(uint32_t pixelFormat) {
  return pixelFormat == ZAR_PIXEL_MONO8 || pixelFormat == ZAR_PIXEL_BAYER_GR8 || pixelFormat == ZAR_PIXEL_BAYER_RG8 ||
         pixelFormat == ZAR_PIXEL_BAYER_GB8 || pixelFormat == ZAR_PIXEL_BAYER_BG8;
}

// Mono8 as 8-bit grey, Mono16 as 16-bit grey, RGB8 in colour, the 8-bit
// Bayer formats as their raw mosaic in grey.
bool WritePng(const std::string &file, const uint8_t *data, const Geometry &geometry) {
  const int width = static_cast<int>(geometry.width), height = static_cast<int>(geometry.height);
  if (Grey8(geometry.pixelFormat)) return stbi_write_png(file.c_str(), width, height, 1, data, width) != 0;
  if (geometry.pixelFormat == ZAR_PIXEL_RGB8)
    return stbi_write_png(file.c_str(), width, height, 3, data, width * 3) != 0;
  return geometry.pixelFormat == ZAR_PIXEL_MONO16 && WriteGrey16Png(file, data, width, height);
}

// Frames the camera made but could not deliver (no buffer was queued): gaps
// in the frame-rate grid between two delivered frames.
uint64_t SkippedSlots(uint64_t previousUs, uint64_t currentUs, uint32_t frameRateMilli) {
  if (frameRateMilli == 0 || currentUs <= previousUs) return 0;
  const double periodUs = 1e9 / frameRateMilli;
  const auto slots = static_cast<uint64_t>(std::llround(static_cast<double>(currentUs - previousUs) / periodUs));
  return slots > 1 ? slots - 1 : 0;
}

void ShowProgress(uint32_t done, uint32_t total, double seconds) {
  const int filled = static_cast<int>(static_cast<uint64_t>(done) * kBarWidth / total);
  std::printf("\r[%s%s] %u/%u frames  %.1f fps", std::string(filled, '#').c_str(),
              std::string(kBarWidth - filled, '.').c_str(), done, total, seconds > 0 ? done / seconds : 0.0);
  std::fflush(stdout);
}

// The stream of the session's camera with its buffers announced and queued;
// closed with its buffers at the end of the scope.
class GrabStream {
public:
  GrabStream(const Session &session, uint32_t payload) : m_session(session) {
    Check(DevCreateDataStream(session.Device(), 0, &m_stream), "DevCreateDataStream");
    for (uint32_t i = 0; i < kBufferCount; ++i) {
      uint32_t id = 0;
      Check(DSAllocAndAnnounceBuffer(m_stream, payload, nullptr, nullptr, &id), "DSAllocAndAnnounceBuffer");
      Check(DSQueueBuffer(m_stream, id), "DSQueueBuffer");
    }
  }
  ~GrabStream() {
    if (m_stream != nullptr) DSClose(m_stream);
  }
  GrabStream(const GrabStream &) = delete;
  GrabStream &operator=(const GrabStream &) = delete;
  ZAR_DS_HANDLE Handle() const { return m_stream; }
  // Ends the command unless status is success, saying that the camera was
  // unplugged when it no longer answers a register read (the library may
  // fail a request before its notification of the unplug comes).
  void Check(ZAR_STATUS status, const std::string &what) const {
    if (status == ZAR_SUCCESS) return;
    uint32_t value = 0;
    uint64_t size = sizeof value;
    if (GCReadData(m_session.Device(), 0, ZAR_CAMERA_WIDTH, &value, &size) != ZAR_SUCCESS)
      Fail("camera " + m_session.Name() + " was unplugged");
    Fail(what + ": " + ErrorText(m_session.TL(), status));
  }

private:
  const Session &m_session;
  ZAR_DS_HANDLE m_stream = nullptr;
};

// Ctrl-C during the stream: the watch's thread marks it and stops the
// acquisition, which wakes the wait in progress. A stop that comes just
// before the grab's next wait begins would leave that wait to its timeout,
// so the stop is repeated until the grab has seen the mark.
class Interruption {
public:
  explicit Interruption(ZAR_DS_HANDLE stream)
      : m_seen(oxa::ZarUsb::os::Event::Create(true)),
        m_watch(m_seen ? oxa::ZarUsb::os::InterruptWatch::Start([this, stream] { Stop(stream); }) : nullptr) {}
  ~Interruption() {
    if (m_seen) m_seen->Set();
  }
  Interruption(const Interruption &) = delete;
  Interruption &operator=(const Interruption &) = delete;
  // Whether Ctrl-C came; once true, the handler stops repeating the stop.
  bool Happened() {
    if (!m_interrupted) return false;
    m_seen->Set();
    return true;
  }

private:
  void Stop(ZAR_DS_HANDLE stream) {
    m_interrupted = true;
    for (int tries = 0; tries < 50; ++tries) {
      DSStopAcquisition(stream, 0);
      if (m_seen->Wait(100)) return;
    }
  }

  std::atomic<bool> m_interrupted{false};
  std::unique_ptr<oxa::ZarUsb::os::Event> m_seen;
  std::unique_ptr<oxa::ZarUsb::os::InterruptWatch> m_watch; // ends first: no Stop runs after
};

void Grab(const Options &options) {
  if (!ValidPattern(options.pattern)) Fail("-o takes a file name with one %d (or %05d, %u ...), e.g. frame_%04d.png");
  const Session session(options.camera);
  const Geometry geometry{ReadRegister(session, ZAR_CAMERA_WIDTH), ReadRegister(session, ZAR_CAMERA_HEIGHT),
                          ReadRegister(session, ZAR_CAMERA_PIXEL_FORMAT),
                          ReadRegister(session, ZAR_CAMERA_PAYLOAD_SIZE),
                          ReadRegister(session, ZAR_CAMERA_FRAME_RATE_MILLI)};
  if (!Grey8(geometry.pixelFormat) && geometry.pixelFormat != ZAR_PIXEL_MONO16 &&
      geometry.pixelFormat != ZAR_PIXEL_RGB8)
    Fail("pixel format 0x" + std::to_string(geometry.pixelFormat) + " cannot be written as PNG");
  std::printf("Grabbing %u frames of %ux%u from %s\n", options.count, geometry.width, geometry.height,
              session.Name().c_str());
  std::fflush(stdout);

  GrabStream stream(session, geometry.payload);
  const bool terminal = oxa::ZarUsb::os::StandardOutputIsTerminal();
  const auto start = std::chrono::steady_clock::now();
  Interruption interruption(stream.Handle());
  stream.Check(DSStartAcquisition(stream.Handle(), 0, options.count), "DSStartAcquisition");
  uint64_t lost = 0, lastTimestamp = 0;
  uint32_t written = 0, received = 0;
  std::string firstFile, lastFile;
  for (; received < options.count && !interruption.Happened(); ++received) {
    const uint32_t n = received;
    ZAR_WAIT_RESULT result{};
    const ZAR_STATUS waited = DSWaitForBuffer(stream.Handle(), options.timeoutMs, 0, &result, nullptr);
    if (waited != ZAR_SUCCESS && interruption.Happened()) break;
    stream.Check(waited, waited == ZAR_ERR_TIMEOUT
                             ? "no frame within " + std::to_string(options.timeoutMs) + " ms: DSWaitForBuffer"
                             : "DSWaitForBuffer");
    ZAR_CAMERA_FRAME_INFO info;
    std::memcpy(&info, result.aFrameInfo, sizeof info);
    if (n != 0) lost += SkippedSlots(lastTimestamp, info.iTimestampUs, geometry.frameRateMilli);
    lastTimestamp = info.iTimestampUs;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (n % options.every == 0) {
      const std::string file = FileName(options.pattern, n);
      if (!WritePng(file, static_cast<const uint8_t *>(result.pBase), geometry)) Fail("cannot write " + file);
      if (firstFile.empty()) firstFile = file;
      lastFile = file;
      ++written;
      if (!terminal) std::printf("frame %u (id %llu) -> %s\n", n, static_cast<unsigned long long>(info.iFrameID),
                                 file.c_str());
    }
    if (terminal) ShowProgress(n + 1, options.count, seconds);
    stream.Check(DSQueueBuffer(stream.Handle(), result.iID), "DSQueueBuffer");
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool interrupted = received < options.count;
  if (!interrupted) stream.Check(DSStopAcquisition(stream.Handle(), 0), "DSStopAcquisition");
  if (terminal) std::printf("\n");
  const double mebibytes = static_cast<double>(received) * geometry.payload / (1024.0 * 1024.0);
  std::printf("%u frames%s, %llu lost, %.1f MiB/s; %u PNG files: %s%s%s\n", received,
              interrupted ? " (interrupted)" : "", static_cast<unsigned long long>(lost),
              seconds > 0 ? mebibytes / seconds : 0.0, written, firstFile.c_str(), written > 1 ? " ... " : "",
              written > 1 ? lastFile.c_str() : "");
  if (interrupted) {
    std::fflush(stdout);
    throw CLI::RuntimeError(kInterruptedExit);
  }
}

} // namespace

void AddGrabCommand(CLI::App &app) {
  auto options = std::make_shared<Options>();
  CLI::App *grab = app.add_subcommand("grab", "Stream frames from a camera and write them to PNG files");
  grab->add_option("--camera,--serial", options->camera, kCameraHelp);
  grab->add_option("--count", options->count, "Frames to grab")->check(CLI::Range(1u, 1000000u));
  grab->add_option("--timeout", options->timeoutMs, "Longest wait for a frame, in milliseconds");
  grab->add_option("--every", options->every, "Write every k-th frame")->check(CLI::Range(1u, 1000000u));
  grab->add_option("-o,--output", options->pattern, "File names, with one %d for the frame number");
  grab->callback([options] { Grab(*options); });
}

} // namespace zarusb
