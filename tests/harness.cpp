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
#include <sys/socket.h>
#include <sys/wait.h>
#include <linux/close_range.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace harness {
namespace {

void fail(const char* what) {
  std::perror(what);
  std::exit(2);
}

void write_file(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) fail(path.c_str());
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    fail(path.c_str());
  }
  close(fd);
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

int count_occurrences(const std::string& haystack, const std::string& needle) {
  int count = 0;
  for (auto at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
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

ferry_process::ferry_process(const std::vector<std::string>& environment,
                             const std::string& binary, const std::vector<std::string>& prefix) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fail("posix_openpt");
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) fail("pts");
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);  // bytes exactly as written, no CR added
  tcsetattr(slave, TCSANOW, &raw);
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) fail("pipe");

  std::vector<std::string> arguments = prefix;
  arguments.push_back(binary);
  std::vector<std::string> variables = environment;
  add_sanitizer_options(variables);
  auto argv = pointers(arguments);
  auto envp = pointers(variables);

  // Closes on exec, so its end of file says the child is ferry now and /proc
  // shows ferry's own descriptors.
  int exec_pipe[2];
  if (pipe2(exec_pipe, O_CLOEXEC) != 0) fail("pipe");
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    setsid();
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (null_fd > STDIN_FILENO) close(null_fd);
    dup2(slave, STDOUT_FILENO);
    dup2(error_pipe[1], STDERR_FILENO);
    // Whatever the test process inherited stays out of ferry's counts.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(exec_pipe[1]);
  char ignored;
  while (read(exec_pipe[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  close(exec_pipe[0]);
  close(slave);
  close(error_pipe[1]);
  output_fd_ = master;
  errors_fd_ = error_pipe[0];
  reader_ = std::thread([this] { read_streams(); });
}

ferry_process::~ferry_process() { stop(); }

void ferry_process::read_streams() {
  pollfd streams[2] = {{output_fd_, POLLIN, 0}, {errors_fd_, POLLIN, 0}};
  int open_streams = 2;
  char chunk[4096];
  while (open_streams > 0) {
    if (poll(streams, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      ssize_t got = read(streams[i].fd, chunk, sizeof chunk);
      if (got <= 0) {  // a pseudo-terminal says EIO once the child is gone
        close(streams[i].fd);
        streams[i].fd = -1;
        --open_streams;
        continue;
      }
      std::lock_guard lock(mutex_);
      (i == 0 ? output_ : errors_).append(chunk, static_cast<std::size_t>(got));
      changed_.notify_all();
    }
  }
}

std::string ferry_process::output() {
  std::lock_guard lock(mutex_);
  return output_;
}

std::string ferry_process::errors() {
  std::lock_guard lock(mutex_);
  return errors_;
}

bool ferry_process::wait_text(const std::string& stream_name, const std::string& text, int times,
                              std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const std::string& stream = stream_name == "output" ? output_ : errors_;
  return changed_.wait_for(lock, timeout,
                           [&] { return count_occurrences(stream, text) >= times; });
}

bool ferry_process::wait_output(const std::string& text, int times,
                                std::chrono::milliseconds timeout) {
  return wait_text("output", text, times, timeout);
}

bool ferry_process::wait_errors(const std::string& text, int times,
                                std::chrono::milliseconds timeout) {
  return wait_text("errors", text, times, timeout);
}

bool ferry_process::wait_listening(std::uint16_t port, std::chrono::milliseconds timeout) {
  char local[32];
  std::snprintf(local, sizeof local, ":%04X ", port);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
      // "sl local_address rem_address st ...": state 0A is LISTEN.
      std::istringstream fields(line);
      std::string slot, local_address, remote_address, state;
      fields >> slot >> local_address >> remote_address >> state;
      if (state == "0A" && (local_address + " ").find(local) != std::string::npos) return true;
    }
    if (wait_exit(0ms) != -1) return false;
    sleep_for(5ms);
  }
  return false;
}

int ferry_process::wait_exit(std::chrono::milliseconds timeout) {
  if (exited_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    sleep_for(5ms);
  }
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

int ferry_process::open_descriptors() { return count_descriptors(pid_); }

int ferry_process::thread_count() {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

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
  if (wait_exit(0ms) == -1) {
    kill(pid_, SIGKILL);
    wait_exit(10s);
  }
  if (reader_.joinable()) reader_.join();
  pid_ = -1;
  std::string reported = errors();
  for (const char* marker : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(reported.find(marker), std::string::npos) << reported;
  }
}

int connect_to(const std::string& ip, std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string read_until_close(int fd, std::chrono::milliseconds timeout, bool* closed) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (closed != nullptr) *closed = false;
  char chunk[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return data;
    pollfd waited{fd, POLLIN, 0};
    if (poll(&waited, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (closed != nullptr) *closed = true;
      return data;
    }
    data.append(chunk, static_cast<std::size_t>(got));
  }
}

command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_environment,
                           std::chrono::milliseconds timeout) {
  command_result result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe");
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  variables.insert(variables.end(), extra_environment.begin(), extra_environment.end());
  auto args = pointers(arguments);
  auto envp = pointers(variables);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (null_fd > STDIN_FILENO) close(null_fd);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int open_streams = 2;
  char chunk[65536];
  while (open_streams > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(-pid, SIGKILL);
      break;
    }
    if (poll(streams, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      ssize_t got = read(streams[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(streams[i].fd);
        streams[i].fd = -1;
        --open_streams;
        continue;
      }
      (i == 0 ? result.output : result.errors).append(chunk, static_cast<std::size_t>(got));
    }
  }
  for (auto& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  bool timed_out = open_streams > 0;
  result.status = timed_out ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

int listen_on(const std::string& ip, std::uint16_t port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace harness
