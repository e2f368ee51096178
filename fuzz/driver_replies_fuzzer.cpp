// The driver's replies: system errors, error words, byte counts and record
// contents as any driver might answer. A device that answers from the fuzz
// input stands behind a camera opened through the exports; the input then
// drives every request of the driver interface, and the register exports
// (device and TL handle), device information, custom features and the
// description file. Nothing may touch memory outside the caller's buffers,
// and no count may pass what was asked.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "fuzz_namespace.h"
#include "os/device_sources.h"
#include "os/system_info.h"
#include "registry/shared_table.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

FuzzedDataProvider *g_input = nullptr; // the input being run
std::thread::id g_inputThread;         // the only thread that reads it
ZAR_TL_HANDLE g_tl = nullptr;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Answers each request from the input: a system error, or success with reply
// bytes and a byte count; an overlapped request finishes at once or reports
// itself pending with its outcome already in place (so no wait runs out).
class FuzzDevice : public os::DeviceIo {
public:
  uint32_t Control(uint32_t, const void *, uint32_t, void *out, uint32_t outLength, uint32_t *bytes) noexcept override {
    if (!OnInputThread()) return os::kErrorGenFailure;
    if (const uint32_t error = Failure()) return error;
    Fill(out, outLength);
    *bytes = g_input->ConsumeIntegral<uint32_t>();
    return 0;
  }
  uint32_t Submit(uint32_t, const void *, uint32_t, void *out, uint32_t outLength,
                  os::IoRequest &request) noexcept override {
    if (!OnInputThread()) return os::kErrorGenFailure;
    if (const uint32_t error = Failure()) return error;
    Fill(out, outLength);
    const bool pending = g_input->ConsumeBool();
    request.Complete(pending ? g_input->ConsumeIntegral<uint32_t>() : 0, g_input->ConsumeIntegral<uint32_t>());
    return pending ? os::kErrorIoPending : 0;
  }
  uint32_t Result(os::IoRequest &request, uint32_t *bytes) noexcept override {
    *bytes = request.Bytes();
    return request.Status();
  }
  void Cancel(os::IoRequest &) noexcept override {}
  uint32_t CancelAll() noexcept override { return 0; }

private:
  // The device's event thread asks too; the input is not shared between
  // threads, so its requests fail, which ends that thread.
  static bool OnInputThread() { return std::this_thread::get_id() == g_inputThread && g_input != nullptr; }
  static uint32_t Failure() {
    if (!g_input->ConsumeBool()) return 0;
    const uint32_t error = g_input->ConsumeIntegral<uint32_t>();
    return error == os::kErrorIoPending ? os::kErrorGenFailure : error;
  }
  static void Fill(void *out, uint32_t outLength) {
    if (out == nullptr) return;
    const std::vector<uint8_t> reply = g_input->ConsumeBytes<uint8_t>(g_input->ConsumeIntegralInRange<uint32_t>(0, outLength));
    if (!reply.empty()) std::memcpy(out, reply.data(), reply.size());
  }
};

// Room for exactly `size` bytes, so that a byte past it is caught.
std::vector<uint8_t> Buffer(uint64_t size) { return std::vector<uint8_t>(size, 0xA5); }

void DriverRequest(CDriverInterface &driver, FuzzedDataProvider &input) {
  uint32_t word = 0;
  const auto mode = input.ConsumeIntegralInRange<uint32_t>(0, 2);
  const auto address = input.ConsumeIntegral<uint64_t>();
  switch (input.ConsumeIntegralInRange<int>(0, 8)) {
  case 0: {
    const uint64_t asked = input.ConsumeIntegralInRange<uint64_t>(0, 300);
    std::vector<uint8_t> bytes = Buffer(asked);
    uint64_t size = asked;
    if (driver.ReadMem(mode, address, bytes.data(), &size, &word) == 0) Check(size <= asked);
    break;
  }
  case 1: {
    const std::vector<uint8_t> bytes = Buffer(input.ConsumeIntegralInRange<uint64_t>(0, 300));
    uint64_t size = bytes.size();
    if (driver.WriteMem(mode, address, bytes.data(), &size, &word) == 0) Check(size <= bytes.size());
    break;
  }
  case 2: {
    std::vector<uint8_t> buffer = Buffer(input.ConsumeIntegralInRange<uint32_t>(4, 256));
    driver.LockBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &word);
    driver.FreeBuffer(buffer.data(), &word);
    break;
  }
  case 3:
    driver.QueueBuffer(input.ConsumeIntegral<uint32_t>(), &word);
    break;
  case 4: {
    std::vector<uint8_t> record = Buffer(sizeof(driver::BufferCompletion));
    driver.GetBuffer(input.ConsumeIntegral<uint32_t>(), record.data());
    break;
  }
  case 5:
    driver.StartStopStream(mode, &word);
    break;
  case 6:
    driver.FlushQueue(&word);
    break;
  case 7: {
    std::vector<uint8_t> record = Buffer(sizeof(driver::EventRecord));
    os::IoRequest request;
    Check(request.Prepare());
    const uint32_t error = driver.GetEvent(record.data(), request);
    if (error == 0 || error == os::kErrorIoPending) {
      if (input.ConsumeBool()) driver.CancelEvent(request);
      driver.EventResult(request);
    }
    break;
  }
  case 8: {
    os::IoRequest request;
    Check(request.Prepare());
    std::vector<uint8_t> record = Buffer(sizeof(driver::EventRecord));
    if (driver.GetEvent(record.data(), request) == os::kErrorIoPending) driver.CancelEvent(request);
    break;
  }
  }
}

// The camera's exports, on its device handle or the TL handle.
void ExportCall(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, FuzzedDataProvider &input) {
  const auto address = input.ConsumeIntegral<uint64_t>();
  void *handle = input.ConsumeBool() ? tl : device;
  const uint64_t asked = input.ConsumeIntegralInRange<uint64_t>(0, 300);
  std::vector<uint8_t> bytes = Buffer(asked);
  uint64_t size = asked;
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
  case 0:
    GCReadData(handle, 0, address, bytes.data(), &size);
    Check(size <= asked);
    break;
  case 1:
    GCWriteData(handle, 0, address, bytes.data(), &size);
    Check(size <= asked);
    break;
  case 2: {
    ZAR_DEVICE_INFO info;
    uint32_t infoSize = sizeof info;
    DevGetInfo(device, &info, &infoSize);
    break;
  }
  case 3: {
    ZAR_CUSTOM_FEATURE_REQUEST request{};
    request.iOperation = input.ConsumeIntegralInRange<uint32_t>(0, 2);
    request.iAddress = address;
    request.pSource = bytes.data();
    request.iSize = asked;
    ZAR_CUSTOM_FEATURE_REPLY reply{};
    reply.pDestination = bytes.data();
    uint32_t replySize = sizeof reply;
    if (DevQueryCustomFeature(device, &request, sizeof request, &reply, &replySize) == ZAR_SUCCESS)
      Check(reply.iDone <= asked);
    break;
  }
  case 4:
  case 5: {
    uint32_t textSize = static_cast<uint32_t>(asked % 64);
    DevGetXml(device, textSize != 0 ? bytes.data() : nullptr, &textSize);
    break;
  }
  }
}

} // namespace

// Every device path opens a device that replies with the fuzz input.
class FuzzSource final : public os::DeviceSource {
public:
  std::vector<os::DeviceInterfaceEntry> Members(const os::Guid &, uint32_t) override { return {}; }
  bool Owns(const char *) const noexcept override { return true; }
  std::unique_ptr<os::DeviceIo> Open(const char *, uint32_t *) noexcept override {
    return std::make_unique<FuzzDevice>();
  }
};

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  os::SetEnv("GENICAM_ROOT", ZAR_USB_GENICAM_TREE);
  if (!zar_fuzz::LoadStillLibrary() || TLOpen(nullptr, nullptr, &g_tl) != ZAR_SUCCESS) std::abort();
  static FuzzSource source;
  os::SetSecondDeviceSource(&source);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  g_inputThread = std::this_thread::get_id();
  g_input = &input;
  // One camera opened, a second one free: a TL-handle write goes to both.
  for (int32_t index = 0; index < 2; ++index) {
    DeviceRecord &record = SharedTable()->records[index];
    record = {};
    std::snprintf(record.szDevicePath, sizeof record.szDevicePath, "fuzz#device%d", index);
    std::snprintf(record.szFriendlyName, sizeof record.szFriendlyName, index == 0 ? "ZC1000_#FUZZ" : "ZC1000_#FREE");
    record.dwFlags = 1;
  }
  ZAR_DEV_HANDLE device = nullptr;
  Check(TLOpenDevice(g_tl, "USB", "ZC1000_#FUZZ", &device) == ZAR_SUCCESS);
  {
    const std::shared_ptr<CDriverInterface> driver = GetDeviceDriver(0, true);
    Check(driver != nullptr);
    while (input.remaining_bytes() > 0) {
      if (input.ConsumeBool())
        DriverRequest(*driver, input);
      else
        ExportCall(g_tl, device, input);
    }
  }
  Check(DevClose(device) == ZAR_SUCCESS);
  g_input = nullptr;
  return 0;
}
