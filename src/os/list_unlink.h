#pragma once
// Taking one object out of a list of shared pointers, for the owners of such
// lists in every layer above the port. Not thread-safe: the caller holds the
// list's lock.

#include <algorithm>
#include <list>
#include <memory>

namespace oxa::ZarUsb {

// The list's entry for `item`, taken out of it; null when the list does not
// hold it.
template <class T> std::shared_ptr<T> Unlink(std::list<std::shared_ptr<T>> &list, const T *item) {
  const auto found = std::find_if(list.begin(), list.end(), [item](const auto &entry) { return entry.get() == item; });
  if (found == list.end()) return nullptr;
  std::shared_ptr<T> removed = std::move(*found);
  list.erase(found);
  return removed;
}

} // namespace oxa::ZarUsb
