#include "transfer.h"

#include <cerrno>

#include "log.h"

namespace ferry {
namespace {

// True when a non-blocking transfer's failure means the descriptor was not
// ready (or not valid, which the wait then reports).
bool needs_wait(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EBADF || error == EINTR;
}

// The end of a read that happened, traced; errno as the read left it.
transfer finish_read(ssize_t got, int read_errno) {
  if (got == 0) {
    trace_line("connection closed");
    return {io_result::peer_closed, 0};
  }
  trace_line("read unblocked");
  errno = read_errno;
  if (got < 0) return {io_result::failed, 0};
  return {io_result::done, static_cast<std::size_t>(got)};
}

void trace_read_attempt(std::size_t count) {
  trace("read blocked with count = ", static_cast<int>(count),
        " and left = ", static_cast<int>(count), "\n");
}

// The wait's outcome as the trace has always named it: 1 ready to read, 0
// not (timed out, or woken for something else), -1 failed.
int selstat_of(io_result waited, const pollfd& polled) {
  if (waited == io_result::failed) return -1;
  if (waited == io_result::timed_out) return 0;
  return (polled.revents & (POLLIN | ready_events)) != 0 ? 1 : 0;
}

}  // namespace

transfer read_now(int fd, void* buffer, std::size_t count) {
  // The read goes first; the trace reads as if a wait had returned at once.
  int errno_before = errno;
  ssize_t got = read_once(fd, buffer, count);
  int read_errno = errno;
  errno = errno_before;
  if (got < 0 && needs_wait(read_errno)) return {io_result::would_block, 0};
  trace("descriptor number is ", fd, "\n");
  trace_line("busy");
  trace("selstat: ", 1, "\n");
  trace_errno("select for read");
  trace_read_attempt(count);
  trace("after read c = ", static_cast<int>(got), "\n");
  return finish_read(got, read_errno);
}

transfer wait_and_read(int fd, void* buffer, std::size_t count, const deadline& until) {
  transfer got = read_now(fd, buffer, count);
  if (got.result != io_result::would_block) return got;
  trace("descriptor number is ", fd, "\n");
  for (;;) {
    trace_line("busy");
    pollfd waited{fd, POLLIN, 0};
    io_result ready = wait_ready(waited, until);
    int selstat = selstat_of(ready, waited);
    trace("selstat: ", selstat, "\n");
    trace_errno("select for read");
    if (selstat != 1) {
      trace_line("read unblocked");
      if (ready == io_result::timed_out) return {io_result::timed_out, 0};
      return {selstat < 0 ? io_result::failed : io_result::peer_closed, 0};
    }
    trace_read_attempt(count);
    int errno_before = errno;
    ssize_t read = read_once(fd, buffer, count);
    int read_errno = errno;
    trace("after read c = ", static_cast<int>(read), "\n");
    // Readiness can pass before the read; that is no failure, so wait again.
    if (read < 0 && (read_errno == EAGAIN || read_errno == EWOULDBLOCK)) {
      errno = errno_before;
      continue;
    }
    return finish_read(read, read_errno);
  }
}

transfer write_now(int fd, const char* chunk, std::size_t size, std::size_t done) {
  if (done == 0) trace("descriptor number is ", fd, "\n");
  int errno_before = errno;
  ssize_t written = write_once(fd, chunk + done, size - done);
  int write_errno = errno;
  errno = errno_before;
  if (written < 0 &&
      (write_errno == EAGAIN || write_errno == EWOULDBLOCK || write_errno == EINTR)) {
    return {io_result::would_block, 0};
  }
  trace_errno("select for write");
  trace_line("write blocked");
  if (written <= 0) {
    errno = write_errno;
    trace_errno("write");
    return {io_result::failed, 0};
  }
  if (done + static_cast<std::size_t>(written) == size) trace_line("write unblocked");
  return {io_result::done, static_cast<std::size_t>(written)};
}

transfer write_all(int fd, const void* buffer, std::size_t count,
                   std::chrono::milliseconds each_wait) {
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
      // Each wait gets the whole limit again.
      io_result ready = wait_ready(fd, POLLOUT, deadline::in_ms(each_wait.count()));
      trace_errno("select for write");
      if (ready != io_result::done) return {ready, count - left};
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
      return {io_result::failed, count - left};
    }
    left -= static_cast<std::size_t>(written);
    position += written;
    wait_first = true;  // a short write means the socket is full for now
  }
  trace_line("write unblocked");
  return {io_result::done, count};
}

}  // namespace ferry
