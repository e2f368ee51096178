#pragma once
// One camera streaming into buffers of its own, for the zarusbsrc element,
// through the public C API alone.
//
// Frames leave as pointers into the camera's buffers (no copy). A frame's
// buffer goes back to the camera when its holder calls Release, from any
// thread. Release never calls into the library: DSQueueBuffer would wait for
// the DSWaitForBuffer that the streaming thread may be in, which may itself
// wait for that buffer. Released buffers are requeued by the streaming thread
// before each wait instead, and Next waits for a release when the camera has
// no buffer left. The stream, the camera and the transport layer are closed
// when the last holder (the element or a frame still downstream) lets go.
// The camera opens without a stream: its features are set first (they may
// change the frame's size), then Allocate sizes the buffers to the frame.
// The buffers are this object's memory, announced to the library, not the
// library's own: the library frees its memory when it closes a camera on an
// unplug, and a frame may still be read downstream then.

#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zar_features.h"
#include "zar_usb.h"

namespace zarusbsrc {

struct Geometry {
  uint32_t width, height, pixelFormat, payload;
  uint32_t frameRateMilli; // frames per 1000 s; 0: as fast as buffers come
};

// Which camera: the one with this serial number, else the index-th listed.
struct Selection {
  std::string serial;
  uint32_t index = 0;
};

struct Frame {
  const uint8_t *data;
  uint32_t id; // buffer ID, for Release
  uint32_t size;
  uint64_t frameId;     // the camera's frame counter
  uint64_t timestampUs; // the camera's clock
};

enum class Outcome { Frame, Flushing, Unplugged, TimedOut, Failed };

class CameraStream {
public:
  // Opens the camera and its features; null with *error set when it cannot.
  static std::shared_ptr<CameraStream> Open(const Selection &selection, std::string *error);
  ~CameraStream();
  CameraStream(const CameraStream &) = delete;
  CameraStream &operator=(const CameraStream &) = delete;

  // The camera's features by name; not while Next may run.
  ZAR_FEATURES *Features() const { return m_features; }
  const std::string &Name() const { return m_name; }

  // Reads the frame's geometry and announces `buffers` buffers of its
  // payload, all queued: again (after the features changed it) only while
  // every buffer is back and the acquisition stopped; nothing changes when
  // the geometry did not. False with *error set when it cannot; Shape holds
  // the geometry after a success.
  bool Allocate(uint32_t buffers, std::string *error);
  // No stream yet, or every buffer back and the acquisition stopped: the
  // frame's format may change.
  bool Idle();
  // A register of the camera (ZAR_CAMERA_*); false when it cannot be read.
  bool Read(uint64_t address, uint32_t *value) const;
  const Geometry &Shape() const { return m_geometry; }

  // The next frame, waiting at most timeoutMs for the camera (time spent
  // waiting for a holder to release a buffer does not count). Starts the
  // acquisition when it is not running. After Allocate, on the streaming
  // thread only. Failed: *status holds the library's code and *text its
  // message.
  Outcome Next(uint32_t timeoutMs, Frame *frame, ZAR_STATUS *status, std::string *text);
  // Gives a frame's buffer back; any thread, never blocks on the library.
  void Release(uint32_t id);
  // Ends a pending or coming Next with Flushing (within 100 ms at most) and
  // stops the acquisition, until Resume. Any thread.
  void Interrupt();
  void Resume();

private:
  CameraStream() = default;
  bool Answers() const;
  std::string ErrorText(ZAR_STATUS status) const;

  ZAR_TL_HANDLE m_tl = nullptr;
  ZAR_DEV_HANDLE m_device = nullptr;
  ZAR_DS_HANDLE m_stream = nullptr;
  ZAR_FEATURES *m_features = nullptr;
  Geometry m_geometry{};
  std::string m_name;
  std::vector<std::unique_ptr<uint8_t[]>> m_memory; // the announced buffers; freed after DSClose

  uint32_t m_queued = 0; // queued in the library; the streaming thread's alone

  std::mutex m_mutex; // guards what follows; held while starting and stopping the acquisition
  std::condition_variable m_released;
  std::vector<uint32_t> m_returned; // released, not yet requeued
  bool m_flushing = false;
  bool m_acquiring = false;
};

} // namespace zarusbsrc
