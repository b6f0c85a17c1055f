#include "waiting_room.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "metrics.h"

namespace ferry {
namespace {

// One shot: a connection that shows bytes leaves the room, so no other
// event for it may come until it is admitted again.
constexpr std::uint32_t connection_events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

// An event's key: the client's descriptor in the low half, then whether it
// is the server side, then the entry's generation.
constexpr std::uint64_t server_side_bit = std::uint64_t{1} << 32;
constexpr int generation_shift = 33;
constexpr std::uint32_t generation_mask = 0x7fffffff;
constexpr std::uint64_t listener_key = ~std::uint64_t{0};
constexpr std::uint64_t wake_key = listener_key - 1;
constexpr std::uint64_t timer_key = listener_key - 2;

std::uint64_t key_of(int fd, std::uint32_t generation) {
  return static_cast<std::uint32_t>(fd) |
         (static_cast<std::uint64_t>(generation) << generation_shift);
}

bool add_or_modify(int epollfd, int fd, std::uint64_t key) {
  epoll_event event{};
  event.events = connection_events;
  event.data.u64 = key;
  // A connection stays in the set from its first wait until its close; one
  // that has been here before is only armed again.
  return epoll_ctl(epollfd, EPOLL_CTL_MOD, fd, &event) == 0 ||
         epoll_ctl(epollfd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

void waiting_room::entry_list::push_back(entry* added) {
  added->previous = last;
  added->next = nullptr;
  if (last != nullptr) last->next = added;
  if (first == nullptr) first = added;
  last = added;
  ++size;
}

void waiting_room::entry_list::remove(entry* removed) {
  if (removed->previous != nullptr) removed->previous->next = removed->next;
  if (removed->next != nullptr) removed->next->previous = removed->previous;
  if (first == removed) first = removed->next;
  if (last == removed) last = removed->previous;
  --size;
}

waiting_room::~waiting_room() {
  std::vector<leaving> all;
  empty_into(all);
  for (int fd : {epollfd_, wakefd_, timerfd_}) {
    if (fd >= 0) ::close(fd);
  }
}

waiting_room::entry_list& waiting_room::list_of(kind waits) {
  switch (waits) {
    case kind::fresh: return fresh_;
    case kind::kept: return kept_;
    case kind::tunnel: return tunnels_;
    case kind::for_slot: break;
  }
  return line_;
}

bool waiting_room::open() {
  epollfd_ = epoll_create1(EPOLL_CLOEXEC);
  wakefd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timerfd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (epollfd_ < 0 || wakefd_ < 0 || timerfd_ < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = wake_key;
  if (epoll_ctl(epollfd_, EPOLL_CTL_ADD, wakefd_, &event) != 0) return false;
  event.data.u64 = timer_key;
  return epoll_ctl(epollfd_, EPOLL_CTL_ADD, timerfd_, &event) == 0;
}

bool waiting_room::watch_listener(int listenfd) {
  listenfd_ = listenfd;
  epoll_event event{};
  // One shot, so one thread accepts while the others wait for what follows.
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = listener_key;
  return epoll_ctl(epollfd_, EPOLL_CTL_ADD, listenfd, &event) == 0;
}

void waiting_room::rearm_listener() {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = listener_key;
  epoll_ctl(epollfd_, EPOLL_CTL_MOD, listenfd_, &event);
}

void waiting_room::count(const entry& changed, int step) {
  auto share = shares_.try_emplace(changed.connection.peer.address.bytes).first;
  share->second.waiting += step;
  if (changed.waits == kind::kept) share->second.kept += step;
  if (changed.waits != kind::tunnel) {
    process_metrics().add(changed.waits == kind::kept ? gauge::connections_waiting_kept
                                                      : gauge::connections_waiting_new,
                          step);
  }
  if (share->second.waiting == 0) shares_.erase(share);
}

bool waiting_room::make_room(const ip_address& address, std::vector<leaving>& evicted) {
  auto share = shares_.find(address.bytes);
  if (share != shares_.end() && share->second.waiting >= per_client_) {
    if (share->second.kept == 0) return false;
    entry* oldest = kept_.first;
    while (!(oldest->connection.peer.address == address)) oldest = oldest->next;
    evicted.push_back(take_out(oldest, false));
    return true;
  }
  if (fresh_.size + kept_.size + tunnels_.size < capacity_) return true;
  if (kept_.first == nullptr) return false;
  evicted.push_back(take_out(kept_.first, false));
  return true;
}

waiting_room::leaving waiting_room::take_out(entry* gone, bool by_event) {
  list_of(gone->waits).remove(gone);
  if (gone->waits != kind::for_slot) {
    count(*gone, -1);
    int fd = gone->connection.client.get();
    by_descriptor_[static_cast<std::size_t>(fd)] = nullptr;
    // A tunnel is watched on both sides, and one side's event disarms only
    // that side.
    if (!by_event || gone->waits == kind::tunnel) epoll_ctl(epollfd_, EPOLL_CTL_DEL, fd, nullptr);
    if (gone->waits != kind::fresh && gone->connection.server.get() >= 0) {
      epoll_ctl(epollfd_, EPOLL_CTL_DEL, gone->connection.server.get(), nullptr);
    }
  }
  leaving out{std::move(gone->connection), gone->waits};
  delete gone;
  return out;
}

bool waiting_room::admit(client_connection& connection, kind waits, clock::time_point until,
                         std::vector<leaving>& evicted) {
  auto* added = new (std::nothrow) entry{};
  if (added == nullptr) return false;
  std::lock_guard lock(mutex_);
  if (closing_.load() || !make_room(connection.peer.address, evicted)) {
    delete added;
    return false;
  }
  int fd = connection.client.get();
  auto index = static_cast<std::size_t>(fd);
  if (index >= by_descriptor_.size()) by_descriptor_.resize(index + 1024, nullptr);
  added->generation = ++generations_ & generation_mask;
  std::uint64_t key = key_of(fd, added->generation);
  bool watched = add_or_modify(epollfd_, fd, key);
  if (watched && waits == kind::tunnel) {
    epoll_event event{};
    event.events = connection_events;
    event.data.u64 = key | server_side_bit;
    if (epoll_ctl(epollfd_, EPOLL_CTL_ADD, connection.server.get(), &event) != 0) {
      epoll_ctl(epollfd_, EPOLL_CTL_DEL, fd, nullptr);
      watched = false;
    }
  }
  if (!watched) {
    delete added;
    return false;
  }
  added->connection = std::move(connection);
  added->waits = waits;
  added->until = until;
  by_descriptor_[index] = added;
  if (waits == kind::kept) watch_kept_server(*added);
  list_of(waits).push_back(added);
  count(*added, 1);
  if (until < timer_at_) arm_timer();
  return true;
}

bool waiting_room::line_up_for_slot(client_connection& connection, clock::time_point until) {
  std::lock_guard lock(mutex_);
  if (line_.size >= slot_line_) return false;
  auto* added = new (std::nothrow) entry{};
  if (added == nullptr) return false;
  added->connection = std::move(connection);
  added->waits = kind::for_slot;
  added->until = until;
  line_.push_back(added);
  if (until < timer_at_) arm_timer();
  return true;
}

bool waiting_room::take_for_slot(client_connection& taken) {
  std::lock_guard lock(mutex_);
  if (line_.first == nullptr) return false;
  taken = take_out(line_.first, true).connection;
  return true;
}

void waiting_room::watch_kept_server(entry& kept) {
  client_connection& connection = kept.connection;
  if (connection.server.get() < 0) return;
  epoll_event event{};
  event.events = connection_events;
  event.data.u64 = key_of(connection.client.get(), kept.generation) | server_side_bit;
  // Unwatched, it could not be closed in time: better not kept at all.
  if (epoll_ctl(epollfd_, EPOLL_CTL_ADD, connection.server.get(), &event) != 0) {
    drop_kept_server(kept, false);
  }
}

void waiting_room::drop_kept_server(entry& kept, bool watched) {
  client_connection& connection = kept.connection;
  if (watched) epoll_ctl(epollfd_, EPOLL_CTL_DEL, connection.server.get(), nullptr);
  connection.server.reset();
  connection.server_target.clear();
}

// Sets the timer to the first deadline; only under the lock.
void waiting_room::arm_timer() {
  clock::time_point first = clock::time_point::max();
  for (entry* front : {fresh_.first, kept_.first, tunnels_.first}) {
    if (front != nullptr) first = std::min(first, front->until);
  }
  for (entry* queued = line_.first; queued != nullptr; queued = queued->next) {
    first = std::min(first, queued->until);
  }
  if (first == timer_at_) return;
  timer_at_ = first;
  itimerspec when{};
  if (first != clock::time_point::max()) {
    // The steady clock is CLOCK_MONOTONIC; an instant already past still
    // needs a non-zero value, which zero would disarm.
    auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(first.time_since_epoch());
    long long at = std::max<long long>(since.count(), 1);
    when.it_value.tv_sec = static_cast<time_t>(at / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(at % 1000000000);
  }
  timerfd_settime(timerfd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

waiting_room::entry* waiting_room::entry_of(std::uint64_t key) {
  auto fd = static_cast<std::size_t>(key & 0xffffffffu);
  if (fd >= by_descriptor_.size()) return nullptr;
  entry* found = by_descriptor_[fd];
  auto generation = static_cast<std::uint32_t>(key >> generation_shift);
  return found != nullptr && found->generation == generation ? found : nullptr;
}

waiting_room::woke waiting_room::wait(int limit_ms, leaving& ready,
                                      std::vector<leaving>& expired) {
  epoll_event event{};
  int count = epoll_wait(epollfd_, &event, 1, limit_ms);
  if (closing_.load()) return woke::closing;
  if (count == 0) return woke::idle;
  if (count < 0) return woke::nothing;
  std::uint64_t key = event.data.u64;
  if (key == listener_key) return woke::listener;
  if (key == wake_key) return woke::nothing;
  std::lock_guard lock(mutex_);
  if (key == timer_key) {
    std::uint64_t ticks;
    [[maybe_unused]] ssize_t got = read(timerfd_, &ticks, sizeof ticks);
    timer_at_ = clock::time_point::max();
    expire_locked(clock::now(), expired);
    return woke::nothing;
  }
  entry* waiting = entry_of(key);
  if (waiting == nullptr) return woke::nothing;  // left by another way since
  // Bytes or an end from a server with no request on it: the connection
  // cannot carry the next request, and the client goes on waiting.
  if ((key & server_side_bit) != 0 && waiting->waits == kind::kept) {
    drop_kept_server(*waiting, true);
    return woke::nothing;
  }
  ready = take_out(waiting, true);
  return woke::connection;
}

bool waiting_room::evict_oldest_kept(std::vector<leaving>& evicted) {
  std::lock_guard lock(mutex_);
  if (kept_.first == nullptr) return false;
  evicted.push_back(take_out(kept_.first, false));
  return true;
}

void waiting_room::expire(clock::time_point now, std::vector<leaving>& expired) {
  std::lock_guard lock(mutex_);
  expire_locked(now, expired);
}

void waiting_room::expire_locked(clock::time_point now, std::vector<leaving>& expired) {
  for (entry_list* list : {&fresh_, &kept_, &tunnels_}) {
    while (list->first != nullptr && list->first->until <= now) {
      expired.push_back(take_out(list->first, false));
    }
  }
  for (entry* queued = line_.first; queued != nullptr;) {
    entry* next = queued->next;
    if (queued->until <= now) expired.push_back(take_out(queued, false));
    queued = next;
  }
  arm_timer();
}

void waiting_room::close() {
  closing_.store(true);
  // Never read: every wait from now on sees it.
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakefd_, &one, sizeof one);
}

void waiting_room::empty_into(std::vector<leaving>& all) {
  std::lock_guard lock(mutex_);
  for (entry_list* list : {&fresh_, &kept_, &tunnels_, &line_}) {
    while (list->first != nullptr) all.push_back(take_out(list->first, false));
  }
}

}  // namespace ferry
