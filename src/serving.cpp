#include "serving.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "answers.h"
#include "io.h"
#include "log.h"
#include "metrics.h"
#include "net.h"

namespace ferry {
namespace {

using clock = std::chrono::steady_clock;
using leaving = waiting_room::leaving;
using kind = waiting_room::kind;

// How long a thread waits for a kept connection's next request before the
// connection goes to wait in the room.
constexpr std::chrono::milliseconds next_request_wait{3};

// A connection turned away before any request was served, on the access
// log, timed from the start of its turn.
void log_turned_away(const client_peer& peer, int status, std::size_t answered,
                     request_ending ending) {
  if (!recording_requests()) return;
  access_record record;
  start_access_record(record);
  auto waited =
      std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - peer.turn_began).count();
  for (timespec* start : {&record.started, &record.started_steady}) {
    long long at = start->tv_sec * 1000000000LL + start->tv_nsec - waited;
    start->tv_sec = at / 1000000000LL;
    start->tv_nsec = at % 1000000000LL;
  }
  record.client_address = peer.address;
  record.client_port = peer.port;
  record.status = status;
  record.to_client = answered;
  record.ending = ending;
  write_access_record(record);
}

void trace_line_full() {
  if (!tracing()) return;
  constexpr char full[] = "thread quee is full";
  write_raw(full, sizeof full - 1);
}

void trace_reserved(std::size_t slot) {
  trace("thread reserved at ", static_cast<int>(slot), "\n\n");
  trace_line("here");
}

// When a quiet tunnel's IDLE_TIMEOUT ends.
clock::time_point tunnel_idle_end(const intake& in, const tunnel_state& tunnel) {
  std::uint16_t idle = in.config.idle_timeout_seconds;
  return idle == 0 ? clock::time_point::max() : tunnel.last_move + std::chrono::seconds(idle);
}

// When the head of a connection's current request must be whole.
clock::time_point head_due(const intake& in, const client_connection& connection) {
  std::uint16_t seconds = in.config.head_timeout_seconds;
  return seconds == 0 ? clock::time_point::max()
                      : connection.peer.turn_began + std::chrono::seconds(seconds);
}

}  // namespace

void pause_a_moment() {
  timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// Answers with one of ferry's own answers (none when `status` is 0),
// closes without waiting on the client, and logs it.
void turn_away(const intake& in, client_connection& connection, int status, std::string_view line,
               request_ending ending, std::string_view fields) {
  std::string answer;
  if (status != 0) answer = error_answer(status, line, std::string(fields) + in.relay->via_line);
  std::size_t sent = answer_and_close_now(std::move(connection.client), answer);
  log_turned_away(connection.peer, status, sent, ending);
}

// A connection that leaves the waiting room without a request: a new one
// that sent nothing within HEAD_TIMEOUT, or for a stop, is logged; a kept
// one between requests just closes; a quiet tunnel ends with its record.
void close_waited(leaving& gone, request_ending ending) {
  if (gone.connection.tunnel) {
    trace_line("tunnel closed");
    access_record& record = gone.connection.tunnel->record;
    record.ending = ending == request_ending::stopped ? ending : request_ending::idle_timeout;
    record.slot = 0;
    write_access_record(record);
    return;
  }
  if (gone.waited == kind::kept) {
    trace_line("kept connection closed");
    return;
  }
  gone.connection.client.reset();
  // A balancer that sent no PROXY header in time.
  if (gone.connection.peer.proxied && ending != request_ending::stopped) {
    ending = request_ending::bad_proxy_header;
  }
  log_turned_away(gone.connection.peer, 0, 0, ending);
}

// A connection whose time passed in the room. One that waited for a slot
// past HEAD_TIMEOUT is told 408 when it sent something, as for any slow
// head.
void close_expired(const intake& in, leaving& gone) {
  if (gone.waited != kind::for_slot || gone.connection.tunnel) {
    close_waited(gone, request_ending::client_timeout);
    return;
  }
  client_connection& waited = gone.connection;
  char peeked;
  bool sent_something =
      !waited.carried.empty() || recv(waited.client.get(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  turn_away(in, waited, sent_something ? 408 : 0,
            "request head not complete within HEAD_TIMEOUT seconds", request_ending::client_timeout);
}

namespace {

// Lets the connection wait without a thread or a slot: a kept one for its
// next request, for KEEPALIVE_TIMEOUT; a quiet tunnel for bytes on either
// side, until IDLE_TIMEOUT after its last move. The oldest kept connection
// makes room when the waiting room (or the client's share) is full. False,
// with `connection` still the caller's, for a tunnel that finds no room: a
// tunnel is never closed for want of room. Otherwise the connection waits or
// is closed.
bool keep_waiting(intake& in, client_connection& connection, kind waits) {
  std::vector<leaving> evicted;
  auto until = clock::now() + std::chrono::seconds(in.config.keepalive_timeout_seconds);
  if (waits == kind::tunnel) until = tunnel_idle_end(in, *connection.tunnel);
  bool admitted = !in.slots.stopping() && in.room.admit(connection, waits, until, evicted);
  for (leaving& gone : evicted) close_waited(gone, request_ending::client_timeout);
  if (admitted) return true;
  // The room refuses everything once a stop has closed it.
  bool stopping = in.slots.stopping();
  if (!stopping && waits == kind::tunnel) return false;
  leaving refused{std::move(connection), waits};
  close_waited(refused, stopping ? request_ending::stopped : request_ending::client_timeout);
  return true;
}

// A quiet tunnel that the waiting room could not take waits for bytes on
// either side in its own thread, as the room would have: true when they
// come, false when IDLE_TIMEOUT or a stop closed it. A stop reaches it as a
// request whose head is not complete, so it closes at once, as waiting
// tunnels do.
bool wait_in_thread(intake& in, client_connection& tunnel) {
  serving_request request(tunnel.client.get());
  request.cut.set_server(tunnel.server.get());
  in.slots.add_serving(request);
  if (in.slots.stopping()) request.cut.cut(true);
  pollfd sides[2] = {{tunnel.client.get(), POLLIN, 0}, {tunnel.server.get(), POLLIN, 0}};
  io_result waited = wait_ready(sides, 2, deadline::at(tunnel_idle_end(in, *tunnel.tunnel)));
  in.slots.remove_serving(request);
  request.cut.clear_server();
  if (waited == io_result::done && !request.cut.was_cut()) return true;
  leaving gone{std::move(tunnel), kind::tunnel};
  close_waited(gone, request.cut.was_cut() ? request_ending::stopped : request_ending::idle_timeout);
  return false;
}

// Serves the connection's next request in `slot` and writes its access line,
// unless it waits on as a quiet tunnel, whose record waits with it.
connection_next serve_one(intake& in, client_connection& connection, std::size_t slot,
                          relay_scratch& scratch) {
  access_record record;
  if (connection.tunnel) {
    record = std::move(connection.tunnel->record);
  } else {
    start_access_record(record);
    record.client_address = connection.peer.address;
    record.client_port = connection.peer.port;
  }
  record.slot = slot;
  serving_request request(connection.client.get());
  in.slots.add_serving(request);
  // A stop that came before this request was listed did not see it.
  if (in.slots.stopping()) request.cut.cut(true);
  process_metrics().add(gauge::requests_in_flight, 1);
  connection_next next = relay_request(connection, record, &request.cut, *in.relay, scratch);
  process_metrics().add(gauge::requests_in_flight, -1);
  in.slots.remove_serving(request);
  if (request.cut.was_cut()) {
    record.ending = request_ending::stopped;
    next = connection_next::close;
  }
  if (next == connection_next::wait_as_tunnel) {
    connection.tunnel->record = std::move(record);
  } else {
    write_access_record(record);
  }
  trace("thread ", static_cast<ssize_t>(slot), " freed\n");
  return next;
}

// Serves the connection's requests in its slot while each next one is
// already here (pipelined); then lets it wait in the room for its next
// request (or, a quiet tunnel, for bytes on either side), or closes it.
void serve_connection(intake& in, client_connection& connection, std::size_t slot,
                      relay_scratch& scratch) {
  for (;;) {
    connection_next next = serve_one(in, connection, slot, scratch);
    if (next == connection_next::close) break;
    if (next == connection_next::wait_as_tunnel) {
      // A tunnel the room cannot take keeps its thread and slot.
      if (keep_waiting(in, connection, kind::tunnel) || !wait_in_thread(in, connection)) break;
      trace_reserved(slot);
      continue;
    }
    // A kept connection's answers go out in more than one write (the head,
    // then the body as it comes): without this, each later write would wait
    // for the client's delayed acknowledgement of the one before, 40 ms.
    if (connection.requests == 1) set_no_delay(connection.client.get());
    if (connection.carried.empty()) {
      trace_line("connection kept");
      // A client that asks again at once is served on in this thread and
      // slot: the room's round trip costs more than this short wait.
      if (wait_ready(connection.client.get(), POLLIN, deadline::in(next_request_wait)) !=
          io_result::done) {
        give_back_server(connection, *in.relay);
        keep_waiting(in, connection, kind::kept);
        break;
      }
      trace_line("kept connection taken up again");
    }
    // HEAD_TIMEOUT for the next request counts from its turn, the end of
    // this answer, even when its start came pipelined long before.
    connection.peer.turn_began = clock::now();
    trace_reserved(slot);
  }
  give_back_server(connection, *in.relay);
  connection = client_connection{};
}

}  // namespace

// Serves `connection`, whose bytes are here, in a free slot, then every
// connection of the line that takes the slot over. With every slot taken it
// waits in the line; with the line full too, it is told to come back.
void serve_arrived(intake& in, leaving arrived, relay_scratch& scratch) {
  client_connection& connection = arrived.connection;
  if (arrived.waited == kind::kept) trace_line("kept connection taken up again");
  // HEAD_TIMEOUT counts from a kept connection's first byte; a tunnel waits
  // for a slot as long as it takes.
  if (arrived.waited != kind::fresh) connection.peer.turn_began = clock::now();
  auto line_until = connection.tunnel ? clock::time_point::max() : head_due(in, connection);
  std::size_t slot = 0;
  switch (in.slots.take(connection, line_until, slot)) {
    case slot_table::outcome::taken:
      break;
    case slot_table::outcome::stopping:
      close_waited(arrived, request_ending::stopped);
      return;
    case slot_table::outcome::lined_up:
      trace_line_full();
      return;
    case slot_table::outcome::line_full:
      trace_line_full();
      turn_away(in, connection, 503, "every request slot is taken; try again", request_ending::no_slot,
                "Retry-After: 1\r\n");
      return;
  }
  trace_reserved(slot);
  if (!keep_a_thread_waiting(in)) {
    in.slots.give_back(slot);
    turn_away(in, connection, 0, {}, request_ending::no_thread);
    // Threads may be possible again once some have ended.
    pause_a_moment();
    return;
  }
  do {
    serve_connection(in, connection, slot, scratch);
  } while (in.slots.pass_on(slot, connection) && (trace_reserved(slot), true));
}

// A new connection waits for its first bytes, for HEAD_TIMEOUT from its
// accept. With the room full of new connections it is told to come back.
void wait_for_first_bytes(intake& in, client_connection connection) {
  std::vector<leaving> evicted;
  bool admitted = in.room.admit(connection, kind::fresh, head_due(in, connection), evicted);
  for (leaving& gone : evicted) close_waited(gone, request_ending::client_timeout);
  if (admitted) return;
  if (in.slots.stopping()) {
    leaving refused{std::move(connection), kind::fresh};
    close_waited(refused, request_ending::stopped);
    return;
  }
  turn_away(in, connection, 503, "too many connections wait; try again", request_ending::no_slot,
            "Retry-After: 1\r\n");
}

}  // namespace ferry
