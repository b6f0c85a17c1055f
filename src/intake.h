// Connection intake: the listening socket, the slot table, the request
// threads, and the stop that lets requests in flight finish.
#pragma once

#include <pthread.h>

#include "relay.h"

#include <atomic>
#include <cstddef>

// Listener results, also the process exit status.
inline constexpr int E_SOCKET = 128;
inline constexpr int E_BIND = 129;
inline constexpr int E_LISTEN = 130;

// Hand-off from the listener to one request thread, which owns and frees it.
struct req_thread {
  int confd;
  std::size_t thread_id;
  client_peer peer;
};

// BACKLOG + 2 entries: 1 is the listener, 2 to BACKLOG + 1 the request slots,
// 0 marks a free slot.
extern std::atomic<pthread_t>* threads;

// The listener thread's body. Returns only when it has stopped after
// stop_intake(); a set-up failure ends the process with its result code.
void* listen_incoming(void*);
void* new_incoming(void* req);

// Closes the listening socket, so new connections are refused, and makes the
// listener thread return. Requests in flight go on.
void stop_intake();

// Requests being served now, their slots taken.
long requests_in_flight();

// For a stop, after stop_intake: closes the connections waiting for a slot
// and ends the requests whose head is not complete yet.
void close_unstarted_requests();

// Ends every request still served: each writes its access line, ending
// "stopped", and frees its slot.
void cut_requests();
