// Threads that wait for their next piece of work instead of ending: creating
// and ending a thread cost more than the rest of a small request.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ferry {

// One waiting thread; it lives in that thread's first frame, so it outlasts
// every hand-over. The work itself lives in whatever embeds it.
struct parked_waiter {
  std::atomic<std::uint32_t> handed{0};  // a futex word: 1 once the work is set
  parked_waiter* next = nullptr;
};

class parked_threads {
 public:
  // Takes the waiter parked last; null when none waits. The caller sets its
  // work, then wakes it.
  parked_waiter* take();
  static void wake(parked_waiter& waiter);

  // Parks `self` until a hand-over wakes it. False at once when enough
  // threads wait already or `closing` is set, and after a second without
  // work: the thread then ends, so an idle ferry holds no extra threads.
  bool park(parked_waiter& self, const std::atomic<bool>& closing);

 private:
  bool leave(parked_waiter& self);

  std::mutex mutex_;  // guards the list; hand-overs wake through `handed`
  parked_waiter* top_ = nullptr;
  int count_ = 0;
};

}  // namespace ferry
