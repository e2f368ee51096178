#pragma once
// What callbacks heard, in order, as lines "event data length" (data "null" when there is none).

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zar_test {

std::string Line(uint32_t event, const std::string &data, int64_t size = 260);

class Heard {
public:
  // Callbacks whose context is a Heard: the data as a C string, or all the bytes its length gives.
  static void Note(uint32_t event, void *pData, int64_t size, void *pContext);
  static void NoteBytes(uint32_t event, void *pData, int64_t size, void *pContext);
  void Add(const std::string &line);
  std::vector<std::string> Lines(const std::string &part = ""); // every line heard, or those containing `part`
  bool Has(const std::string &line, uint32_t milliseconds = 10000);

private:
  std::mutex m_lock;
  std::vector<std::string> m_lines;
};

} // namespace zar_test
