// The ground floor of every socket call: one result type, one deadline type,
// one way to wait for a descriptor, and reads and writes that never block.
// Nothing here prints.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstddef>

namespace ferry {

// How a socket call went.
enum class io_result {
  done,         // it did what was asked (a read: some bytes; a wait: ready)
  would_block,  // nothing could be done without waiting
  timed_out,    // the deadline passed first
  peer_closed,  // the peer's end of stream
  failed,       // an error; errno says which
};

// When a wait must end: a point on the steady clock, or never. Made once
// from a time limit and handed down to every wait it bounds.
class deadline {
 public:
  using clock = std::chrono::steady_clock;

  static deadline never() { return deadline(clock::time_point::max()); }
  static deadline at(clock::time_point when) { return deadline(when); }
  static deadline in(std::chrono::milliseconds span) { return deadline(clock::now() + span); }
  // A limit in seconds as the settings give it, counted from `start`: 0 means none.
  static deadline after(clock::time_point start, std::uint16_t seconds) {
    return seconds == 0 ? never() : at(start + std::chrono::seconds(seconds));
  }
  // A limit in milliseconds as the waits take it: negative means none.
  static deadline in_ms(long milliseconds) {
    return milliseconds < 0 ? never() : in(std::chrono::milliseconds(milliseconds));
  }

  bool is_never() const { return when_ == clock::time_point::max(); }
  clock::time_point when() const { return when_; }
  // What is left, for poll: -1 for never, 0 once it has passed.
  int milliseconds_left() const;

 private:
  explicit deadline(clock::time_point when) : when_(when) {}
  clock::time_point when_;
};

// A peer that closed or failed counts as ready: the next transfer reports it.
inline constexpr short ready_events = POLLHUP | POLLERR;

// Waits until one of `waited` is ready for its events or `until` passes;
// interrupted waits go on. Returns done (revents set), timed_out, or failed
// with errno set; an invalid or negative descriptor fails with EBADF.
io_result wait_ready(pollfd* waited, std::size_t count, const deadline& until);
io_result wait_ready(pollfd& waited, const deadline& until);
io_result wait_ready(int fd, short events, const deadline& until);

// Puts `fd` in non-blocking mode while it lives and restores its own flags
// on every exit, keeping errno for the caller's report.
class nonblocking_scope {
 public:
  explicit nonblocking_scope(int fd);
  nonblocking_scope(const nonblocking_scope&) = delete;
  nonblocking_scope& operator=(const nonblocking_scope&) = delete;
  ~nonblocking_scope();

 private:
  int fd_;
  int saved_flags_;
  bool restore_ = false;
};

// One read or write that never blocks, whatever the descriptor's own mode;
// the descriptor's flags are left as they were. The result and errno are
// those of recv/send (or read/write for what is not a socket).
ssize_t read_once(int fd, void* buffer, std::size_t count);
ssize_t write_once(int fd, const void* buffer, std::size_t count);

}  // namespace ferry
