#include "os/child_process.h"

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "os/posix/system_error.h"

extern char **environ;

namespace oxa::ZarUsb::os {

std::string ExecutablePath() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

ChildProcess::~ChildProcess() {
  if (m_native == -1) return;
  Kill();
  int ignored;
  Wait(60000, &ignored);
}

uint32_t ChildProcess::Start(const std::string &program, const std::vector<std::string> &arguments) noexcept {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) return WindowsError(error);
  m_native = pid;
  m_id = static_cast<uint32_t>(pid);
  m_reaped = false;
  return 0;
}

bool ChildProcess::Wait(uint32_t milliseconds, int *exitCode) noexcept {
  if (m_native == -1) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!m_reaped) {
    int status = 0;
    const pid_t result = ::waitpid(static_cast<pid_t>(m_native), &status, WNOHANG);
    if (result == static_cast<pid_t>(m_native)) {
      m_reaped = true;
      m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (result < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  *exitCode = m_exitCode;
  return true;
}

void ChildProcess::Kill() noexcept {
  if (m_native != -1 && !m_reaped) ::kill(static_cast<pid_t>(m_native), SIGKILL);
}

} // namespace oxa::ZarUsb::os
