// The relay: one request of a client connection, from the client's head to
// the end of the server's answer, bytes flowing both ways in between.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "cut_point.h"
#include "log.h"
#include "name_cache.h"
#include "net.h"
#include "policy.h"
#include "policy_files.h"
#include "pump.h"
#include "settings.h"
#include "unique_fd.h"
#include "upstream.h"

namespace ferry {

// What every request needs, set up once by the listener before any request
// thread exists; read-only afterwards but for its own locked caches.
struct relay_setup : upstream_setup {
  explicit relay_setup(const settings& given) : upstream_setup(given) {}
  std::shared_ptr<policy_files> files;  // users and host lists, read again on SIGHUP
  // Names client connections to the pool, so that a request that cannot be
  // sent twice takes only what its own connection gave back.
  mutable std::atomic<std::uint64_t> next_pool_user{1};
};

// Looks up the "http" service and notes the port ferry listens on. Without
// `files`, makes its own from `config`.
std::unique_ptr<relay_setup> set_up_relay(const settings& config, std::uint16_t own_port,
                                          std::shared_ptr<policy_files> files = nullptr);

// A client connection's server connection goes to the pool, for any
// client's next request to its target, unless there is no pool or it is
// bound to this client by its authentication.
void give_back_server(client_connection& connection, const relay_setup& setup);

// What a connection does after relay_request.
enum class connection_next {
  close,
  wait_for_request,  // kept for its next request
  wait_as_tunnel,    // a quiet tunnel: both sides watched, the record kept in `tunnel`
};

// How long a tunnel may be quiet before it gives back its thread and slot:
// long enough to pass a burst through in one go, short enough that many
// woken tunnels share few slots.
inline constexpr long tunnel_park_after_ms = 250;

// Serves the next request on `connection`: reads its head, answers an error
// itself or connects to the server the head names (for CONNECT, opens a
// tunnel) and relays both ways until the answer ends; or moves a parked
// tunnel on. Says whether the connection may carry another request (never
// with KEEPALIVE_TIMEOUT=0) or waits as a quiet tunnel (then `record` is not
// finished: the caller keeps it in `connection.tunnel`). The client's
// descriptor is left for the caller to close. `peer` decides whether DENY_TO
// applies; from a balancer, the real client comes first in a PROXY header and
// must pass ALLOW. Fills `record` for the access log. `cut`, when given,
// lets a stop end the request. `scratch` is the calling thread's, lent to
// each request it serves in turn.
connection_next relay_request(client_connection& connection, access_record& record, cut_point* cut,
                              const relay_setup& setup, relay_scratch& scratch);

}  // namespace ferry
