#pragma once
// An emulated camera opened with its data stream created; filled frames checked against the emulator's pattern.

#include <cstdint>
#include <string>
#include <vector>

#include "open_camera.h"

namespace zar_test {

// A config of its own (serial numbers never repeat within a run): 64x8 Mono8 at an unlimited frame rate.
oxa::ZarUsb::emulator::CameraConfig StreamConfig(const std::string &prefix);

class OpenStream : public OpenCamera {
public:
  explicit OpenStream(const oxa::ZarUsb::emulator::CameraConfig &config);
  ~OpenStream() { Close(); }
  bool Ready() const { return m_stream != nullptr; }
  ZAR_DS_HANDLE Stream() const { return m_stream; }
  uint32_t FrameBytes() const { return m_frameBytes; }
  void Forget() { m_stream = nullptr; } // closed elsewhere
  ZAR_STATUS Close(); // DSClose, then forgotten

private:
  uint32_t m_frameBytes;
  ZAR_DS_HANDLE m_stream = nullptr;
};

// Announces `count` library buffers of `bytes` each and queues them; their IDs (empty when a step failed).
std::vector<uint32_t> AnnounceAndQueue(ZAR_DS_HANDLE stream, uint32_t bytes, uint32_t count);
// Empty when `data` is frame `frameId` of the Mono8 test pattern at that geometry, else where it differs.
std::string PatternMismatch(const uint8_t *data, uint32_t width, uint32_t height, uint64_t frameId);
// The frame id the emulator wrote into a wait result's frame information.
uint64_t FrameId(const ZAR_WAIT_RESULT &result);

} // namespace zar_test
