// The listening socket: binding it, listening, and accepting one client at
// a time; and the start-up line that says where ferry listens.
#pragma once

#include <cstdint>

#include "connection.h"
#include "ip_address.h"
#include "settings.h"
#include "unique_fd.h"

namespace ferry {

// Set-up failures, also the process exit status.
inline constexpr int E_SOCKET = 128;
inline constexpr int E_BIND = 129;
inline constexpr int E_LISTEN = 130;

// Which step of setting up a listening socket failed.
enum class bind_step { none, socket, bind };

// A TCP socket bound to address:port (port 0: the system picks), with
// SO_REUSEADDR, not yet listening; an IPv6 one takes IPv4 clients too. An
// empty owner when a step fails, with `failed` naming it and errno saying why.
unique_fd bind_listener(const ip_address& address, std::uint16_t port, bind_step& failed);

// Binds LISTEN_ADDR and LISTEN_PORT (`::` falls back to IPv4's every
// address on a machine without IPv6). Returns 0, with `bound` and the
// `address` bound; on failure, one line with advice on standard error and
// the exit status.
int bind_listening_socket(const settings& config, unique_fd& bound, ip_address& address);

// Listens on `bound`, non-blocking, holding `backlog` connections. Returns
// 0, or the exit status after one line on standard error.
int start_listening(int bound, int backlog);

// Where ferry listens and the settings in force, on standard error, unless
// the log is off.
void announce_listening(const settings& config, const ip_address& address, std::uint16_t port);

enum class accept_outcome {
  accepted,
  none_waiting,        // or interrupted: wait for the next event
  out_of_descriptors,  // EMFILE or ENFILE, said on standard error
  out_of_memory,       // the next accept would fail at once too, said on standard error
};

// Accepts one client into `accepted`, its peer filled in; its socket blocks.
accept_outcome accept_client(int listenfd, client_connection& accepted);

}  // namespace ferry
