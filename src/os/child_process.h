#pragma once
// Starting and ending other programs (tests run helper copies of themselves).

#include <cstdint>
#include <string>
#include <vector>

namespace oxa::ZarUsb::os {

// The path of the running program.
std::string ExecutablePath();

class ChildProcess {
public:
  ChildProcess() = default;
  // Kills the process if it still runs, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts program with the arguments (not counting the program itself); the
  // child inherits the environment. 0 or the system error.
  uint32_t Start(const std::string &program, const std::vector<std::string> &arguments) noexcept;
  // Waits up to the given time for the end: true with *exitCode set when it
  // ended. Any thread, one at a time.
  bool Wait(uint32_t milliseconds, int *exitCode) noexcept;
  // Ends the process at once, as a crash would (SIGKILL, TerminateProcess), if it still runs.
  void Kill() noexcept;
  uint32_t Id() const noexcept { return m_id; }

private:
  intptr_t m_native = -1; // pid, or process HANDLE
  uint32_t m_id = 0;
  bool m_reaped = false;
  int m_exitCode = 0;
};

} // namespace oxa::ZarUsb::os
