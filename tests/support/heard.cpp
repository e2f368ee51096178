#include "heard.h"

#include <algorithm>

#include "test_main.h"

namespace zar_test {

std::string Line(uint32_t event, const std::string &data, int64_t size) {
  return std::to_string(event) + " " + data + " " + std::to_string(size);
}

void Heard::Note(uint32_t event, void *pData, int64_t size, void *pContext) {
  static_cast<Heard *>(pContext)->Add(Line(event, pData == nullptr ? "null" : static_cast<const char *>(pData), size));
}

void Heard::NoteBytes(uint32_t event, void *pData, int64_t size, void *pContext) {
  const std::string data = size == 0 ? "" : std::string(static_cast<const char *>(pData), size);
  static_cast<Heard *>(pContext)->Add(Line(event, data, size));
}

void Heard::Add(const std::string &line) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.push_back(line);
}

std::vector<std::string> Heard::Lines(const std::string &part) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::string> lines;
  for (const std::string &line : m_lines)
    if (line.find(part) != std::string::npos) lines.push_back(line);
  return lines;
}

bool Heard::Has(const std::string &line, uint32_t milliseconds) {
  return WaitFor([&] { return std::ranges::count(Lines(line), line) > 0; }, milliseconds);
}

} // namespace zar_test
