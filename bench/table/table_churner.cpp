// A churning process of the table-lock benchmark: an application of the
// library alone that, once told to go, opens and closes the cameras named on
// its command line in turn until told it is done, noting the time of each
// successful open in the benchmark's log. A refused open (another churner
// holds the camera) is tried again on the next camera after a millisecond.
// Exit 0, or 2 when the log or the library cannot be opened.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "churn_log.h"
#include "os/mapped_file.h"
#include "zar_usb.h"

int main(int argc, char **argv) {
  oxa::ZarUsb::os::MappedFile file;
  ZAR_TL_HANDLE tl = nullptr;
  if (argc < 2 || file.Open(zar_bench::kChurnLogName, sizeof(zar_bench::ChurnLog)) != 0 ||
      TLOpen(nullptr, nullptr, &tl) != 0)
    return 2;
  auto &log = *static_cast<zar_bench::ChurnLog *>(file.Data());
  const std::vector<std::string> names(argv + 1, argv + argc);
  log.ready.fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (log.go.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (size_t turn = 0; log.done.load() == 0 && std::chrono::steady_clock::now() < deadline; ++turn) {
    const auto start = std::chrono::steady_clock::now();
    ZAR_DEV_HANDLE device = nullptr;
    if (TLOpenDevice(tl, "USB", names[turn % names.size()].c_str(), &device) != ZAR_SUCCESS) {
      log.refused.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const uint32_t n = log.opens.fetch_add(1);
    if (n < zar_bench::kChurnLogEntries)
      log.openMicros[n] =
          static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(took).count());
    DevClose(device);
  }
  TLClose(tl);
  return 0;
}
