// Connections that wait without a thread: new ones for their first bytes,
// kept ones between requests (their kept server connection watched too, and
// closed when it speaks), quiet tunnels (both sides watched), and ones whose
// bytes came while every slot was taken. One epoll set watches them, the
// listening socket and the first deadline; the request threads wait on it
// themselves, one event each.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "connection.h"

namespace ferry {

class waiting_room {
 public:
  using clock = std::chrono::steady_clock;
  enum class kind { fresh, kept, tunnel, for_slot };

  // A connection that left the room, and how it had waited.
  struct leaving {
    client_connection connection;
    kind waited = kind::fresh;
  };

  // What one wait brought.
  enum class woke {
    idle,        // its time passed without an event
    nothing,     // an event that needs nothing more of this thread
    listener,    // the listening socket has a connection: accept one, then rearm_listener()
    connection,  // a connection has bytes or an end to read
    closing,     // the room closes: the thread ends
  };

  // Holds at most `capacity` connections waiting for bytes, at most
  // `per_client` of them from one address, and `slot_line` more waiting for
  // a slot.
  waiting_room(std::size_t capacity, std::size_t per_client, std::size_t slot_line)
      : capacity_(capacity), per_client_(per_client), slot_line_(slot_line) {}
  ~waiting_room();
  waiting_room(const waiting_room&) = delete;
  waiting_room& operator=(const waiting_room&) = delete;

  // Makes the epoll set, its wake-up and its timer; false, with errno set,
  // when it cannot.
  bool open();

  // Watches the listening socket, one wait at a time: the thread that is
  // told of it accepts and then calls rearm_listener().
  bool watch_listener(int listenfd);
  void rearm_listener();

  // Takes `connection` until its bytes arrive (for a tunnel, on either side)
  // or `until` passes. When its address has `per_client` waiting, that
  // address's oldest kept connection leaves into `evicted` to make room; when
  // the room is full, the oldest kept one of any address. With none to leave,
  // returns false and leaves `connection` as it was. A tunnel never leaves to
  // make room. Once the room closes, it takes nothing.
  bool admit(client_connection& connection, kind waits, clock::time_point until,
             std::vector<leaving>& evicted);

  // A connection with bytes and no slot joins the line until `until`; false,
  // with `connection` still the caller's, when the line is full. Taken
  // oldest first by take_for_slot.
  bool line_up_for_slot(client_connection& connection, clock::time_point until);
  bool take_for_slot(client_connection& taken);

  // The oldest kept connection leaves into `evicted`; false when none is kept.
  bool evict_oldest_kept(std::vector<leaving>& evicted);

  // Waits for one event, at most `limit_ms` (negative: no limit). A ready
  // connection leaves into `ready`; connections whose time has passed leave
  // into `expired`. Any number of threads may wait at once; each event goes
  // to one of them.
  woke wait(int limit_ms, leaving& ready, std::vector<leaving>& expired);

  // Connections whose time has passed leave into `expired`.
  void expire(clock::time_point now, std::vector<leaving>& expired);

  // Every wait, now and later, returns `closing`.
  void close();

  // Every connection leaves into `all`, for a stop.
  void empty_into(std::vector<leaving>& all);

 private:
  struct entry {
    client_connection connection;
    kind waits = kind::fresh;
    clock::time_point until;
    std::uint32_t generation = 0;  // tells this entry's events from an earlier one's on its descriptor
    entry* previous = nullptr;
    entry* next = nullptr;
  };
  // Oldest first: each kind but the line has one time limit, so this is also
  // by deadline.
  struct entry_list {
    entry* first = nullptr;
    entry* last = nullptr;
    std::size_t size = 0;
    void push_back(entry* added);
    void remove(entry* removed);
  };

  entry_list& list_of(kind waits);
  // Takes a connection out and frees its entry. Events are told from each
  // other by descriptor and generation, never by address, so an event read
  // by another thread before the entry went finds nothing.
  leaving take_out(entry* gone, bool by_event);
  entry* entry_of(std::uint64_t key);
  void expire_locked(clock::time_point now, std::vector<leaving>& expired);
  void arm_timer();
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
  std::size_t slot_line_;
  int epollfd_ = -1;
  int wakefd_ = -1;
  int timerfd_ = -1;
  int listenfd_ = -1;
  std::atomic<bool> closing_{false};
  std::mutex mutex_;  // guards everything below
  entry_list fresh_;
  entry_list kept_;
  entry_list tunnels_;
  entry_list line_;  // waiting for a slot: not watched, bytes are there already
  std::vector<entry*> by_descriptor_;  // the entry watched on each client descriptor
  std::uint32_t generations_ = 0;
  clock::time_point timer_at_ = clock::time_point::max();
  std::map<std::array<std::uint8_t, 16>, client_share> shares_;  // by address
};

}  // namespace ferry
