// The relay: one request per connection, from the client's head to the
// server's close, bytes flowing both ways in between.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Looks up the port of the "http" service, for targets that name none, and
// notes the port ferry listens on, for the loop guard. Called once, before any
// request thread exists.
void set_up_relay(std::uint16_t own_port);

#include "log.h"

// The client as accepted, in host order.
struct client_peer {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  bool proxied = false;  // a balancer in PROXY_FROM: the real client follows in a PROXY header
  bool ipv6 = false;     // the real client has an IPv6 address
  bool named = false;    // the PROXY header named the real client
};

// The body of the answer to a client that ALLOW leaves out.
inline constexpr std::string_view not_allowed_line =
    "this proxy serves only the clients that its ALLOW setting names";

// One of ferry's own answers: the status line, a one-line text/plain body and
// Connection: close.
std::string error_answer(int status, std::string_view body_line);

// Serves the one request on `clifd`: reads its head, answers an error itself
// or connects to the server the head names (for CONNECT, opens a tunnel) and
// relays both ways until the server closes. Returns with every upstream
// descriptor closed and `clifd` open for the caller to close. `peer` decides
// whether DENY_TO applies; from a balancer, the real client comes first in a
// PROXY header and must pass ALLOW. Fills `record` for the access log.
void relay_request(int clifd, client_peer peer, access_record& record);
