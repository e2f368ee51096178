#pragma once
// What the zarusb commands share: ending a command with an error, and
// reading bytes written in hex.

#include <cstdint>
#include <string>
#include <vector>

namespace zarusb {

// Reports the failure on standard error and ends the command with exit code 1.
[[noreturn]] void Fail(const std::string &message);

// Appends the bytes of an even number of hex digits ("0a0b") to *bytes;
// false when a pair is no hex byte (stored in *badPair when given) or the
// count of digits is odd.
bool ParseHex(const std::string &hex, std::vector<uint8_t> *bytes, std::string *badPair = nullptr);

} // namespace zarusb
