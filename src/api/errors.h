#pragma once
// The texts of the library's status codes.

#include <cstdint>
#include <map>
#include <string>

namespace oxa::ZarUsb {

class CErrors {
public:
  // Fills the table with the codes 0 to -11 and their texts.
  CErrors();
  virtual ~CErrors() = default;

  // The stored text of a code, or null for a code the table does not hold.
  // The pointer lives as long as this table.
  const char *GetText(int32_t code) const;

private:
  std::map<int32_t, std::string> m_Texts;
};

} // namespace oxa::ZarUsb
