#pragma once
#include <cstdint>

namespace zar_test {

// The library's wait after a resume shortened to its test setting while the object lives (read at each resume).
class ShortRecoveryWait {
public:
  static constexpr uint32_t kMilliseconds = 3000;
  ShortRecoveryWait();
  ~ShortRecoveryWait();
};

} // namespace zar_test
