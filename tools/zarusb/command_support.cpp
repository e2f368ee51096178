#include "command_support.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

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

std::vector<std::string> ListedNames(ZAR_TL_HANDLE tl) {
  std::vector<std::string> names;
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  for (uint32_t i = 0; i < count; ++i) {
    char name[260] = {};
    if (TLGetDeviceName(tl, "USB", i, name, sizeof name) == ZAR_SUCCESS) names.emplace_back(name);
  }
  return names;
}

// The listed name that `camera` means: a listed name itself, or the name of
// the camera with that serial number ("MODEL_#SERIAL", perhaps with "_N"
// after it); empty when none.
std::string Resolve(const std::vector<std::string> &names, const std::string &camera) {
  if (std::find(names.begin(), names.end(), camera) != names.end()) return camera;
  const std::string mark = "_#" + camera;
  for (const std::string &listed : names) {
    const size_t at = listed.rfind(mark);
    if (at != std::string::npos && (at + mark.size() == listed.size() || listed[at + mark.size()] == '_'))
      return listed;
  }
  return {};
}

std::string Text(const Session &session, uint64_t address) {
  char text[33] = {};
  uint64_t size = 32;
  GCReadData(session.Device(), 0, address, text, &size);
  return text;
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

} // namespace

std::string MissingDescriptionAdvice(const Session &session) {
  const char *root = std::getenv("GENICAM_ROOT");
  if (root == nullptr || *root == '\0')
    return "GENICAM_ROOT is not set, and no description files are installed beside zarusb "
           "(../share/zar-usb/genicam): set it to the folder that holds xml/";
  const std::string vendor = Text(session, 0x00), model = Text(session, 0x20), version = Text(session, 0x40);
  const std::string major = version.substr(0, version.find('.'));
  const std::filesystem::path folder = std::filesystem::path(root) / "xml" / "Cameras" / "oxa";
  const std::string prefix = vendor + "_" + model + "_";
  std::vector<std::string> models, matching;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (Lower(name).rfind(Lower(prefix), 0) != 0) continue;
    models.push_back(name);
    if (Lower(name).rfind(Lower(prefix + major + "."), 0) == 0) matching.push_back(name);
  }
  if (!matching.empty()) return {}; // the file is there: something else went wrong
  std::string advice = "the camera is " + vendor + " " + model + " version " + version + ", and " + folder.string() +
                       " holds no " + prefix + major + ".*.xml";
  if (!models.empty()) {
    std::sort(models.begin(), models.end());
    advice += " (only";
    for (const std::string &name : models) advice += " " + name;
    advice += ")";
  }
  return advice;
}

Session::Session(const std::string &camera, bool needsCamera) {
  if (TLOpen(nullptr, nullptr, &m_tl) != ZAR_SUCCESS) Fail("the transport layer cannot be opened");
  uint8_t changed = 0;
  TLUpdateDeviceList(m_tl, "USB", &changed); // waits for the first scan
  if (!needsCamera) return;
  std::string name;
  if (!camera.empty()) {
    std::vector<std::string> names = ListedNames(m_tl);
    name = Resolve(names, camera);
    // Another process may hold the monitor role and not have scanned yet:
    // the camera is given up to two seconds to be listed.
    const auto pause = oxa::ZarUsb::os::Event::Create(true);
    for (int tries = 0; name.empty() && pause && tries < 20; ++tries) {
      pause->Wait(100);
      names = ListedNames(m_tl);
      name = Resolve(names, camera);
    }
    if (name.empty()) {
      std::string listed;
      for (const std::string &each : names) listed += (listed.empty() ? "" : ", ") + each;
      Fail("no camera '" + camera + "' by name or serial number; " +
           (listed.empty() ? "no camera is listed" : "the cameras: " + listed));
    }
  } else {
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
