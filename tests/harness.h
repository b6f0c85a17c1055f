// Process-level test harness: a private network and mount namespace per test
// process, the real ferry binary with a chosen environment, its live trace
// through a pseudo-terminal, clients, and /proc counts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// Moves the calling process, before it starts any thread, into a network and
// mount namespace of its own with loopback up, its own /etc/hosts and no
// reachable name server. Ports, addresses and names are then private.
void enter_private_namespace();

// Replaces the private hosts file with `lines`.
void set_hosts(const std::string& lines);

// A running ferry. Standard output is a pseudo-terminal (so the trace is line
// buffered and readable as written), standard error a pipe.
class ferry_process {
 public:
  // `prefix` runs ferry under another program (valgrind, say), found on PATH.
  explicit ferry_process(const std::vector<std::string>& environment,
                         const std::string& binary = FERRY_BINARY,
                         const std::vector<std::string>& prefix = {});
  ferry_process(const ferry_process&) = delete;
  ferry_process& operator=(const ferry_process&) = delete;
  ~ferry_process();

  pid_t pid() const { return pid_; }
  std::string output();
  std::string errors();
  // Waits until standard output (or error) holds `text` at least `times` times.
  bool wait_output(const std::string& text, int times = 1,
                   std::chrono::milliseconds timeout = 10s);
  bool wait_errors(const std::string& text, int times = 1,
                   std::chrono::milliseconds timeout = 10s);
  // Waits until a socket in this namespace listens on `port`.
  bool wait_listening(std::uint16_t port, std::chrono::milliseconds timeout = 10s);
  // The exit status, 128 + signal for a signal, or -1 when it is still running.
  int wait_exit(std::chrono::milliseconds timeout = 10s);
  int open_descriptors();
  int thread_count();
  // Waits until both counts are back at (or below) the given values.
  bool wait_counts(int descriptors, int threads, std::chrono::milliseconds timeout = 10s);
  // Kills the process if it still runs, and fails the test on a sanitizer report.
  void stop();

 private:
  void read_streams();
  bool wait_text(const std::string& stream_name, const std::string& text, int times,
                 std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int status_ = -1;
  bool exited_ = false;
  int output_fd_ = -1;
  int errors_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  std::string errors_;
  std::thread reader_;
};

// A blocking TCP connection to ip:port, or -1.
int connect_to(const std::string& ip, std::uint16_t port);
bool send_all(int fd, const std::string& data);
// Reads until end of stream, or until `timeout` passes; `closed` tells which.
std::string read_until_close(int fd, std::chrono::milliseconds timeout = 10s,
                             bool* closed = nullptr);
// Open descriptors of `pid` (0: this process), from /proc.
int count_descriptors(pid_t pid = 0);

struct command_result {
  int status = -1;  // exit status, 128 + signal, or -1 on timeout
  std::string output;
  std::string errors;
};
// Runs argv with extra environment entries, collecting both streams.
command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_environment = {},
                           std::chrono::milliseconds timeout = 30s);

// A listening socket on ip:port (port 0 picks one); returns the descriptor.
int listen_on(const std::string& ip, std::uint16_t port, int backlog = 64);
std::uint16_t local_port(int fd);

}  // namespace harness
