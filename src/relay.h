// The relay: one request per connection, from the client's head to the
// server's close, bytes flowing both ways in between.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
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
  bool deny_to_exempt = false;  // set by the relay: the socket's own peer is on loopback
  // When the connection was accepted: HEAD_TIMEOUT counts from here, across
  // a wait for a slot and the PROXY header.
  std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
};

// Where a stop reaches a request being served: its sockets, and whether its
// head is complete. Safe to use from the request's thread and a stopping one.
class cut_point {
 public:
  explicit cut_point(int clifd = -1) : client_(clifd) {}
  void set_server(int servfd);
  // Before the server's descriptor closes, so a cut never reaches a reused number.
  void clear_server() { set_server(-1); }
  void note_head_complete();
  // Shuts both sockets down, so every wait of the request ends at once; with
  // `unfinished_heads_only`, only while its head is incomplete. Returns
  // whether it cut.
  bool cut(bool unfinished_heads_only);
  bool was_cut();

 private:
  std::mutex mutex_;
  int client_;
  int server_ = -1;
  bool head_complete_ = false;
  bool cut_ = false;
};

// The body of the answer to a client that ALLOW leaves out.
inline constexpr std::string_view not_allowed_line =
    "this proxy serves only the clients that its ALLOW setting names";

// One of ferry's own answers: the status line, `extra_fields` (whole lines),
// a one-line text/plain body and Connection: close.
std::string error_answer(int status, std::string_view body_line,
                         std::string_view extra_fields = {});

// Sends `answer` (when not empty) without waiting, half-closes and takes what
// already arrived, so the close does not become a reset that destroys the
// answer; then closes `clifd`. Returns the bytes sent. Never waits on the client.
std::size_t answer_and_close_now(int clifd, std::string_view answer);

// Serves the one request on `clifd`: reads its head, answers an error itself
// or connects to the server the head names (for CONNECT, opens a tunnel) and
// relays both ways until the server closes. Returns with every upstream
// descriptor closed and `clifd` open for the caller to close. `peer` decides
// whether DENY_TO applies; from a balancer, the real client comes first in a
// PROXY header and must pass ALLOW. Fills `record` for the access log.
// `cut`, when given, lets a stop end the request.
void relay_request(int clifd, client_peer peer, access_record& record, cut_point* cut = nullptr);
