#include "socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>

timeval ti{10, 0};

namespace {

// Puts `fd` in non-blocking mode for one read or write and restores its own
// flags on every exit, keeping errno for the caller's report.
class nonblocking_scope {
 public:
  explicit nonblocking_scope(int fd) : fd_(fd), saved_flags_(fcntl(fd, F_GETFL)) {
    // Unreadable flags: transfer in whatever mode the descriptor is in.
    if (saved_flags_ < 0 || (saved_flags_ & O_NONBLOCK) != 0) return;
    if (fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK) < 0) trace_errno("set fntl");
    restore_ = true;
  }
  nonblocking_scope(const nonblocking_scope&) = delete;
  nonblocking_scope& operator=(const nonblocking_scope&) = delete;
  ~nonblocking_scope() {
    if (!restore_) return;
    int saved_errno = errno;
    fcntl(fd_, F_SETFL, saved_flags_);
    errno = saved_errno;
  }

 private:
  int fd_;
  int saved_flags_;
  bool restore_ = false;
};

// One read or write that never blocks. Sockets take a per-call flag, so their
// own flags never change; anything else is switched for the call.
ssize_t read_once(int fd, void* buffer, std::size_t count) {
  ssize_t got = recv(fd, buffer, count, MSG_DONTWAIT);
  if (got >= 0 || errno != ENOTSOCK) return got;
  nonblocking_scope nonblocking(fd);
  return read(fd, buffer, count);
}

ssize_t write_once(int fd, const void* buffer, std::size_t count) {
  ssize_t written = send(fd, buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (written >= 0 || errno != ENOTSOCK) return written;
  nonblocking_scope nonblocking(fd);
  return write(fd, buffer, count);
}

int write_wait_ms() {
  if (ti.tv_sec < 0) return -1;
  return static_cast<int>(ti.tv_sec * 1000 + ti.tv_usec / 1000);
}

// One readiness wait on `fd`. A descriptor poll finds invalid fails the way
// select fails on it, with EBADF.
int poll_once(pollfd& waited, int timeout_ms) {
  // poll skips negative descriptors; select would refuse them.
  if (waited.fd < 0) {
    errno = EBADF;
    return -1;
  }
  waited.revents = 0;
  int result = poll(&waited, 1, timeout_ms);
  if (result > 0 && (waited.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  return result;
}

// What is left of `timeout_ms` at `deadline`; -1 (no limit) stays -1.
int milliseconds_until(std::chrono::steady_clock::time_point deadline, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// True when a non-blocking transfer's failure means the descriptor was not
// ready (or not valid, which the wait then reports).
bool needs_wait(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EBADF || error == EINTR;
}

}  // namespace

namespace {

// The end of a read that happened, traced; errno as the read left it.
ssize_t finish_read(ssize_t got, int read_errno) {
  if (got == 0) {
    trace_line("connection closed");
    return 0;
  }
  trace_line("read unblocked");
  errno = read_errno;
  return got;
}

void trace_read_attempt(std::size_t count) {
  trace("read blocked with count = ", static_cast<int>(count), " and left = ",
        static_cast<int>(count), "\n");
}

}  // namespace

ssize_t read_now(int fd, void* buffer, std::size_t count) {
  // The read goes first; the trace reads as if a wait had returned at once.
  int errno_before = errno;
  ssize_t got = read_once(fd, buffer, count);
  int read_errno = errno;
  errno = errno_before;
  if (got < 0 && needs_wait(read_errno)) return would_block;
  trace("descriptor number is ", fd, "\n");
  trace_line("busy");
  trace("selstat: ", 1, "\n");
  trace_errno("select for read");
  trace_read_attempt(count);
  trace("after read c = ", static_cast<int>(got), "\n");
  return finish_read(got, read_errno);
}

ssize_t readn(int fd, void* buffer, std::size_t count, int timeout_ms) {
  ssize_t got = read_now(fd, buffer, count);
  if (got != would_block) return got;
  trace("descriptor number is ", fd, "\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    trace_line("busy");
    pollfd waited{fd, POLLIN, 0};
    int selstat;
    // Interrupted waits are retried; a lasting failure ends the read.
    while ((selstat = poll_once(waited, milliseconds_until(deadline, timeout_ms))) < 0 &&
           errno == EINTR) {
      trace_line("busy");
    }
    bool timed_out = selstat == 0;
    if (selstat == 1 && (waited.revents & (POLLIN | ready_events)) == 0) selstat = 0;
    trace("selstat: ", selstat, "\n");
    trace_errno("select for read");
    if (selstat != 1) {
      trace_line("read unblocked");
      if (timed_out) return -2;
      return selstat < 0 ? -1 : 0;
    }
    trace_read_attempt(count);
    int errno_before = errno;
    got = read_once(fd, buffer, count);
    int read_errno = errno;
    trace("after read c = ", static_cast<int>(got), "\n");
    // Readiness can pass before the read; that is no failure, so wait again.
    if (got < 0 && (read_errno == EAGAIN || read_errno == EWOULDBLOCK)) {
      errno = errno_before;
      continue;
    }
    return finish_read(got, read_errno);
  }
}

ssize_t write_now(int fd, const char* chunk, std::size_t size, std::size_t done) {
  if (done == 0) trace("descriptor number is ", fd, "\n");
  int errno_before = errno;
  ssize_t written = write_once(fd, chunk + done, size - done);
  int write_errno = errno;
  errno = errno_before;
  if (written < 0 && (write_errno == EAGAIN || write_errno == EWOULDBLOCK || write_errno == EINTR)) {
    return 0;
  }
  trace_errno("select for write");
  trace_line("write blocked");
  if (written <= 0) {
    errno = write_errno;
    trace_errno("write");
    return -1;
  }
  if (done + static_cast<std::size_t>(written) == size) trace_line("write unblocked");
  return written;
}

ssize_t writen(int fd, const void* buffer, std::size_t count) {
  trace("descriptor number is ", fd, "\n");
  const char* position = static_cast<const char*>(buffer);
  std::size_t left = count;
  // A socket with room needs no wait: the first write goes straight away and
  // the wait happens only when it would block, after which every write
  // waits first. The trace reads the same, as the wait would return at once.
  bool wait_first = false;
  while (left > 0) {
    int errno_before = errno;
    ssize_t written = -1;
    int write_errno = EAGAIN;
    if (!wait_first) {
      written = write_once(fd, position, left);
      write_errno = errno;
      errno = errno_before;
    }
    if (written < 0 && needs_wait(write_errno)) {
      pollfd waited{fd, POLLOUT, 0};
      int selstat;
      // Each retry gets the full timeout again; ti itself never changes.
      do {
        selstat = poll_once(waited, write_wait_ms());
      } while (selstat < 0 && errno == EINTR);
      trace_errno("select for write");
      if (selstat < 0) return -1;
      if (selstat == 0) return -2;
      written = write_once(fd, position, left);
      write_errno = errno;
    } else {
      trace_errno("select for write");
    }
    trace_line("write blocked");
    errno = write_errno;
    if (written <= 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_first = true;
        continue;
      }
      trace_errno("write");
      return -1;
    }
    left -= static_cast<std::size_t>(written);
    position += written;
    wait_first = true;  // a short write means the socket is full for now
  }
  trace_line("write unblocked");
  return static_cast<ssize_t>(count);
}

std::vector<sockaddr_in> resolve(const char* host, const char* serv) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<sockaddr_in> addresses;
  if (getaddrinfo(host, serv, &hints, &found) != 0) {
    trace("getaddrinfo problem for host: `", host, "'\n");
    return addresses;
  }
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    addresses.push_back(*reinterpret_cast<const sockaddr_in*>(entry->ai_addr));
  }
  freeaddrinfo(found);
  return addresses;
}

namespace {

// Connects `fd`, made non-blocking when `timeout_ms` is above 0, to
// `address`, waiting at most `timeout_ms`. Returns 0, or -1 with errno set
// (ETIMEDOUT when the time ran out). Every transfer on a socket says for
// itself that it must not block, so `fd` stays as it was made.
int connect_within(int fd, const sockaddr_in& address, int timeout_ms) {
  const auto* target = reinterpret_cast<const sockaddr*>(&address);
  int result = connect(fd, target, sizeof address);
  if (timeout_ms <= 0) return result;
  if (result < 0 && errno == EINPROGRESS) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd waited{fd, POLLOUT, 0};
    int ready;
    while ((ready = poll_once(waited, milliseconds_until(deadline, timeout_ms))) < 0 &&
           errno == EINTR) {
    }
    int error = ETIMEDOUT;
    socklen_t size = sizeof error;
    if (ready < 0) error = errno;
    // Writable without an error or hang-up is connected; otherwise ask why not.
    bool failed = (waited.revents & (POLLERR | POLLHUP)) != 0;
    if (ready > 0) error = 0;
    if (ready > 0 && failed && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
      error = errno;
    }
    if (ready > 0 && failed && error == 0) error = ECONNREFUSED;
    result = error == 0 ? 0 : -1;
    errno = error;
  }
  return result;
}

}  // namespace

int connect_first(const std::vector<sockaddr_in>& addresses, int timeout_ms,
                  bool* every_one_timed_out) {
  int connected = -1;
  bool all_timed_out = !addresses.empty();
  for (const sockaddr_in& address : addresses) {
    int fd = socket(AF_INET, SOCK_STREAM | (timeout_ms > 0 ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
      trace_line("ignore this one");
      all_timed_out = false;
      continue;
    }
    if (connect_within(fd, address, timeout_ms) == 0) {
      // inet_ntoa's shared buffer is not safe with many request threads.
      char dotted[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
      trace("Connected to ", dotted, "\n ");
      connected = fd;
      break;
    }
    if (errno != ETIMEDOUT) all_timed_out = false;
    trace_errno("connection faild... try another host");
    close(fd);
  }
  if (connected < 0 && !addresses.empty()) trace_errno("received host is not good!");
  if (every_one_timed_out != nullptr) *every_one_timed_out = connected < 0 && all_timed_out;
  return connected;
}

int tcp_connect(const char* host, const char* serv) {
  std::vector<sockaddr_in> addresses = resolve(host, serv);
  if (addresses.empty()) return -1;
  return connect_first(addresses, 0);
}

bool read_proxy_header(int fd, proxy_header& header, int timeout_ms, char* buffer,
                       std::size_t capacity, std::size_t& received) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  received = 0;
  for (;;) {
    pollfd waited{fd, POLLIN, 0};
    int ready = poll_once(waited, milliseconds_until(deadline, timeout_ms));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = recv(fd, buffer + received, capacity - received, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return false;
    received += static_cast<std::size_t>(got);
    auto result = parse_proxy_header(std::string_view(buffer, received), header);
    if (result == proxy_header::result::complete) return true;
    if (result == proxy_header::result::bad || received >= proxy_header_limit) return false;
  }
}
