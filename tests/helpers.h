// Small helpers every suite shares: what ferry answers and reports, random
// bytes, counting, reads and writes that give up at a deadline, what a call
// prints, and files and throw-away folders.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace harness {

using namespace std::chrono_literals;

// Whether ferry and its units are built with a sanitizer (the tests' own code
// may not be).
#if defined(FERRY_SANITIZED) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// One of ferry's own answers: the status and a one-line plain-text body.
std::string ferry_answer(int status, std::string_view reason, std::string_view line);
// ferry's answer when it cannot reach the host a head names.
inline const std::string host_failed = ferry_answer(502, "Bad Gateway", "connection to host failed");
// ferry's answer to a CONNECT that it tunnels.
inline const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
// True when `data` is one of ferry's own 4xx or 5xx answers, whole.
bool is_ferry_answer(std::string_view data);
// An answer whose head has no Connection field, as ferry passes it on: with
// "Connection: close" as its last field.
std::string relayed(std::string_view answer);
// ferry's report, on standard error, when every slot is taken.
inline const std::string queue_full = "thread quee is full";
// ferry's first read of a head: at most this many bytes.
inline constexpr std::size_t head_read_size = 4096;
// The largest head ferry takes.
inline constexpr std::size_t max_head_size = 65536;

// `size` bytes of a generator seeded with `seed`: the same bytes for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

// How often `needle` (not empty) stands in `haystack`, without overlaps.
long count_of(std::string_view haystack, std::string_view needle);

// Reads until `size` bytes arrived (never more), the end of stream or the
// timeout; with `head`, also stops at the empty line that ends a head.
std::string read_up_to(int fd, std::size_t size, std::chrono::milliseconds timeout = 10s,
                       bool head = false);

// A head ends at its empty line.
inline std::string read_head(int fd, std::chrono::milliseconds timeout = 10s) {
  return read_up_to(fd, max_head_size, timeout, true);
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

bool is_nonblocking(int fd);

// What a call wrote to standard output and standard error.
struct trace {
  std::string output;
  std::string errors;
};

// Runs `action` with standard output and error sent to temporary files and
// returns what it wrote. No assertion may run inside `action`.
trace capture(const std::function<void()>& action);

}  // namespace harness

// Files and throw-away folders: what the tests install, package, deploy and
// serve, and the configurations of the programs they start.
namespace temp_files {

// False when the file cannot be written whole.
bool write_file(const std::string& path, const std::string& content);

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);

// A fresh folder under /tmp, removed with everything in it.
class temp_folder {
 public:
  temp_folder();
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;
  ~temp_folder();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace temp_files
