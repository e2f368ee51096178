#include "other_namespace.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "environment.h"
#include "os/namespace.h"

namespace zar_test {

OtherNamespace::OtherNamespace(size_t length) : m_name("mp-" + std::to_string(std::random_device()())) {
  if (m_name.size() < length) m_name.resize(length, 'x');
}

std::string OtherNamespace::Enter() const {
  std::string own = std::getenv("ZAR_USB_NAMESPACE");
  m_name.empty() ? UnsetEnv("ZAR_USB_NAMESPACE") : SetEnv("ZAR_USB_NAMESPACE", m_name.c_str());
  return own;
}

OtherNamespace::~OtherNamespace() {
  const std::string own = Enter();
  const std::filesystem::path folder = oxa::ZarUsb::os::NamespaceFolder();
  SetEnv("ZAR_USB_NAMESPACE", own.c_str());
  std::error_code ignored;
  if (folder.empty()) return;
  if (!m_name.empty()) std::filesystem::remove_all(folder, ignored);
  else
    for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
      if (entry.is_regular_file(ignored)) std::filesystem::remove(entry.path(), ignored);
}

std::unique_ptr<HelperProcess> OtherNamespace::Start(const std::string &helper,
                                                     const std::vector<std::string> &arguments, bool emulation) {
  const std::string own = Enter();
  if (!emulation) UnsetEnv("ZAR_USB_EMULATION");
  auto process = std::make_unique<HelperProcess>(helper, arguments);
  SetEnv("ZAR_USB_EMULATION", "0");
  SetEnv("ZAR_USB_NAMESPACE", own.c_str());
  return process;
}

} // namespace zar_test
