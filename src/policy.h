// Who may use ferry and where it may take them: every decision in one place,
// from addresses and settings alone, with no socket.
#pragma once

#include <chrono>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client_hello.h"
#include "log.h"
#include "host_list.h"
#include "settings.h"
#include "users.h"

namespace ferry {

// The client as accepted.
struct client_peer {
  ip_address address;
  std::uint16_t port = 0;
  bool proxied = false;  // a balancer in PROXY_FROM: the real client follows in a PROXY header
  bool named = false;    // the PROXY header named the real client
  std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
  // When the current request's turn began: the accept for the first, then
  // the end of the answer before it or a kept connection's first byte.
  // HEAD_TIMEOUT counts from here, across a wait for a slot and the PROXY
  // header.
  std::chrono::steady_clock::time_point turn_began = accepted;
};

// The body of the answer to a client that ALLOW leaves out.
inline constexpr std::string_view not_allowed_line =
    "this proxy serves only the clients that its ALLOW setting names";

// A refusal: the status ferry answers with and the body's one line; status 0
// when the request may go on.
struct verdict {
  int status = 0;
  std::string reason;
  std::optional<request_ending> ending = std::nullopt;  // the access log's, when not the status's own
  bool allowed() const { return status == 0; }
};

// At acceptance: whether the connection's own peer may use ferry. A balancer
// in PROXY_FROM is let in; its client is judged once its header is read.
bool may_connect(const settings& config, const client_peer& peer);

// Once the client is known: a client that ALLOW leaves out gets 403.
verdict judge_client(const settings& config, const client_peer& peer);

// Only a client whose own socket is on loopback, and that no PROXY header
// named, may reach what it could reach without ferry: DENY_TO spares it.
bool spared_by_deny_to(const client_peer& peer);

// A CONNECT tunnel's port against CONNECT_PORTS.
verdict judge_tunnel_port(const settings& config, std::uint16_t port);

// Where a request's target resolved to and its port. Refused: ferry's own
// listening socket (508), from `this_machine` (loopback and unspecified
// addresses of both families and each interface's address count too), then
// for a client that is not spared, DENY_TO's ranges and, where DENY_TO says
// self, `own_addresses` (403). An address that carries an IPv4 address is
// judged by that one as well, so no spelling reaches inward.
verdict judge_destination(const settings& config, const client_peer& peer,
                          const std::vector<ip_address>& addresses, std::uint16_t port,
                          std::uint16_t listening_port,
                          const std::vector<ip_address>& this_machine,
                          const std::vector<ip_address>& own_addresses);

// A request whose Via values name `own_name` has passed through ferry
// before: 508, a loop, answered at its first repeat. Nothing with an empty
// name (VIA_NAME=off).
verdict judge_via(const std::vector<std::string_view>& via_values, std::string_view own_name);

// Proxy authentication: 407 unless the request carries one Proxy-Authorization
// field of Basic credentials that `users` lists. Sets `user` when it does.
verdict judge_credentials(credential_cache& users, std::string_view authorization,
                          std::size_t fields, std::string& user,
                          std::chrono::steady_clock::time_point now);

// A request's host (the name ferry would connect to) against ALLOW_HOSTS and
// DENY_HOSTS, before any lookup: 403 "host not allowed", ending denied-host.
verdict judge_host_name(const host_lists& lists, std::string_view host);

// TUNNEL_CHECK=sni: a tunnel to `target` whose client's first bytes read as
// `hello`. A ClientHello's server name must be the target's (or, for an
// address literal target, any name `lists` admits); no name or no TLS only
// to an address literal. Refusals end "tunnel-refused".
verdict judge_tunnel_hello(const host_lists& lists, std::string_view target, hello_result hello,
                           std::string_view server_name);

}  // namespace ferry
