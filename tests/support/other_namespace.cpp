#include "other_namespace.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "environment.h"
#include "os/namespace.h"

namespace zar_test {

class OtherNamespace::Inside {
public:
  explicit Inside(const std::string &name) : m_own(std::getenv("ZAR_USB_NAMESPACE")) {
    if (name.empty())
      UnsetEnv("ZAR_USB_NAMESPACE");
    else
      SetEnv("ZAR_USB_NAMESPACE", name.c_str());
  }
  ~Inside() { SetEnv("ZAR_USB_NAMESPACE", m_own.c_str()); }

private:
  std::string m_own;
};

OtherNamespace::OtherNamespace(size_t length) {
  std::random_device entropy;
  m_name = "mp-" + std::to_string(entropy());
  if (m_name.size() < length) m_name.resize(length, 'x');
}

OtherNamespace::~OtherNamespace() {
  std::string folder;
  {
    Inside inside(m_name);
    folder = oxa::ZarUsb::os::NamespaceFolder();
  }
  std::error_code ignored;
  if (folder.empty()) return;
  if (!m_name.empty()) {
    std::filesystem::remove_all(folder, ignored);
    return;
  }
  for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
    if (entry.is_regular_file(ignored)) std::filesystem::remove(entry.path(), ignored);
}

std::unique_ptr<HelperProcess> OtherNamespace::Start(const std::string &helper,
                                                     const std::vector<std::string> &arguments, bool emulation) {
  Inside inside(m_name);
  if (!emulation) UnsetEnv("ZAR_USB_EMULATION");
  auto process = std::make_unique<HelperProcess>(helper, arguments);
  SetEnv("ZAR_USB_EMULATION", "0");
  return process;
}

} // namespace zar_test
