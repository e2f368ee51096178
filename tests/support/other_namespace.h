#pragma once
// Helper processes in a namespace other than the test program's: a fresh one
// (its roles start afresh), or the default one (ZAR_USB_NAMESPACE unset).
// What the namespace left in its folder is removed at the end.

#include <memory>
#include <string>
#include <vector>

#include "test_main.h"

namespace zar_test {

class OtherNamespace {
public:
  // A fresh namespace, its name padded to `length` characters when longer.
  explicit OtherNamespace(size_t length = 0);
  // The default namespace: only its files are removed, not the folders of
  // the named namespaces below it.
  struct Default {};
  explicit OtherNamespace(Default) {}
  ~OtherNamespace();
  OtherNamespace(const OtherNamespace &) = delete;
  OtherNamespace &operator=(const OtherNamespace &) = delete;
  // Starts a helper there (emulation on unless told otherwise).
  std::unique_ptr<HelperProcess> Start(const std::string &helper, const std::vector<std::string> &arguments,
                                       bool emulation = true);

private:
  // Points the environment at the namespace; the one it pointed at before.
  std::string Enter() const;
  std::string m_name; // empty: the default namespace
};

} // namespace zar_test
