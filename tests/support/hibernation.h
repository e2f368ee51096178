#pragma once
// Cameras held open across an emulated suspend: the events each device's
// callbacks and the transport layer's callbacks heard, with their times,
// and the steps of a hibernation (suspend, cameras lost, resume, cameras
// back) taken one by one.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera_bench.h"

namespace zar_test {

using Clock = std::chrono::steady_clock;

class EventLog {
public:
  struct Entry {
    uint32_t code;
    std::string name; // the camera name the event carried, if any
    Clock::time_point at;
  };
  // A callback (ZAR_CALLBACK) whose context is an EventLog.
  static void Record(uint32_t code, void *pData, int64_t size, void *pContext);
  // When the first event of that code (and name, when given) came, waiting
  // for it up to the time.
  std::optional<Clock::time_point> Await(uint32_t code, uint32_t milliseconds = 20000, const std::string &name = "");
  size_t Count(uint32_t code);
  std::vector<Entry> Entries();

private:
  std::mutex m_lock;
  std::vector<Entry> m_entries;
};

// The wait after a resume that the tests give the library (the test
// setting of its recovery), set while the object lives.
class ShortRecoveryWait {
public:
  static constexpr uint32_t kMilliseconds = 3000;
  ShortRecoveryWait();
  ~ShortRecoveryWait();
};

// The transport layer open with a callback, and cameras plugged and opened
// with their own callbacks.
class HeldCameras {
public:
  struct Camera {
    oxa::ZarUsb::emulator::CameraConfig config;
    std::string name;
    uint32_t slot = 0;
    ZAR_DEV_HANDLE device = nullptr;
    EventLog events;
  };
  HeldCameras();
  ~HeldCameras();
  ZAR_TL_HANDLE TL() const { return m_tl; }
  EventLog &TLEvents() { return m_tlEvents; }
  // Plugs and opens a camera (null when that failed).
  Camera *Open(const oxa::ZarUsb::emulator::CameraConfig &config);

  // The system suspends: the emulator announces it, and every device hears it.
  bool Suspend();
  // The camera drops off the bus; its device is parked (or, when the
  // process does not sleep, closed).
  bool Lose(Camera &camera);
  // The camera comes back (a new slot, as after a hibernation), under its
  // old name or the name given.
  void Return(Camera &camera, const std::string &userName = "");
  // Closes the transport layer (the devices go with it).
  void CloseTL();

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  EventLog m_tlEvents;
  std::deque<Camera> m_cameras;
  PluggedCameras m_plugged;
};

// Runs `step` over and over on a thread of its own until Stop(), or the end
// of its life (a failed assertion never leaves it running).
class Repeating {
public:
  explicit Repeating(std::function<void()> step);
  ~Repeating() { Stop(); }
  void Stop();

private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// DevGetInfo's answer for the handle: 0 open and bound, -6 parked, -2 gone.
int32_t DeviceState(ZAR_DEV_HANDLE device);

} // namespace zar_test
