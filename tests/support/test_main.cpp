#include "test_main.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "environment.h"
#include "os/child_process.h"
#include "os/namespace.h"

namespace zar_test {

namespace {

std::map<std::string, Helper> &Helpers() {
  static std::map<std::string, Helper> helpers;
  return helpers;
}

} // namespace

bool RegisterHelper(const std::string &name, Helper helper) {
  Helpers()[name] = std::move(helper);
  return true;
}

struct HelperProcess::Impl {
  oxa::ZarUsb::os::ChildProcess process;
};

HelperProcess::HelperProcess(const std::string &name, const std::vector<std::string> &arguments)
    : m_impl(new Impl) {
  std::vector<std::string> all = {"--zar-helper", name};
  all.insert(all.end(), arguments.begin(), arguments.end());
  m_started = m_impl->process.Start(oxa::ZarUsb::os::ExecutablePath(), all) == 0;
}

HelperProcess::~HelperProcess() { delete m_impl; }

int HelperProcess::Wait(uint32_t milliseconds) {
  int code = -1;
  return m_impl->process.Wait(milliseconds, &code) ? code : -1;
}

void HelperProcess::Kill() { m_impl->process.Kill(); }

uint32_t HelperProcess::Id() const { return m_impl->process.Id(); }

bool WaitFor(const std::function<bool()> &condition, uint32_t milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace zar_test

int main(int argc, char **argv) {
  if (argc >= 3 && std::string(argv[1]) == "--zar-helper") {
    const auto helper = zar_test::Helpers().find(argv[2]);
    if (helper == zar_test::Helpers().end()) {
      std::fprintf(stderr, "no helper named %s\n", argv[2]);
      return 2;
    }
    return helper->second(std::vector<std::string>(argv + 3, argv + argc));
  }
  if (std::getenv("ZAR_USB_NAMESPACE") != nullptr) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  // The library joins its namespace as it loads, before main: the tests run
  // in a copy of this program started in a namespace of its own, with the
  // emulator on, and the namespace is removed when they are done.
  std::random_device entropy;
  const std::string name = "test-" + std::to_string(entropy()) + std::to_string(entropy());
  zar_test::SetEnv("ZAR_USB_NAMESPACE", name.c_str());
  if (std::getenv("ZAR_USB_EMULATION") == nullptr) zar_test::SetEnv("ZAR_USB_EMULATION", "0");
  oxa::ZarUsb::os::ChildProcess tests;
  if (tests.Start(oxa::ZarUsb::os::ExecutablePath(), std::vector<std::string>(argv + 1, argv + argc)) != 0) {
    std::fprintf(stderr, "cannot start the tests\n");
    return 2;
  }
  int result = 1;
  tests.Wait(0xFFFFFFFFu, &result);
  const std::string folder = oxa::ZarUsb::os::NamespaceFolder();
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  return result;
}
