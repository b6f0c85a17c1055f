// Names and connections: resolving a server's name, connecting to it, and
// this machine's own addresses. Failures are traced, as each step always was.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ip_address.h"
#include "name_cache.h"
#include "unique_fd.h"

namespace ferry {

// The addresses of `host` on service `service`, both families, in the
// resolver's order; none, with a trace line, when the name does not resolve.
std::vector<ip_address> resolve(const char* host, const char* service);

// resolve, or a lookup of the same name and service less than the cache's
// age ago; `recent_names` may be null (no cache).
std::vector<ip_address> look_up(name_cache* recent_names, const std::string& host,
                                const char* service);

// How long a connect attempt has to itself before the next address is tried
// beside it.
inline constexpr std::chrono::milliseconds next_attempt_delay{250};

// How a connect went, for whoever tells of it: each failed attempt in
// order (its errno; 0 where no socket could be made for the address), and
// where it connected or the last error.
struct connect_report {
  std::vector<int> failures;
  bool tried = false;  // there was an address to try
  bool connected = false;
  ip_address connected_to;
  int last_error = 0;
};

// Connects to one of `addresses` on `port` with fast fallback: families
// alternate, an attempt starts next_attempt_delay after the last one or as
// soon as it fails, and the first connected wins. Each attempt has at most
// `each_attempt` (zero or less: the kernel's own limit). Returns the
// connected non-blocking socket, or an empty owner with `every_one_timed_out`
// saying whether each address failed by the time limit. Says nothing itself:
// `report`, when given, tells how it went.
unique_fd connect_first(const std::vector<ip_address>& addresses, std::uint16_t port,
                        std::chrono::milliseconds each_attempt,
                        bool* every_one_timed_out = nullptr, connect_report* report = nullptr);

// `address` and `port` as a socket address; returns its size.
socklen_t to_socket_address(const ip_address& address, std::uint16_t port, sockaddr_storage& out);

// The address and port of a socket address of either family.
void from_socket_address(const sockaddr_storage& in, ip_address& address, std::uint16_t& port);

// Sends small writes at once instead of waiting for the peer's
// acknowledgement of the last one (no Nagle).
void set_no_delay(int fd);

// The port a socket is bound to.
std::uint16_t local_port(int fd);

// This machine's addresses of both families, as its interfaces have them now.
std::vector<ip_address> read_machine_addresses();

// The same, read again only when older than two seconds: reading them asks
// the kernel, too dear for every request.
class machine_addresses {
 public:
  std::vector<ip_address> current();

 private:
  std::mutex mutex_;
  std::vector<ip_address> addresses_;
  std::chrono::steady_clock::time_point read_at_;
};

}  // namespace ferry
