#include "os/one_cpu.h"

#include <cstring>
#include <sched.h>

namespace oxa::ZarUsb::os {

static_assert(sizeof(cpu_set_t) <= sizeof(uint64_t[16]));

OneCpu::OneCpu() noexcept {
  cpu_set_t former;
  const int cpu = sched_getcpu();
  if (cpu < 0 || sched_getaffinity(0, sizeof former, &former) != 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) return;
  std::memcpy(m_former, &former, sizeof former);
  m_pinned = true;
}

OneCpu::~OneCpu() {
  if (!m_pinned) return;
  cpu_set_t former;
  std::memcpy(&former, m_former, sizeof former);
  sched_setaffinity(0, sizeof former, &former);
}

} // namespace oxa::ZarUsb::os
