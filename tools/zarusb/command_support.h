#pragma once
// What the zarusb commands share: ending a command with an error, and
// reading bytes written in hex.

#include <cstdint>
#include <string>
#include <vector>

#include "zar_usb.h"

namespace zarusb {

// The help of every --camera option.
inline constexpr const char *kCameraHelp = "Camera: its listed name or its serial number (default: the first listed)";

// Reports the failure on standard error and ends the command with exit code 1.
[[noreturn]] void Fail(const std::string &message);

// Appends the bytes of an even number of hex digits ("0a0b") to *bytes;
// false when a pair is no hex byte (stored in *badPair when given) or the
// count of digits is odd.
bool ParseHex(const std::string &hex, std::vector<uint8_t> *bytes, std::string *badPair = nullptr);

// "code (text)" for a status code.
std::string ErrorText(ZAR_TL_HANDLE tl, ZAR_STATUS status);

// The transport layer, and the camera the command works on, open for the
// command's duration. The camera: `camera` by its listed name or its serial
// number, else the first listed. A camera that is not listed (with the
// cameras that are) or cannot be opened ends the command.
class Session {
public:
  explicit Session(const std::string &camera, bool needsCamera = true);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ZAR_TL_HANDLE TL() const { return m_tl; }
  ZAR_DEV_HANDLE Device() const { return m_device; }
  const std::string &Name() const { return m_name; }

private:
  ZAR_TL_HANDLE m_tl = nullptr;
  ZAR_DEV_HANDLE m_device = nullptr;
  std::string m_name;
};

// Why the session's camera has no description file when the file is
// missing: GENICAM_ROOT unset, or the files of the camera's vendor and model
// there, none of its major version. Empty when the file is there.
std::string MissingDescriptionAdvice(const Session &session);

} // namespace zarusb
