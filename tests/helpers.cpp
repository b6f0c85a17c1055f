#include "helpers.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <random>

namespace harness {
namespace {

using steady_clock = std::chrono::steady_clock;

// Waits until `fd` has `events`; false when `deadline` passes first.
bool ready(int fd, short events, steady_clock::time_point deadline) {
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd waited{fd, events, 0};
    int got = poll(&waited, 1, static_cast<int>(left.count()));
    if (got > 0) return true;
    if (got < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

long count_of(std::string_view haystack, std::string_view needle) {
  long count = 0;
  for (auto at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::string read_up_to(int fd, std::size_t size, std::chrono::milliseconds timeout, bool head) {
  std::string data;
  auto deadline = steady_clock::now() + timeout;
  char chunk[8192];
  while (data.size() < size && !(head && data.find("\r\n\r\n") != std::string::npos) &&
         ready(fd, POLLIN, deadline)) {
    ssize_t got = recv(fd, chunk, std::min(sizeof chunk, size - data.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  return data;
}

bool send_within(int fd, std::string_view data, std::chrono::milliseconds timeout) {
  auto deadline = steady_clock::now() + timeout;
  for (std::size_t sent = 0; sent < data.size();) {
    if (!ready(fd, POLLOUT, deadline)) return false;
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void reset_on_close(int fd) {
  linger abort_now{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
}

reply read_reply(int fd, std::chrono::milliseconds timeout) {
  reply got;
  auto deadline = steady_clock::now() + timeout;
  char chunk[65536];
  for (;;) {
    if (!ready(fd, POLLIN, deadline)) {
      got.end = ending::timed_out;
      return got;
    }
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      got.end = n == 0 ? ending::closed : ending::reset;
      return got;
    }
    got.data.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace harness
