#include "os/child_process.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {

// Quotes one argument the way the C runtime's command-line parser reads it.
std::string Quoted(const std::string &argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

} // namespace

std::string ExecutablePath() {
  char path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

ChildProcess::~ChildProcess() {
  if (m_native == -1) return;
  Kill();
  int ignored;
  Wait(60000, &ignored);
  CloseHandle(reinterpret_cast<HANDLE>(m_native));
}

uint32_t ChildProcess::Start(const std::string &program, const std::vector<std::string> &arguments) noexcept {
  std::string commandLine = Quoted(program);
  for (const auto &argument : arguments) commandLine += " " + Quoted(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info))
    return GetLastError();
  CloseHandle(info.hThread);
  m_native = reinterpret_cast<intptr_t>(info.hProcess);
  m_id = info.dwProcessId;
  return 0;
}

bool ChildProcess::Wait(uint32_t milliseconds, int *exitCode) noexcept {
  if (m_native == -1) return false;
  HANDLE process = reinterpret_cast<HANDLE>(m_native);
  if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  *exitCode = static_cast<int>(code);
  return true;
}

// Only a process that still runs is ended. Ending one that has ended is
// not harmless under Wine: its server may then signal the system process id
// the child had, which another program may have been given since.
void ChildProcess::Kill() noexcept {
  const HANDLE process = reinterpret_cast<HANDLE>(m_native);
  if (m_native != -1 && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 137);
}

} // namespace oxa::ZarUsb::os
