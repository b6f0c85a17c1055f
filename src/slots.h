// Request slots: BACKLOG of them, one taken by each request being served;
// the requests a stop can reach; and the order in which connections that
// wait in the waiting room's line for a slot take one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>

#include "connection.h"
#include "cut_point.h"
#include "waiting_room.h"

namespace ferry {

// A request being served, where a stop reaches it. Lives in its thread's frame.
struct serving_request {
  cut_point cut;
  serving_request* previous = nullptr;
  serving_request* next = nullptr;
  explicit serving_request(int clifd) : cut(clifd) {}
};

class slot_table {
 public:
  enum class outcome { taken, lined_up, line_full, stopping };

  explicit slot_table(std::size_t slots, waiting_room& room) : slots_(slots), room_(room) {}
  ~slot_table();
  slot_table(const slot_table&) = delete;
  slot_table& operator=(const slot_table&) = delete;

  // Allocates the table; false when it cannot.
  bool open();

  // Takes the lowest free slot for `connection` into `slot`; with every slot
  // taken, lines it up in the waiting room until `line_until`, which then
  // holds it. On `line_full` and `stopping`, `connection` is still the
  // caller's.
  outcome take(client_connection& connection, std::chrono::steady_clock::time_point line_until,
               std::size_t& slot);

  // After a connection is done with `slot`: the oldest in the line takes it
  // over (true, into `next`), or the slot is freed.
  bool pass_on(std::size_t slot, client_connection& next);

  // Frees a slot taken for a connection that could not be served.
  void give_back(std::size_t slot);

  void add_serving(serving_request& request);
  void remove_serving(serving_request& request);

  // No slot is taken or passed on from now on.
  void stop();
  bool stopping() const { return stopping_.load(); }

  // Cuts the requests being served; with `unfinished_heads_only`, those
  // whose head is not complete.
  void cut(bool unfinished_heads_only);

  long in_flight() const { return in_flight_.load(); }

 private:
  void free_slot(std::size_t slot);

  std::size_t slots_;
  waiting_room& room_;
  // Guards the table, the list of requests served and every decision about
  // the line, so that a freed slot and a lined-up connection always meet.
  // Taken before the waiting room's own lock, never after it.
  std::mutex mutex_;
  unsigned char* taken_ = nullptr;  // entry i + 1 for slot i; 0 is free
  serving_request* serving_first_ = nullptr;
  std::atomic<long> in_flight_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace ferry
