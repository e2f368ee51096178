#pragma once
// Files found by a wildcard pattern, with Windows semantics on every
// platform: '*' and '?' in the last component, '\' accepted as a separator,
// names compared without regard to case. So one tree of files serves the
// lookups of the library whatever case and separators they are written in.

#include <string>
#include <vector>

namespace oxa::ZarUsb::os {

// The names (without folder) of the entries matching the pattern, in the
// order the system lists them (FindFirstFileA/FindNextFileA; on POSIX sorted
// without regard to case, as NTFS lists them). Empty when none match or the
// folder does not exist. Thread-safe; reads the file system only.
std::vector<std::string> FindFiles(const std::string &pattern);

// The path as this platform opens it: on POSIX, '\' becomes '/' and each
// component that exists under another case is replaced by that name.
// Unchanged on Windows.
std::string NativePath(const std::string &path);

} // namespace oxa::ZarUsb::os
