// Small helpers every suite shares: what ferry answers and reports, random
// bytes, counting, and reads and writes that give up at a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace harness {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// ferry's answer when it cannot reach the host a head names.
inline const std::string host_failed("connection to host failed\0", 26);
// ferry's report, on standard error, when every slot is taken.
inline const std::string queue_full = "thread quee is full";
// ferry forwards what its one read of a head brings, at most this many bytes.
inline constexpr std::size_t head_read_size = 4096;

// `size` bytes of a generator seeded with `seed`: the same bytes for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

// How often `needle` (not empty) stands in `haystack`, without overlaps.
long count_of(std::string_view haystack, std::string_view needle);

// Reads until `size` bytes arrived (never more), the end of stream or the
// timeout; with `head`, also stops at the empty line that ends a head.
std::string read_up_to(int fd, std::size_t size, std::chrono::milliseconds timeout = 10s,
                       bool head = false);

// A head ends at its empty line, or where ferry's one read cut it.
inline std::string read_head(int fd, std::chrono::milliseconds timeout = 10s) {
  return read_up_to(fd, head_read_size, timeout, true);
}

// Sends all of `data` within `timeout`; false when the peer fails or the time is up.
bool send_within(int fd, std::string_view data, std::chrono::milliseconds timeout = 30s);

// Makes the next close of `fd` a reset instead of the usual end of stream.
void reset_on_close(int fd);

enum class ending { closed, reset, timed_out, unconnected };

struct reply {
  std::string data;
  ending end = ending::unconnected;
  // The peer closed or reset the connection before the time ran out.
  bool ended() const { return end == ending::closed || end == ending::reset; }
};

// Reads until the end of stream, a reset or the timeout.
reply read_reply(int fd, std::chrono::milliseconds timeout = 10s);

}  // namespace harness
