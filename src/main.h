// Start-up and connection intake.
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

void* listen_incoming(void*);
void* new_incoming(void* req);
