#pragma once
// Helper processes in a fresh namespace (its roles start afresh), or the default one (ZAR_USB_NAMESPACE unset); what
// the namespace left in its folder is removed at the end.

#include <memory>
#include <string>
#include <vector>

#include "test_main.h"

namespace zar_test {

class OtherNamespace {
public:
  // A fresh namespace, its name padded to `length` characters when longer.
  explicit OtherNamespace(size_t length = 0);
  // The default namespace: only its files are removed, not the named namespaces' folders below it.
  struct Default {};
  explicit OtherNamespace(Default) {}
  ~OtherNamespace();
  OtherNamespace(const OtherNamespace &) = delete;
  OtherNamespace &operator=(const OtherNamespace &) = delete;
  // Starts a helper there (emulation on unless told otherwise).
  std::unique_ptr<HelperProcess> Start(const std::string &helper, const std::vector<std::string> &arguments,
                                       bool emulation = true);

private:
  std::string Enter() const; // points the environment at the namespace; the one it pointed at before
  std::string m_name; // empty: the default namespace
};

} // namespace zar_test
