// Names and connections: resolving a server's name, connecting to it, and
// this machine's own addresses. Failures are traced, as each step always was.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "name_cache.h"
#include "unique_fd.h"

namespace ferry {

// The IPv4 addresses of `host` on service `service`, in the resolver's order;
// none, with a trace line, when the name does not resolve.
std::vector<sockaddr_in> resolve(const char* host, const char* service);

// resolve, or a lookup of the same name and service less than the cache's
// age ago; `recent_names` may be null (no cache).
std::vector<sockaddr_in> look_up(name_cache* recent_names, const std::string& host,
                                 const char* service);

// Connects to the first of `addresses` that accepts, waiting at most
// `each_attempt` for each (zero or less: the kernel's own limit). Returns the
// connected socket (non-blocking when timed), or an empty owner with
// `every_one_timed_out` saying whether each address failed by the time limit.
unique_fd connect_first(const std::vector<sockaddr_in>& addresses,
                        std::chrono::milliseconds each_attempt,
                        bool* every_one_timed_out = nullptr);

// Which step of setting up a listening socket failed.
enum class bind_step { none, socket, bind };

// A TCP socket bound to address:port (host order; port 0: the system picks),
// with SO_REUSEADDR, not yet listening. An empty owner when a step fails,
// with `failed` naming it and errno saying why.
unique_fd bind_listener(std::uint32_t address, std::uint16_t port, bind_step& failed);

// The port a socket is bound to.
std::uint16_t local_port(int fd);

// This machine's IPv4 addresses (host order), as its interfaces have them now.
std::vector<std::uint32_t> read_machine_addresses();

// The same, read again only when older than two seconds: reading them asks
// the kernel, too dear for every request.
class machine_addresses {
 public:
  std::vector<std::uint32_t> current();

 private:
  std::mutex mutex_;
  std::vector<std::uint32_t> addresses_;
  std::chrono::steady_clock::time_point read_at_;
};

}  // namespace ferry
