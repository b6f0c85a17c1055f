// Who may use ferry and where it may take them, decided from addresses and
// settings alone.
#include "policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ferry;

namespace {

constexpr std::uint32_t loopback = 0x7f000001, elsewhere = 0x0a090902, server = 0x0a000063;
constexpr std::uint32_t own_address = 0x0ac80001;  // on an interface of this machine
constexpr std::uint16_t listening = 8080;

client_peer peer_at(std::uint32_t address, bool proxied = false) {
  client_peer peer;
  peer.address = address;
  peer.proxied = proxied;
  return peer;
}

std::string judged(const verdict& decision) {
  return decision.allowed() ? "allowed" : std::to_string(decision.status) + " " + decision.reason;
}

TEST(Policy, ClientsByAllowAndBalancers) {
  settings config;
  config.balancers = {{0x0a010101, 0xffffffff}};
  EXPECT_TRUE(may_connect(config, peer_at(loopback)));
  EXPECT_FALSE(may_connect(config, peer_at(elsewhere)));
  // A balancer is let in; the client its header names is judged later.
  EXPECT_TRUE(may_connect(config, peer_at(0x0a010101, true)));
  EXPECT_EQ(judged(judge_client(config, peer_at(elsewhere))), "403 " + std::string(not_allowed_line));
  client_peer ipv6 = peer_at(loopback, true);
  ipv6.ipv6 = true;
  EXPECT_EQ(judge_client(config, ipv6).status, 403);
  EXPECT_TRUE(judge_client(config, peer_at(loopback, true)).allowed());
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
  without_self.denied_destinations = {{0x7f000000, 0xff000000}};
  const std::vector<std::uint32_t> this_machine = {own_address};
  struct row {
    const char* name;
    const settings& config;
    client_peer peer;
    std::uint32_t target;
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
      {"metadata, from elsewhere", defaults, peer_at(elsewhere), 0xa9fea9fe, 80,
       denied("169.254.169.254")},
      {"this machine, by self", defaults, peer_at(elsewhere), own_address, 80, denied("10.200.0.1")},
      {"this machine, DENY_TO without self", without_self, peer_at(elsewhere), own_address, 80,
       "allowed"},
      {"ferry itself, from loopback", defaults, peer_at(loopback), loopback, listening, loop},
      {"ferry itself on 0.0.0.0", defaults, peer_at(loopback), 0, listening, loop},
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

}  // namespace
