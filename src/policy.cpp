#include "policy.h"

#include <algorithm>
#include <optional>

#include "metrics.h"
#include "text.h"
#include "via.h"

namespace ferry {
namespace {

bool contains(const std::vector<ip_address>& addresses, const ip_address& address) {
  return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

// Calls `judge` with the address and with the IPv4 address it carries, if
// any, until one of them returns true.
template <typename Judge>
bool either_spelling(const ip_address& address, Judge judge) {
  if (judge(address)) return true;
  std::optional<ip_address> carried = embedded_ipv4(address);
  return carried.has_value() && judge(*carried);
}

bool is_this_machine(const ip_address& address, const std::vector<ip_address>& this_machine) {
  return either_spelling(address, [&](const ip_address& one) {
    return is_loopback(one) || is_unspecified(one) || contains(this_machine, one);
  });
}

}  // namespace

bool may_connect(const settings& config, const client_peer& peer) {
  return peer.proxied || list_contains(config.allowed_clients, peer.address);
}

verdict judge_client(const settings& config, const client_peer& peer) {
  if (!list_contains(config.allowed_clients, peer.address)) {
    return {403, std::string(not_allowed_line)};
  }
  return {};
}

bool spared_by_deny_to(const client_peer& peer) {
  return !peer.proxied && is_loopback(peer.address);
}

verdict judge_tunnel_port(const settings& config, std::uint16_t port) {
  if (list_contains(config.tunnel_ports, port)) return {};
  return {403, "CONNECT to port " + std::to_string(port) + " is refused by CONNECT_PORTS"};
}

verdict judge_via(const std::vector<std::string_view>& via_values, std::string_view own_name) {
  for (std::string_view values : via_values) {
    if (via_names(values, own_name)) return {508, "the request has passed this proxy already"};
  }
  return {};
}

verdict judge_destination(const settings& config, const client_peer& peer,
                          const std::vector<ip_address>& addresses, std::uint16_t port,
                          std::uint16_t listening_port,
                          const std::vector<ip_address>& this_machine,
                          const std::vector<ip_address>& own_addresses) {
  if (port == listening_port &&
      std::any_of(addresses.begin(), addresses.end(), [&](const ip_address& address) {
        return is_this_machine(address, this_machine);
      })) {
    return {508, "the request names this proxy itself"};
  }
  if (spared_by_deny_to(peer)) return {};
  const address_list& denied = config.denied_destinations;
  bool self = list_has_self(denied);
  for (const ip_address& address : addresses) {
    bool refused = either_spelling(address, [&](const ip_address& one) {
      return list_contains(denied, one) || (self && contains(own_addresses, one));
    });
    if (refused) {
      return {403, "destination " + format_ip_address(address) + " is refused by DENY_TO"};
    }
  }
  return {};
}

verdict judge_credentials(credential_cache& users, std::string_view authorization,
                          std::size_t fields, std::string& user,
                          std::chrono::steady_clock::time_point now) {
  std::string name, password;
  if (fields == 1 && decode_basic_credentials(authorization, name, password) &&
      users.check(name, password, now)) {
    user = std::move(name);
    return {};
  }
  process_metrics().add(counter::auth_failures, 1);
  if (fields == 0) return {407, "this proxy needs a user and password"};
  return {407, "the user or password is not right"};
}

verdict judge_host_name(const host_lists& lists, std::string_view host) {
  if (judge_host(lists, host) == host_verdict::allowed) return {};
  return {403, "host not allowed", request_ending::denied_host};
}

verdict judge_tunnel_hello(const host_lists& lists, std::string_view target, hello_result hello,
                           std::string_view server_name) {
  constexpr request_ending refused = request_ending::tunnel_refused;
  bool literal = is_address_literal(target);
  if (hello != hello_result::hello || server_name.empty()) {
    if (literal) return {};
    return {403, "the tunnel's first bytes are no TLS ClientHello with a server name", refused};
  }
  if (!literal && !same_host(server_name, target)) {
    return {403, "the ClientHello names another host than CONNECT did", refused};
  }
  if (judge_host(lists, server_name) == host_verdict::denied) {
    return {403, "the ClientHello names a host not allowed", refused};
  }
  return {};
}

}  // namespace ferry
