#include "registry/shared_table.h"

#include <atomic>
#include <cstdint>

namespace oxa::ZarUsb {

// The process has no cross-process objects yet: loading always succeeds and
// the enrolment count is kept by the process itself.

namespace {
std::atomic<uint32_t> g_enrolmentCount{0};
} // namespace

bool OpenSharedTable() { return true; }

void CloseSharedTable() {}

void ReleaseAllTableLocks() {}

bool RegisterCallbackProcess() {
  g_enrolmentCount.fetch_add(1);
  return true;
}

bool UnregisterCallbackProcess() {
  uint32_t count = g_enrolmentCount.load();
  do {
    if (count == 0) return false;
  } while (!g_enrolmentCount.compare_exchange_weak(count, count - 1));
  return true;
}

} // namespace oxa::ZarUsb
