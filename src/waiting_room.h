// Connections that wait for their next bytes without a thread or a slot: new
// ones before their first request, kept ones between requests (their kept
// server connection watched too, and closed when it speaks), quiet tunnels
// (both sides watched). One epoll set watches them all, and the listener
// waits on it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "relay.h"

namespace ferry {

class waiting_room {
 public:
  using clock = std::chrono::steady_clock;
  enum class kind { fresh, kept, tunnel };

  // A connection that left the room, and how it had waited.
  struct leaving {
    client_connection connection;
    kind waited = kind::fresh;
  };

  // Holds at most `capacity` connections, at most `per_client` of them from
  // one address.
  waiting_room(std::size_t capacity, std::size_t per_client)
      : capacity_(capacity), per_client_(per_client) {}
  ~waiting_room();
  waiting_room(const waiting_room&) = delete;
  waiting_room& operator=(const waiting_room&) = delete;

  // Makes the epoll set and its wake-up; false, with errno set, when it cannot.
  bool open();

  // Watches the listening socket too: wait() says when it is ready.
  bool watch_listener(int listenfd);

  // Takes `connection` until its bytes arrive (for a tunnel, on either side)
  // or `until` passes. When its address has `per_client` waiting, that
  // address's oldest kept connection leaves into `evicted` to make room; when
  // the room is full, the oldest kept one of any address. With none to leave,
  // returns false and leaves `connection` as it was. A tunnel never leaves to
  // make room. Safe from any thread.
  bool admit(client_connection& connection, kind waits, clock::time_point until,
             std::vector<leaving>& evicted);

  // The oldest kept connection leaves into `evicted`; false when none is kept.
  bool evict_oldest_kept(std::vector<leaving>& evicted);

  // Waits at most `limit_ms` (negative: no limit), and no later than the
  // first connection's time. Connections with bytes (or an end) to read
  // leave into `ready`; `listener_ready` says whether to accept.
  void wait(int limit_ms, std::vector<leaving>& ready, bool& listener_ready);

  // Connections whose time has passed leave into `expired`.
  void expire(clock::time_point now, std::vector<leaving>& expired);

  // Makes a wait return at once; safe from any thread.
  void wake();

  // Every connection leaves into `all`, for a stop.
  void empty_into(std::vector<leaving>& all);

  std::size_t size();

 private:
  struct entry {
    client_connection connection;
    kind waits = kind::fresh;
    clock::time_point until;
    entry* previous = nullptr;
    entry* next = nullptr;
    bool gone = false;  // left the room, but an event read before may still name it
  };
  // Oldest first: each kind has one time limit, so this is also by deadline.
  struct entry_list {
    entry* first = nullptr;
    entry* last = nullptr;
    std::size_t size = 0;
    void push_back(entry* added);
    void remove(entry* removed);
  };

  entry_list& list_of(kind waits) {
    return waits == kind::fresh ? fresh_ : waits == kind::kept ? kept_ : tunnels_;
  }
  // Moves a connection out. One that leaves other than by its own event is
  // first taken out of the epoll set, and its entry is freed only before the
  // next wait: an event already read may still point at it.
  void leave(entry* gone, std::vector<leaving>& into, bool by_event);
  int milliseconds_to_first_deadline();
  // A kept connection's server connection is watched too, and closed as
  // soon as it shows bytes or an end: no request is on it.
  void watch_kept_server(entry& kept);
  void drop_kept_server(entry& kept, bool watched);
  // Makes a place for a connection from `address`; false when it cannot.
  bool make_room(const ip_address& address, std::vector<leaving>& evicted);
  // Counts `changed` in or out of its address's share.
  void count(const entry& changed, int step);

  // Connections waiting from one address, and how many of them are kept ones.
  struct client_share {
    std::size_t waiting = 0;
    std::size_t kept = 0;
  };

  std::size_t capacity_;
  std::size_t per_client_;
  int epollfd_ = -1;
  int wakefd_ = -1;
  // The addresses tell the epoll events of these two from a connection's.
  char listener_tag_ = 0;
  char wake_tag_ = 0;
  std::mutex mutex_;
  entry_list fresh_;
  entry_list kept_;
  entry_list tunnels_;
  std::vector<entry*> left_;  // entries to free before the next wait
  std::map<std::array<std::uint8_t, 16>, client_share> shares_;  // by address
};

}  // namespace ferry
