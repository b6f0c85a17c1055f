#include "log.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "metrics.h"
#include "text.h"

namespace ferry {

log_state current_log;

void trace_line(const char* text) {
  if (tracing()) puts(text);
}

void trace_block(std::string_view text) {
  if (tracing()) fwrite(text.data(), 1, text.size(), stdout);
}

void write_raw(const char* text, std::size_t length) {
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
}

void report_errno(const char* label) {
  int error = errno;
  // Without setlocale the locale stays "C", where perror's text is this one.
  const char* description = strerrordesc_np(error);
  char unknown[64];
  if (description == nullptr) description = strerror_r(error, unknown, sizeof unknown);
  trace_text line;
  line.append(label);
  line.append(": ");
  line.append(description);
  line.append("\n");
  write_raw(line.text, line.length);
  errno = error;
}

void trace_errno(const char* label) {
  if (tracing()) report_errno(label);
}

void report_failure(std::string_view text) {
  if (tracing()) {
    write_raw(text.data(), text.size());
    return;
  }
  std::string line(text);
  line += '\n';
  write_raw(line.data(), line.size());
}

void start_access_record(access_record& record) {
  if (!recording_requests()) return;
  clock_gettime(CLOCK_REALTIME, &record.started);
  clock_gettime(CLOCK_MONOTONIC, &record.started_steady);
}

namespace {

// A field as one token: "-" when empty; spaces, backslashes and every other
// byte that could split or forge it written as \xNN.
std::string field_text(std::string_view field) {
  if (field.empty()) return "-";
  return escape_bytes(field, kept_bytes{});
}

void append_field(std::string& line, std::string_view field) {
  line += ' ';
  line += field_text(field);
}

// Cuts an escaped field to at most `room` bytes, access_cut_marker included,
// never inside an \xNN: escaping leaves no other backslash.
void cut_field(std::string& text, std::size_t room) {
  if (text.size() <= room) return;
  std::size_t keep = room > access_cut_marker.size() ? room - access_cut_marker.size() : 0;
  std::size_t escape = text.rfind('\\', keep);
  if (escape != std::string::npos && escape + 4 > keep) keep = escape;
  text.resize(keep);
  text += access_cut_marker;
}

void append_number(std::string& line, std::uint64_t number, bool known = true) {
  line += ' ';
  if (!known) {
    line += '-';
    return;
  }
  char text[24];
  auto [end, error] = std::to_chars(text, text + sizeof text, number);
  (void)error;
  line.append(text, end);
}

std::string format_time(const timespec& at) {
  tm parts{};
  gmtime_r(&at.tv_sec, &parts);
  char text[40];
  std::size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(text + length, sizeof text - length, ".%03ldZ", at.tv_nsec / 1000000);
  return text;
}

}  // namespace

std::string format_access_record(const access_record& record, const timespec& now_steady) {
  std::string line = format_time(record.started);
  append_field(line, format_endpoint(record.client_address, record.client_port));
  std::string method = field_text(record.method);
  std::string target = field_text(record.target);
  std::string rest;
  append_number(rest, static_cast<std::uint64_t>(record.status), record.status != 0);
  append_number(rest, record.to_client);
  append_number(rest, record.from_client);
  long long taken_ms = (now_steady.tv_sec - record.started_steady.tv_sec) * 1000LL +
                       (now_steady.tv_nsec - record.started_steady.tv_nsec) / 1000000;
  append_number(rest, static_cast<std::uint64_t>(taken_ms < 0 ? 0 : taken_ms));
  append_number(rest, record.slot, record.slot != 0);
  append_field(rest, ending_word(record.ending));
  std::string user = field_text(record.user);
  cut_field(user, max_access_user);
  rest.append(" ").append(user);
  // The fixed fields take a hundred-odd bytes: room for both to keep a marker.
  const std::size_t fixed = line.size() + rest.size() + 3;  // two spaces, the newline
  const std::size_t room = max_access_line - fixed;
  cut_field(target, room > method.size() ? room - method.size() : 0);
  cut_field(method, room - target.size());
  line.append(" ").append(method).append(" ").append(target).append(rest);
  return line;
}

void note_tunnel_open(access_record& record) {
  record.tunnel = true;
  process_metrics().add(gauge::tunnels_open, 1);
}

void write_access_record(const access_record& record) {
  if (record.tunnel) process_metrics().add(gauge::tunnels_open, -1);
  if (!recording_requests() || !record.written) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (current_log.counting) {
    long long took = (now.tv_sec - record.started_steady.tv_sec) * 1000000LL +
                     (now.tv_nsec - record.started_steady.tv_nsec) / 1000;
    process_metrics().count_request({ending_word(record.ending), record.status, record.to_client,
                                     record.from_client, std::chrono::microseconds(took),
                                     record.tunnel});
  }
  if (!access_logging()) return;
  std::string line = format_access_record(record, now);
  line += '\n';
  // One write per line, of at most PIPE_BUF bytes: lines of concurrent
  // requests never mix, even in a pipe, and a line is out before the
  // request's slot is free.
  ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
  (void)ignored;
}

namespace {

// Control bytes other than CR LF and LF line breaks, and bytes 0x80-0xFF
// (0x9b starts a control sequence on 8-bit terminals), become \xNN.
constexpr kept_bytes kept_in_trace{.space = true, .backslash = true, .line_breaks = true};

}  // namespace

std::string escape_for_trace(std::string_view text) { return escape_bytes(text, kept_in_trace); }

std::string trace_head(std::string_view head) {
  constexpr std::string_view secret_fields[] = {"Authorization", "Proxy-Authorization", "Cookie"};
  std::string out;
  out.reserve(head.size() + 16);
  while (!head.empty()) {
    std::string_view line = take_line(&head, line_ending::kept);
    std::string_view rest = line;
    std::string_view content = take_line(&rest, line_ending::dropped);
    std::string_view ending = line.substr(content.size());
    std::size_t colon = content.find(':');
    std::string_view name = colon == std::string_view::npos ? content : content.substr(0, colon);
    bool secret = colon != std::string_view::npos &&
                  std::any_of(std::begin(secret_fields), std::end(secret_fields),
                              [name](std::string_view s) { return equals_ignoring_case(name, s); });
    if (secret) {
      std::size_t size = trim_blanks(content.substr(colon + 1)).size();
      content = content.substr(0, colon + 1);
      append_escaped(content, kept_in_trace, out);
      out.append(" [hidden, ").append(std::to_string(size)).append(" bytes]");
    } else {
      append_escaped(content, kept_in_trace, out);
    }
    append_escaped(ending, kept_in_trace, out);
  }
  return out;
}

}  // namespace ferry
