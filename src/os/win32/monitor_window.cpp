#include "os/monitor_window.h"

#include <string>
#include <windows.h>

#include "os/event.h"
#include "os/system_message.h"
#include "os/win32/monitor_window_title.h"

namespace oxa::ZarUsb::os {

namespace {

struct Creation {
  MonitorWindow::CreateHandler onCreate;
  MonitorWindow::Handler handler;
  void *context;
  bool refused;
};

// The window being created on this thread: WM_CREATE arrives before
// CreateWindowExA returns.
thread_local Creation *t_creating = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE && t_creating != nullptr) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(t_creating));
    if (!t_creating->onCreate(t_creating->context)) {
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      t_creating->refused = true;
      return -1; // CreateWindowExA fails
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
  const auto *creation = reinterpret_cast<const Creation *>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (creation != nullptr && creation->handler(creation->context, message, wParam)) return 1;
  return DefWindowProcA(window, message, wParam, lParam);
}

// The module that holds the window procedure (the library, or a program
// linking its code): the class is registered for it alone.
HINSTANCE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&WindowProc), &module);
  return module;
}

} // namespace

MonitorWindow::~MonitorWindow() { Destroy(); }

uint32_t MonitorWindow::Create(Handler handler, CreateHandler onCreate, void *context) noexcept {
  Destroy();
  static thread_local Creation creation;
  creation = {onCreate, handler, context, false};
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = OwnModule();
  windowClass.lpszClassName = kSystemMonitorWindowClass;
  if (RegisterClassExA(&windowClass) == 0) return GetLastError();
  const std::string title = MonitorWindowTitle();
  t_creating = &creation;
  HWND window = CreateWindowExA(0, kSystemMonitorWindowClass, title.empty() ? nullptr : title.c_str(), 0, 0, 0, 0,
                                0, nullptr, nullptr, OwnModule(), nullptr);
  t_creating = nullptr;
  if (window == nullptr) {
    // The class goes with the failed window: it must not outlive this
    // module with a window procedure inside it.
    const DWORD error = creation.refused ? kCreationRefused : GetLastError();
    UnregisterClassA(kSystemMonitorWindowClass, OwnModule());
    return error;
  }
  m_native = reinterpret_cast<intptr_t>(window);
  m_handler = handler;
  m_context = context;
  return 0;
}

void MonitorWindow::Run(Event &stop) noexcept {
  const HANDLE stopHandle = reinterpret_cast<HANDLE>(stop.Native());
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &stopHandle, FALSE, INFINITE, QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) return; // stop signalled, or the wait failed
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

void MonitorWindow::Destroy() noexcept {
  if (m_native == -1) return;
  DestroyWindow(reinterpret_cast<HWND>(m_native));
  UnregisterClassA(kSystemMonitorWindowClass, OwnModule());
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
