#include "log.h"

#include <unistd.h>

#include <cstring>

#include "text.h"


namespace ferry {

log_mode current_log_mode = log_mode::trace;

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
  if (!access_logging()) return;
  clock_gettime(CLOCK_REALTIME, &record.started);
  clock_gettime(CLOCK_MONOTONIC, &record.started_steady);
}

namespace {

// A field as one token: "-" when empty; spaces, backslashes and every other
// byte that could split or forge it written as \xNN.
void append_field(std::string& line, std::string_view field) {
  line += ' ';
  if (field.empty()) {
    line += '-';
    return;
  }
  append_escaped(field, kept_bytes{}, line);
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

std::string format_client(const ip_address& address, std::uint16_t port) {
  return format_endpoint(address, port);
}

// The line as text, without its newline, at `now_steady` on the steady clock.
std::string format_access_record(const access_record& record, const timespec& now_steady) {
  std::string line = format_time(record.started);
  append_field(line, format_client(record.client_address, record.client_port));
  append_field(line, record.method);
  append_field(line, record.target);
  append_number(line, static_cast<std::uint64_t>(record.status), record.status != 0);
  append_number(line, record.to_client);
  append_number(line, record.from_client);
  long long taken_ms = (now_steady.tv_sec - record.started_steady.tv_sec) * 1000LL +
                       (now_steady.tv_nsec - record.started_steady.tv_nsec) / 1000000;
  append_number(line, static_cast<std::uint64_t>(taken_ms < 0 ? 0 : taken_ms));
  append_number(line, record.slot, record.slot != 0);
  append_field(line, record.ending);
  return line;
}

}  // namespace

void write_access_record(const access_record& record) {
  if (!access_logging() || !record.written) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::string line = format_access_record(record, now);
  line += '\n';
  // One write per line: lines of concurrent requests never mix, and a line
  // is out before the request's slot is free.
  ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace ferry
