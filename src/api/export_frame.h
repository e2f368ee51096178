#pragma once
// The common frame of the exported functions: entry trace, handle check,
// pointer checks, forward, exception guard. No exception ever leaves an
// export; handle checks compare addresses only, so garbage is harmless.

#include "acquisition/data_stream.h"
#include "api/ctl.h"
#include "device/device.h"
#include "registry/open_devices.h"
#include "trace/trace.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

// Any other address is refused without taking the CTL lock.
inline bool IsTLHandle(const void *handle) {
  return g_pTL != nullptr && handle == g_pTL && g_pTL->IsValidHandle(handle);
}
// The device of a device handle, pinned while the export works on it; no
// lock is taken (see OpenDevices).
inline OpenDevices::DevicePin PinDevice(const void *handle) noexcept { return OpenDevices::Pin(handle); }

// A data stream and its device, pinned while an export works on them: a
// DSClose, DevClose or last TLClose on another thread meanwhile only unlinks
// and closes them; they are freed when the last pin goes.
struct StreamPin {
  OpenDevices::DevicePin device;
  std::shared_ptr<CDataStream> stream;
  explicit operator bool() const { return stream != nullptr; }
  CDataStream *operator->() const { return stream.get(); }
};
// The data-stream handle check: empty for anything but an open stream.
inline StreamPin PinDataStream(const void *handle) {
  StreamPin pin{OpenDevices::PinByStream(handle), nullptr};
  if (pin.device) pin.stream = pin.device->PinDataStream(handle);
  return pin;
}

// Runs an export's work; any exception becomes ZAR_ERR_GENERAL.
template <class Work> ZAR_STATUS Guarded(Work &&work) noexcept {
  try {
    return work();
  } catch (...) {
    return ZAR_ERR_GENERAL;
  }
}

// Runs an export's work; an exception writes errorExit (a format with one %d)
// to the trace and becomes ZAR_ERR_GENERAL.
template <class Work> ZAR_STATUS GuardedTraced(const char *errorExit, Work &&work) noexcept {
  try {
    return work();
  } catch (...) {
    TraceMessage(errorExit, ZAR_ERR_GENERAL);
    return ZAR_ERR_GENERAL;
  }
}

} // namespace oxa::ZarUsb
