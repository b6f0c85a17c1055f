// The settings: read once from the environment, before any thread exists,
// then handed by const reference to whatever needs them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "address_list.h"
#include "host_list.h"
#include "log.h"
#include "parent.h"
#include "users.h"

namespace ferry {

// Request slots are indices of a table whose size must fit an int.
inline constexpr std::int64_t max_request_slots = 2147483645;
inline constexpr std::int64_t most_waiting = 1000000;
inline constexpr std::int64_t most_pooled = 100000;

struct settings {
  ip_address listen_address;                   // LISTEN_ADDR; :: serves both families
  std::uint16_t listen_port = 8080;            // LISTEN_PORT; 0: the system picks
  std::int64_t request_slots = 256;            // BACKLOG: requests served at once
  address_list allowed_clients;                // ALLOW
  address_list denied_destinations;            // DENY_TO, for clients off this machine
  port_list tunnel_ports = {{443, 443}};       // CONNECT_PORTS
  address_list balancers;                      // PROXY_FROM: a PROXY header comes first
  std::uint16_t head_timeout_seconds = 30;     // HEAD_TIMEOUT; 0: no limit
  std::uint16_t idle_timeout_seconds = 300;    // IDLE_TIMEOUT; also bounds each write wait
  std::uint16_t connect_timeout_seconds = 10;  // CON_TIMEOUT; 0: the kernel's own limit
  std::uint16_t name_cache_seconds = 5;        // NAME_CACHE; 0: every request looks up
  // KEEPALIVE_TIMEOUT: how long a client connection may wait for its next
  // request; 0: one request per connection, as HTTP/1.0 proxies did.
  std::uint16_t keepalive_timeout_seconds = 60;
  // SERVER_POOL: idle server connections kept for any client's next request
  // to the same server; 0: a server connection stays with its client's.
  std::int64_t server_pool = 1000;
  std::int64_t max_waiting = 10000;            // MAX_WAITING: connections waiting without a slot
  // MAX_WAITING_PER_CLIENT: of those, from one address, so that one client
  // cannot fill the waiting room.
  std::int64_t max_waiting_per_client = 1000;
  std::uint16_t stop_timeout_seconds = 30;     // STOP_TIMEOUT: a stop's grace for requests in flight
  log_mode log = log_mode::trace;              // LOG
  // AUTH_FILE: when set, every request names a user of it. The file as read
  // at start-up is kept here; SIGHUP reads it again into the relay's holder.
  std::string auth_file;
  user_file users;
  std::string auth_realm = "ferry";            // AUTH_REALM, in Proxy-Authenticate
  std::uint16_t auth_cache_seconds = 300;      // AUTH_CACHE: how long a verified pair is taken
  // ALLOW_HOSTS and DENY_HOSTS as written ("@/path" is read again on SIGHUP),
  // and the lists they gave at start-up.
  std::string allowed_hosts_value;
  std::string denied_hosts_value;
  host_lists hosts;
  bool tunnel_check_sni = false;               // TUNNEL_CHECK=sni
  // VIA_NAME: ferry's name in the Via fields it adds, by default the host
  // name; empty (off): no Via is added and none is looked at for loops.
  std::string via_name;
  parent_proxy parent;             // PARENT; an empty host: none, servers are reached directly
  parent_bypass direct_targets;    // PARENT_BYPASS: targets reached directly all the same
  // METRICS_ADDR: where the metrics page is served; off unless set.
  bool metrics_on = false;
  ip_address metrics_address;
  std::uint16_t metrics_port = 0;
  // MAX_RAM_CACHE and MAX_HDD_CACHE are checked and otherwise unused: ferry
  // does not cache, so nothing keeps them.

  settings();
};

struct settings_reading {
  settings values;
  // Empty when every setting parsed; otherwise the one line (no newline)
  // that names the first bad one and its value, and `values` must not be used.
  std::string problem;
};

// Reads every recognised "NAME=value" entry of the null-terminated `env`: the
// last entry for a name wins, an empty value counts as none, names are
// case-sensitive.
settings_reading read_settings(const char* const* env);

// The value of `entry` when it is `name` followed by '=', otherwise an empty
// string; never null.
const char* value_for(const char* name, const char* entry);

// One line (no newline) for each name in `env` that is not a setting but
// looks meant as one: a setting's name in another case, or a slip of one or
// two edits from it ("ferry: LISTEN_PROT is not a setting; did you mean
// LISTEN_PORT?"). Other names draw nothing.
// VIA_NAME and PARENT for the start-up line: "VIA_NAME=gw PARENT=proxy:3128"
// ("off", "none"); the parent's credentials are never shown.
std::string chain_summary(const settings& config);

std::vector<std::string> near_miss_warnings(const char* const* env);

}  // namespace ferry
