#include "command_support.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "emu_commands.h"
#include "os/event.h"

namespace zarusb {

void Fail(const std::string &message) {
  std::fprintf(stderr, "zarusb: %s\n", message.c_str());
  throw CLI::RuntimeError(1);
}

bool ParseHex(const std::string &hex, std::vector<uint8_t> *bytes, std::string *badPair) {
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char *end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') {
      if (badPair != nullptr) *badPair = pair;
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::string ErrorText(ZAR_TL_HANDLE tl, ZAR_STATUS status) {
  const char *text = nullptr;
  GCGetErrorText(tl, status, &text);
  return std::to_string(status) + " (" + (text != nullptr ? text : "?") + ")";
}

namespace {

// The listed name of the camera with that serial number ("MODEL_#SERIAL",
// perhaps with "_N" after it), or empty.
std::string NameBySerial(ZAR_TL_HANDLE tl, const std::string &serial) {
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  const std::string mark = "_#" + serial;
  for (uint32_t i = 0; i < count; ++i) {
    char name[260] = {};
    if (TLGetDeviceName(tl, "USB", i, name, sizeof name) != ZAR_SUCCESS) continue;
    const std::string listed = name;
    const size_t at = listed.rfind(mark);
    if (at != std::string::npos && (at + mark.size() == listed.size() || listed[at + mark.size()] == '_'))
      return listed;
  }
  return {};
}

} // namespace

Session::Session(const std::string &camera, bool needsCamera, const std::string &serial) {
  if (TLOpen(nullptr, nullptr, &m_tl) != ZAR_SUCCESS) Fail("the transport layer cannot be opened");
  uint8_t changed = 0;
  TLUpdateDeviceList(m_tl, "USB", &changed); // waits for the first scan
  if (!needsCamera) return;
  std::string name = camera;
  if (name.empty() && !serial.empty()) {
    name = NameBySerial(m_tl, serial);
    // Another process may hold the monitor role and not have scanned yet:
    // the camera is given up to two seconds to be listed.
    const auto pause = oxa::ZarUsb::os::Event::Create(true);
    for (int tries = 0; name.empty() && pause && tries < 20; ++tries) {
      pause->Wait(100);
      name = NameBySerial(m_tl, serial);
    }
    if (name.empty()) Fail("no camera with serial number '" + serial + "' (see `zarusb list`)");
  }
  if (name.empty()) {
    char first[260] = {};
    if (TLGetDeviceName(m_tl, "USB", 0, first, sizeof first) != ZAR_SUCCESS) {
      std::fprintf(stderr, "%s", NoCameraAdvice());
      throw CLI::RuntimeError(1);
    }
    name = first;
  }
  const ZAR_STATUS opened = TLOpenDevice(m_tl, "USB", name.c_str(), &m_device);
  if (opened != ZAR_SUCCESS)
    Fail("cannot open camera '" + name + "': " + ErrorText(m_tl, opened) +
         (opened == ZAR_ERR_ACCESS_DENIED ? "; another process holds it (see `zarusb list`)" : ""));
  m_name = name;
}

Session::~Session() {
  if (m_device != nullptr) DevClose(m_device);
  TLClose(m_tl);
}

} // namespace zarusb
