#include "answers.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>

#include "io.h"

namespace ferry {
namespace {

// How long a closing connection keeps reading what the client still sends.
constexpr auto linger_time = std::chrono::milliseconds(1000);

const char* reason_phrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 508: return "Loop Detected";
    default: return "Error";
  }
}

// Ends ferry's side, then reads and drops what the client still sends, at
// most `most_reads` times, until it ends or fails or `until` passes: a close
// with unread bytes would reset the connection, and the client could lose
// the answer.
void shut_and_drain(int clifd, const deadline& until, int most_reads) {
  shutdown(clifd, SHUT_WR);
  char scratch[4096];
  for (int reads = 0; reads < most_reads; ++reads) {
    if (wait_ready(clifd, POLLIN, until) != io_result::done) return;
    ssize_t got = read_once(clifd, scratch, sizeof scratch);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

}  // namespace

void close_gently(int clifd) { shut_and_drain(clifd, deadline::in(linger_time), INT_MAX); }

// How a request that ferry answered itself ended, for the access log.
request_ending ending_of(int status) {
  switch (status) {
    case 400:
    case 431: return request_ending::bad_request;
    case 407: return request_ending::auth_required;
    case 408: return request_ending::client_timeout;
    case 502: return request_ending::server_failed;
    case 504: return request_ending::server_timeout;
    default: return request_ending::refused;
  }
}

std::string error_answer(int status, std::string_view body_line,
                         std::string_view extra_fields) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(body_line.size() + 1) + "\r\n";
  answer.append(extra_fields).append("Connection: close\r\n\r\n");
  answer.append(body_line);
  answer += '\n';
  return answer;
}

std::size_t answer_and_close_now(unique_fd connection, std::string_view answer) {
  return answer_without_waiting(connection.get(), answer);
}

std::size_t answer_without_waiting(int clifd, std::string_view answer) {
  ssize_t sent = answer.empty() ? 0 : send(clifd, answer.data(), answer.size(),
                                           MSG_DONTWAIT | MSG_NOSIGNAL);
  // Only what has already arrived: this thread must not wait.
  shut_and_drain(clifd, deadline::in(std::chrono::milliseconds(0)), 16);
  return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

}  // namespace ferry
