#include "listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "io.h"
#include "log.h"
#include "net.h"
#include "text.h"

namespace ferry {
namespace {

// Names the address and port that could not be bound, with advice that fits
// the error.
void report_bind_failure(const settings& config, const ip_address& address) {
  int error = errno;
  report_errno("bind");
  std::string where = format_endpoint(address, config.listen_port);
  std::string advice = "ferry cannot listen on " + where + "\n";
  if (error == EADDRINUSE) {
    advice += "try another port with `LISTEN_PORT' env variable\n";
  } else if (error == EADDRNOTAVAIL) {
    advice += format_ip_address(address) +
              " is not an address of this machine: try another with `LISTEN_ADDR' env variable\n";
  } else if (error == EACCES) {
    advice += "port " + std::to_string(config.listen_port) +
              " needs privileges: try another port with `LISTEN_PORT' env variable\n";
  } else {
    advice += "check the `LISTEN_ADDR' and `LISTEN_PORT' env variables\n";
  }
  write_raw(advice.data(), advice.size());
}

}  // namespace

unique_fd bind_listener(const ip_address& address, std::uint16_t port, bind_step& failed) {
  sockaddr_storage local{};
  socklen_t size = to_socket_address(address, port, local);
  unique_fd fd(socket(local.ss_family, SOCK_STREAM, 0));
  failed = bind_step::socket;
  if (fd.get() < 0) return fd;
  // A restart may bind while the last run's connections are still closing;
  // a live listener on the port still makes the bind fail.
  int reuse = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  // One socket for both families, whatever the system's default says.
  int both = 0;
  if (local.ss_family == AF_INET6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &both, sizeof both);
  failed = bind_step::bind;
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), size) < 0) {
    int error = errno;
    fd.reset();
    errno = error;
    return fd;
  }
  failed = bind_step::none;
  return fd;
}

int bind_listening_socket(const settings& config, unique_fd& listening, ip_address& address) {
  bind_step failed = bind_step::none;
  address = config.listen_address;
  listening = bind_listener(address, config.listen_port, failed);
  // `::` stands for every address; where the machine has no IPv6, IPv4's
  // every address is the next best thing.
  if (failed != bind_step::none && address == ip_address{} &&
      (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
    fprintf(stderr, "ferry: IPv6 is not available (%s); listening on 0.0.0.0 instead\n",
            strerror(errno));
    address = ipv4_address(0);
    listening = bind_listener(address, config.listen_port, failed);
  }
  if (failed == bind_step::socket) {
    report_errno("socket");
    return E_SOCKET;
  }
  if (failed == bind_step::bind) {
    report_bind_failure(config, address);
    return E_BIND;
  }
  return 0;
}

int start_listening(int bound, int backlog) {
  if (listen(bound, backlog) < 0) {
    report_errno("listen");
    return E_LISTEN;
  }
  // Accepted one at a time by whichever thread the kernel wakes.
  fcntl(bound, F_SETFL, fcntl(bound, F_GETFL) | O_NONBLOCK);
  return 0;
}

// A host list as written, cut so the start-up line stays short.
std::string shown_hosts(const std::string& value) {
  constexpr std::size_t longest = 60;
  if (value.empty()) return "none";
  std::string shown = escape_bytes(value.substr(0, longest), kept_bytes{});
  return value.size() > longest ? shown + "..." : shown;
}

std::string shown_metrics(const settings& config) {
  return config.metrics_on ? format_endpoint(config.metrics_address, config.metrics_port) : "off";
}

// Where ferry listens and the settings in force, on standard error, unless
// the log is off. In trace mode it ends with a hint at the shorter log, for
// whoever meets the trace's flood first.
void announce_listening(const settings& config, const ip_address& address, std::uint16_t port) {
  if (logging_off()) return;
  fprintf(stderr,
          "ferry listening on %s:%u with %lld slots; LOG=%s ALLOW=%s DENY_TO=%s "
          "CONNECT_PORTS=%s PROXY_FROM=%s HEAD_TIMEOUT=%u IDLE_TIMEOUT=%u CON_TIMEOUT=%u "
          "NAME_CACHE=%u KEEPALIVE_TIMEOUT=%u MAX_WAITING=%lld MAX_WAITING_PER_CLIENT=%lld "
          "STOP_TIMEOUT=%u AUTH=%s ALLOW_HOSTS=%s DENY_HOSTS=%s TUNNEL_CHECK=%s METRICS=%s %s "
          "SERVER_POOL=%lld%s\n",
          format_host(address).c_str(), static_cast<unsigned>(port),
          static_cast<long long>(config.request_slots), tracing() ? "trace" : "access",
          format_address_list(config.allowed_clients).c_str(),
          format_address_list(config.denied_destinations).c_str(),
          format_port_list(config.tunnel_ports).c_str(),
          format_address_list(config.balancers).c_str(),
          static_cast<unsigned>(config.head_timeout_seconds),
          static_cast<unsigned>(config.idle_timeout_seconds),
          static_cast<unsigned>(config.connect_timeout_seconds),
          static_cast<unsigned>(config.name_cache_seconds),
          static_cast<unsigned>(config.keepalive_timeout_seconds),
          static_cast<long long>(config.max_waiting),
          static_cast<long long>(config.max_waiting_per_client),
          static_cast<unsigned>(config.stop_timeout_seconds),
          config.auth_file.empty() ? "off" : "on",
          shown_hosts(config.allowed_hosts_value).c_str(),
          shown_hosts(config.denied_hosts_value).c_str(),
          config.tunnel_check_sni ? "sni" : "off", shown_metrics(config).c_str(),
          chain_summary(config).c_str(), static_cast<long long>(config.server_pool),
          tracing() ? " (trace mode; LOG=access logs one line per request)" : "");
}

accept_outcome accept_client(int listenfd, client_connection& accepted) {
  sockaddr_storage peer_address{};
  socklen_t peer_size = sizeof peer_address;
  accepted.client =
      unique_fd(accept4(listenfd, reinterpret_cast<sockaddr*>(&peer_address), &peer_size, 0));
  if (accepted.client.get() >= 0) {
    from_socket_address(peer_address, accepted.peer.address, accepted.peer.port);
    accepted.peer.accepted = std::chrono::steady_clock::now();
    accepted.peer.turn_began = accepted.peer.accepted;
    return accept_outcome::accepted;
  }
  int error = errno;
  if (error == EAGAIN || error == EINTR || error == EINVAL) return accept_outcome::none_waiting;
  report_errno("accept");
  if (error == EMFILE || error == ENFILE) return accept_outcome::out_of_descriptors;
  if (error == ENOBUFS || error == ENOMEM) return accept_outcome::out_of_memory;
  return accept_outcome::none_waiting;
}

}  // namespace ferry
