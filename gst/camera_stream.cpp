#include "camera_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "zar_usb_camera.h"

namespace zarusbsrc {

namespace {

// A wait on the library lasts at most this long, so that an Interrupt that
// came just before the wait began ends it in bounded time.
constexpr uint32_t kWaitSliceMs = 100;

static_assert(sizeof(ZAR_CAMERA_FRAME_INFO) == sizeof(ZAR_WAIT_RESULT::aFrameInfo));

// The listed name of the camera with that serial number ("NAME_#SERIAL",
// perhaps with "_N" after it), or of the index-th camera; empty when none.
std::string FindCamera(ZAR_TL_HANDLE tl, const Selection &selection) {
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  const std::string mark = "_#" + selection.serial;
  for (uint32_t i = 0; i < count; ++i) {
    char name[260] = {};
    if (TLGetDeviceName(tl, "USB", i, name, sizeof name) != ZAR_SUCCESS) continue;
    const std::string listed = name;
    if (selection.serial.empty()) {
      if (i == selection.index) return listed;
      continue;
    }
    const size_t at = listed.rfind(mark);
    if (at != std::string::npos && (at + mark.size() == listed.size() || listed[at + mark.size()] == '_'))
      return listed;
  }
  return {};
}

} // namespace

std::shared_ptr<CameraStream> CameraStream::Open(const Selection &selection, std::string *error) {
  std::shared_ptr<CameraStream> camera(new CameraStream);
  if (TLOpen(nullptr, nullptr, &camera->m_tl) != ZAR_SUCCESS) {
    *error = "the ZAR_USB transport layer cannot be opened";
    return nullptr;
  }
  uint8_t changed = 0;
  TLUpdateDeviceList(camera->m_tl, "USB", &changed); // waits for the first scan of the cameras
  camera->m_name = FindCamera(camera->m_tl, selection);
  if (camera->m_name.empty()) {
    *error = selection.serial.empty() ? "no camera at index " + std::to_string(selection.index)
                                      : "no camera with serial number '" + selection.serial + "'";
    return nullptr;
  }
  if (const ZAR_STATUS status = TLOpenDevice(camera->m_tl, "USB", camera->m_name.c_str(), &camera->m_device)) {
    *error = "TLOpenDevice failed on camera '" + camera->m_name + "': " + camera->ErrorText(status);
    return nullptr;
  }
  char message[512] = {};
  camera->m_features = zar_features_open(camera->m_device, nullptr, message, sizeof message);
  if (camera->m_features == nullptr) {
    *error = "the features of camera '" + camera->m_name + "' cannot be read: " + message;
    return nullptr;
  }
  return camera;
}

bool CameraStream::Allocate(uint32_t buffers, std::string *error) {
  Geometry shape{};
  const std::pair<uint64_t, uint32_t *> registers[] = {
      {ZAR_CAMERA_WIDTH, &shape.width},
      {ZAR_CAMERA_HEIGHT, &shape.height},
      {ZAR_CAMERA_PIXEL_FORMAT, &shape.pixelFormat},
      {ZAR_CAMERA_PAYLOAD_SIZE, &shape.payload},
      {ZAR_CAMERA_FRAME_RATE_MILLI, &shape.frameRateMilli}};
  for (const auto &[address, value] : registers) {
    if (!Read(address, value)) {
      *error = "camera '" + m_name + "' does not answer";
      return false;
    }
  }
  if (m_stream != nullptr) {
    if (std::memcmp(&shape, &m_geometry, sizeof shape) == 0 && m_memory.size() == buffers) return true;
    if (!Idle()) {
      *error = "the frame's format cannot change while frames are in flight";
      return false;
    }
    const std::lock_guard lock(m_mutex);
    DSClose(m_stream);
    m_stream = nullptr;
    m_memory.clear();
    m_returned.clear();
    m_queued = 0;
  }
  m_geometry = shape;
  const auto fail = [&](const char *what, ZAR_STATUS status) {
    *error = std::string(what) + " failed on camera '" + m_name + "': " + ErrorText(status);
    return false;
  };
  if (const ZAR_STATUS status = DevCreateDataStream(m_device, 0, &m_stream)) return fail("DevCreateDataStream", status);
  for (uint32_t i = 0; i < buffers; ++i) {
    uint32_t id = 0;
    m_memory.emplace_back(new uint8_t[shape.payload]);
    if (const ZAR_STATUS status = DSAnnounceBuffer(m_stream, m_memory.back().get(), shape.payload, nullptr, &id))
      return fail("DSAnnounceBuffer", status);
    if (const ZAR_STATUS status = DSQueueBuffer(m_stream, id)) return fail("DSQueueBuffer", status);
    ++m_queued;
  }
  return true;
}

bool CameraStream::Idle() {
  const std::lock_guard lock(m_mutex);
  return m_stream == nullptr || (!m_acquiring && m_queued + m_returned.size() == m_memory.size());
}

bool CameraStream::Read(uint64_t address, uint32_t *value) const {
  uint64_t size = sizeof *value;
  return GCReadData(m_device, 0, address, value, &size) == ZAR_SUCCESS;
}

// The closes answer once the library is done with the buffers, also when it
// closed an unplugged camera itself; the buffers go after them.
CameraStream::~CameraStream() {
  if (m_stream != nullptr) DSClose(m_stream);
  zar_features_close(m_features);
  if (m_device != nullptr) DevClose(m_device);
  if (m_tl != nullptr) TLClose(m_tl);
}

Outcome CameraStream::Next(uint32_t timeoutMs, Frame *frame, ZAR_STATUS *status, std::string *text) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<uint32_t> returned;
    {
      std::unique_lock lock(m_mutex);
      if (m_queued == 0 && m_returned.empty()) {
        // Every buffer is held downstream: wait for one to come back.
        m_released.wait(lock, [&] { return m_flushing || !m_returned.empty(); });
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
      }
      if (m_flushing) return Outcome::Flushing;
      returned.swap(m_returned);
      if (!m_acquiring) {
        *status = DSStartAcquisition(m_stream, 0, 1);
        if (*status != ZAR_SUCCESS) {
          *text = "DSStartAcquisition: " + ErrorText(*status);
          return Answers() ? Outcome::Failed : Outcome::Unplugged;
        }
        m_acquiring = true;
      }
    }
    for (uint32_t id : returned)
      if (DSQueueBuffer(m_stream, id) == ZAR_SUCCESS) ++m_queued;

    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const auto slice = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, kWaitSliceMs));
    ZAR_WAIT_RESULT result{};
    *status = DSWaitForBuffer(m_stream, slice, 0, &result, nullptr);
    if (*status == ZAR_SUCCESS) {
      ZAR_CAMERA_FRAME_INFO info;
      std::memcpy(&info, result.aFrameInfo, sizeof info);
      *frame = {static_cast<const uint8_t *>(result.pBase), result.iID, m_geometry.payload, info.iFrameID,
                info.iTimestampUs};
      --m_queued;
      return Outcome::Frame;
    }
    {
      const std::lock_guard lock(m_mutex);
      if (m_flushing) return Outcome::Flushing;
    }
    // An unplug ends the wait at once, as a timeout; the camera then no
    // longer answers.
    if (!Answers()) return Outcome::Unplugged;
    if (*status != ZAR_ERR_TIMEOUT) {
      *text = "DSWaitForBuffer: " + ErrorText(*status);
      return Outcome::Failed;
    }
    if (Clock::now() >= deadline) return Outcome::TimedOut;
  }
}

void CameraStream::Release(uint32_t id) {
  const std::lock_guard lock(m_mutex);
  m_returned.push_back(id);
  m_released.notify_all();
}

void CameraStream::Interrupt() {
  const std::lock_guard lock(m_mutex);
  m_flushing = true;
  // Ends a pending DSWaitForBuffer at once.
  if (m_acquiring) DSStopAcquisition(m_stream, 0);
  m_acquiring = false;
  m_released.notify_all();
}

void CameraStream::Resume() {
  const std::lock_guard lock(m_mutex);
  m_flushing = false;
}

bool CameraStream::Answers() const {
  uint32_t width = 0;
  return Read(ZAR_CAMERA_WIDTH, &width);
}

std::string CameraStream::ErrorText(ZAR_STATUS status) const {
  const char *text = nullptr;
  GCGetErrorText(m_tl, status, &text);
  return std::to_string(status) + " (" + (text != nullptr ? text : "?") + ")";
}

} // namespace zarusbsrc
