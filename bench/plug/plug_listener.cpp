// The other process of the plug benchmark: an application with the library
// open and a transport-layer callback that notes the time of every call in
// the benchmark's log, until the benchmark says it is done (or a minute and
// a half has passed). Exit 0, or 2 when the log or the library cannot be
// opened.

#include <chrono>
#include <thread>

#include "os/mapped_file.h"
#include "plug_log.h"
#include "zar_usb.h"

namespace {

void Heard(uint32_t event, void *, int64_t, void *context) {
  const int64_t at = std::chrono::steady_clock::now().time_since_epoch().count();
  auto &log = *static_cast<zar_bench::PlugLog *>(context);
  const uint32_t n = log.heard.load(std::memory_order_relaxed); // one callback thread writes
  if (n >= zar_bench::kPlugLogEntries) return;
  log.entries[n].at = at;
  log.entries[n].event = event;
  log.heard.store(n + 1, std::memory_order_release);
}

} // namespace

int main() {
  oxa::ZarUsb::os::MappedFile file;
  ZAR_TL_HANDLE tl = nullptr;
  if (file.Open(zar_bench::kPlugLogName, sizeof(zar_bench::PlugLog)) != 0 || TLOpen(nullptr, nullptr, &tl) != 0)
    return 2;
  auto &log = *static_cast<zar_bench::PlugLog *>(file.Data());
  if (TLSetCallback(tl, Heard, &log) != 0) return 2;
  log.listening.store(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (log.done.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  TLClose(tl);
  return 0;
}
