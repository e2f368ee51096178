#pragma once
// A fresh folder under the system's temporary folder, removed with its contents when the object goes.

#include <filesystem>

namespace zar_test {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &Path() const { return m_path; }
  std::filesystem::path operator/(const std::filesystem::path &name) const { return m_path / name; }

private:
  std::filesystem::path m_path;
};

} // namespace zar_test
