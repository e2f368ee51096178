// Device information and custom features.

#include <cstring>

#include "os/lock_guard.h"
#include "device/device.h"
#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

int32_t CDevice::GetInfo(void *record, const uint32_t *size) {
  CLockGuard lock(&m_csLock);
  if (record == nullptr || size == nullptr || *size < sizeof(ZAR_DEVICE_INFO)) return -7;
  CDriverInterface *const driver = Driver();
  if (driver == nullptr) return -6;
  auto *info = static_cast<uint8_t *>(record);
  std::memcpy(info, "ZAR_USB", 8);
  const struct {
    uint64_t address;
    size_t offset;
  } fields[] = {{0x00, offsetof(ZAR_DEVICE_INFO, sVendor)},
                {0x20, offsetof(ZAR_DEVICE_INFO, sModel)},
                {0x60, offsetof(ZAR_DEVICE_INFO, sSerial)}};
  for (const auto &field : fields) {
    uint64_t count = 32;
    uint32_t word = 0;
    if (driver->ReadMem(driver::kAccessCamera, field.address, info + field.offset, &count, &word) != 0 || word != 0)
      return -6;
  }
  return 0;
}

int32_t CDevice::QueryCustomFeature(const void *request, uint32_t requestSize, void *reply,
                                    const uint32_t *replySize) {
  CLockGuard lock(&m_csLock);
  if (replySize == nullptr || requestSize != sizeof(ZAR_CUSTOM_FEATURE_REQUEST) ||
      *replySize != sizeof(ZAR_CUSTOM_FEATURE_REPLY) || request == nullptr || reply == nullptr)
    return -7;
  CDriverInterface *const driver = Driver();
  if (driver == nullptr) return -6;
  ZAR_CUSTOM_FEATURE_REQUEST ask;
  ZAR_CUSTOM_FEATURE_REPLY answer;
  std::memcpy(&ask, request, sizeof ask);
  std::memcpy(&answer, reply, sizeof answer);
  uint64_t count = ask.iSize;
  uint32_t word = 0;
  uint32_t error;
  // Bytes to move need somewhere to come from or go to.
  if (ask.iOperation == ZAR_CUSTOM_FEATURE_READ && (answer.pDestination != nullptr || count == 0))
    error = driver->ReadMem(driver::kAccessCustomFeature, ask.iAddress, answer.pDestination, &count, &word);
  else if (ask.iOperation == ZAR_CUSTOM_FEATURE_WRITE && (ask.pSource != nullptr || count == 0))
    error = driver->WriteMem(driver::kAccessCustomFeature, ask.iAddress, ask.pSource, &count, &word);
  else
    return -7;
  if (error != 0) return -6;
  answer.iDone = count;
  answer.iDriverError = word;
  std::memcpy(reply, &answer, sizeof answer);
  return 0;
}

} // namespace oxa::ZarUsb
