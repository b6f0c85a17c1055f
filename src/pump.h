// The two flows between a client and a server, both ways at once: for a
// request's body and answer, and for a tunnel's bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "answer_head.h"
#include "framing.h"
#include "log.h"
#include "flow.h"
#include "relay_scratch.h"

namespace ferry {

// Where a request's body and its answer end, so that a connection can carry
// the next request. Without it each flow runs to its end of stream.
struct message_bounds {
  body_tracker upload{body_framing{}};  // the request's body, as the client sends it
  std::string carried;  // client bytes read past that body: the next request's start
  body_tracker answer{body_framing{}};  // the answer's body, once its head has framed it
  bool answer_framed = false;  // `answer` has been set from the answer's head
  bool answer_done = false;    // the answer's last byte has been read
  bool server_extra = false;   // the server sent bytes past its answer, or broke its chunks
  bool switching = false;      // a 101 answer: a tunnel from its head on
};

// How a pump ended.
enum class pump_end {
  answer_complete,  // the answer's last byte is delivered; both connections may go on
  server_closed,
  server_failed,
  client_failed,
  client_write_failed,
  client_timed_out,  // the client took no answer byte for IDLE_TIMEOUT
  idle,              // nothing moved for IDLE_TIMEOUT
  parked,            // a tunnel in which nothing moved for park_after_ms: it waits without a thread
};

struct pump {
  flow answer;  // server to client
  flow upload;  // client to server
  // Edits the answer's head as it passes; null in a tunnel, whose bytes pass
  // untouched until both sides have ended.
  answer_editor* editor = nullptr;
  message_bounds* bounds = nullptr;  // null: the connections end with this request
  bool tunnel = false;
  bool upload_failed = false;  // the server stopped taking the upload
  bool client_shut = false;    // the server's end was passed on to the client
  // How long nothing may move, and how long one write may wait: -1 for no limit.
  long idle_limit_ms = -1;
  // A tunnel with nothing pending that moved nothing for this long ends the
  // pump as parked, to wait for bytes without its thread; -1: never.
  long park_after_ms = -1;
  std::chrono::steady_clock::time_point last_move;
  // Where bodies past the answer's head, and tunnels, may splice; null: reads
  // and writes only, as in trace mode. Both sockets are non-blocking while
  // the pump runs once a splice has been tried.
  splice_pipe* pipe = nullptr;
};

// Moves bytes both ways until the server has closed and its answer is
// delivered (a tunnel: until both sides have ended; with bounds, until the
// answer's last byte is delivered), a read fails, a write fails or waits
// longer than idle_limit_ms, or nothing moves that long. The client's end of
// stream becomes a half-close towards the server. With bounds, no client
// byte past the request's body is sent on: it is kept in `carried`. A pipe
// left holding bytes when the pump ends is closed, to be made anew.
pump_end pump_both_ways(pump& p);

// The access log's ending for a pump's end.
request_ending ending_of(pump_end end);

}  // namespace ferry
