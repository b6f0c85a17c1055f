// Connection intake: the listening socket, the slot table, the request
// threads, and the stop that lets requests in flight finish.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "relay.h"
#include "unique_fd.h"

namespace ferry {

// Listener results, also the process exit status.
inline constexpr int E_SOCKET = 128;
inline constexpr int E_BIND = 129;
inline constexpr int E_LISTEN = 130;

// The listening socket, the slot table, the waiting room and the request
// threads, for one set of settings.
struct intake;

// Hand-off from the listener to one request thread: the connection, whose
// next request has begun to arrive, and its slot.
struct request_work {
  client_connection connection;
  std::size_t slot = 0;
  intake* owner = nullptr;
};

// Makes the intake with its slot table; null, with one line on standard
// error, when the table cannot be allocated. It lives as long as the process.
intake* create_intake(const settings& config);

// The users and host lists that SIGHUP reads again.
policy_files& files_of(intake& in);

// The listener thread's body, given the intake. Returns only when it has
// stopped after stop_intake(); a set-up failure ends the process with its
// result code.
void* listen_incoming(void* intake);

// Closes the listening socket, so new connections are refused, and makes the
// listener thread return. Requests in flight go on.
void stop_intake(intake& in);

// Requests being served now, their slots taken.
long requests_in_flight(const intake& in);

// For a stop, after stop_intake: closes the connections waiting for bytes or
// for a slot and ends the requests whose head is not complete yet.
void close_unstarted_requests(intake& in);

// Ends every request still served: each writes its access line, ending
// "stopped", and frees its slot.
void cut_requests(intake& in);

}  // namespace ferry
