// Serving a connection whose bytes are here: its slot, its requests, and
// where it goes after them; and the state the request threads share.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "connection.h"
#include "metrics_server.h"
#include "policy_files.h"
#include "relay.h"
#include "settings.h"
#include "slots.h"
#include "unique_fd.h"
#include "waiting_room.h"

namespace ferry {

// At least this many connections may wait for a slot; BACKLOG more if it is
// larger. Also the listen backlog: the kernel holds as many as ferry would.
inline constexpr std::int64_t least_waiting = 1024;

inline std::size_t waiting_limit(const settings& config) {
  return static_cast<std::size_t>(std::max(config.request_slots, least_waiting));
}

// Everything the request threads share. Made once by main, it lives as long
// as the process.
struct intake {
  explicit intake(const settings& given)
      : config(given),
        room(static_cast<std::size_t>(given.max_waiting),
             static_cast<std::size_t>(given.max_waiting_per_client), waiting_limit(given)),
        slots(static_cast<std::size_t>(given.request_slots), room),
        files(std::make_shared<policy_files>(given)) {}
  intake(const intake&) = delete;
  intake& operator=(const intake&) = delete;
  const settings& config;
  waiting_room room;  // connections waiting for bytes or for a slot, and the listener
  slot_table slots;
  // Made with the intake, so a SIGHUP before the listener is set up finds it.
  std::shared_ptr<policy_files> files;
  std::unique_ptr<relay_setup> relay;  // made before the first thread starts
  std::atomic<int> listenfd{-1};  // set before the listener is watched
  metrics_server* metrics = nullptr;   // with METRICS_ADDR; main's own, as are the two below
  pthread_attr_t thread_attributes{};
  // Threads waiting on the room now. While a slot is free, at least one is:
  // the thread that takes the last one out starts another.
  std::atomic<int> threads_waiting{0};
  // /dev/null, held so that with every other descriptor taken one can still
  // be freed to accept a client and tell it 503.
  std::mutex spare_mutex;
  unique_fd spare;
};

// Serves `arrived`, whose bytes are here, in a free slot, then every
// connection of the line that takes the slot over. With every slot taken it
// waits in the line; with the line full too, it is told to come back.
// `scratch` is the calling thread's own.
void serve_arrived(intake& in, waiting_room::leaving arrived, relay_scratch& scratch);

// A new connection waits for its first bytes, for HEAD_TIMEOUT from its
// accept. With the room full of new connections it is told to come back.
void wait_for_first_bytes(intake& in, client_connection connection);

// A connection that leaves the waiting room without a request: a new one
// that sent nothing within HEAD_TIMEOUT, or for a stop, is logged; a kept
// one between requests just closes; a quiet tunnel ends with its record.
void close_waited(waiting_room::leaving& gone, request_ending ending);

// A connection whose time passed in the room.
void close_expired(const intake& in, waiting_room::leaving& gone);

// Answers with one of ferry's own answers (none when `status` is 0),
// closes without waiting on the client, and logs it.
void turn_away(const intake& in, client_connection& connection, int status, std::string_view line,
               request_ending ending, std::string_view fields = {});

// Before a thread serves in a slot, which may take long: when no other
// thread waits on the room, one is started to take its place. False when
// none could be. (Kept by the intake's threads.)
bool keep_a_thread_waiting(intake& in);

void pause_a_moment();

}  // namespace ferry
