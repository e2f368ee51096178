#pragma once
// Setting environment variables from tests.

#include "os/system_info.h"

namespace zar_test {

inline void SetEnv(const char *name, const char *value) { oxa::ZarUsb::os::SetEnv(name, value); }
inline void UnsetEnv(const char *name) { oxa::ZarUsb::os::UnsetEnv(name); }

} // namespace zar_test
