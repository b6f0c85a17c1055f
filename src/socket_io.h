// Readiness-guarded transfers and the upstream connection.
#pragma once

#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

// Bound of every write wait: CON_TIMEOUT seconds. Set once by main before any
// other thread exists.
extern timeval ti;

// Waits without limit until `fd` is readable, then reads once, at most `count`
// bytes. Returns the bytes read, 0 at end of stream, -1 when the read or the
// wait fails.
ssize_t readn(int fd, void* buffer, std::size_t count);

// Writes all `count` bytes, waiting up to `ti` for writability before each
// attempt. Returns `count`, -1 when a write or wait fails, -2 when a wait times
// out. Bytes written before a failure stay written.
ssize_t writen(int fd, const void* buffer, std::size_t count);

// Writes "label: <text of errno>\n" to standard error as perror does, but
// with one write: glibc's perror costs six system calls. Keeps errno.
void report_errno(const char* label);

// Connects to the first IPv4 address of `host` that accepts, on service
// `serv`. Returns the connected descriptor, or -1.
int tcp_connect(const char* host, const char* serv);

// Owns a descriptor and closes it on every path.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() {
    // Never retried on EINTR: the descriptor is gone either way.
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  bool operator!() const = delete;

 private:
  int fd_;
};
