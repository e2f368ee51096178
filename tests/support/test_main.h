#pragma once
// The test programs' main: runs GoogleTest, or, when started as a helper ("--zar-helper NAME ARGS..."), the helper of
// that name. Every run works in a namespace of its own (ZAR_USB_NAMESPACE), which helpers inherit and which is removed
// when the run ends.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "os/child_process.h"

namespace zar_test {

using Helper = std::function<int(const std::vector<std::string> &arguments)>;

// Registers a helper at static initialisation: static bool r = RegisterHelper(...).
bool RegisterHelper(const std::string &name, Helper helper);

// A helper process of this program; see os::ChildProcess.
class HelperProcess {
public:
  HelperProcess(const std::string &name, const std::vector<std::string> &arguments);
  bool Started() const { return m_started; }
  // The exit code, or -1 when it did not end within the time.
  int Wait(uint32_t milliseconds = 30000) {
    int code = -1;
    return m_process.Wait(milliseconds, &code) ? code : -1;
  }
  void Kill() { m_process.Kill(); }
  uint32_t Id() const { return m_process.Id(); }

private:
  oxa::ZarUsb::os::ChildProcess m_process;
  bool m_started = false;
};

// Polls the condition until it holds or the time has passed.
bool WaitFor(const std::function<bool()> &condition, uint32_t milliseconds = 10000);

// Marker files between a test and its helpers: created, awaited (a helper may start slowly), read whole.
void Touch(const std::filesystem::path &file);
bool AwaitFile(const std::filesystem::path &file, uint32_t milliseconds = 60000);
std::string FileText(const std::filesystem::path &file);

} // namespace zar_test
