#include "intake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "answers.h"
#include "io.h"
#include "metrics.h"
#include "metrics_server.h"
#include "net.h"
#include "parked_threads.h"
#include "text.h"
#include "unique_fd.h"
#include "waiting_room.h"

namespace ferry {
namespace {

// The relay's buffers are about 9 KB and heads up to 64 KiB live on the heap;
// the resolver needs the rest, with margin.
constexpr std::size_t request_stack_size = 256 * 1024;

// How long a request thread waits for a kept connection's next request
// before it hands the connection to the waiting room.
constexpr std::chrono::milliseconds next_request_wait{1};

// At least this many connections may wait for a slot; BACKLOG more if it is
// larger. Also the listen backlog: the kernel holds as many as ferry would.
constexpr std::int64_t least_waiting = 1024;

// A request being served, where a stop can reach it. Lives on its thread's stack.
struct serving_request {
  cut_point cut;
  serving_request* previous = nullptr;
  serving_request* next = nullptr;
  explicit serving_request(int clifd) : cut(clifd) {}
};

// A request thread between requests, waiting for the listener's next one.
struct parked_thread : parked_waiter {
  request_work work;
};

}  // namespace

// Everything the listener and the request threads share. Made once by main,
// it lives as long as the process.
struct intake {
  explicit intake(const settings& given)
      : config(given),
        room(static_cast<std::size_t>(given.max_waiting),
             static_cast<std::size_t>(given.max_waiting_per_client)),
        files(std::make_shared<policy_files>(given)) {}
  intake(const intake&) = delete;
  intake& operator=(const intake&) = delete;
  ~intake() { free(slots); }
  const settings& config;
  waiting_room room;  // connections waiting for their next bytes, without a slot
  // Made with the intake, so a SIGHUP before the listener is set up finds it.
  std::shared_ptr<policy_files> files;
  std::unique_ptr<relay_setup> relay;  // made by the listener before it listens
  // Entries 2 to request_slots + 1 are the request slots, 0 marking a free one.
  // Taken only under slots_mutex, so plain bytes serve.
  unsigned char* slots = nullptr;
  std::atomic<int> listenfd{-1};
  std::atomic<bool> stopping{false};
  std::atomic<long> in_flight{0};  // slots taken
  metrics_server* metrics = nullptr;  // with METRICS_ADDR, until the stop; the listener's own
  pthread_attr_t request_attributes{};
  // Guards taking and freeing slots, the slot queue and the list of requests
  // served, so that a freed slot and a queued connection always meet.
  std::mutex slots_mutex;
  // Connections whose bytes came while every slot was taken, in that order.
  std::deque<client_connection> slot_queue;
  std::atomic<std::size_t> queued_count{0};  // the queue's size, read without the lock
  serving_request* serving_first = nullptr;
  parked_threads parked;  // request threads waiting for their next connection
  // /dev/null, held so that with every other descriptor taken one can still
  // be freed to accept a client and tell it 503. Only the listener uses it.
  unique_fd spare;
};

namespace {

std::size_t waiting_limit(const intake& in) {
  return static_cast<std::size_t>(std::max(in.config.request_slots, least_waiting));
}

// A listener that cannot set up ends the process: no request thread exists yet.
[[noreturn]] void end_listener(int result) {
  fflush(stdout);
  exit(result);
}

// A host list as written, cut so the start-up line stays short.
std::string shown_hosts(const std::string& value) {
  constexpr std::size_t longest = 60;
  if (value.empty()) return "none";
  std::string shown = escape_bytes(value.substr(0, longest), kept_bytes{});
  return value.size() > longest ? shown + "..." : shown;
}

std::string shown_metrics(const settings& config) {
  return config.metrics_on ? format_endpoint(config.metrics_address, config.metrics_port) : "off";
}

// Where ferry listens and the settings in force, on standard error, unless
// the log is off. In trace mode it ends with a hint at the shorter log, for
// whoever meets the trace's flood first.
void announce(intake& in, const ip_address& address, std::uint16_t port) {
  if (logging_off()) return;
  fprintf(stderr,
          "ferry listening on %s:%u with %lld slots; LOG=%s ALLOW=%s DENY_TO=%s "
          "CONNECT_PORTS=%s PROXY_FROM=%s HEAD_TIMEOUT=%u IDLE_TIMEOUT=%u CON_TIMEOUT=%u "
          "NAME_CACHE=%u KEEPALIVE_TIMEOUT=%u MAX_WAITING=%lld MAX_WAITING_PER_CLIENT=%lld "
          "STOP_TIMEOUT=%u AUTH=%s ALLOW_HOSTS=%s DENY_HOSTS=%s TUNNEL_CHECK=%s METRICS=%s %s "
          "SERVER_POOL=%lld%s\n",
          format_host(address).c_str(), static_cast<unsigned>(port),
          static_cast<long long>(in.config.request_slots), tracing() ? "trace" : "access",
          format_address_list(in.config.allowed_clients).c_str(),
          format_address_list(in.config.denied_destinations).c_str(),
          format_port_list(in.config.tunnel_ports).c_str(),
          format_address_list(in.config.balancers).c_str(),
          static_cast<unsigned>(in.config.head_timeout_seconds),
          static_cast<unsigned>(in.config.idle_timeout_seconds),
          static_cast<unsigned>(in.config.connect_timeout_seconds),
          static_cast<unsigned>(in.config.name_cache_seconds),
          static_cast<unsigned>(in.config.keepalive_timeout_seconds),
          static_cast<long long>(in.config.max_waiting),
          static_cast<long long>(in.config.max_waiting_per_client),
          static_cast<unsigned>(in.config.stop_timeout_seconds),
          in.config.auth_file.empty() ? "off" : "on",
          shown_hosts(in.config.allowed_hosts_value).c_str(),
          shown_hosts(in.config.denied_hosts_value).c_str(),
          in.config.tunnel_check_sni ? "sni" : "off", shown_metrics(in.config).c_str(),
          chain_summary(in.config).c_str(), static_cast<long long>(in.config.server_pool),
          tracing() ? " (trace mode; LOG=access logs one line per request)" : "");
}

// Names the address and port that could not be bound, with advice that fits
// the error.
void report_bind_failure(intake& in, const ip_address& address) {
  int error = errno;
  report_errno("bind");
  std::string where = format_endpoint(address, in.config.listen_port);
  std::string advice = "ferry cannot listen on " + where + "\n";
  if (error == EADDRINUSE) {
    advice += "try another port with `LISTEN_PORT' env variable\n";
  } else if (error == EADDRNOTAVAIL) {
    advice += format_ip_address(address) +
              " is not an address of this machine: try another with `LISTEN_ADDR' env variable\n";
  } else if (error == EACCES) {
    advice += "port " + std::to_string(in.config.listen_port) +
              " needs privileges: try another port with `LISTEN_PORT' env variable\n";
  } else {
    advice += "check the `LISTEN_ADDR' and `LISTEN_PORT' env variables\n";
  }
  write_raw(advice.data(), advice.size());
}

// The metrics page, once the main port is bound: a port that cannot serve
// it stops the start-up as the main port's would.
void start_metrics(intake& in) {
  process_metrics().set(gauge::slots, in.config.request_slots);
  if (!in.config.metrics_on) return;
  std::string problem;
  in.metrics = start_metrics_server(in.config, problem);
  if (in.metrics != nullptr) return;
  problem += '\n';
  write_raw(problem.data(), problem.size());
  end_listener(E_BIND);
}

void set_up_listener(intake& in) {
  bind_step failed = bind_step::none;
  ip_address address = in.config.listen_address;
  unique_fd bound = bind_listener(address, in.config.listen_port, failed);
  // `::` stands for every address; where the machine has no IPv6, IPv4's
  // every address is the next best thing.
  if (failed != bind_step::none && address == ip_address{} &&
      (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
    fprintf(stderr, "ferry: IPv6 is not available (%s); listening on 0.0.0.0 instead\n",
            strerror(errno));
    address = ipv4_address(0);
    bound = bind_listener(address, in.config.listen_port, failed);
  }
  if (failed == bind_step::socket) {
    report_errno("socket");
    end_listener(E_SOCKET);
  }
  if (failed == bind_step::bind) {
    report_bind_failure(in, address);
    end_listener(E_BIND);
  }
  // Everything a request needs is ready before the port listens, so a client
  // (or a test counting descriptors) never meets a listener still setting up.
  std::uint16_t port = local_port(bound.get());
  in.relay = set_up_relay(in.config, port, in.files);
  start_metrics(in);
  pthread_attr_init(&in.request_attributes);
  pthread_attr_setdetachstate(&in.request_attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&in.request_attributes, request_stack_size);
  if (listen(bound.get(), static_cast<int>(waiting_limit(in))) < 0) {
    report_errno("listen");
    end_listener(E_LISTEN);
  }
  // Accepted until none is left, from the waiting room's wait.
  fcntl(bound.get(), F_SETFL, fcntl(bound.get(), F_GETFL) | O_NONBLOCK);
  if (!in.room.watch_listener(bound.get())) {
    report_errno("epoll");
    end_listener(E_LISTEN);
  }
  // It listens for the rest of the process; a stop only shuts it down.
  in.listenfd.store(bound.release());
  announce(in, address, port);
}

// Returns the lowest free request slot, or 0 when every slot is taken. Only
// under slots_mutex.
std::size_t find_free_slot(intake& in) {
  std::size_t last = static_cast<std::size_t>(in.config.request_slots) + 1;
  for (std::size_t slot = 2; slot <= last; ++slot) {
    if (in.slots[slot] == 0) return slot;
  }
  return 0;
}

bool is_exhaustion(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void pause_a_moment() {
  timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// A connection the listener turned away, on the access log, timed from its accept.
void log_turned_away(const client_peer& peer, int status, std::size_t answered,
                     const char* ending) {
  if (!recording_requests()) return;
  access_record record;
  start_access_record(record);
  auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now() - peer.accepted)
                    .count();
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

// One of ferry's own answers from the intake, with the Via the relay's carry.
std::string intake_answer(const intake& in, int status, std::string_view line,
                          std::string_view fields = {}) {
  return error_answer(status, line, std::string(fields) + in.relay->via_line);
}

// Answers a client that ALLOW leaves out and closes, without a slot or a
// thread: nothing it sends is read, and nothing here may wait on it.
void refuse_client(const intake& in, unique_fd connection, const client_peer& peer) {
  if (tracing()) {
    fprintf(stderr, "client %s refused: not in ALLOW\n", format_ip_address(peer.address).c_str());
  }
  std::size_t sent =
      answer_and_close_now(std::move(connection), intake_answer(in, 403, not_allowed_line));
  log_turned_away(peer, 403, sent, "refused");
}

// Gives `work` to a waiting thread. False when none waits.
bool hand_to_parked(intake& in, request_work& work) {
  auto* idle = static_cast<parked_thread*>(in.parked.take());
  if (idle == nullptr) return false;
  idle->work = std::move(work);
  parked_threads::wake(*idle);
  return true;
}

// Waits for the listener's next connection. False when this thread ends.
bool wait_for_work(intake& in, parked_thread& self, request_work& work) {
  if (!in.parked.park(self, in.stopping)) return false;
  work = std::move(self.work);
  return true;
}

void add_serving(intake& in, serving_request& request) {
  std::lock_guard lock(in.slots_mutex);
  request.next = in.serving_first;
  if (in.serving_first != nullptr) in.serving_first->previous = &request;
  in.serving_first = &request;
}

void remove_serving(intake& in, serving_request& request) {
  std::lock_guard lock(in.slots_mutex);
  if (request.previous != nullptr) request.previous->next = request.next;
  if (request.next != nullptr) request.next->previous = request.previous;
  if (in.serving_first == &request) in.serving_first = request.next;
}

void trace_reserved(std::size_t slot) {
  trace("thread reserved at ", static_cast<int>(slot), "\n\n");
  trace_line("here");
}

bool keep_waiting(intake& in, client_connection& connection, waiting_room::kind waits);
bool wait_in_thread(intake& in, client_connection& tunnel);

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
  add_serving(in, request);
  process_metrics().add(gauge::requests_in_flight, 1);
  connection_next next = relay_request(connection, record, &request.cut, *in.relay, scratch);
  process_metrics().add(gauge::requests_in_flight, -1);
  remove_serving(in, request);
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
// already here; then hands the connection back to wait for its next request
// (or, a quiet tunnel, for bytes on either side), or closes it. The slot
// stays taken.
void serve_connection(intake& in, request_work& work, relay_scratch& scratch) {
  client_connection& connection = work.connection;
  for (;;) {
    connection_next next = serve_one(in, connection, work.slot, scratch);
    if (next == connection_next::close) break;
    if (next == connection_next::wait_as_tunnel) {
      // A tunnel the room cannot take keeps its thread and slot.
      if (keep_waiting(in, connection, waiting_room::kind::tunnel) ||
          !wait_in_thread(in, connection)) {
        break;
      }
      trace_reserved(work.slot);
      continue;
    }
    if (connection.carried.empty()) {
      trace_line("connection kept");
      // A client that asks again at once is served by this thread: handing
      // it to the listener and back would cost two thread wake-ups.
      if (wait_ready(connection.client.get(), POLLIN, deadline::in(next_request_wait)) !=
          io_result::done) {
        keep_waiting(in, connection, waiting_room::kind::kept);
        break;
      }
      trace_line("kept connection taken up again");
    }
    // HEAD_TIMEOUT for the next request counts from its turn, the end of
    // this answer, even when its start came pipelined long before.
    connection.peer.accepted = std::chrono::steady_clock::now();
    // Pipelined, or the next request came at once.
    trace_reserved(work.slot);
  }
  connection = client_connection{};
}

// After a request: the oldest queued connection takes over `slot`, or the
// slot is freed. False when it was freed.
bool take_next_waiting(intake& in, std::size_t slot, request_work& work) {
  {
    std::lock_guard lock(in.slots_mutex);
    if (!in.slot_queue.empty() && !in.stopping.load()) {
      work = request_work{std::move(in.slot_queue.front()), slot, &in};
      in.slot_queue.pop_front();
      in.queued_count.store(in.slot_queue.size(), std::memory_order_relaxed);
    } else {
      in.in_flight.fetch_sub(1, std::memory_order_relaxed);
      process_metrics().add(gauge::slots_in_use, -1);
      in.slots[slot] = 0;
      return false;
    }
  }
  trace_reserved(slot);
  return true;
}

// Serves `work`, then every queued connection that takes over its slot.
void serve_in_slot(intake& in, request_work& work, relay_scratch& scratch) {
  do {
    serve_connection(in, work, scratch);
  } while (take_next_waiting(in, work.slot, work));
}

// Frees a slot taken for a connection that could not be handed on. Nothing
// waits then: the listener took the slot, so the table was not full.
void give_back_slot(intake& in, std::size_t slot) {
  std::lock_guard lock(in.slots_mutex);
  in.in_flight.fetch_sub(1, std::memory_order_relaxed);
  process_metrics().add(gauge::slots_in_use, -1);
  in.slots[slot] = 0;
}

// Turns away a connection that waited past HEAD_TIMEOUT: 408 when it sent
// something, as for any slow head, else a plain close.
void expire_waiting(const intake& in, client_connection& waited) {
  char peeked;
  bool sent_something =
      !waited.carried.empty() || recv(waited.client.get(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  std::string answer;
  if (sent_something) {
    answer = intake_answer(in, 408, "request head not complete within HEAD_TIMEOUT seconds");
  }
  std::size_t sent = answer_and_close_now(std::move(waited.client), answer);
  log_turned_away(waited.peer, sent_something ? 408 : 0, sent, "client-timeout");
}

// A queued connection's head must be whole by then; a woken tunnel has no
// head to wait for and waits its turn, however long.
bool expires(const intake& in, const client_connection& queued,
             std::chrono::steady_clock::time_point& when) {
  if (queued.tunnel) return false;
  when = queued.peer.accepted + std::chrono::seconds(in.config.head_timeout_seconds);
  return true;
}

// Milliseconds until the first queued connection's HEAD_TIMEOUT ends; -1
// when nothing is queued or there is no limit.
int next_expiry_ms(intake& in) {
  if (in.queued_count.load(std::memory_order_relaxed) == 0 || in.config.head_timeout_seconds == 0)
    return -1;
  std::lock_guard lock(in.slots_mutex);
  auto first = std::chrono::steady_clock::time_point::max();
  for (const client_connection& queued : in.slot_queue) {
    std::chrono::steady_clock::time_point when;
    if (expires(in, queued, when)) first = std::min(first, when);
  }
  if (first == std::chrono::steady_clock::time_point::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      first - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
}

// Turns away the queued connections whose HEAD_TIMEOUT has ended.
void expire_slot_queue(intake& in) {
  if (in.queued_count.load(std::memory_order_relaxed) == 0 || in.config.head_timeout_seconds == 0)
    return;
  std::vector<client_connection> expired;
  {
    std::lock_guard lock(in.slots_mutex);
    auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point when;
    if (std::none_of(in.slot_queue.begin(), in.slot_queue.end(), [&](const client_connection& c) {
          return expires(in, c, when) && now >= when;
        })) {
      return;
    }
    std::deque<client_connection> still;
    for (client_connection& queued : in.slot_queue) {
      if (expires(in, queued, when) && now >= when) {
        expired.push_back(std::move(queued));
      } else {
        still.push_back(std::move(queued));
      }
    }
    in.slot_queue.swap(still);
    in.queued_count.store(in.slot_queue.size(), std::memory_order_relaxed);
  }
  for (client_connection& connection : expired) expire_waiting(in, connection);
}

void* run_request_thread(void* handed_work);

// Takes a free slot for `connection`, or a place in the slot queue, which
// then holds it. Returns the slot; 0 when it is queued or, with the queue
// full too, when `connection` is still the caller's.
std::size_t take_slot_or_queue(intake& in, client_connection& connection, bool& queued) {
  std::lock_guard lock(in.slots_mutex);
  std::size_t slot = find_free_slot(in);
  if (slot != 0) {
    in.slots[slot] = 1;
    in.in_flight.fetch_add(1, std::memory_order_relaxed);
    process_metrics().add(gauge::slots_in_use, 1);
  } else if (in.slot_queue.size() < waiting_limit(in)) {
    in.slot_queue.push_back(std::move(connection));
    in.queued_count.store(in.slot_queue.size(), std::memory_order_relaxed);
    queued = true;
  }
  return slot;
}

// Hands `work` to a parked request thread or a new one. When neither can
// take it, the connection is closed and its slot given back.
void hand_over(intake& in, request_work work) {
  if (hand_to_parked(in, work)) return;
  std::size_t slot = work.slot;
  client_peer peer = work.connection.peer;
  auto* handed = new (std::nothrow) request_work(std::move(work));
  if (handed == nullptr) {
    fputs("no memory for a request\n", stderr);
    give_back_slot(in, slot);
    pause_a_moment();
    return;
  }
  pthread_t handle;
  if (pthread_create(&handle, &in.request_attributes, run_request_thread, handed) != 0) {
    // Refuses this one connection; the service goes on, as threads may be
    // possible again once some have ended.
    report_failure("can't create request thread");
    delete handed;
    give_back_slot(in, slot);
    log_turned_away(peer, 0, 0, "no-thread");
    pause_a_moment();
  }
}

// Hands `connection`, whose next request has begun to arrive, to a request
// thread in a free slot. With every slot taken it is queued; with the queue
// full too, it is told to come back.
void start_request(intake& in, client_connection connection) {
  bool queued = false;
  std::size_t slot = take_slot_or_queue(in, connection, queued);
  if (slot != 0) {
    trace_reserved(slot);
    hand_over(in, request_work{std::move(connection), slot, &in});
    return;
  }
  if (tracing()) {
    constexpr char full[] = "thread quee is full";
    write_raw(full, sizeof full - 1);
  }
  if (queued) return;
  std::size_t sent = answer_and_close_now(
      std::move(connection.client),
      intake_answer(in, 503, "every request slot is taken; try again", "Retry-After: 1\r\n"));
  log_turned_away(connection.peer, 503, sent, "no-slot");
}

// A connection that leaves the waiting room without a request: a new one
// that sent nothing within HEAD_TIMEOUT, or for a stop, is logged; a kept
// one between requests just closes; a quiet tunnel ends with its record.
void close_waited(waiting_room::leaving& gone, const char* ending) {
  if (gone.waited == waiting_room::kind::kept) {
    trace_line("kept connection closed");
    return;
  }
  if (gone.waited == waiting_room::kind::tunnel) {
    trace_line("tunnel closed");
    access_record& record = gone.connection.tunnel->record;
    record.ending = ending == std::string_view("stopped") ? ending : "idle-timeout";
    record.slot = 0;
    write_access_record(record);
    return;
  }
  gone.connection.client.reset();
  // A balancer that sent no PROXY header in time.
  if (gone.connection.peer.proxied && ending != std::string_view("stopped")) {
    ending = "bad-proxy-header";
  }
  log_turned_away(gone.connection.peer, 0, 0, ending);
}

// When a quiet tunnel's IDLE_TIMEOUT ends.
waiting_room::clock::time_point tunnel_idle_end(const intake& in, const tunnel_state& tunnel) {
  std::uint16_t idle = in.config.idle_timeout_seconds;
  return idle == 0 ? waiting_room::clock::time_point::max()
                   : tunnel.last_move + std::chrono::seconds(idle);
}

// Lets the connection wait without a thread or a slot: a kept one for its
// next request, for KEEPALIVE_TIMEOUT; a quiet tunnel for bytes on either
// side, until IDLE_TIMEOUT after its last move. The oldest kept connection
// makes room when the waiting room (or the client's share) is full. False,
// with `connection` still the caller's, for a tunnel that finds no room: a
// tunnel is never closed for want of room. Otherwise the connection waits or
// is closed.
bool keep_waiting(intake& in, client_connection& connection, waiting_room::kind waits) {
  std::vector<waiting_room::leaving> evicted;
  auto until = std::chrono::steady_clock::now() +
               std::chrono::seconds(in.config.keepalive_timeout_seconds);
  if (waits == waiting_room::kind::tunnel) until = tunnel_idle_end(in, *connection.tunnel);
  bool stopping = in.stopping.load();
  bool admitted = !stopping && in.room.admit(connection, waits, until, evicted);
  for (waiting_room::leaving& gone : evicted) close_waited(gone, "client-timeout");
  if (admitted) return true;
  if (!stopping && waits == waiting_room::kind::tunnel) return false;
  waiting_room::leaving refused{std::move(connection), waits};
  close_waited(refused, stopping ? "stopped" : "client-timeout");
  return true;
}

// A quiet tunnel that the waiting room could not take waits for bytes on
// either side in its own thread, as the room would have: true when they
// come, false when IDLE_TIMEOUT or a stop closed it. A stop reaches it as a
// request whose head is not complete, so it closes at once, as parked
// tunnels do.
bool wait_in_thread(intake& in, client_connection& tunnel) {
  serving_request request(tunnel.client.get());
  request.cut.set_server(tunnel.server.get());
  add_serving(in, request);
  pollfd sides[2] = {{tunnel.client.get(), POLLIN, 0}, {tunnel.server.get(), POLLIN, 0}};
  io_result waited = wait_ready(sides, 2, deadline::at(tunnel_idle_end(in, *tunnel.tunnel)));
  remove_serving(in, request);
  request.cut.clear_server();
  if (waited == io_result::done && !request.cut.was_cut()) return true;
  waiting_room::leaving gone{std::move(tunnel), waiting_room::kind::tunnel};
  close_waited(gone, request.cut.was_cut() ? "stopped" : "idle-timeout");
  return false;
}

// A new connection waits for its first bytes, for HEAD_TIMEOUT from its
// accept. With the room full of new connections it is told to come back.
void wait_for_first_bytes(intake& in, client_connection connection) {
  std::uint16_t seconds = in.config.head_timeout_seconds;
  auto until = seconds == 0 ? waiting_room::clock::time_point::max()
                            : connection.peer.accepted + std::chrono::seconds(seconds);
  std::vector<waiting_room::leaving> evicted;
  bool admitted = in.room.admit(connection, waiting_room::kind::fresh, until, evicted);
  for (waiting_room::leaving& gone : evicted) close_waited(gone, "client-timeout");
  if (admitted) return;
  std::size_t sent = answer_and_close_now(
      std::move(connection.client),
      intake_answer(in, 503, "too many connections wait; try again", "Retry-After: 1\r\n"));
  log_turned_away(connection.peer, 503, sent, "no-slot");
}

// Frees a descriptor when none is left: the spare one, or else the oldest
// kept connection's. False when neither can be freed.
bool free_a_descriptor(intake& in) {
  if (in.spare.get() >= 0) {
    in.spare.reset();
    return true;
  }
  std::vector<waiting_room::leaving> evicted;
  if (!in.room.evict_oldest_kept(evicted)) return false;
  for (waiting_room::leaving& gone : evicted) close_waited(gone, "client-timeout");
  return true;
}

// With no descriptor to accept with, frees one so that the next waiting
// client hears 503 instead of nothing, then takes the spare back. False when
// no client could be answered; the caller pauses then, so the failing accept
// is never retried in a tight loop.
bool refuse_without_descriptors(intake& in, int listenfd) {
  if (!free_a_descriptor(in)) return false;
  sockaddr_storage peer_address{};
  socklen_t peer_size = sizeof peer_address;
  unique_fd accepted(accept4(listenfd, reinterpret_cast<sockaddr*>(&peer_address), &peer_size, 0));
  bool answered = accepted.get() >= 0;
  if (answered) {
    client_peer peer;
    from_socket_address(peer_address, peer.address, peer.port);
    std::size_t sent = answer_and_close_now(
        std::move(accepted),
        intake_answer(in, 503, "too many open connections; try again", "Retry-After: 1\r\n"));
    log_turned_away(peer, 503, sent, "no-slot");
  }
  in.spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return answered;
}

// Accepts what the listening socket has, a bounded number at a time so that
// waiting connections are not starved.
void accept_ready(intake& in) {
  constexpr int accepts_per_wake = 64;
  int fd = in.listenfd.load();
  for (int i = 0; i < accepts_per_wake; ++i) {
    sockaddr_storage peer_address{};
    socklen_t peer_size = sizeof peer_address;
    unique_fd accepted(accept4(fd, reinterpret_cast<sockaddr*>(&peer_address), &peer_size, 0));
    if (accepted.get() < 0) {
      int error = errno;
      if (error == EAGAIN || error == EINTR || in.stopping.load()) return;
      report_errno("accept");
      if ((error == EMFILE || error == ENFILE) && refuse_without_descriptors(in, fd)) continue;
      // Without descriptors or memory the next accept would fail at once too.
      if (is_exhaustion(error)) pause_a_moment();
      return;
    }
    client_connection connection;
    connection.client = std::move(accepted);
    client_peer& peer = connection.peer;
    from_socket_address(peer_address, peer.address, peer.port);
    // A balancer's client is known only from its PROXY header, read by the
    // request thread, which applies ALLOW then.
    peer.proxied = list_contains(in.config.balancers, peer.address);
    if (!may_connect(in.config, peer)) {
      refuse_client(in, std::move(connection.client), peer);
      continue;
    }
    wait_for_first_bytes(in, std::move(connection));
  }
}

// A request thread's body: it serves the work it was made for, then waits
// for more until none comes.
void* run_request_thread(void* handed_work) {
  auto* handed = static_cast<request_work*>(handed_work);
  request_work work = std::move(*handed);
  delete handed;
  parked_thread self;
  relay_scratch scratch;
  do {
    serve_in_slot(*work.owner, work, scratch);
  } while (wait_for_work(*work.owner, self, work));
  return nullptr;
}

}  // namespace

// The process's intake, held where the leak checkers see it: main's own
// pointer may live only in a register once main has no more use for it.
// External linkage, so the compiler keeps the store. Never freed: request
// threads and the listener use it until the process ends, and a destructor
// run by an exit during start-up would race with them.
intake* process_intake = nullptr;

policy_files& files_of(intake& in) { return *in.files; }

intake* create_intake(const settings& config) {
  auto* made = new intake(config);
  // calloc leaves untouched pages unmapped, so a large table costs nothing
  // until its slots are used; zero bytes are a valid free entry.
  made->slots =
      static_cast<unsigned char*>(calloc(static_cast<std::size_t>(config.request_slots) + 2, 1));
  made->spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (made->slots != nullptr && made->room.open()) {
    process_intake = made;
    return made;
  }
  if (made->slots == nullptr) {
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

void* listen_incoming(void* owner) {
  intake& in = *static_cast<intake*>(owner);
  set_up_listener(in);
  if (in.stopping.load()) shutdown(in.listenfd.load(), SHUT_RDWR);
  std::vector<waiting_room::leaving> ready, expired;
  for (;;) {
    bool listener_ready = false;
    in.room.wait(next_expiry_ms(in), ready, listener_ready);
    if (in.stopping.load()) {
      // Whatever left the room now is closed with the rest of it.
      for (waiting_room::leaving& gone : ready) close_waited(gone, "stopped");
      // Stopped by the thread that started it, which alone holds it.
      stop_metrics_server(in.metrics);
      in.metrics = nullptr;
      return nullptr;
    }
    if (listener_ready) accept_ready(in);
    for (waiting_room::leaving& arrived : ready) {
      // HEAD_TIMEOUT counts from a kept connection's first byte; a tunnel's
      // wait for a slot is bounded by it too, from its wake.
      if (arrived.waited != waiting_room::kind::fresh) {
        arrived.connection.peer.accepted = std::chrono::steady_clock::now();
      }
      if (arrived.waited == waiting_room::kind::kept) trace_line("kept connection taken up again");
      start_request(in, std::move(arrived.connection));
    }
    ready.clear();
    expire_slot_queue(in);
    in.room.expire(std::chrono::steady_clock::now(), expired);
    for (waiting_room::leaving& gone : expired) close_waited(gone, "client-timeout");
    expired.clear();
  }
}

void stop_intake(intake& in) {
  in.stopping.store(true);
  // Wakes the listener; a listener still setting up sees the flag.
  int fd = in.listenfd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  in.room.wake();
}

long requests_in_flight(const intake& in) { return in.in_flight.load(); }

void close_unstarted_requests(intake& in) {
  std::deque<client_connection> queued;
  {
    std::lock_guard lock(in.slots_mutex);
    queued.swap(in.slot_queue);
    in.queued_count.store(0, std::memory_order_relaxed);
    for (serving_request* request = in.serving_first; request != nullptr; request = request->next) {
      request->cut.cut(true);
    }
  }
  for (client_connection& connection : queued) {
    auto waited = connection.tunnel ? waiting_room::kind::tunnel : waiting_room::kind::fresh;
    waiting_room::leaving gone{std::move(connection), waited};
    close_waited(gone, "stopped");
  }
  std::vector<waiting_room::leaving> waiting;
  in.room.empty_into(waiting);
  for (waiting_room::leaving& gone : waiting) close_waited(gone, "stopped");
}

void cut_requests(intake& in) {
  std::lock_guard lock(in.slots_mutex);
  for (serving_request* request = in.serving_first; request != nullptr; request = request->next) {
    request->cut.cut(false);
  }
}

}  // namespace ferry
