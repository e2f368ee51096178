#pragma once
// The title of the namespace's monitor window, which the window is created
// with and looked up by: none in the default namespace, the namespaced name
// in a named one, so that each namespace reaches its own window.

#include <string>

#include "os/namespace.h"
#include "os/system_message.h"

namespace oxa::ZarUsb::os {

inline std::string MonitorWindowTitle() {
  return NamespaceName().empty() ? std::string() : NamespacedName(kSystemMonitorWindowClass);
}

} // namespace oxa::ZarUsb::os
