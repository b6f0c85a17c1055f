// Idle server connections shared by every client connection: after an
// answer that ended cleanly a server connection waits here, by target, for
// any client's next request there. A connection that speaks or ends while it
// waits, or waits too long, is closed at once by the pool's own watcher.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "unique_fd.h"

namespace ferry {

inline constexpr std::size_t pooled_per_target = 32;
inline constexpr std::chrono::milliseconds pooled_idle_limit{15000};

class server_pool {
 public:
  // Keeps at most `most_idle` connections (at least 1); each for `idle_limit`.
  explicit server_pool(std::size_t most_idle,
                       std::chrono::milliseconds idle_limit = pooled_idle_limit);
  server_pool(const server_pool&) = delete;
  server_pool& operator=(const server_pool&) = delete;
  // Closes every idle connection and ends the watcher.
  ~server_pool();

  // The most recently given back connection to `key`; with `own_only`, only
  // one that `user` gave back. Empty when there is none. The caller still
  // checks that it is quiet: it may have spoken since the watcher looked.
  unique_fd take(const std::string& key, std::uint64_t user, bool own_only);
  // Keeps `server` for `key`, given back by `user`; closes it when the target
  // or the pool is full.
  void give_back(const std::string& key, unique_fd server, std::uint64_t user);
  std::size_t idle() const;

 private:
  using clock = std::chrono::steady_clock;
  struct entry {
    unique_fd server;
    std::uint64_t id;  // what the watcher's events name: a descriptor number may come back
    std::uint64_t user;
    clock::time_point until;
  };
  void watch();
  bool drop(std::uint64_t id);
  clock::time_point sweep(clock::time_point now);

  const std::size_t most_idle_;
  const std::chrono::milliseconds idle_limit_;
  unique_fd watcher_;  // epoll set of every idle connection and the wake-up
  unique_fd wake_;     // eventfd: the pool became non-empty, or is closing
  mutable std::mutex mutex_;
  std::map<std::string, std::deque<entry>> by_target_;
  std::unordered_map<std::uint64_t, std::string> target_of_;
  std::uint64_t next_id_ = 1;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace ferry
