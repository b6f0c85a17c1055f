#include "policy.h"

#include <algorithm>

#include "text.h"

namespace ferry {
namespace {

bool contains(const std::vector<std::uint32_t>& addresses, std::uint32_t address) {
  return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

bool is_this_machine(std::uint32_t address, const std::vector<std::uint32_t>& this_machine) {
  return (address >> 24) == 127 || address == 0 || contains(this_machine, address);
}

}  // namespace

bool may_connect(const settings& config, const client_peer& peer) {
  return peer.proxied || list_contains(config.allowed_clients, peer.address);
}

verdict judge_client(const settings& config, const client_peer& peer) {
  if (peer.ipv6 || !list_contains(config.allowed_clients, peer.address)) {
    return {403, std::string(not_allowed_line)};
  }
  return {};
}

bool spared_by_deny_to(const client_peer& peer) {
  return !peer.proxied && (peer.address >> 24) == 127;
}

verdict judge_tunnel_port(const settings& config, std::uint16_t port) {
  if (list_contains(config.tunnel_ports, port)) return {};
  return {403, "CONNECT to port " + std::to_string(port) + " is refused by CONNECT_PORTS"};
}

verdict judge_destination(const settings& config, const client_peer& peer,
                          const std::vector<std::uint32_t>& addresses, std::uint16_t port,
                          std::uint16_t listening_port,
                          const std::vector<std::uint32_t>& this_machine,
                          const std::vector<std::uint32_t>& own_addresses) {
  if (port == listening_port &&
      std::any_of(addresses.begin(), addresses.end(),
                  [&](std::uint32_t address) { return is_this_machine(address, this_machine); })) {
    return {508, "the request names this proxy itself"};
  }
  if (spared_by_deny_to(peer)) return {};
  const address_list& denied = config.denied_destinations;
  bool self = list_has_self(denied);
  for (std::uint32_t address : addresses) {
    if (list_contains(denied, address) || (self && contains(own_addresses, address))) {
      return {403, "destination " + format_ipv4(address) + " is refused by DENY_TO"};
    }
  }
  return {};
}

}  // namespace ferry
