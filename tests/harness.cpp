#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <linux/close_range.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>


namespace harness {
namespace {

void fail(const char* what) {
  std::perror(what);
  std::exit(2);
}

void write_file(const std::string& path, const std::string& content) {
  if (!temp_files::write_file(path, content)) fail(path.c_str());
}

// Bind-mounts a private file with `content` over `target`.
void mount_private_file(const char* target, const std::string& content) {
  char path[] = "/tmp/ferry-test-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) fail("mkstemp");
  close(fd);
  write_file(path, content);
  if (mount(path, target, nullptr, MS_BIND, nullptr) != 0) fail(target);
  unlink(path);
}

void bring_loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) fail("SIOCGIFFLAGS");
  request.ifr_flags |= IFF_UP;
  if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) fail("SIOCSIFFLAGS");
  close(fd);
}

void sleep_for(std::chrono::milliseconds span) { std::this_thread::sleep_for(span); }

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Sanitizer settings pass through so the child reports like the tests do.
void add_sanitizer_options(std::vector<std::string>& environment) {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  }
}

std::vector<std::string> inherited_environment() {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  return variables;
}

// Starts `argv` (found on PATH) with `environment`, standard input from
// /dev/null, and standard output and error on the given descriptors, in a
// session of its own (so -pid signals it and all it starts). It dies with the
// thread that started it. Returns once the child has run exec, so /proc
// shows the program's own descriptors.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> environment, int output,
            int errors) {
  auto arguments = pointers(argv);
  auto variables = pointers(environment);
  int exec_pipe[2];  // closes on exec
  if (pipe2(exec_pipe, O_CLOEXEC) != 0) fail("pipe");
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(errors, STDERR_FILENO);
    // Whatever the test process inherited stays out of the program's counts.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execvpe(arguments[0], arguments.data(), variables.data());
    _exit(127);
  }
  close(exec_pipe[1]);
  char ignored;
  while (read(exec_pipe[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  close(exec_pipe[0]);
  return pid;
}

// The exit status of `pid` once it has ended, 128 + signal for a signal;
// -1 when it still runs after `timeout`.
int wait_status(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    sleep_for(5ms);
  }
}

// Reads once from each stream that poll found ready and hands the bytes to
// `take` with the stream's index; a stream at its end is closed and its
// descriptor set to -1.
void read_ready(pollfd (&streams)[2], const std::function<void(int, std::string_view)>& take) {
  char chunk[65536];
  for (int i = 0; i < 2; ++i) {
    if (streams[i].fd < 0 || streams[i].revents == 0) continue;
    ssize_t got = read(streams[i].fd, chunk, sizeof chunk);
    if (got > 0) {
      take(i, std::string_view(chunk, static_cast<std::size_t>(got)));
    } else {  // a pseudo-terminal says EIO once the child is gone
      close(streams[i].fd);
      streams[i].fd = -1;
    }
  }
}

struct socket_address {
  sockaddr_storage storage{};
  socklen_t size = 0;
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

bool is_ipv6(const std::string& ip) { return ip.find(':') != std::string::npos; }

// ip:port, IPv6 or IPv4 as `ipv6` says; "" (or any text not an address) is the any-address.
socket_address address_of(const std::string& ip, std::uint16_t port, bool ipv6) {
  socket_address address;
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    inet_pton(AF_INET6, ip.c_str(), &in6->sin6_addr);
    address.size = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &in4->sin_addr);
    address.size = sizeof(sockaddr_in);
  }
  return address;
}

std::uint16_t port_of(const std::string& address) {
  return static_cast<std::uint16_t>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
}

}  // namespace

void enter_private_namespace() {
  int flags = CLONE_NEWNS | CLONE_NEWNET;
  if (geteuid() != 0) {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(flags | CLONE_NEWUSER) != 0) fail("unshare");
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  } else if (unshare(flags) != 0) {
    fail("unshare");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("mount private");
  bring_loopback_up();
  mount_private_file("/etc/hosts", "127.0.0.1 localhost\n");
  // Nothing listens here, so a name not in the hosts file fails at once.
  mount_private_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n");
}

void set_hosts(const std::string& lines) { write_file("/etc/hosts", lines); }

long status_value(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      return std::atol(line.c_str() + key.size() + 1);
    }
  }
  return -1;
}

ferry_process::ferry_process(const std::vector<std::string>& environment,
                             const ferry_options& options)
    : keep_trace_(options.keep_trace) {
  for (const auto& marker : counted_errors) error_counts_[marker] = 0;
  int trace = options.keep_trace ? open_terminal() : open("/dev/null", O_WRONLY | O_CLOEXEC);
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) fail("pipe");
  std::vector<std::string> arguments = options.prefix;
  arguments.push_back(options.binary);
  std::vector<std::string> variables = environment;
  // Most tests read one answer until the close; those about kept connections say so.
  bool keeps = std::any_of(variables.begin(), variables.end(),
                           [](const std::string& v) { return v.starts_with("KEEPALIVE_TIMEOUT="); });
  if (!keeps && options.one_request_per_connection) variables.push_back("KEEPALIVE_TIMEOUT=0");
  // Heads are compared byte for byte; the tests about Via name ferry themselves.
  if (std::none_of(variables.begin(), variables.end(),
                   [](const std::string& v) { return v.starts_with("VIA_NAME="); })) {
    variables.push_back("VIA_NAME=off");
  }
  add_sanitizer_options(variables);
  pid_ = spawn(arguments, variables, trace, error_pipe[1]);
  close(trace);
  close(error_pipe[1]);
  errors_fd_ = error_pipe[0];
  reader_ = std::thread([this] { read_streams(); });
}

// Keeps the pseudo-terminal's master side and returns its other side.
int ferry_process::open_terminal() {
  output_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (output_fd_ < 0 || grantpt(output_fd_) != 0 || unlockpt(output_fd_) != 0) {
    fail("posix_openpt");
  }
  int terminal = open(ptsname(output_fd_), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) fail("pts");
  termios raw{};
  tcgetattr(terminal, &raw);
  cfmakeraw(&raw);  // bytes exactly as written, no CR added
  tcsetattr(terminal, TCSANOW, &raw);
  return terminal;
}

ferry_process::~ferry_process() { stop(); }

void ferry_process::read_streams() {
  pollfd streams[2] = {{output_fd_, POLLIN, 0}, {errors_fd_, POLLIN, 0}};
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    if (poll(streams, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::lock_guard lock(mutex_);
    // output() may have taken what woke this thread: asked again under the
    // lock, a stream that is ready has bytes, so no read blocks holding it.
    if (poll(streams, 2, 0) <= 0) continue;
    read_ready(streams, [this](int stream, std::string_view chunk) {
      if (stream == 0) {
        output_ += chunk;
      } else {
        take_errors(chunk);
      }
    });
    if (streams[0].fd < 0) output_fd_ = -1;
    changed_.notify_all();
  }
}

void ferry_process::take_pending_output() {
  pollfd pending{output_fd_, POLLIN, 0};
  char chunk[65536];
  while (output_fd_ >= 0 && poll(&pending, 1, 0) == 1 && (pending.revents & POLLIN) != 0) {
    ssize_t got = read(output_fd_, chunk, sizeof chunk);
    if (got <= 0) return;  // the reader thread sees the end too, and closes
    output_.append(chunk, static_cast<std::size_t>(got));
  }
}

// Counts the messages that end in `chunk`, and keeps it unless the trace is
// dropped: then standard error is mostly per-wait reports that would pile up.
void ferry_process::take_errors(std::string_view chunk) {
  constexpr std::size_t head_limit = 64 << 10, report_limit = 1 << 20;
  auto reports = [this] { return error_counts_["Sanitizer"] + error_counts_["runtime error:"]; };
  long reports_before = reports();
  std::string window = carry_ + std::string(chunk);
  for (auto& [marker, count] : error_counts_) {
    count += count_of(window, marker) - count_of(carry_, marker);
  }
  if (keep_trace_ || errors_.size() < head_limit) {
    errors_ += chunk;
  } else if (reports() > 0 && errors_.size() < report_limit) {
    // A report's first piece comes with the carry, so its first marker is whole.
    errors_ += reports_before == 0 ? std::string_view(window) : chunk;
  }
  carry_ = window.substr(window.size() - std::min<std::size_t>(window.size(), 64));
}

long ferry_process::errors_seen(const std::string& text) const {
  auto counted = error_counts_.find(text);
  return counted != error_counts_.end() ? counted->second : count_of(errors_, text);
}

std::string ferry_process::output() {
  std::lock_guard lock(mutex_);
  take_pending_output();
  return output_;
}

std::string ferry_process::errors() {
  std::lock_guard lock(mutex_);
  std::string errors = errors_;
  std::size_t line = errors.starts_with(startup_start) ? 0 : errors.find("\n" + startup_start);
  if (line == std::string::npos) return errors;
  if (line > 0) ++line;
  std::size_t end = errors.find('\n', line);
  return end == std::string::npos ? errors : errors.erase(line, end + 1 - line);
}

std::string ferry_process::startup_line() {
  std::lock_guard lock(mutex_);
  std::size_t line = errors_.find(startup_start);
  if (line == std::string::npos) return "";
  return errors_.substr(line, errors_.find('\n', line) - line);
}

long ferry_process::error_count(const std::string& text) {
  std::lock_guard lock(mutex_);
  return errors_seen(text);
}

bool ferry_process::wait_output(const std::string& text, long times,
                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return count_of(output_, text) >= times; });
}

bool ferry_process::wait_errors(const std::string& text, long times,
                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return errors_seen(text) >= times; });
}

bool ferry_process::wait_listening(std::uint16_t port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline && running()) {
    std::vector<std::uint16_t> ports = listening_ports(pid_);
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) return true;
    sleep_for(5ms);
  }
  return false;
}

int ferry_process::wait_exit(std::chrono::milliseconds timeout) {
  if (!exited_) {
    status_ = wait_status(pid_, timeout);
    if (status_ == -1) return -1;
    exited_ = true;
    if (reader_.joinable()) reader_.join();  // all it wrote has been read
  }
  return status_;
}

int count_descriptors(pid_t pid) {
  std::string path = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return pid == 0 ? count - 1 : count;  // our own count leaves out the open folder
}

int descriptor_limit_with_room(pid_t pid, int room) {
  int limit = 0;
  for (int free_numbers = 0; free_numbers < room; ++limit) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(limit);
    if (access(path.c_str(), F_OK) != 0) ++free_numbers;
  }
  return limit;
}

std::vector<tcp_entry> tcp_table() {
  std::vector<tcp_entry> entries;
  std::ifstream table("/proc/net/tcp"), table6("/proc/net/tcp6");
  std::string line;
  std::getline(table, line);
  std::getline(table6, line);
  while (std::getline(table, line) || std::getline(table6, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    entries.push_back({port_of(local), port_of(remote), std::stoi(state, nullptr, 16), inode});
  }
  return entries;
}

// By descriptor: ferry binds its own port before the metrics port.
std::vector<std::uint16_t> listening_ports(pid_t pid) {
  std::map<std::string, std::uint16_t> listening;
  for (const auto& entry : tcp_table()) {
    if (entry.state == 10) listening["socket:[" + entry.inode + "]"] = entry.local_port;
  }
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  std::map<int, std::uint16_t> found;
  DIR* descriptors = opendir(folder.c_str());
  if (descriptors == nullptr) return {};
  while (dirent* entry = readdir(descriptors)) {
    char target[64] = {};
    std::string path = folder + "/" + entry->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) <= 0) continue;
    auto at = listening.find(target);
    if (at != listening.end()) found[atoi(entry->d_name)] = at->second;
  }
  closedir(descriptors);
  std::vector<std::uint16_t> ports;
  for (const auto& [descriptor, port] : found) ports.push_back(port);
  return ports;
}

std::uint16_t listening_port(pid_t pid) {
  std::vector<std::uint16_t> ports = listening_ports(pid);
  return ports.empty() ? 0 : ports.front();
}

int ferry_process::open_descriptors() { return count_descriptors(pid_); }

int ferry_process::thread_count() { return static_cast<int>(status_value(pid_, "Threads")); }

bool ferry_process::wait_counts(int descriptors, int threads, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (open_descriptors() <= descriptors && thread_count() <= threads) return true;
    sleep_for(10ms);
  }
  return false;
}

void ferry_process::stop() {
  if (pid_ < 0) return;
  if (running()) {
    kill(pid_, SIGKILL);
    wait_exit(30s);
  }
  if (reader_.joinable()) reader_.join();
  pid_ = -1;
  EXPECT_EQ(error_count("Sanitizer") + error_count("runtime error:"), 0) << errors();
}

background_program::background_program(const std::vector<std::string>& argv,
                                       const std::string& output_path) {
  int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) fail(output_path.c_str());
  pid_ = spawn(argv, inherited_environment(), output, output);
  close(output);
}

bool background_program::running() {
  if (pid_ > 0 && wait_status(pid_, 0ms) != -1) pid_ = -1;
  return pid_ > 0;
}

void background_program::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (wait_status(pid_, grace) == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

bool wait_threads_waiting(pid_t pid, std::chrono::milliseconds timeout) {
  // nanosleep: a sanitizer's own background thread.
  const std::set<long> waiting = {SYS_futex, SYS_accept, SYS_accept4, SYS_epoll_wait, SYS_epoll_pwait,
                                  SYS_rt_sigtimedwait, SYS_nanosleep, SYS_clock_nanosleep};
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  using clock = std::chrono::steady_clock;
  for (auto deadline = clock::now() + timeout; clock::now() < deadline;) {
    bool all = true;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      // The first field is the system call the thread sleeps in, or "running".
      std::istringstream call(temp_files::read_file(task.path() / "syscall"));
      long number = -1;
      all = all && (call >> number) && waiting.count(number) == 1;
    }
    if (all) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

int connect_to(const std::string& ip, std::uint16_t port, int receive_buffer) {
  return connect_from("", ip, port, receive_buffer);
}

int connect_from(const std::string& local_ip, const std::string& ip, std::uint16_t port,
                 int receive_buffer) {
  int fd = socket(is_ipv6(ip) ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  socket_address local = address_of(local_ip, 0, is_ipv6(ip));
  socket_address address = address_of(ip, port, is_ipv6(ip));
  if ((!local_ip.empty() && bind(fd, local.get(), local.size) != 0) ||
      connect(fd, address.get(), address.size) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void add_local_address(const std::string& ip) {
  std::vector<std::string> command{"ip", "address", "replace", ip + "/32", "dev", "lo"};
  // nodad: usable at once, without duplicate address detection first.
  if (is_ipv6(ip)) command = {"ip", "address", "replace", ip + "/128", "dev", "lo", "nodad"};
  command_result added = run_command(command);
  EXPECT_EQ(added.status, 0) << added.errors;
}

bool send_all(int fd, std::string_view data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int open_request(std::string_view head, std::uint16_t port) {
  int fd = connect_to("127.0.0.1", port);
  if (fd >= 0) send_all(fd, head);
  return fd;
}

namespace {

// Sends `head` on `fd` (unless it is -1), ends the sending side if `end`, and
// reads the reply.
reply finish_exchange(int fd, std::string_view head, bool end, std::chrono::milliseconds timeout) {
  if (fd < 0) return {};
  send_all(fd, head);
  if (end) shutdown(fd, SHUT_WR);
  reply got = read_reply(fd, timeout);
  close(fd);
  return got;
}

}  // namespace

reply exchange(std::string_view head, std::chrono::milliseconds timeout, std::uint16_t port) {
  return finish_exchange(connect_to("127.0.0.1", port), head, false, timeout);
}

reply exchange_and_end(std::string_view head, std::chrono::milliseconds timeout,
                       std::uint16_t port) {
  return finish_exchange(connect_to("127.0.0.1", port), head, true, timeout);
}

reply exchange_from(const std::string& local_ip, std::string_view head,
                    std::chrono::milliseconds timeout, std::uint16_t port) {
  return finish_exchange(connect_from(local_ip, is_ipv6(local_ip) ? "::1" : "127.0.0.1", port),
                         head, false, timeout);
}

// Runs a client with no proxy settings of the caller's environment in the way.
command_result run_client(const std::vector<std::string>& argv,
                          const std::vector<std::string>& assignments) {
  std::vector<std::string> command{"env"};
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    command.insert(command.end(), {"-u", name});
  }
  command.insert(command.end(), assignments.begin(), assignments.end());
  command.insert(command.end(), argv.begin(), argv.end());
  return run_command(command, {}, 60s);
}

command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_environment,
                           std::chrono::milliseconds timeout) {
  command_result result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe");
  std::vector<std::string> variables = inherited_environment();
  variables.insert(variables.end(), extra_environment.begin(), extra_environment.end());
  pid_t pid = spawn(argv, variables, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(-pid, SIGKILL);
      break;
    }
    if (poll(streams, 2, static_cast<int>(left.count())) <= 0) continue;
    read_ready(streams, [&result](int stream, std::string_view chunk) {
      (stream == 0 ? result.output : result.errors) += chunk;
    });
  }
  bool timed_out = streams[0].fd >= 0 || streams[1].fd >= 0;
  for (auto& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = timed_out ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

int listen_on(const std::string& ip, std::uint16_t port, int backlog) {
  int fd = socket(is_ipv6(ip) ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socket_address address = address_of(ip, port, is_ipv6(ip));
  if (bind(fd, address.get(), address.size) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace access_lines {

using ferry::unique_fd;
using system_clock = std::chrono::system_clock;

std::pair<unique_fd, client_side> open_client(const std::string& local_ip) {
  unique_fd fd(connect_from(local_ip, "127.0.0.1", 8080));
  std::string address = local_ip + ":" + std::to_string(local_port(fd.get()));
  return {std::move(fd), client_side{address, "", {}}};
}

client_side ask(const std::string& bytes, const std::string& local_ip) {
  auto [fd, client] = open_client(local_ip);
  client.sent = bytes;
  send_all(fd.get(), bytes);
  client.got = read_reply(fd.get());
  return client;
}

std::vector<std::string> split(const std::string& text, char separator) {
  if (separator == '\n') {
    EXPECT_TRUE(text.empty() || text.ends_with('\n')) << text;
  }
  std::vector<std::string> parts;
  std::istringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

// 9 stands for any digit. (std::regex trips
// g++ 12's uninitialised-use warning in the sanitizer builds.)
bool is_log_time(const std::string& field) {
  constexpr std::string_view pattern = "9999-99-99T99:99:99.999Z";
  if (field.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    bool digit = field[i] >= '0' && field[i] <= '9';
    if (pattern[i] == '9' ? !digit : field[i] != pattern[i]) return false;
  }
  return true;
}

void expect_line(const std::string& line, const logged_request& want, const client_side& client,
                 std::chrono::system_clock::time_point began) {
  SCOPED_TRACE(line);
  std::vector<std::string> fields = split(line, ' ');
  ASSERT_EQ(fields.size(), 11u);
  ASSERT_TRUE(is_log_time(fields[0]));
  tm parts{};
  strptime(fields[0].c_str(), "%FT%T", &parts);
  auto started = system_clock::from_time_t(timegm(&parts)) + std::stoi(fields[0].substr(20)) * 1ms;
  EXPECT_GE(started, std::chrono::floor<std::chrono::milliseconds>(began));
  EXPECT_LE(started, system_clock::now());
  // ferry times on the steady clock, which may drift a little from the wall clock.
  long taken = std::stol(fields[7]), since = (system_clock::now() - began) / 1ms;
  EXPECT_GE(taken, want.ms_at_least);
  EXPECT_LE(taken, since + 20);
  std::vector<std::string> expected = split(want.fields, ' ');
  std::size_t from_client = want.from_client < 0 ? client.sent.size() : want.from_client;
  expected.insert(expected.begin() + 3,
                  {std::to_string(client.got.data.size()), std::to_string(from_client), fields[7]});
  expected.insert(expected.begin(), want.client.empty() ? client.address : want.client);
  expected.push_back(want.user);
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()), expected);
}

void expect_lines(ferry_process& ferry, const std::vector<logged_request>& requests) {
  int idle_descriptors = ferry.open_descriptors();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i].name);
    auto began = system_clock::now();
    client_side client = requests[i].run();
    ASSERT_TRUE(ferry.wait_output("\n", static_cast<long>(i + 1)));
    // The thread frees its slot right after the line; threads stay for the next request.
    ASSERT_TRUE(ferry.wait_counts(idle_descriptors, INT_MAX));
    std::this_thread::sleep_for(20ms);
    std::vector<std::string> lines = split(ferry.output());
    ASSERT_EQ(lines.size(), i + 1);
    expect_line(lines.back(), requests[i], client, began);
  }
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  return done();
}

}  // namespace access_lines

}  // namespace harness
