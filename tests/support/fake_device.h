#pragma once
// A scripted DeviceIo: records every request byte for byte and answers as
// the test scripts it. A request scripted to pend is held until the test
// completes it or the library cancels it; once cancelled, nothing of it is
// touched any more, as the system guarantees.

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "os/device_io.h"

namespace zar_test {

struct Recorded {
  uint32_t code;
  bool overlapped;
  const void *inPointer;
  std::vector<uint8_t> input;  // the input bytes as sent
  uint32_t inLength;
  std::vector<uint8_t> output; // the output buffer as it was when sent
  uint32_t outLength;
};

struct Answer {
  uint32_t error = 0; // non-zero: the request fails with it
  bool pend = false;  // held until CompleteHeld or a cancel
  // Fills the output (the driver's reply); *bytes as the driver reports.
  std::function<void(uint8_t *out, uint32_t outLength)> reply;
};

class FakeDevice : public oxa::ZarUsb::os::DeviceIo {
public:
  std::deque<Answer> script; // answered in order; an empty script answers success
  std::vector<Recorded> log;
  int cancels = 0;
  // Called when the library cancels everything, and when it closes the device.
  std::function<void()> onCancelAll, onClose;

  ~FakeDevice() override {
    if (onClose) onClose();
  }

  uint32_t Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                   uint32_t *bytes) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Answer answer = Take(code, false, in, inLength, out, outLength);
    if (answer.pend) return oxa::ZarUsb::os::kErrorIoPending;
    if (answer.error != 0) return answer.error;
    if (answer.reply) answer.reply(static_cast<uint8_t *>(out), outLength);
    if (bytes != nullptr) *bytes = outLength;
    return 0;
  }

  uint32_t Submit(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  oxa::ZarUsb::os::IoRequest &request) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Answer answer = Take(code, true, in, inLength, out, outLength);
    if (answer.error != 0) return answer.error;
    if (answer.pend) {
      m_held = {&request, static_cast<uint8_t *>(out), outLength};
      return oxa::ZarUsb::os::kErrorIoPending;
    }
    if (answer.reply) answer.reply(static_cast<uint8_t *>(out), outLength);
    request.Complete(0, outLength);
    return 0;
  }

  uint32_t Result(oxa::ZarUsb::os::IoRequest &request, uint32_t *bytes) noexcept override {
    if (bytes != nullptr) *bytes = request.Bytes();
    return request.Status();
  }

  void Cancel(oxa::ZarUsb::os::IoRequest &request) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++cancels;
    if (m_held.request == &request) {
      request.Complete(oxa::ZarUsb::os::kErrorOperationAborted, 0);
      m_held = {};
    }
  }

  uint32_t CancelAll() noexcept override {
    if (onCancelAll) onCancelAll();
    return 0;
  }

  // Completes the held request with the reply (status 0, or the given
  // error); false when nothing is held any more (it was cancelled).
  bool CompleteHeld(const std::function<void(uint8_t *out, uint32_t outLength)> &reply, uint32_t status = 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held.request == nullptr) return false;
    if (reply) reply(m_held.out, m_held.outLength);
    m_held.request->Complete(status, m_held.outLength);
    m_held = {};
    return true;
  }
  bool Holding() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.request != nullptr;
  }

private:
  Answer Take(uint32_t code, bool overlapped, const void *in, uint32_t inLength, void *out, uint32_t outLength) {
    Recorded record{code, overlapped, in, {}, inLength, {}, outLength};
    if (in != nullptr) record.input.assign(static_cast<const uint8_t *>(in), static_cast<const uint8_t *>(in) + inLength);
    if (out != nullptr)
      record.output.assign(static_cast<const uint8_t *>(out), static_cast<const uint8_t *>(out) + outLength);
    log.push_back(std::move(record));
    if (script.empty()) return {};
    Answer answer = script.front();
    script.pop_front();
    return answer;
  }

  struct Held {
    oxa::ZarUsb::os::IoRequest *request = nullptr;
    uint8_t *out = nullptr;
    uint32_t outLength = 0;
  };
  std::mutex m_mutex;
  Held m_held;
};

// Little-endian helpers for byte checks.
inline uint32_t U32At(const std::vector<uint8_t> &bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}
inline uint64_t U64At(const std::vector<uint8_t> &bytes, size_t offset) {
  uint64_t value;
  std::memcpy(&value, bytes.data() + offset, 8);
  return value;
}
inline void PutU32(uint8_t *at, uint32_t value) { std::memcpy(at, &value, 4); }
inline void PutU64(uint8_t *at, uint64_t value) { std::memcpy(at, &value, 8); }

} // namespace zar_test
