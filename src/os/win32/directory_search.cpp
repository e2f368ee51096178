#include "os/directory_search.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

std::vector<std::string> FindFiles(const std::string &pattern) {
  std::vector<std::string> found;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    found.emplace_back(entry.cFileName);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return found;
}

std::string NativePath(const std::string &path) { return path; }

} // namespace oxa::ZarUsb::os
