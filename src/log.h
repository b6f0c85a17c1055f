// What ferry writes about its work: the trace (standard output, every step),
// the access log (one line per request), and failure reports on standard
// error. The mode is set once at start-up, before any other thread exists.
#pragma once

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <type_traits>

#include "ip_address.h"
#include "metrics.h"

namespace ferry {

enum class log_mode { trace, access, off };

// The LOG setting and whether the metrics count requests, kept here rather
// than in the settings value: every layer traces, and passing the mode down
// to each would thread it through every call. Set once by main before any
// other thread exists; read-only after.
struct log_state {
  log_mode mode = log_mode::trace;
  bool counting = false;  // every finished request is counted for the metrics (METRICS_ADDR)
};
extern log_state current_log;

inline bool tracing() { return current_log.mode == log_mode::trace; }
inline bool access_logging() { return current_log.mode == log_mode::access; }
inline bool logging_off() { return current_log.mode == log_mode::off; }

inline void set_log_mode(log_mode mode) { current_log.mode = mode; }
inline void set_request_counting(bool on) { current_log.counting = on; }
// Whether a request's record is kept at all: for the access log or the metrics.
inline bool recording_requests() { return access_logging() || current_log.counting; }

// One line under construction, cut at its capacity.
struct trace_text {
  char text[384];
  std::size_t length = 0;

  void append(std::string_view part) {
    std::size_t room = sizeof text - length;
    std::size_t size = part.size() < room ? part.size() : room;
    part.copy(text + length, size);
    length += size;
  }
  void append(long long number) {
    auto [end, error] = std::to_chars(text + length, text + sizeof text, number);
    if (error == std::errc()) length = static_cast<std::size_t>(end - text);
  }
};

// Prints the parts (texts and integers) as one trace line on standard output
// in a single call, so lines of request threads never mix. Cheaper than
// printf, which showed up as the largest user-space cost per request.
// Nothing unless tracing.
template <typename... Parts>
void trace(const Parts&... parts) {
  if (!tracing()) return;
  trace_text line;
  auto add = [&line](const auto& part) {
    if constexpr (std::is_integral_v<std::decay_t<decltype(part)>>) {
      line.append(static_cast<long long>(part));
    } else {
      line.append(std::string_view(part));
    }
  };
  (add(parts), ...);
  fwrite(line.text, 1, line.length, stdout);
}

// A trace line as puts writes it, newline added. Nothing unless tracing.
void trace_line(const char* text);

// Text of any length (a head) on the trace, as it stands. Nothing unless tracing.
void trace_block(std::string_view text);

// Writes "label: <text of errno>\n" to standard error as perror does, but
// with one write: glibc's perror costs six system calls. Keeps errno. For
// real failures, in every mode.
void report_errno(const char* label);

// The same for a step of the trace ("select for read"): nothing unless tracing.
void trace_errno(const char* label);

// Writes a fixed message to standard error as it stands, newline or not.
void write_raw(const char* text, std::size_t length);

// A failure message that the trace writes without a newline: as it stands
// when tracing, as one line of its own in the other modes. Always written.
void report_failure(std::string_view text);

// How a request ended: the access log's last field, and the metrics' label.
// In the order of request_endings, which holds their words.
enum class request_ending : std::uint8_t {
  done,
  client_closed,
  client_timeout,
  server_failed,
  server_timeout,
  idle_timeout,
  refused,
  bad_request,
  bad_proxy_header,
  not_http,
  no_slot,
  no_thread,
  stopped,
  parent_refused,
  auth_required,
  denied_host,
  tunnel_refused,
};
static_assert(static_cast<std::size_t>(request_ending::tunnel_refused) + 1 ==
              request_endings.size());

// The word the access log prints for `ending`.
inline std::string_view ending_word(request_ending ending) {
  return request_endings[static_cast<std::size_t>(ending)];
}


// One access-log line, filled in as the request goes.
struct access_record {
  timespec started{};          // wall clock, for the line
  timespec started_steady{};   // for the time taken
  ip_address client_address;
  std::uint16_t client_port = 0;
  std::string method;          // empty while unknown
  std::string target;          // the absolute URL, or host:port for CONNECT
  int status = 0;              // 0: none
  std::uint64_t to_client = 0;
  std::uint64_t from_client = 0;
  std::size_t slot = 0;        // 0: none taken
  request_ending ending = request_ending::done;
  std::string user;            // empty without authentication or when refused
  bool written = true;         // false: not worth a line (a balancer's health check)
  bool tunnel = false;         // a tunnel ferry opened: open until the record is written
};

// Notes the start time in `record`; only when requests are recorded.
void start_access_record(access_record& record);

// Marks the record as a tunnel ferry opened: the metrics count it open until
// the record is written, however it ends.
void note_tunnel_open(access_record& record);

// The longest access line, its newline included: PIPE_BUF, the most a pipe
// takes in one piece from one write.
inline constexpr std::size_t max_access_line = PIPE_BUF;
// The most of a user's name an access line shows, escaped.
inline constexpr std::size_t max_access_user = 128;
// What ends a target (or a method) cut to keep its line within that.
inline constexpr std::string_view access_cut_marker = "...";

// The record as one line, without its newline, timed to `now_steady` on the
// steady clock. Fields, space-separated, "-" when unknown, control bytes,
// spaces and backslashes inside a field written as \xNN: start time (UTC,
// ISO 8601, milliseconds), client address:port, method, target, status,
// bytes to the client, bytes from the client, milliseconds taken, slot,
// ending, user (cut at max_access_user bytes). A line that would pass max_access_line has its target cut to fit,
// ending in access_cut_marker (and its method too, when that alone is that
// long), so every field stays in its place.
std::string format_access_record(const access_record& record, const timespec& now_steady);

// Ends the request's record: counts it for the metrics when they are on (a
// tunnel as open no longer), and writes it as one line with one write when
// the access log is on.
void write_access_record(const access_record& record);

// The head as the trace prints it: the values of Authorization,
// Proxy-Authorization and Cookie replaced by their length, and control bytes
// other than the line breaks and bytes 0x80-0xFF written as \xNN, so a value
// cannot forge a line or drive a terminal.
std::string trace_head(std::string_view head);

// `text` escaped as trace_head escapes a value.
std::string escape_for_trace(std::string_view text);

}  // namespace ferry

