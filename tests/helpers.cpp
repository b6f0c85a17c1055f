#include "helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

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

std::string read_back(FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, got);
  }
  std::fclose(file);
  return text;
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

std::string ferry_answer(int status, std::string_view reason, std::string_view line) {
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(line.size() + 1) +
         "\r\nConnection: close\r\n\r\n" + std::string(line) + "\n";
}

bool is_ferry_answer(std::string_view data) {
  std::size_t line_end = data.find("\r\n");
  std::size_t head_end = data.find("\r\n\r\n");
  if (head_end == std::string_view::npos || line_end < 13 || !data.starts_with("HTTP/1.1 ") ||
      (data[9] != '4' && data[9] != '5') || !data.ends_with('\n')) {
    return false;
  }
  int status = std::atoi(std::string(data.substr(9, 3)).c_str());
  std::string_view reason = data.substr(13, line_end - 13);
  std::string_view line = data.substr(head_end + 4, data.size() - head_end - 5);
  return data == ferry_answer(status, reason, line);
}

std::string relayed(std::string_view answer) {
  std::size_t head_end = answer.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return std::string(answer);
  return std::string(answer.substr(0, head_end + 2)) + "Connection: close\r\n" +
         std::string(answer.substr(head_end + 2));
}

bool is_nonblocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

trace capture(const std::function<void()>& action) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* output_file = std::tmpfile();
  FILE* errors_file = std::tmpfile();
  int saved_output = dup(STDOUT_FILENO);
  int saved_errors = dup(STDERR_FILENO);
  dup2(fileno(output_file), STDOUT_FILENO);
  dup2(fileno(errors_file), STDERR_FILENO);
  action();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_output, STDOUT_FILENO);
  dup2(saved_errors, STDERR_FILENO);
  close(saved_output);
  close(saved_errors);
  return {read_back(output_file), read_back(errors_file)};
}

}  // namespace harness

namespace temp_files {

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary);
  file << content;
  file.close();
  return !file.fail();
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

temp_folder::temp_folder() {
  char pattern[] = "/tmp/ferry-test-XXXXXX";
  path_ = mkdtemp(pattern) != nullptr ? pattern : "";
  EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
}

temp_folder::~temp_folder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace temp_files
