#pragma once
// Where this user's named objects live. Every process of the user that
// loads the library meets the others there.
//
// ZAR_USB_NAMESPACE, when set to a name (letters, digits, '-', '_'; other
// characters become '_'), isolates everything in a namespace of that name:
// tests use it so that they never meet each other or a real installation.

#include <cstdlib>
#include <string>

namespace oxa::ZarUsb::os {

// The namespace's name from ZAR_USB_NAMESPACE, made safe for file and
// object names; empty when unset.
inline std::string NamespaceName() {
  const char *value = std::getenv("ZAR_USB_NAMESPACE");
  std::string name(value != nullptr ? value : "");
  for (char &c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      c = '_';
  return name;
}

// The folder for the namespace's files, created on first use. POSIX:
// $XDG_RUNTIME_DIR/zar-usb (or /tmp/zar-usb-<uid>), with "/ns-<name>" below
// it in a named namespace; created 0700, and refused (empty result) when it
// belongs to another user. Windows: %TEMP%\zar-usb, with "\ns-<name>".
// Empty when the folder cannot be made. Thread-safe; reads the environment.
std::string NamespaceFolder() noexcept;

// The name a kernel object of the namespace carries. Windows: the name
// itself, or "<name>_" and the name in a named namespace. POSIX: the path of
// a file of that name in NamespaceFolder().
std::string NamespacedName(const std::string &name);

} // namespace oxa::ZarUsb::os
