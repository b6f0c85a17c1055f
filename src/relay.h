// The relay: one request per connection, from the client's head to the
// server's close, bytes flowing both ways in between.
#pragma once

#include <cstdint>

// Looks up the port of the "http" service, for targets that name none, and
// notes the port ferry listens on, for the loop guard. Called once, before any
// request thread exists.
void set_up_relay(std::uint16_t own_port);

// Serves the one request on `clifd`: reads its head, answers an error itself
// or connects to the server the head names and relays both ways until the
// server closes. Returns with every upstream descriptor closed and `clifd`
// open for the caller to close.
void relay_request(int clifd);
