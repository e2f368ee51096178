#pragma once
// The namespace's system monitor window: where the system (and the camera
// emulator, through PostSystemMessage) sends device-change and power
// messages. Windows: a hidden top-level window of class
// "UsbSystemMonitorWindow". POSIX: a datagram endpoint of that name in the
// namespace folder, receiving SystemMessage datagrams.
//
// Create, Run and Destroy belong to one thread, the window's; only the stop
// event is touched by others.

#include <cstdint>

namespace oxa::ZarUsb::os {

class Event;

class MonitorWindow {
public:
  // Called on the window's thread for each message; true when handled.
  using Handler = bool (*)(void *context, uint32_t message, uint64_t wParam);
  // Called on the window's thread while the window is being created; false
  // refuses the window.
  using CreateHandler = bool (*)(void *context);
  // Create's answer when the create handler refused the window
  // (ERROR_CANCELLED).
  static constexpr uint32_t kCreationRefused = 1223;

  MonitorWindow() = default;
  ~MonitorWindow();
  MonitorWindow(const MonitorWindow &) = delete;
  MonitorWindow &operator=(const MonitorWindow &) = delete;

  // Creates the window; onCreate runs before this returns. 0 or the system
  // error. A window that is not created leaves nothing behind (on Windows:
  // its class is unregistered), so a later Create starts afresh. Windows: a
  // class of this name that this module still has registered is an error
  // (ERROR_CLASS_ALREADY_EXISTS): a process has one monitor window at a time.
  uint32_t Create(Handler handler, CreateHandler onCreate, void *context) noexcept;
  // Hands each message to the handler until stop is signalled (or, on
  // Windows, a WM_QUIT arrives).
  void Run(Event &stop) noexcept;
  // Destroys the window and unregisters its class.
  void Destroy() noexcept;

private:
  Handler m_handler = nullptr;
  void *m_context = nullptr;
  intptr_t m_native = -1; // HWND, or socket
};

} // namespace oxa::ZarUsb::os
