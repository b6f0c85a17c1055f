#include "waiting_room.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
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
constexpr int events_per_wait = 64;

// A kept connection's server side is told from its client side by the low
// bit of the entry's address in the event, a bit an entry's alignment leaves
// free.
constexpr std::uintptr_t server_side_bit = 1;

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
  for (entry* gone : left_) delete gone;
  if (epollfd_ >= 0) close(epollfd_);
  if (wakefd_ >= 0) close(wakefd_);
}

bool waiting_room::open() {
  epollfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollfd_ < 0) return false;
  wakefd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakefd_ < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = &wake_tag_;
  return epoll_ctl(epollfd_, EPOLL_CTL_ADD, wakefd_, &event) == 0;
}

bool waiting_room::watch_listener(int listenfd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = &listener_tag_;
  return epoll_ctl(epollfd_, EPOLL_CTL_ADD, listenfd, &event) == 0;
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
    leave(oldest, evicted, false);
    return true;
  }
  if (fresh_.size + kept_.size + tunnels_.size < capacity_) return true;
  if (kept_.first == nullptr) return false;
  leave(kept_.first, evicted, false);
  return true;
}

void waiting_room::leave(entry* gone, std::vector<leaving>& into, bool by_event) {
  count(*gone, -1);
  list_of(gone->waits).remove(gone);
  // A tunnel is watched on both sides, and one side's event disarms only
  // that side: neither may name this entry once it is freed.
  bool tunnel = gone->waits == kind::tunnel;
  if (!by_event || tunnel) epoll_ctl(epollfd_, EPOLL_CTL_DEL, gone->connection.client.get(), nullptr);
  // A kept connection's server side is watched while it has one.
  if (gone->waits != kind::fresh && gone->connection.server.get() >= 0) {
    epoll_ctl(epollfd_, EPOLL_CTL_DEL, gone->connection.server.get(), nullptr);
  }
  into.push_back({std::move(gone->connection), gone->waits});
  gone->gone = true;
  left_.push_back(gone);
}

bool waiting_room::admit(client_connection& connection, kind waits, clock::time_point until,
                         std::vector<leaving>& evicted) {
  auto* added = new (std::nothrow) entry{};
  if (added == nullptr) return false;
  std::lock_guard lock(mutex_);
  if (!make_room(connection.peer.address, evicted)) {
    delete added;
    return false;
  }
  added->connection = std::move(connection);
  added->waits = waits;
  added->until = until;
  epoll_event event{};
  event.events = connection_events;
  event.data.ptr = added;
  int fd = added->connection.client.get();
  // A connection stays in the set from its accept until its close; one that
  // has been here before is only armed again.
  bool watched = epoll_ctl(epollfd_, EPOLL_CTL_MOD, fd, &event) == 0 ||
                 epoll_ctl(epollfd_, EPOLL_CTL_ADD, fd, &event) == 0;
  if (watched && waits == kind::tunnel &&
      epoll_ctl(epollfd_, EPOLL_CTL_ADD, added->connection.server.get(), &event) != 0) {
    epoll_ctl(epollfd_, EPOLL_CTL_DEL, fd, nullptr);
    watched = false;
  }
  if (!watched) {
    connection = std::move(added->connection);
    delete added;
    return false;
  }
  if (waits == kind::kept) watch_kept_server(*added);
  entry_list& list = list_of(waits);
  bool first_deadline_may_move = list.first == nullptr;
  list.push_back(added);
  count(*added, 1);
  // The listener may be waiting without a limit, or with a later one.
  if (first_deadline_may_move && waits != kind::fresh) wake();
  return true;
}

void waiting_room::watch_kept_server(entry& kept) {
  client_connection& connection = kept.connection;
  if (connection.server.get() < 0) return;
  epoll_event event{};
  event.events = connection_events;
  event.data.u64 = reinterpret_cast<std::uintptr_t>(&kept) | server_side_bit;
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

int waiting_room::milliseconds_to_first_deadline() {
  std::lock_guard lock(mutex_);
  clock::time_point first = clock::time_point::max();
  for (entry* front : {fresh_.first, kept_.first, tunnels_.first}) {
    if (front != nullptr) first = std::min(first, front->until);
  }
  if (first == clock::time_point::max()) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(first - clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 24 * 3600 * 1000)) : 0;
}

void waiting_room::wait(int limit_ms, std::vector<leaving>& ready, bool& listener_ready) {
  listener_ready = false;
  {
    // Every event read before names no entry freed here.
    std::lock_guard lock(mutex_);
    for (entry* gone : left_) delete gone;
    left_.clear();
  }
  int first = milliseconds_to_first_deadline();
  if (first >= 0 && (limit_ms < 0 || first < limit_ms)) limit_ms = first;
  epoll_event events[events_per_wait];
  int count = epoll_wait(epollfd_, events, events_per_wait, limit_ms);
  if (count <= 0) return;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < count; ++i) {
    void* tag = events[i].data.ptr;
    if (tag == &listener_tag_) {
      listener_ready = true;
    } else if (tag == &wake_tag_) {
      std::uint64_t ignored;
      while (read(wakefd_, &ignored, sizeof ignored) > 0) {
      }
    } else {
      auto bits = reinterpret_cast<std::uintptr_t>(tag);
      auto* waiting = reinterpret_cast<entry*>(bits & ~server_side_bit);
      if (waiting->gone) continue;
      // Bytes or an end from a server with no request on it: the connection
      // cannot carry the next request, and the client goes on waiting.
      if ((bits & server_side_bit) != 0) {
        drop_kept_server(*waiting, true);
      } else {
        leave(waiting, ready, true);
      }
    }
  }
}

bool waiting_room::evict_oldest_kept(std::vector<leaving>& evicted) {
  std::lock_guard lock(mutex_);
  if (kept_.first == nullptr) return false;
  leave(kept_.first, evicted, false);
  return true;
}

void waiting_room::expire(clock::time_point now, std::vector<leaving>& expired) {
  std::lock_guard lock(mutex_);
  for (entry_list* list : {&fresh_, &kept_, &tunnels_}) {
    while (list->first != nullptr && list->first->until <= now) {
      leave(list->first, expired, false);
    }
  }
}

void waiting_room::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakefd_, &one, sizeof one);
}

void waiting_room::empty_into(std::vector<leaving>& all) {
  std::lock_guard lock(mutex_);
  for (entry_list* list : {&fresh_, &kept_, &tunnels_}) {
    while (list->first != nullptr) leave(list->first, all, false);
  }
}

std::size_t waiting_room::size() {
  std::lock_guard lock(mutex_);
  return fresh_.size + kept_.size + tunnels_.size;
}

}  // namespace ferry
