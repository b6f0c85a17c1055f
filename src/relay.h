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

// The client as accepted, in host order.
struct client_peer {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// One of ferry's own answers: the status line, a one-line text/plain body and
// Connection: close.
std::string error_answer(int status, std::string_view body_line);

// Serves the one request on `clifd`: reads its head, answers an error itself
// or connects to the server the head names (for CONNECT, opens a tunnel) and
// relays both ways until the server closes. Returns with every upstream
// descriptor closed and `clifd` open for the caller to close. `peer` decides
// whether DENY_TO applies.
void relay_request(int clifd, const client_peer& peer);
