#include "intake.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "answers.h"
#include "io.h"
#include "listener.h"
#include "metrics.h"
#include "metrics_server.h"
#include "net.h"
#include "relay.h"
#include "slots.h"
#include "unique_fd.h"
#include "waiting_room.h"

namespace ferry {
namespace {

using clock = std::chrono::steady_clock;
using leaving = waiting_room::leaving;
using kind = waiting_room::kind;

// The relay's buffers are about 9 KB and heads up to 64 KiB live on the heap;
// the resolver needs the rest, with margin.
constexpr std::size_t request_stack_size = 256 * 1024;

// A thread with nothing to do for this long ends, unless it is the last one
// waiting: an idle ferry holds no more threads than it needs.
constexpr int idle_wait_ms = 1000;

// At least this many connections may wait for a slot; BACKLOG more if it is
// larger. Also the listen backlog: the kernel holds as many as ferry would.
constexpr std::int64_t least_waiting = 1024;

std::size_t waiting_limit(const settings& config) {
  return static_cast<std::size_t>(std::max(config.request_slots, least_waiting));
}

}  // namespace

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

namespace {

void pause_a_moment() {
  timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// A connection turned away before any request was served, on the access
// log, timed from the start of its turn.
void log_turned_away(const client_peer& peer, int status, std::size_t answered,
                     const char* ending) {
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

// Answers with one of ferry's own answers (none when `status` is 0),
// closes without waiting on the client, and logs it.
void turn_away(const intake& in, client_connection& connection, int status, std::string_view line,
               const char* ending, std::string_view fields = {}) {
  std::string answer;
  if (status != 0) answer = error_answer(status, line, std::string(fields) + in.relay->via_line);
  std::size_t sent = answer_and_close_now(std::move(connection.client), answer);
  log_turned_away(connection.peer, status, sent, ending);
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

// A connection that leaves the waiting room without a request: a new one
// that sent nothing within HEAD_TIMEOUT, or for a stop, is logged; a kept
// one between requests just closes; a quiet tunnel ends with its record.
void close_waited(leaving& gone, const char* ending) {
  if (gone.connection.tunnel) {
    trace_line("tunnel closed");
    access_record& record = gone.connection.tunnel->record;
    record.ending = ending == std::string_view("stopped") ? ending : "idle-timeout";
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
  if (gone.connection.peer.proxied && ending != std::string_view("stopped")) {
    ending = "bad-proxy-header";
  }
  log_turned_away(gone.connection.peer, 0, 0, ending);
}

// A connection whose time passed in the room. One that waited for a slot
// past HEAD_TIMEOUT is told 408 when it sent something, as for any slow
// head.
void close_expired(const intake& in, leaving& gone) {
  if (gone.waited != kind::for_slot || gone.connection.tunnel) {
    close_waited(gone, "client-timeout");
    return;
  }
  client_connection& waited = gone.connection;
  char peeked;
  bool sent_something =
      !waited.carried.empty() || recv(waited.client.get(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  turn_away(in, waited, sent_something ? 408 : 0,
            "request head not complete within HEAD_TIMEOUT seconds", "client-timeout");
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
  for (leaving& gone : evicted) close_waited(gone, "client-timeout");
  if (admitted) return true;
  // The room refuses everything once a stop has closed it.
  bool stopping = in.slots.stopping();
  if (!stopping && waits == kind::tunnel) return false;
  leaving refused{std::move(connection), waits};
  close_waited(refused, stopping ? "stopped" : "client-timeout");
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
  close_waited(gone, request.cut.was_cut() ? "stopped" : "idle-timeout");
  return false;
}

// Serves the connection's next request in `slot` and writes its access line,
// unless it waits on as a quiet tunnel, whose record waits with it.
connection_next serve_one(intake& in, client_connection& connection, std::size_t slot) {
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
  connection_next next = relay_request(connection, record, &request.cut, *in.relay);
  process_metrics().add(gauge::requests_in_flight, -1);
  in.slots.remove_serving(request);
  if (request.cut.was_cut()) {
    record.ending = "stopped";
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
void serve_connection(intake& in, client_connection& connection, std::size_t slot) {
  for (;;) {
    connection_next next = serve_one(in, connection, slot);
    if (next == connection_next::close) break;
    if (next == connection_next::wait_as_tunnel) {
      // A tunnel the room cannot take keeps its thread and slot.
      if (keep_waiting(in, connection, kind::tunnel) || !wait_in_thread(in, connection)) break;
      trace_reserved(slot);
      continue;
    }
    if (connection.carried.empty()) {
      trace_line("connection kept");
      keep_waiting(in, connection, kind::kept);
      break;
    }
    // HEAD_TIMEOUT for the next request counts from its turn, the end of
    // this answer, even when its start came pipelined long before.
    connection.peer.turn_began = clock::now();
    trace_reserved(slot);
  }
  connection = client_connection{};
}

bool keep_a_thread_waiting(intake& in);

// Serves `connection`, whose bytes are here, in a free slot, then every
// connection of the line that takes the slot over. With every slot taken it
// waits in the line; with the line full too, it is told to come back.
void serve_arrived(intake& in, leaving arrived) {
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
      close_waited(arrived, "stopped");
      return;
    case slot_table::outcome::lined_up:
      trace_line_full();
      return;
    case slot_table::outcome::line_full:
      trace_line_full();
      turn_away(in, connection, 503, "every request slot is taken; try again", "no-slot",
                "Retry-After: 1\r\n");
      return;
  }
  trace_reserved(slot);
  if (!keep_a_thread_waiting(in)) {
    in.slots.give_back(slot);
    turn_away(in, connection, 0, {}, "no-thread");
    // Threads may be possible again once some have ended.
    pause_a_moment();
    return;
  }
  do {
    serve_connection(in, connection, slot);
  } while (in.slots.pass_on(slot, connection) && (trace_reserved(slot), true));
}

// A new connection waits for its first bytes, for HEAD_TIMEOUT from its
// accept. With the room full of new connections it is told to come back.
void wait_for_first_bytes(intake& in, client_connection connection) {
  std::vector<leaving> evicted;
  bool admitted = in.room.admit(connection, kind::fresh, head_due(in, connection), evicted);
  for (leaving& gone : evicted) close_waited(gone, "client-timeout");
  if (admitted) return;
  if (in.slots.stopping()) {
    leaving refused{std::move(connection), kind::fresh};
    close_waited(refused, "stopped");
    return;
  }
  turn_away(in, connection, 503, "too many connections wait; try again", "no-slot",
            "Retry-After: 1\r\n");
}

// With no descriptor to accept with, frees one (the spare, or else the
// oldest kept connection's) so that the next waiting client hears 503
// instead of nothing, then takes the spare back. False when no client could
// be answered; the caller pauses then, so the failing accept is never
// retried in a tight loop.
bool refuse_without_descriptors(intake& in) {
  std::lock_guard lock(in.spare_mutex);
  if (in.spare.get() >= 0) {
    in.spare.reset();
  } else {
    std::vector<leaving> evicted;
    if (!in.room.evict_oldest_kept(evicted)) return false;
    for (leaving& gone : evicted) close_waited(gone, "client-timeout");
  }
  client_connection refused;
  bool answered = accept_client(in.listenfd.load(), refused) == accept_outcome::accepted;
  if (answered) {
    turn_away(in, refused, 503, "too many open connections; try again", "no-slot",
              "Retry-After: 1\r\n");
  }
  in.spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return answered;
}

// Accepts one client; the listener is armed again at once, so the next one
// is accepted by another thread while this one reads the head.
void accept_one(intake& in) {
  client_connection connection;
  accept_outcome outcome = accept_client(in.listenfd.load(), connection);
  if (outcome == accept_outcome::out_of_descriptors && refuse_without_descriptors(in)) {
    outcome = accept_outcome::none_waiting;
  }
  in.room.rearm_listener();
  if (outcome != accept_outcome::accepted) {
    if (outcome != accept_outcome::none_waiting) pause_a_moment();
    return;
  }
  client_peer& peer = connection.peer;
  // A balancer's client is known only from its PROXY header, read with the
  // request, which applies ALLOW then.
  peer.proxied = list_contains(in.config.balancers, peer.address);
  if (!may_connect(in.config, peer)) {
    if (tracing()) {
      fprintf(stderr, "client %s refused: not in ALLOW\n", format_ip_address(peer.address).c_str());
    }
    turn_away(in, connection, 403, not_allowed_line, "refused");
    return;
  }
  // A client's head usually comes with its handshake or right after it:
  // read it now rather than after another wait.
  char peeked;
  if (recv(connection.client.get(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) {
    serve_arrived(in, leaving{std::move(connection), kind::fresh});
    return;
  }
  wait_for_first_bytes(in, std::move(connection));
}

void* run_thread(void* owner);

// Starts a thread that waits on the room; false, with one line, when it cannot.
bool start_thread(intake& in) {
  pthread_t handle;
  if (pthread_create(&handle, &in.thread_attributes, run_thread, &in) == 0) return true;
  report_failure("can't create request thread");
  return false;
}

// Before a thread serves in a slot, which may take long: when no other
// thread waits on the room, one is started to take its place. False when
// none could be: the work is refused then, so that one long request can
// never leave the listener and the waiting connections without a thread.
bool keep_a_thread_waiting(intake& in) {
  return in.threads_waiting.load() > 0 || start_thread(in);
}

// An idle thread ends when another still waits.
bool end_if_others_wait(intake& in) {
  int waiting = in.threads_waiting.load();
  while (waiting > 1) {
    if (in.threads_waiting.compare_exchange_weak(waiting, waiting - 1)) return true;
  }
  return false;
}

// Waits on the room once and does what it brought. False when the thread ends.
bool wait_and_work(intake& in, bool keeps_waiting) {
  in.threads_waiting.fetch_add(1);
  leaving ready;
  std::vector<leaving> expired;
  waiting_room::woke woke = in.room.wait(idle_wait_ms, ready, expired);
  for (leaving& gone : expired) close_expired(in, gone);
  switch (woke) {
    case waiting_room::woke::closing:
      in.threads_waiting.fetch_sub(1);
      return false;
    case waiting_room::woke::idle:
      if (!keeps_waiting && end_if_others_wait(in)) return false;
      in.threads_waiting.fetch_sub(1);
      return true;
    case waiting_room::woke::nothing:
      in.threads_waiting.fetch_sub(1);
      return true;
    case waiting_room::woke::listener:
      in.threads_waiting.fetch_sub(1);
      accept_one(in);
      return true;
    case waiting_room::woke::connection:
      in.threads_waiting.fetch_sub(1);
      serve_arrived(in, std::move(ready));
      return true;
  }
  return true;
}

// A request thread's body. The first one never ends for want of work.
void* run_thread(void* owner) {
  auto& in = *static_cast<intake*>(owner);
  while (wait_and_work(in, false)) {
  }
  return nullptr;
}

void* run_first_thread(void* owner) {
  auto& in = *static_cast<intake*>(owner);
  while (wait_and_work(in, true)) {
  }
  return nullptr;
}

// The metrics page, once the main port is bound: a port that cannot serve
// it stops the start-up as the main port's would.
int start_metrics(intake& in) {
  process_metrics().set(gauge::slots, in.config.request_slots);
  if (!in.config.metrics_on) return 0;
  std::string problem;
  in.metrics = start_metrics_server(in.config, problem);
  if (in.metrics != nullptr) return 0;
  problem += '\n';
  write_raw(problem.data(), problem.size());
  return E_BIND;
}

}  // namespace

// The process's intake, held where the leak checkers see it: main's own
// pointer may live only in a register once main has no more use for it.
// External linkage, so the compiler keeps the store. Never freed: request
// threads use it until the process ends.
intake* process_intake = nullptr;

policy_files& files_of(intake& in) { return *in.files; }

intake* create_intake(const settings& config) {
  auto* made = new intake(config);
  made->spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  bool table = made->slots.open();
  if (table && made->room.open()) {
    process_intake = made;
    return made;
  }
  if (!table) {
    fprintf(stderr,
            "BACKLOG=%lld needs a slot table that cannot be allocated; use a smaller value (1 to "
            "%lld)\n",
            static_cast<long long>(config.request_slots), static_cast<long long>(max_request_slots));
  } else {
    report_errno("epoll");
  }
  delete made;
  return nullptr;
}

int start_intake(intake& in) {
  unique_fd bound;
  ip_address address;
  if (int status = bind_listening_socket(in.config, bound, address); status != 0) return status;
  std::uint16_t port = local_port(bound.get());
  // Every thread and descriptor of an idle ferry exists before the port
  // listens, so a client (or a test counting them) never meets a listener
  // still setting up.
  in.relay = set_up_relay(in.config, port, in.files);
  if (int status = start_metrics(in); status != 0) return status;
  pthread_attr_init(&in.thread_attributes);
  pthread_attr_setdetachstate(&in.thread_attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&in.thread_attributes, request_stack_size);
  // Made as the listening thread always was, so a stack limit the system
  // cannot give ends the start-up here.
  pthread_t first;
  if (int created = pthread_create(&first, nullptr, run_first_thread, &in); created != 0) {
    errno = created;
    report_errno("can't create listen thread");
    return 255;
  }
  pthread_detach(first);
  if (int status = start_listening(bound.get(), static_cast<int>(waiting_limit(in.config)));
      status != 0) {
    return status;
  }
  // It listens for the rest of the process; a stop only shuts it down.
  in.listenfd.store(bound.release());
  if (!in.room.watch_listener(in.listenfd.load())) {
    report_errno("epoll");
    return E_LISTEN;
  }
  announce_listening(in.config, address, port);
  return 0;
}

void stop_intake(intake& in) {
  in.slots.stop();
  in.room.close();
  if (int fd = in.listenfd.load(); fd >= 0) shutdown(fd, SHUT_RDWR);
  stop_metrics_server(in.metrics);
  in.metrics = nullptr;
}

long requests_in_flight(const intake& in) { return in.slots.in_flight(); }

void close_unstarted_requests(intake& in) {
  in.slots.cut(true);
  std::vector<leaving> waiting;
  in.room.empty_into(waiting);
  for (leaving& gone : waiting) close_waited(gone, "stopped");
}

void cut_requests(intake& in) { in.slots.cut(false); }

}  // namespace ferry
