// The cache of recent name lookups: what it returns, for how long, and what
// it forgets when full.
#include <gtest/gtest.h>

#include "name_cache.h"

using namespace ferry;

namespace {

using namespace std::chrono_literals;

std::vector<ip_address> addresses_of(std::uint32_t host_order) {
  return {ipv4_address(host_order)};
}

std::uint32_t first_of(const std::vector<ip_address>& found) {
  return found.empty() ? 0 : ipv4_of(found.front());
}

TEST(NameCache, KeepsEachNameForItsAgeAndTheNewestWhenFull) {
  name_cache cache(2, 5s);
  auto start = name_cache::clock::now();
  cache.store("a:80", addresses_of(1), start);
  cache.store("b:80", addresses_of(2), start + 1s);
  EXPECT_EQ(first_of(cache.find("a:80", start + 4s)), 1u);
  EXPECT_EQ(first_of(cache.find("a:80", start + 5s)), 0u) << "kept past its age";
  EXPECT_EQ(first_of(cache.find("a:81", start)), 0u) << "another port is another name";

  // A new lookup of a known name replaces it; a third name pushes out the oldest.
  cache.store("b:80", addresses_of(3), start + 2s);
  cache.store("c:80", addresses_of(4), start + 3s);
  EXPECT_EQ(first_of(cache.find("a:80", start + 3s)), 0u);
  EXPECT_EQ(first_of(cache.find("b:80", start + 3s)), 3u);
  EXPECT_EQ(first_of(cache.find("c:80", start + 3s)), 4u);

  // Failed lookups are not kept; a cache of no names keeps nothing.
  cache.store("d:80", {}, start + 3s);
  EXPECT_EQ(first_of(cache.find("d:80", start + 3s)), 0u);
  name_cache none(0, 5s);
  none.store("a:80", addresses_of(1), start);
  EXPECT_EQ(first_of(none.find("a:80", start)), 0u);
}

}  // namespace
