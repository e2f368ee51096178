#include <new>

#include "os/device_io.h"
#include "os/win32/scoped_handle.h"

namespace oxa::ZarUsb::os {

static_assert(sizeof(OVERLAPPED) <= 32);

namespace {

OVERLAPPED *Block(IoRequest &request) { return static_cast<OVERLAPPED *>(request.Native()); }

class SystemDevice final : public DeviceIo {
public:
  explicit SystemDevice(ScopedHandle handle) : m_handle(std::move(handle)) {}

  uint32_t Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                   uint32_t *bytes) noexcept override {
    DWORD count = 0;
    const BOOL ok = DeviceIoControl(m_handle.Get(), code, const_cast<void *>(in), inLength, out, outLength,
                                    &count, nullptr);
    if (bytes != nullptr) *bytes = count;
    return ok ? 0 : GetLastError();
  }

  uint32_t Submit(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  IoRequest &request) noexcept override {
    OVERLAPPED *overlapped = Block(request);
    ZeroMemory(overlapped, sizeof *overlapped);
    overlapped->hEvent = reinterpret_cast<HANDLE>(request.Completion().Native());
    DWORD count = 0;
    const BOOL ok = DeviceIoControl(m_handle.Get(), code, const_cast<void *>(in), inLength, out, outLength,
                                    &count, overlapped);
    return ok ? 0 : GetLastError();
  }

  uint32_t Result(IoRequest &request, uint32_t *bytes) noexcept override {
    DWORD count = 0;
    const BOOL ok = GetOverlappedResult(m_handle.Get(), Block(request), &count, FALSE);
    if (bytes != nullptr) *bytes = count;
    return ok ? 0 : GetLastError();
  }

  void Cancel(IoRequest &request) noexcept override {
    CancelIoEx(m_handle.Get(), Block(request));
    DWORD count = 0;
    GetOverlappedResult(m_handle.Get(), Block(request), &count, TRUE);
  }

  uint32_t CancelAll() noexcept override { return CancelIo(m_handle.Get()) ? 0 : GetLastError(); }

private:
  ScopedHandle m_handle;
};

} // namespace

std::unique_ptr<DeviceIo> OpenSystemDevice(const char *path, uint32_t *error) noexcept {
  ScopedHandle handle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
  if (!handle) {
    *error = GetLastError();
    return nullptr;
  }
  std::unique_ptr<DeviceIo> device(new (std::nothrow) SystemDevice(std::move(handle)));
  *error = device ? 0 : kErrorNotEnoughMemory;
  return device;
}

} // namespace oxa::ZarUsb::os
