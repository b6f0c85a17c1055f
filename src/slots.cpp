#include "slots.h"

#include <cstdlib>

#include "metrics.h"

namespace ferry {

slot_table::~slot_table() { free(taken_); }

bool slot_table::open() {
  // calloc leaves untouched pages unmapped, so a large table costs nothing
  // until its slots are used; zero bytes are a valid free entry.
  taken_ = static_cast<unsigned char*>(calloc(slots_ + 2, 1));
  return taken_ != nullptr;
}

slot_table::outcome slot_table::take(client_connection& connection,
                                     std::chrono::steady_clock::time_point line_until,
                                     std::size_t& slot) {
  std::lock_guard lock(mutex_);
  if (stopping_.load()) return outcome::stopping;
  // Slots are numbered from 2, as the trace has always shown them.
  for (slot = 2; slot <= slots_ + 1; ++slot) {
    if (taken_[slot] != 0) continue;
    taken_[slot] = 1;
    in_flight_.fetch_add(1);
    process_metrics().add(gauge::slots_in_use, 1);
    return outcome::taken;
  }
  slot = 0;
  return room_.line_up_for_slot(connection, line_until) ? outcome::lined_up : outcome::line_full;
}

bool slot_table::pass_on(std::size_t slot, client_connection& next) {
  std::lock_guard lock(mutex_);
  if (!stopping_.load() && room_.take_for_slot(next)) return true;
  free_slot(slot);
  return false;
}

void slot_table::give_back(std::size_t slot) {
  std::lock_guard lock(mutex_);
  free_slot(slot);
}

void slot_table::free_slot(std::size_t slot) {
  taken_[slot] = 0;
  in_flight_.fetch_sub(1);
  process_metrics().add(gauge::slots_in_use, -1);
}

void slot_table::add_serving(serving_request& request) {
  std::lock_guard lock(mutex_);
  request.next = serving_first_;
  if (serving_first_ != nullptr) serving_first_->previous = &request;
  serving_first_ = &request;
}

void slot_table::remove_serving(serving_request& request) {
  std::lock_guard lock(mutex_);
  if (request.previous != nullptr) request.previous->next = request.next;
  if (request.next != nullptr) request.next->previous = request.previous;
  if (serving_first_ == &request) serving_first_ = request.next;
}

void slot_table::stop() {
  std::lock_guard lock(mutex_);
  stopping_.store(true);
}

void slot_table::cut(bool unfinished_heads_only) {
  std::lock_guard lock(mutex_);
  for (serving_request* request = serving_first_; request != nullptr; request = request->next) {
    request->cut.cut(unfinished_heads_only);
  }
}

}  // namespace ferry
