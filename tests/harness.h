// Process-level test harness: a private network and mount namespace per test
// process, the real ferry binary with a chosen environment, its live trace
// through a pseudo-terminal, other programs, clients, and /proc figures.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "helpers.h"
#include "net.h"

namespace harness {

// Moves the calling process, before it starts any thread, into a network and
// mount namespace of its own with loopback up, its own /etc/hosts and no
// reachable name server. Ports, addresses and names are then private.
void enter_private_namespace();

// Replaces the private hosts file with `lines`.
void set_hosts(const std::string& lines);

// A number from /proc/<pid>/status ("VmRSS" in KiB, "Threads", ...), or -1.
long status_value(pid_t pid, const std::string& key);

// What ferry_process counts in standard error as it arrives: these counts
// cover all of it, even where the trace is dropped and most of the text too.
inline const std::vector<std::string> counted_errors = {
    queue_full, "accept: ", "error in data passing to server", "Sanitizer", "runtime error:"};

struct ferry_options {
  std::string binary = FERRY_BINARY;
  // Runs ferry under another program (valgrind, say), found on PATH.
  std::vector<std::string> prefix = {};
  // The trace is dozens of lines a request, so tests under load drop it.
  bool keep_trace = true;
  // Unless the environment sets KEEPALIVE_TIMEOUT: tests that read an answer
  // until its close run ferry as it was before connections were kept.
  bool one_request_per_connection = true;
};

// A running ferry. Standard output is a pseudo-terminal (so the trace is line
// buffered and readable as written) or /dev/null; standard error is a pipe.
class ferry_process {
 public:
  explicit ferry_process(const std::vector<std::string>& environment,
                         const ferry_options& options = {});
  ferry_process(const ferry_process&) = delete;
  ferry_process& operator=(const ferry_process&) = delete;
  ~ferry_process();

  pid_t pid() const { return pid_; }
  // All that ferry wrote to standard output before the call.
  std::string output();
  // Standard error but the start-up line; with the trace dropped, its first
  // 64 KiB and any sanitizer report.
  std::string errors();
  // The start-up line ("ferry listening on ..."), without its newline.
  std::string startup_line();
  static inline const std::string startup_start = "ferry listening on ";
  // How often standard error holds `text`: all of it for counted_errors, else errors().
  long error_count(const std::string& text);
  // Waits until standard output (or error, as error_count counts) holds `text`
  // at least `times` times.
  bool wait_output(const std::string& text, long times = 1,
                   std::chrono::milliseconds timeout = 10s);
  bool wait_errors(const std::string& text, long times = 1,
                   std::chrono::milliseconds timeout = 10s);
  // Waits until ferry listens on `port`.
  bool wait_listening(std::uint16_t port, std::chrono::milliseconds timeout = 20s);
  // The exit status, 128 + signal for a signal, or -1 when it is still running.
  // Once it has ended, all it wrote has been read.
  int wait_exit(std::chrono::milliseconds timeout = 10s);
  bool running() { return wait_exit(0ms) == -1; }
  int open_descriptors();
  int thread_count();
  long rss_kib() const { return status_value(pid_, "VmRSS"); }
  long peak_rss_kib() const { return status_value(pid_, "VmHWM"); }
  // Waits until both counts are back at (or below) the given values.
  bool wait_counts(int descriptors, int threads, std::chrono::milliseconds timeout = 30s);
  // Kills the process if it still runs, and fails the test on a sanitizer report.
  void stop();

 private:
  int open_terminal();
  void read_streams();
  // Takes what ferry wrote and the reader thread has not read yet, so that
  // output() holds every line written before the call. Called locked.
  void take_pending_output();
  void take_errors(std::string_view chunk);
  long errors_seen(const std::string& text) const;

  pid_t pid_ = -1;
  int status_ = -1;
  bool exited_ = false;
  int output_fd_ = -1;
  int errors_fd_ = -1;
  bool keep_trace_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  std::string errors_;
  std::string carry_;  // the end of the last read (longer than any counted message)
  std::map<std::string, long> error_counts_;
  std::thread reader_;
};

// Another program, its output and errors in `output_path`. It is stopped
// when it goes out of scope, and never outlives the test.
class background_program {
 public:
  background_program(const std::vector<std::string>& argv, const std::string& output_path);
  background_program(const background_program&) = delete;
  background_program& operator=(const background_program&) = delete;
  ~background_program() { stop(); }

  bool running();
  // SIGTERM, then SIGKILL if it has not ended within `grace`.
  void stop(std::chrono::milliseconds grace = 10s);

 private:
  pid_t pid_ = -1;
};

// A blocking TCP connection to ip:port (IPv6 when `ip` has a colon), or -1. A `receive_buffer` size
// is set before connecting, so the window stays that small.
int connect_to(const std::string& ip, std::uint16_t port, int receive_buffer = 0);
// The same from a socket bound to `local_ip` first, so ferry sees that client address.
int connect_from(const std::string& local_ip, const std::string& ip, std::uint16_t port,
                 int receive_buffer = 0);
// Adds `ip`/32 (or an IPv6 `ip`/128) to lo, so that tests can be clients or
// servers at addresses off loopback.
void add_local_address(const std::string& ip);
bool send_all(int fd, std::string_view data);

// Connects to ferry on 127.0.0.1:`port` and sends `head` in one go, since
// ferry forwards only what its first read brings. -1 when the connection
// fails; a send that fails (a full slot table closed the connection already)
// shows in the reply.
int open_request(std::string_view head, std::uint16_t port = 8080);
// One request through ferry: its answer and how the connection ended.
reply exchange(std::string_view head, std::chrono::milliseconds timeout = 60s,
               std::uint16_t port = 8080);
// The same, with the client's end of stream after the head: ferry answers
// even a head that never ends.
reply exchange_and_end(std::string_view head, std::chrono::milliseconds timeout = 60s,
                       std::uint16_t port = 8080);
// exchange from a client at `local_ip`; to ferry at ::1 when that is IPv6.
reply exchange_from(const std::string& local_ip, std::string_view head,
                    std::chrono::milliseconds timeout = 10s, std::uint16_t port = 8080);

// Open descriptors of `pid` (0: this process), from /proc.
int count_descriptors(pid_t pid = 0);
// The lowest descriptor limit under which `pid` still has `room` free
// numbers: descriptors above a limit stay usable, new ones must fit below it.
int descriptor_limit_with_room(pid_t pid, int room);

struct tcp_entry {
  std::uint16_t local_port, remote_port;
  int state;  // 1 established, 3 syn-received, 8 close-wait, 10 listen, ...
  std::string inode;
};
// Waits until no thread of `pid` is serving: each one waits for a signal, a
// connection or its next request (a request thread that has freed its slot).
bool wait_threads_waiting(pid_t pid, std::chrono::milliseconds timeout = 10s);
// The TCP sockets of this namespace, IPv4 and IPv6, from /proc/net/tcp and tcp6.
std::vector<tcp_entry> tcp_table();
// The ports `pid` listens on, found through its socket inodes, by descriptor.
std::vector<std::uint16_t> listening_ports(pid_t pid);
// The first of them (ferry's own port); 0 when none.
std::uint16_t listening_port(pid_t pid);

struct command_result {
  int status = -1;  // exit status, 128 + signal, or -1 on timeout
  std::string output;
  std::string errors;
};
// Runs argv with extra environment entries, collecting both streams.
command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_environment = {},
                           std::chrono::milliseconds timeout = 30s);
// run_command for a client (curl, wget, python3) with the caller's proxy
// variables unset and `assignments` (NAME=value) set instead.
command_result run_client(const std::vector<std::string>& argv,
                          const std::vector<std::string>& assignments = {});

// A listening socket on ip:port (port 0 picks one; IPv6 when `ip` has a
// colon); returns the descriptor.
int listen_on(const std::string& ip, std::uint16_t port, int backlog = 64);
using ferry::local_port;  // the port a socket is bound to

// Clients of ferry on 127.0.0.1:8080 and the access lines it writes of them.
// A namespace of their own, as suites keep helpers of these names.
namespace access_lines {

inline const std::string short_answer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
inline const std::string get_origin =
    "GET http://origin.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n";
inline const std::string unreachable =
    "GET http://127.0.0.1:9/x HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n";

// A one-second limit in milliseconds, as ferry's waits may round it down a little.
inline constexpr long about_a_second = 990;

// A client's side of one request: its address as ferry sees it, what it sent and got.
struct client_side {
  std::string address, sent;
  reply got;
};

// A connection to ferry from `local_ip`, and its client side to fill in.
std::pair<ferry::unique_fd, client_side> open_client(const std::string& local_ip = "127.0.0.1");

// Sends `bytes` and reads the reply to its end.
client_side ask(const std::string& bytes, const std::string& local_ip = "127.0.0.1");

// The lines of `text`, which must end with one; or the fields of a line.
std::vector<std::string> split(const std::string& text, char separator = '\n');

// A request and its access line: `fields` are the method, target, status, slot
// and ending, `user` the last field; the client's own address and all it sent are expected unless
// `client` or `from_client` say otherwise.
struct logged_request {
  std::string name;
  std::function<client_side()> run;
  std::string fields;
  long ms_at_least = 0;
  std::string client = "";
  long from_client = -1;
  std::string user = "-";
};

// "2026-12-08T03:17:20.349Z", a time as the access log writes it.
bool is_log_time(const std::string& field);

// Checks `line` field by field: it started after `began` and took no longer
// than the time since.
void expect_line(const std::string& line, const logged_request& want, const client_side& client,
                 std::chrono::system_clock::time_point began);

// Runs the requests one after another, each line checked once its slot is free again.
void expect_lines(ferry_process& ferry, const std::vector<logged_request>& requests);

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);

}  // namespace access_lines

}  // namespace harness
