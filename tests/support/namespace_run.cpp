#include "namespace_run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "os/child_process.h"
#include "os/namespace.h"
#include "os/system_info.h"

namespace zar_test {

std::optional<int> RunInOwnNamespace(int argc, char **argv, const std::string &prefix) {
  namespace os = oxa::ZarUsb::os;
  if (std::getenv("ZAR_USB_NAMESPACE") != nullptr) return std::nullopt;
  std::random_device entropy;
  os::SetEnv("ZAR_USB_NAMESPACE", (prefix + "-" + std::to_string(entropy()) + std::to_string(entropy())).c_str());
  if (std::getenv("ZAR_USB_EMULATION") == nullptr) os::SetEnv("ZAR_USB_EMULATION", "0");
  os::ChildProcess copy;
  if (copy.Start(os::ExecutablePath(), std::vector<std::string>(argv + 1, argv + argc)) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    return 2;
  }
  int result = 1;
  copy.Wait(0xFFFFFFFFu, &result);
  std::error_code ignored;
  if (const std::string folder = os::NamespaceFolder(); !folder.empty()) std::filesystem::remove_all(folder, ignored);
  return result;
}

} // namespace zar_test
