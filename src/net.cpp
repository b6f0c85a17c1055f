#include "net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "io.h"
#include "log.h"
#include "metrics.h"
#include "text.h"

namespace ferry {
namespace {

// One address being connected to.
struct attempt {
  unique_fd fd;
  ip_address address;
  deadline ends;
};

// Starts a connect that does not wait. Returns 0 once connected, EINPROGRESS
// while pending, or the error; `fd` stays empty when no socket could be made.
int start_connect(const ip_address& address, std::uint16_t port, unique_fd& fd) {
  sockaddr_storage target{};
  socklen_t size = to_socket_address(address, port, target);
  fd.reset(socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return errno;
  // A request's head and its body are two writes on a connection that may
  // be kept: the body must not wait for the head's delayed acknowledgement.
  set_no_delay(fd.get());
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), size) == 0) return 0;
  return errno;
}

// Why a connect that poll reported on ended: 0 when it connected.
int connect_outcome(const pollfd& waited) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(waited.fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return errno;
  if (error == 0 && (waited.revents & (POLLERR | POLLHUP)) != 0) error = ECONNREFUSED;
  return error;
}

// The address of an IPv4 or IPv6 socket address.
ip_address address_of(const sockaddr& any) {
  sockaddr_storage copied{};
  std::memcpy(&copied, &any, any.sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  ip_address address;
  std::uint16_t unused_port = 0;
  from_socket_address(copied, address, unused_port);
  return address;
}

}  // namespace

socklen_t to_socket_address(const ip_address& address, std::uint16_t port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (is_ipv4(address)) {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(out);
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = htonl(ipv4_of(address));
    ipv4.sin_port = htons(port);
    return sizeof ipv4;
  }
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(out);
  ipv6.sin6_family = AF_INET6;
  std::memcpy(&ipv6.sin6_addr, address.bytes.data(), address.bytes.size());
  ipv6.sin6_port = htons(port);
  return sizeof ipv6;
}

void from_socket_address(const sockaddr_storage& in, ip_address& address, std::uint16_t& port) {
  if (in.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(in);
    std::memcpy(address.bytes.data(), &ipv6.sin6_addr, address.bytes.size());
    port = ntohs(ipv6.sin6_port);
    return;
  }
  const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(in);
  address = ipv4_address(ntohl(ipv4.sin_addr.s_addr));
  port = ntohs(ipv4.sin_port);
}

std::vector<ip_address> resolve(const char* host, const char* service) {
  // Both families, and no AI_ADDRCONFIG: it would hide IPv6 on a machine
  // whose only IPv6 address is loopback; a family that cannot connect fails
  // at once and the next address is tried.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<ip_address> addresses;
  if (getaddrinfo(host, service, &hints, &found) != 0) {
    trace("getaddrinfo problem for host: `", host, "'\n");
    return addresses;
  }
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    addresses.push_back(address_of(*entry->ai_addr));
  }
  freeaddrinfo(found);
  return addresses;
}

std::vector<ip_address> look_up(name_cache* recent_names, const std::string& host,
                                const char* service) {
  metrics& counted = process_metrics();
  if (recent_names == nullptr) {
    counted.add(counter::name_cache_misses, 1);
    return resolve(host.c_str(), service);
  }
  std::string key = host + ':' + service;
  auto now = std::chrono::steady_clock::now();
  std::vector<ip_address> addresses = recent_names->find(key, now);
  counted.add(addresses.empty() ? counter::name_cache_misses : counter::name_cache_hits, 1);
  if (!addresses.empty()) return addresses;
  addresses = resolve(host.c_str(), service);
  recent_names->store(key, addresses, now);
  return addresses;
}

namespace {

// The attempts of one connect_first: those running, the winner, what failed.
struct connect_race {
  connect_report report;
  std::vector<ip_address> order;
  std::size_t next = 0;  // in `order`
  std::vector<attempt> running;
  unique_fd connected;
  ip_address connected_to;
  bool all_timed_out = false;
  int last_error = 0;
  deadline next_start = deadline::in(std::chrono::milliseconds(0));
};

void note_failure(connect_race& race, int error) {
  if (error != ETIMEDOUT) race.all_timed_out = false;
  race.last_error = error;
  race.report.failures.push_back(error);
}

// Starts connecting to the next address in order.
void start_next(connect_race& race, std::uint16_t port, std::chrono::milliseconds each_attempt) {
  attempt started{unique_fd(), race.order[race.next++],
                  each_attempt.count() > 0 ? deadline::in(each_attempt) : deadline::never()};
  int error = start_connect(started.address, port, started.fd);
  if (started.fd.get() < 0) {
    race.report.failures.push_back(0);
    race.all_timed_out = false;
    race.last_error = error;
  } else if (error == 0) {
    race.connected = std::move(started.fd);
    race.connected_to = started.address;
  } else if (error != EINPROGRESS) {
    note_failure(race, error);
  } else {
    race.running.push_back(std::move(started));
    race.next_start = deadline::in(next_attempt_delay);
  }
}

// Waits until a running attempt ends or the next one is due, and takes
// every outcome that came.
void wait_for_running(connect_race& race) {
  std::vector<pollfd> waited;
  deadline until = race.next < race.order.size() ? race.next_start : deadline::never();
  for (const attempt& pending : race.running) {
    waited.push_back({pending.fd.get(), POLLOUT, 0});
    if (pending.ends.when() < until.when()) until = pending.ends;
  }
  bool wait_failed = wait_ready(waited.data(), waited.size(), until) == io_result::failed;
  int wait_error = errno;
  std::vector<attempt> still_running;
  for (std::size_t i = 0; i < race.running.size(); ++i) {
    int error = -1;  // still pending
    if (wait_failed) {
      error = wait_error;
    } else if (waited[i].revents != 0) {
      error = connect_outcome(waited[i]);
    } else if (race.running[i].ends.milliseconds_left() == 0) {
      error = ETIMEDOUT;
    }
    if (error < 0) {
      still_running.push_back(std::move(race.running[i]));
    } else if (error == 0 && race.connected.get() < 0) {
      race.connected = std::move(race.running[i].fd);
      race.connected_to = race.running[i].address;
    } else if (error != 0) {
      note_failure(race, error);
      // A failure hands its turn to the next address at once.
      race.next_start = deadline::in(std::chrono::milliseconds(0));
    }
  }
  race.running = std::move(still_running);
}

}  // namespace

unique_fd connect_first(const std::vector<ip_address>& addresses, std::uint16_t port,
                        std::chrono::milliseconds each_attempt, bool* every_one_timed_out,
                        connect_report* report) {
  connect_race race;
  race.order = interleave_families(addresses);
  race.all_timed_out = !race.order.empty();
  while (race.connected.get() < 0 && (race.next < race.order.size() || !race.running.empty())) {
    bool due = race.running.empty() || race.next_start.milliseconds_left() == 0;
    if (race.next < race.order.size() && due) {
      start_next(race, port, each_attempt);
    } else {
      wait_for_running(race);
    }
  }
  if (report != nullptr) {
    *report = std::move(race.report);
    report->tried = !race.order.empty();
    report->connected = race.connected.get() >= 0;
    report->connected_to = race.connected_to;
    report->last_error = race.last_error;
  }
  if (every_one_timed_out != nullptr) {
    *every_one_timed_out = race.connected.get() < 0 && race.all_timed_out;
  }
  return std::move(race.connected);
}

void set_no_delay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::uint16_t local_port(int fd) {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  ip_address unused;
  std::uint16_t port = 0;
  from_socket_address(bound, unused, port);
  return port;
}

std::vector<ip_address> read_machine_addresses() {
  std::vector<ip_address> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    addresses.push_back(address_of(*entry->ifa_addr));
  }
  freeifaddrs(interfaces);
  return addresses;
}

std::vector<ip_address> machine_addresses::current() {
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
