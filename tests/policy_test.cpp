// Who may use ferry and where it may take them, decided from addresses and
// settings alone.
#include "policy.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace ferry;

namespace {

ip_address ip(const char* text) {
  ip_address address;
  EXPECT_TRUE(parse_ip_address(text, address)) << text;
  return address;
}

const ip_address loopback = ip("127.0.0.1"), elsewhere = ip("10.9.9.2"), server = ip("10.0.0.99");
const ip_address own_address = ip("10.200.0.1"), own_ipv6 = ip("2001:db8::5");  // this machine's
constexpr std::uint16_t listening = 8080;

client_peer peer_at(const ip_address& address, bool proxied = false) {
  client_peer peer;
  peer.address = address;
  peer.proxied = proxied;
  return peer;
}

address_list list_of(const char* text) {
  address_list list;
  std::string problem;
  EXPECT_TRUE(parse_address_list(text, list, problem)) << problem;
  return list;
}

std::string judged(const verdict& decision) {
  return decision.allowed() ? "allowed" : std::to_string(decision.status) + " " + decision.reason;
}

TEST(Policy, ClientsByAllowAndBalancers) {
  settings config;
  config.balancers = list_of("10.1.1.1");
  for (const char* address : {"127.0.0.1", "::ffff:127.0.0.9", "::1"}) {
    EXPECT_TRUE(may_connect(config, peer_at(ip(address)))) << address;
  }
  for (const char* address : {"10.9.9.2", "::2", "2001:db8::1"}) {
    EXPECT_FALSE(may_connect(config, peer_at(ip(address)))) << address;
  }
  // A balancer is let in; the client its header names is judged later.
  EXPECT_TRUE(may_connect(config, peer_at(ip("10.1.1.1"), true)));
  EXPECT_EQ(judged(judge_client(config, peer_at(elsewhere))), "403 " + std::string(not_allowed_line));
  EXPECT_TRUE(judge_client(config, peer_at(loopback, true)).allowed());
  config.allowed_clients = list_of("2001:db8:1::/48");
  EXPECT_TRUE(judge_client(config, peer_at(ip("2001:db8:1::7"), true)).allowed());
  EXPECT_EQ(judge_client(config, peer_at(ip("2001:db8:2::7"), true)).status, 403);
}

TEST(Policy, TunnelPortsByConnectPorts) {
  settings config;
  EXPECT_TRUE(judge_tunnel_port(config, 443).allowed());
  EXPECT_EQ(judged(judge_tunnel_port(config, 22)), "403 CONNECT to port 22 is refused by CONNECT_PORTS");
}

// The loop guard for everyone; DENY_TO (its ranges and `self`) for clients
// whose own socket is not on loopback, and for every client a PROXY header names.
TEST(Policy, DestinationsByLoopGuardAndDenyTo) {
  const settings defaults;
  settings without_self;
  without_self.denied_destinations = list_of("127.0.0.0/8");
  const std::vector<ip_address> this_machine = {own_address, own_ipv6};
  struct row {
    const char* name;
    const settings& config;
    client_peer peer;
    ip_address target;
    std::uint16_t port;
    std::string expected;
  };
  const std::string loop = "508 the request names this proxy itself";
  auto denied = [](const char* address) {
    return std::string("403 destination ") + address + " is refused by DENY_TO";
  };
  const row rows[] = {
      {"a server, from elsewhere", defaults, peer_at(elsewhere), server, 80, "allowed"},
      {"loopback, from elsewhere", defaults, peer_at(elsewhere), loopback, 80, denied("127.0.0.1")},
      {"loopback, from loopback", defaults, peer_at(loopback), loopback, 80, "allowed"},
      {"loopback, named by a header", defaults, peer_at(loopback, true), loopback, 80,
       denied("127.0.0.1")},
      {"metadata, from elsewhere", defaults, peer_at(elsewhere), ip("169.254.169.254"), 80,
       denied("169.254.169.254")},
      {"::1, from elsewhere", defaults, peer_at(elsewhere), ip("::1"), 80, denied("::1")},
      {"::1, from ::1", defaults, peer_at(ip("::1")), ip("::1"), 80, "allowed"},
      {"mapped loopback", defaults, peer_at(elsewhere), ip("::ffff:7f00:1"), 80, denied("127.0.0.1")},
      {"NAT64 loopback", defaults, peer_at(elsewhere), ip("64:ff9b::7f00:1"), 80,
       denied("64:ff9b::7f00:1")},
      {"NAT64 server", defaults, peer_at(elsewhere), ip("64:ff9b::a00:63"), 80, "allowed"},
      {"compatible metadata", defaults, peer_at(elsewhere), ip("::a9fe:a9fe"), 80,
       denied("::169.254.169.254")},
      {"link-local", defaults, peer_at(elsewhere), ip("fe80::1"), 80, denied("fe80::1")},
      {"multicast", defaults, peer_at(elsewhere), ip("ff02::1"), 80, denied("ff02::1")},
      {"a server on IPv6", defaults, peer_at(elsewhere), ip("2001:db8:1::1"), 80, "allowed"},
      {"this machine's IPv6, by self", defaults, peer_at(elsewhere), own_ipv6, 80,
       denied("2001:db8::5")},
      {"this machine, by self", defaults, peer_at(elsewhere), own_address, 80, denied("10.200.0.1")},
      {"this machine, DENY_TO without self", without_self, peer_at(elsewhere), own_address, 80,
       "allowed"},
      {"ferry itself, from loopback", defaults, peer_at(loopback), loopback, listening, loop},
      {"ferry itself on 0.0.0.0", defaults, peer_at(loopback), ip("0.0.0.0"), listening, loop},
      {"ferry itself on ::", defaults, peer_at(loopback), ip("::"), listening, loop},
      {"ferry itself on ::1", defaults, peer_at(loopback), ip("::1"), listening, loop},
      {"ferry itself by NAT64", defaults, peer_at(loopback), ip("64:ff9b::7f00:1"), listening, loop},
      {"ferry itself on an IPv6 interface", without_self, peer_at(elsewhere), own_ipv6, listening,
       loop},
      {"ferry itself on an interface", without_self, peer_at(elsewhere), own_address, listening,
       loop},
      {"another port of this machine", defaults, peer_at(loopback), own_address, 8081, "allowed"},
  };
  for (const row& test : rows) {
    verdict decision = judge_destination(test.config, test.peer, {server, test.target}, test.port,
                                         listening, this_machine, this_machine);
    EXPECT_EQ(judged(decision), test.expected) << test.name;
  }
}

host_list hosts_of(const char* text) {
  host_list list;
  std::string problem;
  EXPECT_TRUE(parse_host_list(text, list, problem)) << problem;
  return list;
}

// host_list_test judges the names; here, what a refusal answers and logs.
TEST(Policy, HostNamesByAllowHostsAndDenyHosts) {
  host_lists lists{hosts_of(".code.example"), hosts_of("bad.code.example")};
  EXPECT_TRUE(judge_host_name(lists, "CODE.example.").allowed());
  verdict refused = judge_host_name(lists, "bad.code.example");
  EXPECT_EQ(judged(refused), "403 host not allowed");
  EXPECT_EQ(refused.ending, request_ending::denied_host);
}

// A tunnel's ClientHello names its CONNECT host; no name, or no TLS, only to
// an address the policy already admitted.
TEST(Policy, TunnelHelloNamesTheConnectHost) {
  host_lists none;
  host_lists lists{std::nullopt, hosts_of(".blocked.example")};
  using enum hello_result;
  const std::tuple<const host_lists&, const char*, hello_result, const char*, bool> rows[] = {
      {none, "api.example", hello, "API.example.", true},
      {none, "api.example", hello, "other.example", false},
      {none, "api.example", hello, "", false},
      {none, "api.example", not_tls, "", false},
      {none, "10.0.0.7", not_tls, "", true},
      {none, "[2001:db8::1]", hello, "", true},
      {lists, "10.0.0.7", hello, "any.example", true},
      {lists, "10.0.0.7", hello, "x.blocked.example", false},
  };
  for (const auto& [judged_lists, target, result, name, allowed] : rows) {
    verdict decision = judge_tunnel_hello(judged_lists, target, result, name);
    EXPECT_EQ(decision.allowed(), allowed) << target << " " << name;
    EXPECT_EQ(decision.ending, allowed ? std::nullopt
                                      : std::optional(request_ending::tunnel_refused));
  }
}

}  // namespace
