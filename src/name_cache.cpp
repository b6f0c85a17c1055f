#include "name_cache.h"

#include <algorithm>

namespace ferry {

std::vector<ip_address> name_cache::find(std::string_view key, clock::time_point now) {
  std::lock_guard lock(mutex_);
  for (const entry& known : entries_) {
    if (known.key == key && now - known.looked_up < max_age_) return known.addresses;
  }
  return {};
}

void name_cache::store(std::string_view key, const std::vector<ip_address>& addresses,
                       clock::time_point now) {
  if (capacity_ == 0 || addresses.empty()) return;
  std::lock_guard lock(mutex_);
  auto same = std::find_if(entries_.begin(), entries_.end(),
                           [key](const entry& known) { return known.key == key; });
  if (same == entries_.end() && entries_.size() < capacity_) {
    entries_.push_back({std::string(key), addresses, now});
    return;
  }
  if (same == entries_.end()) {
    same = std::min_element(entries_.begin(), entries_.end(), [](const entry& a, const entry& b) {
      return a.looked_up < b.looked_up;
    });
  }
  same->key = key;
  same->addresses = addresses;
  same->looked_up = now;
}

}  // namespace ferry
