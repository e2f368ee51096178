// RAII wrappers of the ZAR_USB handles: each object owns one handle and
// closes it when it goes out of scope; a failed call throws zar::Error with
// the library's code and text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zar_usb.h"

namespace zar {

class Error : public std::runtime_error {
public:
  Error(const std::string &what, ZAR_STATUS code) : std::runtime_error(what), m_code(code) {}
  ZAR_STATUS code() const { return m_code; }

private:
  ZAR_STATUS m_code;
};

// Owns one handle; `Close` is the function that releases it. Movable, not
// copyable.
template <ZAR_STATUS (*Close)(void *)> class Handle {
public:
  Handle() = default;
  explicit Handle(void *handle) : m_handle(handle) {}
  Handle(Handle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  Handle &operator=(Handle &&other) noexcept {
    if (this != &other) {
      reset();
      m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ~Handle() { reset(); }

  void *get() const { return m_handle; }
  void reset() {
    if (m_handle != nullptr) Close(std::exchange(m_handle, nullptr));
  }

private:
  void *m_handle = nullptr;
};

class TransportLayer {
public:
  TransportLayer() {
    void *handle = nullptr;
    const ZAR_STATUS status = TLOpen(nullptr, nullptr, &handle);
    if (status != ZAR_SUCCESS) throw Error("TLOpen failed: " + std::to_string(status), status);
    m_handle = Handle<TLClose>(handle);
  }
  ZAR_TL_HANDLE get() const { return m_handle.get(); }

  // Throws Error unless `status` is ZAR_SUCCESS; the message has the library's text.
  void check(ZAR_STATUS status, const char *what) const {
    if (status == ZAR_SUCCESS) return;
    const char *text = nullptr;
    GCGetErrorText(get(), status, &text);
    throw Error(std::string(what) + " failed: " + (text != nullptr ? text : std::to_string(status)), status);
  }

  std::vector<std::string> cameras() const {
    uint8_t changed = 0;
    check(TLUpdateDeviceList(get(), "USB", &changed), "TLUpdateDeviceList");
    uint32_t count = 0;
    check(TLGetNumDevices(get(), "USB", &count), "TLGetNumDevices");
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) {
      char name[260];
      check(TLGetDeviceName(get(), "USB", i, name, sizeof name), "TLGetDeviceName");
      names.emplace_back(name);
    }
    return names;
  }

private:
  Handle<TLClose> m_handle;
};

class Device {
public:
  Device(const TransportLayer &tl, const std::string &name) : m_tl(tl) {
    void *handle = nullptr;
    tl.check(TLOpenDevice(tl.get(), "USB", name.c_str(), &handle), "TLOpenDevice");
    m_handle = Handle<DevClose>(handle);
  }
  ZAR_DEV_HANDLE get() const { return m_handle.get(); }
  const TransportLayer &transportLayer() const { return m_tl; }

  uint32_t readRegister(uint64_t address) const {
    uint32_t value = 0;
    uint64_t size = sizeof value;
    m_tl.check(GCReadData(get(), 0, address, &value, &size), "GCReadData");
    return value;
  }

private:
  const TransportLayer &m_tl;
  Handle<DevClose> m_handle;
};

// A data stream with its buffers: application memory that it announces and
// queues. Closing it stops acquisition and revokes the buffers before the
// memory goes.
class DataStream {
public:
  DataStream(const Device &device, uint32_t buffers, uint32_t bufferSize)
      : m_tl(device.transportLayer()), m_memory(buffers, std::vector<uint8_t>(bufferSize)) {
    void *handle = nullptr;
    m_tl.check(DevCreateDataStream(device.get(), 0, &handle), "DevCreateDataStream");
    m_handle = Handle<DSClose>(handle);
    for (std::vector<uint8_t> &memory : m_memory) {
      uint32_t id = 0;
      m_tl.check(DSAnnounceBuffer(get(), memory.data(), bufferSize, nullptr, &id), "DSAnnounceBuffer");
      m_tl.check(DSQueueBuffer(get(), id), "DSQueueBuffer");
    }
  }
  ZAR_DS_HANDLE get() const { return m_handle.get(); }

  void start() { m_tl.check(DSStartAcquisition(get(), 0, -1), "DSStartAcquisition"); }
  ZAR_WAIT_RESULT wait(uint32_t timeoutMs) {
    ZAR_WAIT_RESULT frame{};
    m_tl.check(DSWaitForBuffer(get(), timeoutMs, 0, &frame, nullptr), "DSWaitForBuffer");
    return frame;
  }
  void requeue(const ZAR_WAIT_RESULT &frame) { m_tl.check(DSQueueBuffer(get(), frame.iID), "DSQueueBuffer"); }

private:
  const TransportLayer &m_tl;
  std::vector<std::vector<uint8_t>> m_memory; // declared before m_handle: outlives the stream
  Handle<DSClose> m_handle;
};

} // namespace zar
