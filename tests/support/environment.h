#pragma once
// Setting environment variables from tests, on both platforms.

#include <cstdlib>

namespace zar_test {

inline void SetEnv(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char *name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

} // namespace zar_test
