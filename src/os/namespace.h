#pragma once
// Where this user's named objects live. Every process of the user that
// loads the library meets the others there.
//
// ZAR_USB_NAMESPACE, when set to a name (letters, digits, '-', '_'; other
// characters become '_'), isolates everything in a namespace of that name:
// tests use it so that they never meet each other or a real installation.

#include <atomic>
#include <cstdlib>
#include <string>

namespace oxa::ZarUsb::os {

// The namespace's name from ZAR_USB_NAMESPACE as the environment has it
// now, made safe for file and object names; empty when unset.
inline std::string NamespaceNameFromEnvironment() {
  const char *value = std::getenv("ZAR_USB_NAMESPACE");
  std::string name(value != nullptr ? value : "");
  for (char &c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      c = '_';
  return name;
}

// The name once FixNamespace has run in this copy of the code (each program
// and the shared library have their own). Never destroyed: the library's
// threads read it until its unload, which comes after the destructors of
// static objects at exit.
struct FixedNamespace {
  std::atomic<bool> fixed{false};
  std::string name;
};
inline FixedNamespace &NamespaceLatch() {
  static FixedNamespace *const latch = new FixedNamespace;
  return *latch;
}

// Fixes the namespace to the environment's value of this moment. The
// library calls it as it loads, before it starts any thread: a program that
// changes ZAR_USB_NAMESPACE afterwards (to start children elsewhere) never
// moves the library's objects, such as its monitor endpoint, into another
// namespace. Not thread-safe: call it before other threads read the name.
inline void FixNamespace() {
  FixedNamespace &latch = NamespaceLatch();
  latch.name = NamespaceNameFromEnvironment();
  latch.fixed.store(true, std::memory_order_release);
}

// The namespace's name, made safe for file and object names; empty when
// unset. Fixed at load in the library; read from the environment elsewhere.
inline std::string NamespaceName() {
  const FixedNamespace &latch = NamespaceLatch();
  return latch.fixed.load(std::memory_order_acquire) ? latch.name : NamespaceNameFromEnvironment();
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
