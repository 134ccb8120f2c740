#include "db_id_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karnid::manifest::detail {
namespace {

// An all-zero hash key gives every identifier below the same hash, so every lookup meets every
// stored entry with a matching slot tag, and only the comparison of the stored bytes (all 16 of
// a packed UUID) tells the identifiers apart.
TEST(DbIdSet, CollidingIdentifiersAreToldApartByTheirWholeValue) {
  DbIdSet set(8, DbIdSet::HashKey{});
  const std::vector<std::string> ids = {
      "00000000-0000-4000-8000-000000000000",
      "00000000-0000-4000-8000-000000000001",  // differs only in the second half
      "10000000-0000-4000-8000-000000000000",  // differs only in the first half
      "short",
      "shorT",
      "",
  };
  const std::uint64_t hash = set.key(ids[0]).hash;
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    const DbIdSet::Key key = set.key(id);
    ASSERT_EQ(key.hash, hash);
    const DbIdSet::Probe probe = set.find(id, key);
    EXPECT_FALSE(probe.found);
    set.insert(probe, id, key);
  }
  EXPECT_EQ(set.size(), ids.size());
  for (const std::string& id : ids) EXPECT_TRUE(set.find(id, set.key(id)).found) << id;
}

}  // namespace
}  // namespace karnid::manifest::detail
