// Recent name lookups, so that a busy proxy does not ask the resolver (read
// the hosts file, or ask a name server) for the same host on every request.
// Bounded in size and in age; safe to use from every request thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ip_address.h"

namespace ferry {

class name_cache {
 public:
  using clock = std::chrono::steady_clock;

  // Keeps at most `capacity` names, each for `max_age` after its lookup.
  name_cache(std::size_t capacity, clock::duration max_age)
      : capacity_(capacity), max_age_(max_age) {}

  // The addresses `key` resolved to within max_age of `now`, or none.
  std::vector<ip_address> find(std::string_view key, clock::time_point now);

  // Notes a successful lookup; when full, the oldest entry makes room.
  void store(std::string_view key, const std::vector<ip_address>& addresses,
             clock::time_point now);

 private:
  struct entry {
    std::string key;
    std::vector<ip_address> addresses;
    clock::time_point looked_up;
  };
  std::mutex mutex_;
  std::vector<entry> entries_;
  std::size_t capacity_;
  clock::duration max_age_;
};

}  // namespace ferry
