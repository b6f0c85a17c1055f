// The one owner of a descriptor: closes it on every path, hands it on by move.
#pragma once

#include <unistd.h>

#include <utility>

namespace ferry {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  // Gives up ownership without closing; the caller closes.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any, and takes `fd`. Never retried on
  // EINTR: the descriptor is gone either way.
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  // `!fd` would read like a validity check but test the number; say get() < 0.
  bool operator!() const = delete;

 private:
  int fd_ = -1;
};

}  // namespace ferry
