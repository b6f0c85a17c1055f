// The rig of the load, fault and hostile-input tests: ferry started with its
// trace dropped, origins whose answer is named by the path asked for, clients
// that check every byte, /proc figures, and the figures a test prints.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness.h"

namespace reliability {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using steady_clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

inline const std::string host_failed("connection to host failed\0", 26);
inline const std::string queue_full = "thread quee is full";
inline const std::string sink_answer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nsink\n";
inline constexpr std::size_t max_body = 1 << 20;

// A scale knob: the environment variable `name` when set, else `fallback`.
inline long knob(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

inline double seconds_since(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// A number from /proc/<pid>/status ("VmRSS" and "VmHWM" in KiB, "Threads"), or -1.
inline long status_value(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      return std::atol(line.c_str() + key.size() + 1);
    }
  }
  return -1;
}

struct tcp_entry {
  std::uint16_t local_port, remote_port;
  int state;  // 1 established, 4 fin-wait-1, 10 listen, ...
  std::string inode;
};

inline std::vector<tcp_entry> tcp_table() {
  std::vector<tcp_entry> entries;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    auto port = [](const std::string& address) {
      return static_cast<std::uint16_t>(
          std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
    };
    entries.push_back({port(local), port(remote), std::stoi(state, nullptr, 16), inode});
  }
  return entries;
}

// The port `pid` listens on, found through its socket inodes; 0 when none.
inline std::uint16_t listening_port(pid_t pid) {
  std::map<std::string, std::uint16_t> listening;
  for (const auto& entry : tcp_table()) {
    if (entry.state == 10) listening["socket:[" + entry.inode + "]"] = entry.local_port;
  }
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* descriptors = opendir(folder.c_str());
  if (descriptors == nullptr) return 0;
  std::uint16_t found = 0;
  while (dirent* entry = readdir(descriptors)) {
    char target[64] = {};
    std::string path = folder + "/" + entry->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) <= 0) continue;
    if (auto at = listening.find(target); at != listening.end()) found = at->second;
  }
  closedir(descriptors);
  return found;
}

// ferry with its trace dropped. The trace is dozens of lines a request, so
// standard output goes to /dev/null; standard error goes to a pipe that is
// scanned as it arrives for the messages counted below and for sanitizer
// reports. `prefix` runs ferry under another program (valgrind, say).
class quiet_ferry {
 public:
  static inline const std::vector<std::string> counted = {queue_full,
                                                          "accept: ",
                                                          "error in data passing to server",
                                                          "can't create request thread",
                                                          "Sanitizer",
                                                          "runtime error:"};

  explicit quiet_ferry(const std::vector<std::string>& environment,
                       const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> arguments = prefix;
    arguments.push_back(FERRY_BINARY);
    std::vector<std::string> variables = environment;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name))
        variables.push_back(std::string(name) + "=" + value);
    }
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    for (auto& variable : variables) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int errors[2], exec_done[2];
    if (pipe2(errors, O_CLOEXEC) != 0 || pipe2(exec_done, O_CLOEXEC) != 0) std::abort();
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
      dup2(null_in, STDIN_FILENO);
      dup2(null_out, STDOUT_FILENO);
      dup2(errors[1], STDERR_FILENO);
      execvpe(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(null_in);
    close(null_out);
    close(errors[1]);
    // Until the exec, /proc/<pid>/fd shows this process's descriptors: wait
    // for the end of stream that the exec gives the close-on-exec pipe.
    close(exec_done[1]);
    char ignored;
    while (read(exec_done[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(exec_done[0]);
    errors_fd_ = errors[0];
    for (const auto& marker : counted) counts_[marker] = 0;
    reader_ = std::thread([this] { read_errors(); });
  }
  quiet_ferry(const quiet_ferry&) = delete;
  quiet_ferry& operator=(const quiet_ferry&) = delete;
  ~quiet_ferry() { stop(); }

  pid_t pid() const { return pid_; }
  long rss_kib() const { return status_value(pid_, "VmRSS"); }
  long peak_rss_kib() const { return status_value(pid_, "VmHWM"); }
  int threads() const { return static_cast<int>(status_value(pid_, "Threads")); }
  int descriptors() const { return harness::count_descriptors(pid_); }

  // The exit status, 128 + signal for a signal, or -1 while it runs. Once it
  // has ended, everything it wrote to standard error has been scanned.
  int wait_exit(milliseconds timeout = 10s) {
    auto deadline = steady_clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (reader_.joinable()) reader_.join();  // all it wrote has been read
      } else if (steady_clock::now() >= deadline) {
        return -1;
      } else {
        std::this_thread::sleep_for(5ms);
      }
    }
    return status_;
  }
  bool running() { return wait_exit(0ms) == -1; }

  bool wait_listening(std::uint16_t port, milliseconds timeout = 20s) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline && running()) {
      if (listening_port(pid_) == port) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Waits until ferry holds no more descriptors and threads than given.
  bool wait_idle(int descriptor_count, int thread_count, milliseconds timeout = 30s) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
      if (descriptors() <= descriptor_count && threads() <= thread_count) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  long count(const std::string& marker) {
    std::lock_guard lock(mutex_);
    return counts_.at(marker);
  }
  bool wait_count(const std::string& marker, long times, milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return counts_.at(marker) >= times; });
  }
  // The first 64 KiB of standard error, and any sanitizer report in full.
  std::string errors_head() {
    std::lock_guard lock(mutex_);
    return head_;
  }
  std::string report() {
    std::lock_guard lock(mutex_);
    return report_;
  }

  // Kills ferry if it still runs and fails the test on a sanitizer report.
  void stop() {
    if (pid_ <= 0) return;
    if (running()) {
      kill(pid_, SIGKILL);
      wait_exit(30s);
    }
    if (reader_.joinable()) reader_.join();
    pid_ = -1;
    EXPECT_EQ(report(), "") << "sanitizer report from ferry";
  }

 private:
  void read_errors() {
    constexpr std::size_t head_limit = 64 << 10, report_limit = 1 << 20;
    std::size_t longest = 0;
    for (const auto& marker : counted) longest = std::max(longest, marker.size());
    std::string carry;
    char chunk[65536];
    for (;;) {
      ssize_t got = read(errors_fd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      // Markers may straddle two reads: count those that end in this one.
      std::string window = carry + std::string(chunk, static_cast<std::size_t>(got));
      std::lock_guard lock(mutex_);
      for (auto& [marker, times] : counts_) {
        for (auto at = window.find(marker); at != std::string::npos;
             at = window.find(marker, at + 1)) {
          if (at + marker.size() > carry.size()) ++times;
        }
      }
      if (head_.size() < head_limit)
        head_.append(chunk, std::min<std::size_t>(got, head_limit - head_.size()));
      if (!report_.empty() && report_.size() < report_limit) {
        report_.append(chunk, static_cast<std::size_t>(got));
      } else if (report_.empty() && (counts_["Sanitizer"] > 0 || counts_["runtime error:"] > 0)) {
        report_ = window;
      }
      carry = window.substr(window.size() - std::min(window.size(), longest - 1));
      changed_.notify_all();
    }
    close(errors_fd_);
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  int errors_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, long> counts_;
  std::string head_, report_;
  std::thread reader_;
};

// Random bytes that every body is cut from: the body of request `id` is the
// slice of its size at an offset of its own, so two requests' answers differ.
inline const std::string& body_pool() {
  static const std::string pool = [] {
    std::mt19937_64 generator(20240607);
    std::string bytes(2 * max_body + 4096, '\0');
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
      std::uint64_t value = generator();
      std::memcpy(&bytes[at], &value, 8);
    }
    return bytes;
  }();
  return pool;
}

inline std::size_t body_offset(std::uint64_t id, std::size_t size) {
  return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 20) % (body_pool().size() - size);
}

inline std::string answer_head(std::uint64_t id, std::size_t size) {
  return "HTTP/1.0 200 OK\r\nX-Id: " + std::to_string(id) +
         "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
}

// What the scripted origin answers for /gen/<size>/<id>.
inline std::string expected_answer(std::uint64_t id, std::size_t size) {
  return answer_head(id, size) + body_pool().substr(body_offset(id, size), size);
}

// /stream/<id> sends the pool over and over from the id's offset.
inline constexpr std::size_t stream_length = 32 << 20;
inline bool is_stream_prefix(std::uint64_t id, std::string_view data) {
  std::string head = answer_head(id, stream_length);
  if (data.size() <= head.size()) return head.compare(0, data.size(), data) == 0;
  if (data.compare(0, head.size(), head) != 0) return false;
  const std::string& pool = body_pool();
  std::size_t at = body_offset(id, 0);
  for (std::size_t i = head.size(); i < data.size(); ++i, at = (at + 1) % pool.size()) {
    if (data[i] != pool[at]) return false;
  }
  return true;
}

// The head a client sends for `path`. Two ids in three carry the Keep-Alive line, so
// the rewrite runs under load too; the padding gives heads lengths of their own.
// With `forwarded`, the head as the origin must receive it.
inline std::string request_head(const std::string& host, const std::string& path, std::uint64_t id,
                                bool forwarded = false) {
  std::string head = "GET http://" + host + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
  if (id % 3 != 0)
    head += forwarded ? "Proxy-Connection: Close\r\n" : "Proxy-Connection: Keep-Alive\r\n";
  return head + "X-Pad: " + std::string(id % 97, static_cast<char>('a' + id % 26)) +
         "\r\nAccept: */*\r\n\r\n";
}

inline std::string gen_path(std::uint64_t id, std::size_t size) {
  return "/gen/" + std::to_string(size) + "/" + std::to_string(id);
}

// Sends all of `data` before `deadline`; false when the peer fails or time is up.
inline bool send_before(int fd, std::string_view data, steady_clock::time_point deadline,
                        const std::atomic<bool>* stopping = nullptr) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    if (steady_clock::now() >= deadline || (stopping != nullptr && *stopping)) return false;
    pollfd waited{fd, POLLOUT, 0};
    if (poll(&waited, 1, 100) <= 0) continue;
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Closes with a reset instead of the usual end of stream.
inline void close_abortively(int fd) {
  linger abort_now{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  close(fd);
}

// An origin on ip:80, served by threads that each block in accept. In `paths`
// mode the path names the answer:
//   /gen/<size>/<id>    that id's body of that size
//   /hold/<size>/<id>   the same, then the connection stays open for a second
//   /reset/<size>/<id>  the head and half the body, then a reset
//   /drop/<id>          nothing: the connection is closed
//   /stream/<id>        32 MiB of body, for as long as ferry takes it
// and each head must arrive as request_head(..., forwarded) says; one that
// does not is answered "500 head mismatch" and counted. In `sink` mode any
// bytes get sink_answer. After answering, the origin reads until ferry closes,
// so no unread byte turns its close into a reset.
class scripted_origin {
 public:
  enum class mode { paths, sink };

  scripted_origin(const std::string& ip, mode kind, int workers = 64)
      : kind_(kind), listen_fd_(harness::listen_on(ip, 80, 1024)) {
    EXPECT_GE(listen_fd_, 0) << "cannot listen on " << ip << ":80";
    for (int i = 0; i < workers && listen_fd_ >= 0; ++i) workers_.emplace_back([this] { work(); });
  }
  scripted_origin(const scripted_origin&) = delete;
  scripted_origin& operator=(const scripted_origin&) = delete;
  ~scripted_origin() {
    stopping_ = true;
    if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);  // wakes every accept
    for (auto& worker : workers_) worker.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }

  long connections() const { return connections_; }
  long mismatches() const { return mismatches_; }
  // Connections closed unanswered because no whole head of ours came.
  long unanswered() const { return unanswered_; }

 private:
  void work() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (stopping_) return;
        if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(10ms);
        continue;
      }
      ++connections_;
      if (kind_ == mode::sink) {
        serve_sink(fd);
      } else {
        serve_path(fd);
      }
    }
  }

  // Reads until the end of a head, the end of stream, 8 KiB or ten seconds:
  // long enough that a slow sanitizer build never turns a head away.
  std::string read_head(int fd) {
    std::string head;
    auto deadline = steady_clock::now() + 10s;
    char chunk[8192];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < sizeof chunk &&
           steady_clock::now() < deadline && !stopping_) {
      pollfd waited{fd, POLLIN, 0};
      if (poll(&waited, 1, 100) <= 0) continue;
      ssize_t got = recv(fd, chunk, sizeof chunk - head.size(), 0);
      if (got <= 0) break;
      head.append(chunk, static_cast<std::size_t>(got));
    }
    return head;
  }

  // Ends the answer and waits, for a while, for ferry to close its end.
  void finish(int fd) {
    shutdown(fd, SHUT_WR);
    auto deadline = steady_clock::now() + 60s;
    char chunk[4096];
    while (steady_clock::now() < deadline && !stopping_) {
      pollfd waited{fd, POLLIN, 0};
      if (poll(&waited, 1, 100) == 0) continue;
      if (recv(fd, chunk, sizeof chunk, 0) <= 0) break;
    }
    close(fd);
  }

  void serve_sink(int fd) {
    pollfd waited{fd, POLLIN, 0};
    char chunk[8192];
    if (poll(&waited, 1, 10000) > 0 && recv(fd, chunk, sizeof chunk, 0) > 0) {
      send_before(fd, sink_answer, steady_clock::now() + 10s, &stopping_);
    }
    finish(fd);
  }

  // "/gen/100/7" gives {"gen", "100", "7"}.
  static std::vector<std::string> path_parts(const std::string& path) {
    std::vector<std::string> parts;
    std::istringstream split(path.substr(1));
    for (std::string part; std::getline(split, part, '/');) parts.push_back(part);
    return parts;
  }

  void serve_path(int fd) {
    std::string head = read_head(fd);
    std::string target = head.substr(0, head.find(' ', 4));
    auto host_end = target.find("origin.test/");
    if (head.find("\r\n\r\n") == std::string::npos || host_end == std::string::npos) {
      ++unanswered_;
      close(fd);  // not one of ours: nothing to answer
      return;
    }
    std::string path = target.substr(host_end + 11);
    std::vector<std::string> parts = path_parts(path);
    if (parts.size() < 2) {
      ++unanswered_;
      close(fd);
      return;
    }
    std::uint64_t id = std::strtoull(parts.back().c_str(), nullptr, 10);
    std::size_t size = parts.size() > 2 ? std::strtoul(parts[1].c_str(), nullptr, 10) : 0;
    size = std::min(size, max_body);
    auto deadline = steady_clock::now() + 60s;
    if (head != request_head("origin.test", path, id, true)) {
      ++mismatches_;
      send_before(fd, "HTTP/1.0 500 head mismatch\r\n\r\n", deadline, &stopping_);
      return finish(fd);
    }
    const std::string& action = parts[0];
    if (action == "gen" || action == "hold") {
      send_before(fd, expected_answer(id, size), deadline, &stopping_);
      if (action == "gen") return finish(fd);
      for (int i = 0; i < 10 && !stopping_; ++i) std::this_thread::sleep_for(100ms);
    } else if (action == "reset") {
      std::string answer = expected_answer(id, size);
      send_before(fd, std::string_view(answer).substr(0, answer.size() - size / 2), deadline,
                  &stopping_);
      return close_abortively(fd);
    } else if (action == "stream") {
      stream(fd, id);
    }
    close(fd);
  }

  void stream(int fd, std::uint64_t id) {
    auto deadline = steady_clock::now() + 60s;
    std::string_view pool = body_pool();
    std::size_t at = body_offset(id, 0), left = stream_length;
    if (!send_before(fd, answer_head(id, stream_length), deadline, &stopping_)) return;
    while (left > 0) {
      std::size_t piece = std::min({left, pool.size() - at, std::size_t{65536}});
      if (!send_before(fd, pool.substr(at, piece), deadline, &stopping_)) return;
      left -= piece;
      at = (at + piece) % pool.size();
    }
  }

  mode kind_;
  int listen_fd_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> connections_{0}, mismatches_{0}, unanswered_{0};
  std::vector<std::thread> workers_;
};

enum class ending { closed, reset, timed_out, unconnected };

struct reply {
  std::string data;
  ending end = ending::unconnected;
};

// Reads until the end of stream, a reset or the deadline.
inline reply read_reply(int fd, milliseconds timeout = 60s) {
  reply got;
  auto deadline = steady_clock::now() + timeout;
  char chunk[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd waited{fd, POLLIN, 0};
    if (left <= 0 || poll(&waited, 1, static_cast<int>(left)) == 0) {
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

// Connects to ferry on 127.0.0.1:`port` and sends `head` in one send, since
// ferry forwards only what its first read brings. -1 when that fails.
inline int open_request(std::string_view head, std::uint16_t port = 8080) {
  int fd = harness::connect_to("127.0.0.1", port);
  if (fd < 0 || head.empty()) return fd;
  // A send that fails (a full slot table closed the connection already) shows
  // in the reply.
  send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  return fd;
}

inline reply exchange(std::string_view head, milliseconds timeout = 60s,
                      std::uint16_t port = 8080) {
  int fd = open_request(head, port);
  if (fd < 0) return {};
  reply got = read_reply(fd, timeout);
  close(fd);
  return got;
}

// Names what became of a request whose exact answer is `expected`; "ok" for
// that answer and an orderly close.
inline std::string judge(const reply& got, std::string_view expected) {
  if (got.end == ending::unconnected) return "unconnected";
  if (got.end == ending::timed_out) return "timed_out";
  if (got.data.empty()) return got.end == ending::reset ? "refused" : "closed_unanswered";
  if (got.data == expected) return got.end == ending::closed ? "ok" : "reset_after_answer";
  if (got.data == host_failed) return "host_failed";
  if (got.data.rfind("HTTP/1.0 500 head mismatch", 0) == 0) return "head_mismatch";
  if (got.data.size() < expected.size() && expected.compare(0, got.data.size(), got.data) == 0) {
    return "truncated";
  }
  return "corrupted";
}

// A connection closed or reset without a byte: what a full slot table does
// (a close before the head arrived, a reset after), and also an origin that
// closes unanswered.
inline bool is_refusal(const std::string& verdict) {
  return verdict == "refused" || verdict == "closed_unanswered";
}

// Counts by kind, from any thread.
class tally {
 public:
  void add(const std::string& kind, long n = 1) {
    std::lock_guard lock(mutex_);
    counts_[kind] += n;
  }
  long get(const std::string& kind) {
    std::lock_guard lock(mutex_);
    return counts_.count(kind) != 0 ? counts_[kind] : 0;
  }
  long total() {
    std::lock_guard lock(mutex_);
    long sum = 0;
    for (const auto& entry : counts_) sum += entry.second;
    return sum;
  }
  std::map<std::string, long> all() {
    std::lock_guard lock(mutex_);
    return counts_;
  }
  // For counts kept as "what:verdict", those whose verdict is not "ok", as
  // "what:verdict=count ...", and their sum.
  std::pair<std::string, long> failed_verdicts() {
    std::pair<std::string, long> failed;
    for (const auto& [kind, count] : all()) {
      if (kind.substr(kind.find(':') + 1) == "ok") continue;
      failed.first += kind + "=" + std::to_string(count) + " ";
      failed.second += count;
    }
    return failed;
  }
  // Everything but the kinds in `expected`, as "kind=count ..."; empty when none.
  std::string unexpected(const std::vector<std::string>& expected = {"ok"}) {
    std::string text;
    for (const auto& [kind, count] : all()) {
      if (std::find(expected.begin(), expected.end(), kind) == expected.end()) {
        text += kind + "=" + std::to_string(count) + " ";
      }
    }
    return text;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, long> counts_;
};

// Says when bursts that fill ferry's slot table are on. An attempt may be
// refused only if a burst was on at some point while it ran.
class burst_window {
 public:
  struct mark {
    bool on;
    long generation;
  };
  mark now() const { return {on_, generation_}; }
  bool covers(mark start) const {
    mark end = now();
    return start.on || end.on || start.generation != end.generation;
  }
  void open() {
    on_ = true;
    ++generation_;
  }
  void close() {
    on_ = false;
    ++generation_;
  }

 private:
  std::atomic<bool> on_{false};
  std::atomic<long> generation_{0};
};

// Sends `head` until the answer is not a refusal that a burst explains; the
// verdict of the last attempt is returned, the retries added to `retries`.
inline std::string ask_through_bursts(const std::string& head, std::string_view expected,
                                      const burst_window* bursts, std::atomic<long>& retries,
                                      reply* last = nullptr) {
  auto deadline = steady_clock::now() + 120s;
  for (;;) {
    burst_window::mark start = bursts != nullptr ? bursts->now() : burst_window::mark{false, 0};
    reply got = exchange(head);
    std::string verdict = judge(got, expected);
    if (last != nullptr) *last = got;
    bool explained = bursts != nullptr && bursts->covers(start);
    if (!is_refusal(verdict) || !explained || steady_clock::now() >= deadline) return verdict;
    ++retries;
    std::this_thread::sleep_for(2ms);
  }
}

// Ordinary requests from `clients` threads until stop(), each for a body of
// its own from the scripted origin at origin.test, every byte checked.
class ordinary_traffic {
 public:
  ordinary_traffic(int clients, std::uint64_t first_id, const burst_window* bursts = nullptr,
                   std::size_t largest = 256 << 10)
      : next_id_(first_id), bursts_(bursts), largest_(largest) {
    for (int i = 0; i < clients; ++i) threads_.emplace_back([this] { run(); });
  }
  ordinary_traffic(const ordinary_traffic&) = delete;
  ordinary_traffic& operator=(const ordinary_traffic&) = delete;
  ~ordinary_traffic() { stop(); }

  void stop() {
    stopping_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  tally& outcomes() { return outcomes_; }
  long retries() const { return retries_; }

 private:
  void run() {
    const std::size_t sizes[] = {0, 1, 100, 4095, 4096, 4097, 20000, 65536, 131072, largest_};
    while (!stopping_) {
      std::uint64_t id = next_id_++;
      std::size_t size = sizes[id % std::size(sizes)];
      std::string head = request_head("origin.test", gen_path(id, size), id);
      outcomes_.add(ask_through_bursts(head, expected_answer(id, size), bursts_, retries_));
    }
  }

  std::atomic<std::uint64_t> next_id_;
  const burst_window* bursts_;
  std::size_t largest_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> retries_{0};
  tally outcomes_;
  std::vector<std::thread> threads_;
};

// One test's figures: printed as "FIGURES <test> key=value ..." and, when
// FERRY_FIGURES_FILE names a file, appended to it as one JSON object.
class figures {
 public:
  explicit figures(std::string test) : test_(std::move(test)) {}
  figures& add(const std::string& key, long long value) {
    entries_.emplace_back(key, std::to_string(value));
    return *this;
  }
  figures& add_decimal(const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    entries_.emplace_back(key, text);
    return *this;
  }
  figures& add(const std::string& key, const std::string& value) {
    entries_.emplace_back(key, "\"" + value + "\"");
    return *this;
  }
  figures& add(const std::string& prefix, tally& counts) {
    for (const auto& [kind, count] : counts.all()) {
      if (kind != "ok") add(prefix + kind, static_cast<long long>(count));
    }
    return *this;
  }
  // How the ordinary requests beside a test went.
  figures& add_ordinary(ordinary_traffic& ordinary) {
    tally& outcomes = ordinary.outcomes();
    return add("ordinary_requests", outcomes.total())
        .add("ordinary_verified", outcomes.get("ok"))
        .add("ordinary_failed", outcomes.total() - outcomes.get("ok"))
        .add("ordinary_failed_", outcomes);
  }
  // Peak resident memory, and descriptors and threads when idle and now.
  figures& add_process(quiet_ferry& ferry, int idle_descriptors, int idle_threads) {
    return add("peak_rss_kib", ferry.peak_rss_kib())
        .add("descriptors_idle", idle_descriptors)
        .add("descriptors_end", ferry.descriptors())
        .add("threads_idle", idle_threads)
        .add("threads_end", ferry.threads());
  }
  void publish() const {
    std::string line = "FIGURES " + test_, json = "{\"test\":\"" + test_ + "\"";
    for (const auto& [key, value] : entries_) {
      line += " " + key + "=" + value;
      json += ",\"" + key + "\":" + value;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (const char* file = std::getenv("FERRY_FIGURES_FILE")) {
      std::ofstream(file, std::ios::app) << json << "}\n";
    }
  }

 private:
  std::string test_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace reliability
