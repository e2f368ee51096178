#include "api/errors.h"

namespace oxa::ZarUsb {

CErrors::CErrors()
    : m_Texts{{0, "Success"},
              {-1, "Invalid buffer size"},
              {-2, "Invalid handle"},
              {-3, "Invalid ID"},
              {-4, "Access denied"},
              {-5, "No data"},
              {-6, "General error"},
              {-7, "Invalid parameter"},
              {-8, "Timeout error"},
              {-9, "Invalid filename"},
              {-10, "Invalid address"},
              {-11, "File I/O error"}} {}

const char *CErrors::GetText(int32_t code) const {
  const auto found = m_Texts.find(code);
  return found == m_Texts.end() ? nullptr : found->second.c_str();
}

} // namespace oxa::ZarUsb
