#include "io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ferry {

nonblocking_scope::nonblocking_scope(int fd) : fd_(fd), saved_flags_(fcntl(fd, F_GETFL)) {
  // Unreadable flags: transfer in whatever mode the descriptor is in.
  if (saved_flags_ < 0 || (saved_flags_ & O_NONBLOCK) != 0) return;
  restore_ = fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK) == 0;
}

nonblocking_scope::~nonblocking_scope() {
  if (!restore_) return;
  int saved_errno = errno;
  fcntl(fd_, F_SETFL, saved_flags_);
  errno = saved_errno;
}

int deadline::milliseconds_left() const {
  if (is_never()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when_ - clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

io_result wait_ready(pollfd* waited, std::size_t count, const deadline& until) {
  bool any = false;
  for (std::size_t i = 0; i < count; ++i) {
    waited[i].revents = 0;
    any = any || waited[i].fd >= 0;
  }
  // poll skips negative descriptors; a wait on nothing would never end.
  if (!any) {
    errno = EBADF;
    return io_result::failed;
  }
  for (;;) {
    int ready = poll(waited, count, until.milliseconds_left());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return io_result::failed;
    if (ready == 0) return io_result::timed_out;
    for (std::size_t i = 0; i < count; ++i) {
      if ((waited[i].revents & POLLNVAL) != 0) {
        errno = EBADF;
        return io_result::failed;
      }
    }
    return io_result::done;
  }
}

io_result wait_ready(pollfd& waited, const deadline& until) {
  return wait_ready(&waited, 1, until);
}

io_result wait_ready(int fd, short events, const deadline& until) {
  pollfd waited{fd, events, 0};
  return wait_ready(&waited, 1, until);
}

// Sockets take a per-call flag, so their own flags never change; anything
// else is switched for the call.
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

}  // namespace ferry
