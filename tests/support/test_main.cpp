#include "test_main.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "namespace_run.h"

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

HelperProcess::HelperProcess(const std::string &name, const std::vector<std::string> &arguments) {
  std::vector<std::string> all = {"--zar-helper", name};
  all.insert(all.end(), arguments.begin(), arguments.end());
  m_started = m_process.Start(oxa::ZarUsb::os::ExecutablePath(), all) == 0;
}

bool WaitFor(const std::function<bool()> &condition, uint32_t milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Touch(const std::filesystem::path &file) { std::ofstream(file).put('x'); }

bool AwaitFile(const std::filesystem::path &file, uint32_t milliseconds) {
  return WaitFor([&] { return std::filesystem::exists(file); }, milliseconds);
}

std::string FileText(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
  if (const auto result = zar_test::RunInOwnNamespace(argc, argv, "test")) return *result;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
