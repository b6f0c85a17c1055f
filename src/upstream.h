// The way to a request's server: directly, or through the parent proxy (a
// tunnel through the parent's own CONNECT). The target is judged before
// anything is sent anywhere; nothing here answers the client: a refusal
// says what the relay is to answer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "name_cache.h"
#include "net.h"
#include "request_head.h"
#include "policy.h"
#include "server_pool.h"
#include "settings.h"
#include "unique_fd.h"

namespace ferry {

// What connecting needs, set up once before any request thread exists.
struct upstream_setup {
  explicit upstream_setup(const settings& given) : config(given) {}
  const settings& config;
  std::uint16_t listening_port = 0;  // for the loop guard
  // The port of the "http" service, for targets that name none: reading the
  // service table on every request cost more than the rest of its work.
  std::uint16_t http_port = 0;  // 0 while the service is unknown
  char http_service[16] = "http";
  std::unique_ptr<name_cache> recent_names;  // null when NAME_CACHE is 0
  mutable machine_addresses own_addresses;
  std::string via_line;  // "Via: 1.1 NAME\r\n" for ferry's own answers; empty with VIA_NAME=off
  // Idle server connections any client may take; null with SERVER_POOL=0 or
  // KEEPALIVE_TIMEOUT=0, when a server connection stays with its client's.
  std::unique_ptr<server_pool> pool;
};

// Where a request's connection goes.
struct route {
  // host:port of the server or the parent, the name in lower case: what a
  // kept or pooled connection must match
  std::string key;
  bool through_parent = false;
  bool judged = false;                // the target was looked up and judged
  std::vector<ip_address> addresses;  // the target's, once looked up (direct only)
};

// Picks the way for `request`. Without a parent nothing is looked up yet,
// so a connection kept for the same server is taken without a lookup; with
// one, the target is looked up and judged first, since the bypass may
// depend on its addresses. False, with `refusal`, when the request may not go.
bool plan_route(const upstream_setup& setup, const http_request& request,
                const client_peer& peer, route& way, verdict& refusal);

// A connection made along a route.
struct upstream {
  unique_fd server;
  verdict refusal;    // when `server` is empty: what the client is answered
  std::string early;  // a tunnel through the parent: what it sent after its 2xx head
  connect_report connecting;  // how its connect went, when one was tried
};

// Connects along `way`: to the target (looked up and judged first unless
// plan_route did), or to the parent; a tunnel through the parent is open
// once the parent answered its CONNECT with 2xx. Each write waits at most
// `write_limit` ms (negative: no limit).
upstream open_upstream(const upstream_setup& setup, const http_request& request,
                       const client_peer& peer, route& way, long write_limit);

// Judges, for this client, the address `servfd` is connected to: a pooled
// connection opened for another client is held to this one's DENY_TO.
verdict judge_connected(const upstream_setup& setup, const client_peer& peer, int servfd);

// A kept server connection is clean while nothing waits on it: bytes there
// (a late body, a stray line) or its end would pass as the next answer.
bool still_quiet(int servfd);

// A clean idle connection along `way` from the pool, or an empty owner. A
// request that cannot be sent twice (`retry_allowed` false) takes only one
// that `pool_user`, its own client connection, gave back, so a server's close
// of another's costs it nothing. The policy has judged the target; the
// address the connection goes to is judged for this client too, as another
// may have opened it.
unique_fd take_pooled(const upstream_setup& setup, const client_peer& peer, std::uint64_t pool_user,
                      const route& way, bool retry_allowed);

}  // namespace ferry
