#include "os/directory_search.h"

#include <algorithm>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>


namespace oxa::ZarUsb::os {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows wildcard match, case-insensitive.
bool Matches(const char *pattern, const char *name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char *rest = name;; ++rest) {
      if (Matches(pattern + 1, rest)) return true;
      if (*rest == '\0') return false;
    }
  }
  if (*name == '\0') return false;
  if (*pattern != '?' && Lower(*pattern) != Lower(*name)) return false;
  return Matches(pattern + 1, name + 1);
}

std::vector<std::string> Entries(const std::string &folder) {
  std::vector<std::string> names;
  DIR *directory = ::opendir(folder.empty() ? "." : folder.c_str());
  if (directory == nullptr) return names;
  while (const dirent *entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end(),
            [](const std::string &a, const std::string &b) { return ::strcasecmp(a.c_str(), b.c_str()) < 0; });
  return names;
}

} // namespace

std::string NativePath(const std::string &path) {
  std::vector<std::string> components;
  std::string component;
  for (const char c : path) {
    if (c == '/' || c == '\\') {
      if (!component.empty()) components.push_back(component);
      component.clear();
    } else {
      component.push_back(c);
    }
  }
  const bool trailing = !path.empty() && (path.back() == '/' || path.back() == '\\');
  if (!component.empty()) components.push_back(component);
  std::string resolved(!path.empty() && (path[0] == '/' || path[0] == '\\') ? 1 : 0, '/');
  for (size_t i = 0; i < components.size(); ++i) {
    std::string name = components[i];
    struct stat info {};
    if (::stat((resolved + name).c_str(), &info) != 0) {
      for (const std::string &entry : Entries(resolved))
        if (::strcasecmp(entry.c_str(), name.c_str()) == 0) {
          name = entry;
          break;
        }
    }
    resolved.append(name);
    if (i + 1 < components.size() || trailing) resolved.push_back('/');
  }
  return resolved;
}

std::vector<std::string> FindFiles(const std::string &pattern) {
  std::string slashed = pattern;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  const size_t split = slashed.rfind('/');
  const std::string folder = split == std::string::npos ? "" : NativePath(slashed.substr(0, split));
  const std::string wildcard = split == std::string::npos ? slashed : slashed.substr(split + 1);
  std::vector<std::string> found;
  for (const std::string &name : Entries(folder))
    if (Matches(wildcard.c_str(), name.c_str())) found.push_back(name);
  return found;
}

} // namespace oxa::ZarUsb::os
