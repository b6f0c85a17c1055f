#include "pump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "log.h"
#include "transfer.h"

namespace ferry {
namespace {

using steady_clock = std::chrono::steady_clock;

// The sockets' own modes, given back when the pump ends: a splice takes no
// per-call flag for its socket side, so they are non-blocking from the
// first splice on.
struct socket_modes {
  std::optional<nonblocking_scope> client;
  std::optional<nonblocking_scope> server;
};

void make_nonblocking(const pump& p, socket_modes& modes) {
  if (!modes.client) modes.client.emplace(p.upload.from);
  if (!modes.server) modes.server.emplace(p.answer.from);
}

// Moves in a row before the readiness of both sides is checked again, so a
// server that streams without pause cannot starve the upload.
constexpr int moves_before_fairness_check = 256;

bool upload_done(const pump& p) { return !p.upload.source_open && !has_pending(p.upload); }

// The request's body has all been read: later client bytes are the next request's.
bool upload_complete(const pump& p) { return p.bounds != nullptr && p.bounds->upload.done(); }

// A read from the flow's source; one that fails ends the relay as `failure`.
move_result read_or_end(flow& direction, std::string_view& got, pump_end& end, pump_end failure) {
  move_result result = read_source(direction, got);
  if (result == move_result::failed) end = failure;
  return result;
}

// From a 101 answer's head on, bytes pass untouched both ways; client bytes
// read past the request go first.
void become_tunnel(pump& p) {
  p.tunnel = true;
  p.editor = nullptr;
  if (!has_pending(p.upload) && !p.bounds->carried.empty()) p.upload.pending = p.bounds->carried;
  p.bounds = nullptr;
}

// Once the final head has passed, what it said bounds the answer.
void frame_answer(const answer_found& found, message_bounds& bounds) {
  if (!found.final_head) return;
  bounds.switching = found.switching;
  if (found.switching) return;
  bounds.answer = body_tracker(found.body);
  bounds.answer_framed = found.framed;
}

// Counts the answer's body bytes in `body`, the end of what is pending; bytes
// past the answer's end are dropped. False when the answer's framing broke.
bool track_answer(pump& p, std::string_view body) {
  message_bounds& bounds = *p.bounds;
  if (!bounds.answer_framed) return true;
  std::size_t taken = bounds.answer.feed(body);
  if (taken < body.size()) {
    bounds.server_extra = true;
    p.answer.pending.remove_suffix(body.size() - taken);
  }
  bounds.answer_done = bounds.answer.done();
  return !bounds.answer.failed();
}

// The server has ended and everything it sent is delivered. A relay is then
// over; a tunnel passes the end on and goes on until the client ends too.
move_result answer_ended(pump& p, pump_end& end) {
  end = pump_end::server_closed;
  if (!p.tunnel) return move_result::failed;
  if (!p.client_shut) {
    shutdown(p.answer.to, SHUT_WR);
    p.client_shut = true;
  }
  return upload_done(p) ? move_result::failed : move_result::idle;
}

// How many bytes a flow may splice now: none without a pipe, while the
// other flow's bytes are in it, or while its bytes must be read to be
// framed or edited.
std::uint64_t splice_allowance(const pump& p, const flow& direction, const flow& other,
                               const body_tracker* tracker) {
  if (p.pipe == nullptr || direction.splice_refused || other.in_pipe > 0) return 0;
  return tracker != nullptr ? tracker->unread_allowance() : UINT64_MAX;
}

// A spliced answer body counted to its end; bytes the server sent past it
// stay in its socket, which must then not be kept.
void count_spliced_answer(pump& p) {
  message_bounds& bounds = *p.bounds;
  bounds.answer.take_unread(p.answer.in_pipe);
  bounds.answer_done = bounds.answer.done();
  char next;
  if (bounds.answer_done && recv(p.answer.from, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
    bounds.server_extra = true;
  }
}

// The answer's body past its head, or a tunnel's bytes, spliced; refused
// when they must be read.
move_result splice_answer(pump& p, pump_end& end, socket_modes& modes) {
  if (p.editor != nullptr && !p.editor->passing()) return move_result::refused;
  const body_tracker* tracker =
      p.bounds != nullptr && p.bounds->answer_framed ? &p.bounds->answer : nullptr;
  std::uint64_t allowance = splice_allowance(p, p.answer, p.upload, tracker);
  if (allowance == 0) return move_result::refused;
  make_nonblocking(p, modes);
  move_result result = splice_source(p.pipe, p.answer, allowance);
  if (result == move_result::failed) end = pump_end::server_failed;
  if (result == move_result::moved && tracker != nullptr) count_spliced_answer(p);
  return result;
}

// Moves the answer one step: a pending write, a splice, or a read through
// the editor. Returns failed with `end` set when the relay is over.
move_result step_answer(pump& p, pump_end& end, socket_modes& modes) {
  flow& answer = p.answer;
  if (has_pending(answer)) {
    move_result result = answer.writable ? write_out(p.pipe, answer) : move_result::idle;
    if (result == move_result::failed) end = pump_end::client_write_failed;
    return result;
  }
  if (p.bounds != nullptr && p.bounds->answer_done) {
    end = pump_end::answer_complete;
    return move_result::failed;
  }
  if (!answer.source_open) return answer_ended(p, end);
  if (!answer.readable) return move_result::idle;
  move_result spliced = splice_answer(p, end, modes);
  if (spliced != move_result::refused) return spliced;
  std::string_view got;
  move_result result = read_or_end(answer, got, end, pump_end::server_failed);
  if (result != move_result::moved) return result;
  std::string_view body;
  if (p.editor == nullptr || p.editor->passing()) {
    answer.pending = body = got;
  } else {
    // An end before the final head, or bytes that cannot be HTTP: nothing of
    // them goes on, so the relay can still answer 502.
    if (answer.source_open) answer.pending = p.editor->feed(got);
    if (!answer.source_open || p.editor->broken()) {
      answer.pending = {};
      end = answer.source_open ? pump_end::server_failed : pump_end::server_closed;
      return move_result::failed;
    }
    std::size_t start = p.editor->body_start();
    if (start != std::string_view::npos) body = answer.pending.substr(start);
    if (p.bounds != nullptr) frame_answer(p.editor->found(), *p.bounds);
  }
  if (p.bounds != nullptr && p.bounds->switching) {
    become_tunnel(p);
  } else if (p.bounds != nullptr && !track_answer(p, body)) {
    end = pump_end::server_failed;
    return move_result::failed;
  }
  return result;
}

void end_upload(pump& p) {
  drop_pipe(p.pipe, p.upload);
  p.upload_failed = true;
  p.upload.source_open = false;
  p.upload.pending = {};
  p.upload.blocked = false;
}

// The request's body, or a tunnel's bytes, spliced; refused when they must
// be read.
move_result splice_upload(pump& p, pump_end& end, socket_modes& modes) {
  const body_tracker* tracker = p.bounds != nullptr ? &p.bounds->upload : nullptr;
  std::uint64_t allowance = splice_allowance(p, p.upload, p.answer, tracker);
  if (allowance == 0) return move_result::refused;
  make_nonblocking(p, modes);
  move_result result = splice_source(p.pipe, p.upload, allowance);
  if (result == move_result::failed) end = pump_end::client_failed;
  if (result != move_result::moved) return result;
  if (p.bounds != nullptr) p.bounds->upload.take_unread(p.upload.in_pipe);
  if (!p.upload.source_open) shutdown(p.upload.to, SHUT_WR);
  return result;
}

// Moves the upload one step. The client's end of stream becomes a half-close
// towards the server, so the server still answers; a server that stops
// taking the upload ends only the upload.
move_result step_upload(pump& p, pump_end& end, socket_modes& modes) {
  flow& upload = p.upload;
  if (has_pending(upload)) {
    move_result result = upload.writable ? write_out(p.pipe, upload) : move_result::idle;
    // A server that stops taking the upload ends only the upload.
    if (result == move_result::failed) end_upload(p);
    return result == move_result::failed ? move_result::moved : result;
  }
  if (!upload.source_open || !upload.readable || upload_complete(p)) return move_result::idle;
  move_result spliced = splice_upload(p, end, modes);
  if (spliced != move_result::refused) return spliced;
  std::string_view got;
  move_result result = read_or_end(upload, got, end, pump_end::client_failed);
  if (result != move_result::moved) return result;
  if (p.bounds != nullptr) {
    std::size_t taken = p.bounds->upload.feed(got);
    p.bounds->carried.append(got.substr(taken));
    got = got.substr(0, taken);
    if (p.bounds->upload.failed()) {
      end = pump_end::client_failed;
      return move_result::failed;
    }
  }
  if (!upload.source_open) {
    shutdown(upload.to, SHUT_WR);
  } else {
    upload.pending = got;
  }
  return result;
}

long since_ms(steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start).count();
}

// Milliseconds until the first write timeout or the idle limit runs out, -1
// when there is neither.
int wait_limit(const pump& p) {
  long shortest = -1;
  auto consider = [&shortest](long left) {
    if (left < 0) left = 0;
    if (shortest < 0 || left < shortest) shortest = left;
  };
  for (const flow* direction : {&p.answer, &p.upload}) {
    if (direction->blocked && p.idle_limit_ms >= 0) {
      consider(p.idle_limit_ms - since_ms(direction->blocked_since));
    }
  }
  if (p.idle_limit_ms >= 0) consider(p.idle_limit_ms - since_ms(p.last_move));
  if (p.tunnel && p.park_after_ms >= 0) consider(p.park_after_ms - since_ms(p.last_move));
  return static_cast<int>(shortest);
}

// A quiet tunnel: both sides open (an ended side would wake it at once),
// nothing waits to be written, and nothing moved for a while.
bool may_park(const pump& p) {
  return p.tunnel && p.park_after_ms >= 0 && p.answer.source_open && p.upload.source_open &&
         !has_pending(p.answer) && !has_pending(p.upload) && !p.answer.readable &&
         !p.upload.readable && since_ms(p.last_move) >= p.park_after_ms;
}

// Applies the write timeout: an answer the client does not take for
// idle_limit_ms ends the pump (true); an upload the server does not take ends
// only the upload.
bool answer_timed_out(pump& p) {
  if (p.idle_limit_ms < 0) return false;
  if (p.upload.blocked && since_ms(p.upload.blocked_since) >= p.idle_limit_ms) end_upload(p);
  return p.answer.blocked && since_ms(p.answer.blocked_since) >= p.idle_limit_ms;
}

bool idle_too_long(const pump& p) {
  return p.idle_limit_ms >= 0 && since_ms(p.last_move) >= p.idle_limit_ms;
}

// One wait on both sides, for what each flow waits for; a side with nothing
// to wait for is left out, so its hang-up cannot wake the wait again and
// again. `limit_ms` 0 only checks. Returns false when the wait failed.
bool wait_for_either(pump& p, int limit_ms) {
  flow& answer = p.answer;
  flow& upload = p.upload;
  short client_events = 0;
  short server_events = 0;
  if (upload.source_open && !has_pending(upload) && !upload.readable && !upload_complete(p)) {
    client_events |= POLLIN;
  }
  if (has_pending(answer) && !answer.writable) client_events |= POLLOUT;
  if (answer.source_open && !has_pending(answer) && !answer.readable) server_events |= POLLIN;
  if (has_pending(upload) && !upload.writable) server_events |= POLLOUT;
  pollfd sides[2] = {{client_events != 0 ? upload.from : -1, client_events, 0},
                     {server_events != 0 ? answer.from : -1, server_events, 0}};
  // With nothing to wait for, the next step sees how the flows ended.
  if (client_events == 0 && server_events == 0) return true;
  if (wait_ready(sides, 2, deadline::in_ms(limit_ms)) == io_result::failed) return false;
  if (sides[0].revents & (POLLIN | ready_events)) upload.readable = true;
  if (sides[0].revents & (POLLOUT | ready_events)) answer.writable = true;
  if (sides[1].revents & (POLLIN | ready_events)) answer.readable = true;
  if (sides[1].revents & (POLLOUT | ready_events)) upload.writable = true;
  return true;
}

pump_end run_flows(pump& p, socket_modes& modes) {
  pump_end end = pump_end::server_closed;
  int moves_in_a_row = 0;
  p.last_move = steady_clock::now();
  for (;;) {
    move_result answer_moved = step_answer(p, end, modes);
    if (answer_moved == move_result::failed) return end;
    move_result upload_moved = step_upload(p, end, modes);
    if (upload_moved == move_result::failed) return end;
    bool moved = answer_moved == move_result::moved || upload_moved == move_result::moved;
    if (moved) {
      // A side that keeps finding data is served again at once; now and then
      // the other side is checked, so neither stalls the other.
      if (++moves_in_a_row < moves_before_fairness_check) continue;
    }
    // The clock is read once per wait, not once per move.
    if (moved || moves_in_a_row > 0) p.last_move = steady_clock::now();
    int limit_ms = moved ? 0 : wait_limit(p);
    moves_in_a_row = 0;
    if (!wait_for_either(p, limit_ms)) return pump_end::server_failed;
    if (answer_timed_out(p)) return pump_end::client_timed_out;
    if (idle_too_long(p)) return pump_end::idle;
    if (may_park(p)) return pump_end::parked;
  }
}
}  // namespace

pump_end pump_both_ways(pump& p) {
  socket_modes modes;
  pump_end end = run_flows(p, modes);
  if (p.pipe != nullptr) {
    // Still counted as not delivered; the bytes themselves go with the pipe.
    std::size_t answer_left = p.answer.in_pipe;
    std::size_t upload_left = p.upload.in_pipe;
    drop_pipe(p.pipe, p.answer);
    drop_pipe(p.pipe, p.upload);
    p.answer.in_pipe = answer_left;
    p.upload.in_pipe = upload_left;
  }
  return end;
}

request_ending ending_of(pump_end end) {
  switch (end) {
    case pump_end::answer_complete:
    case pump_end::server_closed:
      return request_ending::done;
    case pump_end::server_failed:
      return request_ending::server_failed;
    case pump_end::client_failed:
    case pump_end::client_write_failed:
      return request_ending::client_closed;
    case pump_end::client_timed_out:
      return request_ending::client_timeout;
    case pump_end::idle:
      return request_ending::idle_timeout;
    case pump_end::parked:
      return request_ending::done;
  }
  return request_ending::done;
}

}  // namespace ferry
