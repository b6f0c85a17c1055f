#include "parked_threads.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace ferry {
namespace {

// A burst leaves at most this many threads waiting, each holding its stack.
constexpr int max_parked = 64;
constexpr auto longest_park = std::chrono::milliseconds(1000);

}  // namespace

parked_waiter* parked_threads::take() {
  std::lock_guard lock(mutex_);
  parked_waiter* idle = top_;
  if (idle == nullptr) return nullptr;
  top_ = idle->next;
  --count_;
  return idle;
}

void parked_threads::wake(parked_waiter& waiter) {
  // Release: the thread that sees 1 sees its work whole.
  waiter.handed.store(1, std::memory_order_release);
  syscall(SYS_futex, &waiter.handed, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Takes `self` off the list unless a hand-over took it first. Returns
// whether it was still there.
bool parked_threads::leave(parked_waiter& self) {
  std::lock_guard lock(mutex_);
  for (parked_waiter** link = &top_; *link != nullptr; link = &(*link)->next) {
    if (*link != &self) continue;
    *link = self.next;
    --count_;
    return true;
  }
  return false;
}

bool parked_threads::park(parked_waiter& self, const std::atomic<bool>& closing) {
  {
    std::lock_guard lock(mutex_);
    if (count_ >= max_parked || closing.load()) return false;
    self.handed.store(0, std::memory_order_relaxed);
    self.next = top_;
    top_ = &self;
    ++count_;
  }
  auto deadline = std::chrono::steady_clock::now() + longest_park;
  bool timed = true;
  while (self.handed.load(std::memory_order_acquire) == 0) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (timed && left.count() <= 0) {
      if (leave(self)) return false;
      timed = false;  // taken already: its work is on the way
      continue;
    }
    timespec wait{static_cast<time_t>(left.count() / 1000000000), left.count() % 1000000000};
    syscall(SYS_futex, &self.handed, FUTEX_WAIT_PRIVATE, 0, timed ? &wait : nullptr, nullptr, 0);
  }
  return true;
}

}  // namespace ferry
