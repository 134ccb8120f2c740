// The order in which the writers emit an object's members and in which equality compares them.
// Private to the json folder.
#pragma once

#include <algorithm>
#include <vector>

#include "karnid/manifest/json.hpp"

namespace karnid::json {

// Members in the order the writers emit them: ascending key bytes, equal keys in document order.
inline std::vector<const Member*> sorted_members(const std::vector<Member>& members) {
  std::vector<const Member*> sorted;
  sorted.reserve(members.size());
  for (const Member& member : members) sorted.push_back(&member);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Member* a, const Member* b) { return a->key < b->key; });
  return sorted;
}

}  // namespace karnid::json
