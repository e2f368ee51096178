#pragma once
// A copy of the shared camera table for tools, taken through handles of its
// own: it neither starts a monitor nor touches this process's reservations.

#include <cstdint>
#include <string>
#include <vector>

namespace oxa::ZarUsb {

struct ListedCamera {
  int32_t index;
  std::string friendlyName;
  std::string serialNumber;
  uint32_t ownerProcessId; // 0 when free
};

// The present cameras in index order; empty when the table cannot be read.
std::vector<ListedCamera> ReadSharedTable();

} // namespace oxa::ZarUsb
