#include "net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

#include "io.h"
#include "log.h"
#include "text.h"

namespace ferry {
namespace {

// Connects `fd`, non-blocking when `each_attempt` is above zero, to
// `address` within that time. Returns 0, or -1 with errno set (ETIMEDOUT
// when the time ran out). Every transfer on a socket says for itself that it
// must not block, so `fd` stays as it was made.
int connect_within(int fd, const sockaddr_in& address, std::chrono::milliseconds each_attempt) {
  int result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (each_attempt.count() <= 0 || result == 0 || errno != EINPROGRESS) return result;
  pollfd waited{fd, POLLOUT, 0};
  io_result ready = wait_ready(waited, deadline::in(each_attempt));
  int error = ready == io_result::failed ? errno : ETIMEDOUT;
  if (ready == io_result::done) {
    // Writable without an error or hang-up is connected; otherwise ask why not.
    error = 0;
    if ((waited.revents & (POLLERR | POLLHUP)) != 0) {
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
      if (error == 0) error = ECONNREFUSED;
    }
  }
  errno = error;
  return error == 0 ? 0 : -1;
}

}  // namespace

std::vector<sockaddr_in> resolve(const char* host, const char* service) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<sockaddr_in> addresses;
  if (getaddrinfo(host, service, &hints, &found) != 0) {
    trace("getaddrinfo problem for host: `", host, "'\n");
    return addresses;
  }
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    addresses.push_back(*reinterpret_cast<const sockaddr_in*>(entry->ai_addr));
  }
  freeaddrinfo(found);
  return addresses;
}

std::vector<sockaddr_in> look_up(name_cache* recent_names, const std::string& host,
                                 const char* service) {
  if (recent_names == nullptr) return resolve(host.c_str(), service);
  std::string key = host + ':' + service;
  auto now = std::chrono::steady_clock::now();
  std::vector<sockaddr_in> addresses = recent_names->find(key, now);
  if (!addresses.empty()) return addresses;
  addresses = resolve(host.c_str(), service);
  recent_names->store(key, addresses, now);
  return addresses;
}

unique_fd connect_first(const std::vector<sockaddr_in>& addresses,
                        std::chrono::milliseconds each_attempt, bool* every_one_timed_out) {
  unique_fd connected;
  bool all_timed_out = !addresses.empty();
  for (const sockaddr_in& address : addresses) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | (each_attempt.count() > 0 ? SOCK_NONBLOCK : 0), 0));
    if (fd.get() < 0) {
      trace_line("ignore this one");
      all_timed_out = false;
      continue;
    }
    if (connect_within(fd.get(), address, each_attempt) == 0) {
      trace("Connected to ", format_ipv4(ntohl(address.sin_addr.s_addr)), "\n ");
      connected = std::move(fd);
      break;
    }
    if (errno != ETIMEDOUT) all_timed_out = false;
    trace_errno("connection faild... try another host");
  }
  if (connected.get() < 0 && !addresses.empty()) trace_errno("received host is not good!");
  if (every_one_timed_out != nullptr) {
    *every_one_timed_out = connected.get() < 0 && all_timed_out;
  }
  return connected;
}

unique_fd bind_listener(std::uint32_t address, std::uint16_t port, bind_step& failed) {
  unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
  failed = bind_step::socket;
  if (fd.get() < 0) return fd;
  // A restart may bind while the last run's connections are still closing;
  // a live listener on the port still makes the bind fail.
  int reuse = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(address);
  local.sin_port = htons(port);
  failed = bind_step::bind;
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    int error = errno;
    fd.reset();
    errno = error;
    return fd;
  }
  failed = bind_step::none;
  return fd;
}

std::uint16_t local_port(int fd) {
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  return ntohs(bound.sin_port);
}

std::vector<std::uint32_t> read_machine_addresses() {
  std::vector<std::uint32_t> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.push_back(ntohl(address->sin_addr.s_addr));
  }
  freeifaddrs(interfaces);
  return addresses;
}

std::vector<std::uint32_t> machine_addresses::current() {
  std::lock_guard lock(mutex_);
  auto now = std::chrono::steady_clock::now();
  bool fresh = read_at_ != std::chrono::steady_clock::time_point() &&
               now - read_at_ < std::chrono::seconds(2);
  if (!fresh) {
    addresses_ = read_machine_addresses();
    read_at_ = now;
  }
  return addresses_;
}

}  // namespace ferry
