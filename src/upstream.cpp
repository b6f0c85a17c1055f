#include "upstream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "io.h"
#include "log.h"
#include "text.h"
#include "transfer.h"
#include "via.h"

namespace ferry {
namespace {

// The port to connect to, and its text for the resolver: the request's own,
// or the http service's.
std::uint16_t target_port(const http_request& request, const upstream_setup& setup,
                          char (&port_text)[16]) {
  if (request.port != 0) {
    snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(request.port));
    return request.port;
  }
  std::memcpy(port_text, setup.http_service, sizeof port_text);
  return setup.http_port;
}

// Where the policy sends the request's target, once it has resolved.
verdict judge_target(const upstream_setup& setup, const client_peer& peer,
                     const std::vector<ip_address>& addresses, std::uint16_t port) {
  // Each list is read only when the policy will look at it.
  std::vector<ip_address> this_machine, own_addresses;
  if (port == setup.listening_port) this_machine = read_machine_addresses();
  if (!spared_by_deny_to(peer) && list_has_self(setup.config.denied_destinations)) {
    own_addresses = setup.own_addresses.current();
  }
  return judge_destination(setup.config, peer, addresses, port, setup.listening_port, this_machine,
                           own_addresses);
}

// Looks the target up and judges what it resolved to. A name that does not
// resolve here is judged no further: a parent may still resolve it.
bool look_up_and_judge(const upstream_setup& setup, const http_request& request,
                       const client_peer& peer, route& way, verdict& refusal) {
  char port_text[sizeof setup.http_service];
  std::uint16_t port = target_port(request, setup, port_text);
  way.addresses = look_up(setup.recent_names.get(), resolver_name(request.host), port_text);
  way.judged = true;
  if (way.addresses.empty()) return true;
  refusal = judge_target(setup, peer, way.addresses, port);
  return refusal.allowed();
}

// Connects to one of `addresses`; on failure `refusal` names `what` failed.
unique_fd connect_within(const upstream_setup& setup, const std::vector<ip_address>& addresses,
                         std::uint16_t port, const std::string& what, verdict& refusal,
                         connect_report& report) {
  bool timed_out = false;
  auto each_attempt = std::chrono::seconds(setup.config.connect_timeout_seconds);
  unique_fd servfd = connect_first(addresses, port, each_attempt, &timed_out, &report);
  if (servfd.get() < 0 && timed_out) refusal = {504, "connection to " + what + " timed out"};
  if (servfd.get() < 0 && !timed_out) refusal = {502, "connection to " + what + " failed"};
  return servfd;
}

// The parent connects to the server before it answers a CONNECT, so it has
// CON_TIMEOUT and IDLE_TIMEOUT together; no limit where IDLE_TIMEOUT sets none.
deadline parent_answer_deadline(const settings& config) {
  if (config.idle_timeout_seconds == 0) return deadline::never();
  int seconds = config.connect_timeout_seconds + config.idle_timeout_seconds;
  return deadline::in(std::chrono::seconds(seconds));
}

// Reads until an answer head is whole, at most max_head_size bytes. Returns
// its length, or 0 when it did not come whole, with `timed_out` saying
// whether the deadline ended the wait.
std::size_t read_answer_head(int fd, const deadline& until, std::string& received,
                             bool& timed_out) {
  char buffer[4096];
  while (received.size() < max_head_size) {
    io_result waited = wait_ready(fd, POLLIN, until);
    if (waited != io_result::done) {
      timed_out = waited == io_result::timed_out;
      return 0;
    }
    ssize_t got = read_once(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return 0;
    received.append(buffer, static_cast<std::size_t>(got));
    if (std::size_t length = head_length(received); length != 0) return length;
  }
  return 0;
}

// The status of an HTTP/1 status line at the start of `head`; 0 for none.
int status_of(std::string_view head) {
  if (head.size() < 12 || !head.starts_with("HTTP/1.") || head[8] != ' ') return 0;
  int status = 0;
  for (char c : head.substr(9, 3)) {
    if (c < '0' || c > '9') return 0;
    status = status * 10 + (c - '0');
  }
  return status >= 100 ? status : 0;
}

// The parent's refusal for the client: its status line but the version,
// shortened and escaped, as the parent's bytes are hostile.
verdict parent_refusal(std::string_view head) {
  std::string_view line = head.substr(9, head.find_first_of("\r\n") - 9);
  std::string shown = escape_bytes(line.substr(0, 100), kept_bytes{.space = true});
  return {502, "the parent proxy refused the tunnel: " + shown, request_ending::parent_refused};
}

// Asks the parent for a tunnel to the request's target and reads its
// answer's head. True on 2xx, with what came after the head in `made.early`;
// otherwise `made.refusal` says why.
bool ask_parent_for_tunnel(const upstream_setup& setup, const http_request& request,
                           upstream& made, long write_limit) {
  const settings& config = setup.config;
  std::string authority = request.host + ":" + std::to_string(request.port);
  std::string asked = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n" +
                      config.parent.authorization_line;
  // The parent sees ferry in Via, so a circle of tunnels is found too.
  if (!config.via_name.empty()) asked += via_field_line(request.via_values, config.via_name);
  asked += "\r\n";
  int servfd = made.server.get();
  if (write_all(servfd, asked.data(), asked.size(), std::chrono::milliseconds(write_limit))
          .result != io_result::done) {
    made.refusal = {502, "connection to parent proxy failed"};
    return false;
  }
  std::string received;
  bool timed_out = false;
  std::size_t length = read_answer_head(servfd, parent_answer_deadline(config), received, timed_out);
  int status = length == 0 ? 0 : status_of(received);
  if (status >= 200 && status <= 299) {
    made.early = received.substr(length);
    return true;
  }
  if (status != 0) {
    made.refusal = parent_refusal(received);
  } else if (timed_out) {
    made.refusal = {504, "the parent proxy did not answer the tunnel's CONNECT in time"};
  } else {
    made.refusal = {502, "no valid answer from the parent proxy"};
  }
  return false;
}

upstream open_through_parent(const upstream_setup& setup, const http_request& request,
                             long write_limit) {
  upstream made;
  const parent_proxy& parent = setup.config.parent;
  if (tracing()) trace("through parent proxy: [", escape_for_trace(parent.host), "]\n");
  char port_text[8];
  snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(parent.port));
  std::vector<ip_address> addresses =
      look_up(setup.recent_names.get(), resolver_name(parent.host), port_text);
  if (addresses.empty()) {
    made.refusal = {502, "connection to parent proxy failed"};
    return made;
  }
  made.server = connect_within(setup, addresses, parent.port, "parent proxy", made.refusal,
                               made.connecting);
  if (made.server.get() >= 0 && request.tunnel &&
      !ask_parent_for_tunnel(setup, request, made, write_limit)) {
    made.server.reset();
  }
  return made;
}

}  // namespace

bool still_quiet(int servfd) {
  char byte;
  return recv(servfd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
         (errno == EAGAIN || errno == EWOULDBLOCK);
}

verdict judge_connected(const upstream_setup& setup, const client_peer& peer, int servfd) {
  sockaddr_storage remote{};
  socklen_t size = sizeof remote;
  if (getpeername(servfd, reinterpret_cast<sockaddr*>(&remote), &size) != 0) {
    return {502, "connection to host failed"};
  }
  ip_address address;
  std::uint16_t port = 0;
  from_socket_address(remote, address, port);
  return judge_target(setup, peer, {address}, port);
}

bool plan_route(const upstream_setup& setup, const http_request& request,
                const client_peer& peer, route& way, verdict& refusal) {
  char port_text[sizeof setup.http_service];
  std::uint16_t port = target_port(request, setup, port_text);
  if (request.tunnel) {
    refusal = judge_tunnel_port(setup.config, port);
    if (!refusal.allowed()) return false;
  }
  way = route{};
  way.key = lower_case(resolver_name(request.host)) + ':' + std::to_string(port);
  const parent_proxy& parent = setup.config.parent;
  if (parent.host.empty()) return true;
  if (!look_up_and_judge(setup, request, peer, way, refusal)) return false;
  if (bypasses(setup.config.direct_targets, request.host, way.addresses)) return true;
  way.through_parent = true;
  // Apart from a server at the same address: what goes to a parent is written for a proxy.
  way.key = "parent " + lower_case(resolver_name(parent.host)) + ':' + std::to_string(parent.port);
  return true;
}

upstream open_upstream(const upstream_setup& setup, const http_request& request,
                       const client_peer& peer, route& way, long write_limit) {
  if (way.through_parent) return open_through_parent(setup, request, write_limit);
  upstream made;
  if (!way.judged && !look_up_and_judge(setup, request, peer, way, made.refusal)) return made;
  if (way.addresses.empty()) {
    made.refusal = {502, "connection to host failed"};
    return made;
  }
  char port_text[sizeof setup.http_service];
  std::uint16_t port = target_port(request, setup, port_text);
  made.server = connect_within(setup, way.addresses, port, "host", made.refusal, made.connecting);
  return made;
}

unique_fd take_pooled(const upstream_setup& setup, const client_peer& peer, std::uint64_t pool_user,
                      const route& way, bool retry_allowed) {
  server_pool* pool = setup.pool.get();
  if (pool == nullptr) return unique_fd();
  for (;;) {
    unique_fd server = pool->take(way.key, pool_user, !retry_allowed);
    if (server.get() < 0) return server;
    if (!still_quiet(server.get())) continue;
    // Refused to this client: closed, and a new connection is judged in full.
    if (!way.through_parent && !judge_connected(setup, peer, server.get()).allowed()) {
      return unique_fd();
    }
    if (tracing()) {
      trace("server connection taken from the pool: ", escape_for_trace(way.key), "\n");
    }
    return server;
  }
}

}  // namespace ferry
