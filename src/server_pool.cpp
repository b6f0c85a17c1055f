#include "server_pool.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace ferry {
namespace {

// The wake-up's mark in the watcher's events; pooled connections count from 1.
constexpr std::uint64_t wake_mark = 0;

}  // namespace

server_pool::server_pool(std::size_t most_idle, std::chrono::milliseconds idle_limit)
    : most_idle_(std::max<std::size_t>(most_idle, 1)), idle_limit_(idle_limit) {
  watcher_.reset(epoll_create1(EPOLL_CLOEXEC));
  wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = wake_mark;
  // Without its watcher the pool keeps nothing: give_back closes.
  if (watcher_.get() < 0 || wake_.get() < 0 ||
      epoll_ctl(watcher_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0) {
    closing_ = true;
    return;
  }
  thread_ = std::thread([this] { watch(); });
}

server_pool::~server_pool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    (void)!write(wake_.get(), &one, sizeof one);
    thread_.join();
  }
}

unique_fd server_pool::take(const std::string& key, std::uint64_t user, bool own_only) {
  std::lock_guard lock(mutex_);
  auto found = by_target_.find(key);
  if (found == by_target_.end()) return unique_fd();
  std::deque<entry>& idle = found->second;
  // The most recent first: the server is least likely to have closed it.
  for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
    if (own_only && it->user != user) continue;
    unique_fd server = std::move(it->server);
    target_of_.erase(it->id);
    idle.erase(std::next(it).base());
    if (idle.empty()) by_target_.erase(found);
    epoll_ctl(watcher_.get(), EPOLL_CTL_DEL, server.get(), nullptr);
    return server;
  }
  return unique_fd();
}

void server_pool::give_back(const std::string& key, unique_fd server, std::uint64_t user) {
  std::lock_guard lock(mutex_);
  if (closing_ || target_of_.size() >= most_idle_) return;
  std::deque<entry>& idle = by_target_[key];
  if (idle.size() >= pooled_per_target) return;
  std::uint64_t id = next_id_++;
  epoll_event event{};
  // A pooled connection must stay silent: any byte or end closes it.
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u64 = id;
  if (epoll_ctl(watcher_.get(), EPOLL_CTL_ADD, server.get(), &event) != 0) {
    if (idle.empty()) by_target_.erase(key);
    return;
  }
  // The watcher waits without a deadline while the pool is empty.
  if (target_of_.empty()) {
    std::uint64_t one = 1;
    (void)!write(wake_.get(), &one, sizeof one);
  }
  idle.push_back(entry{std::move(server), id, user, clock::now() + idle_limit_});
  target_of_.emplace(id, key);
}

std::size_t server_pool::idle() const {
  std::lock_guard lock(mutex_);
  return target_of_.size();
}

// Closes the pooled connection `id`; false when it was taken meanwhile.
bool server_pool::drop(std::uint64_t id) {
  auto named = target_of_.find(id);
  if (named == target_of_.end()) return false;
  auto found = by_target_.find(named->second);
  std::deque<entry>& idle = found->second;
  auto it = std::find_if(idle.begin(), idle.end(), [id](const entry& e) { return e.id == id; });
  // Closing takes it out of the watcher's set: nothing else holds the descriptor.
  idle.erase(it);
  if (idle.empty()) by_target_.erase(found);
  target_of_.erase(named);
  return true;
}

// Closes what waited its idle limit; returns when the next one's ends.
server_pool::clock::time_point server_pool::sweep(clock::time_point now) {
  clock::time_point next = clock::time_point::max();
  for (auto target = by_target_.begin(); target != by_target_.end();) {
    std::deque<entry>& idle = target->second;
    // Given back in order, so the oldest are in front.
    while (!idle.empty() && idle.front().until <= now) {
      target_of_.erase(idle.front().id);
      idle.pop_front();
    }
    if (!idle.empty()) next = std::min(next, idle.front().until);
    target = idle.empty() ? by_target_.erase(target) : std::next(target);
  }
  return next;
}

// The watcher: closes what speaks, ends or waits too long. Waits without a
// deadline only while the pool is empty; give_back wakes it then.
void server_pool::watch() {
  epoll_event events[64];
  int wait_ms = -1;
  for (;;) {
    int count = epoll_wait(watcher_.get(), events, 64, wait_ms);
    std::lock_guard lock(mutex_);
    if (closing_) return;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == wake_mark) {
        std::uint64_t ignored;
        (void)!read(wake_.get(), &ignored, sizeof ignored);
      } else {
        drop(events[i].data.u64);
      }
    }
    clock::time_point now = clock::now();
    clock::time_point next = sweep(now);
    wait_ms =
        next == clock::time_point::max()
            ? -1
            : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
  }
}

}  // namespace ferry
