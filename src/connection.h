// A client connection as it lives between requests: what the next request on
// it needs, whether a request thread or the waiting room holds it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "log.h"
#include "policy.h"
#include "unique_fd.h"

namespace ferry {

// A tunnel waiting for bytes without a thread: where its flows stood.
struct tunnel_state {
  bool client_open = true;   // the client has not ended its side
  bool server_open = true;   // the server has not ended its side
  bool client_shut = false;  // the server's end was passed on to the client
  std::chrono::steady_clock::time_point last_move;  // IDLE_TIMEOUT counts from here
  access_record record;      // written when the tunnel ends
};

// A client connection, between its requests too: what the next request on
// it needs.
struct client_connection {
  unique_fd client;
  client_peer peer;
  unique_fd server;           // kept from the last request for the next one to its server
  std::string server_target;  // the host and port `server` is connected to
  // `server` answered with a challenge that authenticates its connection:
  // it never goes to the pool.
  bool server_bound = false;
  std::uint64_t pool_user = 0;  // names this connection to the pool; 0 until it first gives back
  std::string carried;        // bytes read past the last request: the next one's start
  std::size_t requests = 0;   // requests served on it so far
  std::unique_ptr<tunnel_state> tunnel;  // set while it is a parked tunnel, to `server`
};


}  // namespace ferry
