#include "temp_dir.h"

#include <chrono>
#include <random>
#include <string>

namespace zar_test {

TempDir::TempDir() {
  std::mt19937_64 random(std::random_device{}() ^ std::chrono::steady_clock::now().time_since_epoch().count());
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    m_path = base / ("zar-usb-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(m_path)) return;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

} // namespace zar_test
