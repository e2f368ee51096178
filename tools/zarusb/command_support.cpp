#include "command_support.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

namespace zarusb {

void Fail(const std::string &message) {
  std::fprintf(stderr, "zarusb: %s\n", message.c_str());
  throw CLI::RuntimeError(1);
}

bool ParseHex(const std::string &hex, std::vector<uint8_t> *bytes, std::string *badPair) {
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char *end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') {
      if (badPair != nullptr) *badPair = pair;
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

} // namespace zarusb
