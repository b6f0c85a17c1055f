#include "intake.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <resolv.h>
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
#include "serving.h"
#include "slots.h"
#include "unique_fd.h"
#include "waiting_room.h"

namespace ferry {
namespace {
using clock = std::chrono::steady_clock;
using leaving = waiting_room::leaving;
using kind = waiting_room::kind;

// The deepest request measured (a name looked up in DNS) touches 24 KiB of
// stack; buffers live in the thread's relay_scratch. Sanitizers need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t request_stack_size = 256 * 1024;
#else
constexpr std::size_t request_stack_size = 128 * 1024;
#endif

// A thread with nothing to do for this long ends, unless it is the last one
// waiting: an idle ferry holds no more threads than it needs.
constexpr int idle_wait_ms = 1000;

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
    for (leaving& gone : evicted) close_waited(gone, request_ending::client_timeout);
  }
  client_connection refused;
  bool answered = accept_client(in.listenfd.load(), refused) == accept_outcome::accepted;
  if (answered) {
    turn_away(in, refused, 503, "too many open connections; try again", request_ending::no_slot,
              "Retry-After: 1\r\n");
  }
  in.spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return answered;
}

// Accepts one client; the listener is armed again at once, so the next one
// is accepted by another thread while this one reads the head.
void accept_one(intake& in, relay_scratch& scratch) {
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
    turn_away(in, connection, 403, not_allowed_line, request_ending::refused);
    return;
  }
  // A client's head usually comes with its handshake or right after it:
  // read it now rather than after another wait.
  char peeked;
  if (recv(connection.client.get(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) {
    serve_arrived(in, leaving{std::move(connection), kind::fresh}, scratch);
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

// An idle thread ends when another still waits.
bool end_if_others_wait(intake& in) {
  int waiting = in.threads_waiting.load();
  while (waiting > 1) {
    if (in.threads_waiting.compare_exchange_weak(waiting, waiting - 1)) return true;
  }
  return false;
}

// Waits on the room once and does what it brought. False when the thread ends.
bool wait_and_work(intake& in, bool keeps_waiting, relay_scratch& scratch) {
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
      // A thread idle this long gives back its buffers and pipe, so an idle
      // ferry holds no more memory or descriptors than a fresh one; and its
      // resolver state, which would hold a resolver configuration read
      // before the hosts file or resolv.conf changed.
      scratch = relay_scratch{};
      if ((_res.options & RES_INIT) != 0) res_nclose(&_res);
      in.threads_waiting.fetch_sub(1);
      return true;
    case waiting_room::woke::nothing:
      in.threads_waiting.fetch_sub(1);
      return true;
    case waiting_room::woke::listener:
      in.threads_waiting.fetch_sub(1);
      accept_one(in, scratch);
      return true;
    case waiting_room::woke::connection:
      in.threads_waiting.fetch_sub(1);
      serve_arrived(in, std::move(ready), scratch);
      return true;
  }
  return true;
}

// A request thread's body. The first one never ends for want of work.
void* run_thread(void* owner) {
  auto& in = *static_cast<intake*>(owner);
  relay_scratch scratch;
  while (wait_and_work(in, false, scratch)) {
  }
  return nullptr;
}

void* run_first_thread(void* owner) {
  auto& in = *static_cast<intake*>(owner);
  relay_scratch scratch;
  while (wait_and_work(in, true, scratch)) {
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

// Before a thread serves in a slot, which may take long: when no other
// thread waits on the room, one is started to take its place. False when
// none could be: the work is refused then, so that one long request can
// never leave the listener and the waiting connections without a thread.
bool keep_a_thread_waiting(intake& in) {
  return in.threads_waiting.load() > 0 || start_thread(in);
}


policy_files& files_of(intake& in) { return *in.files; }

intake* create_intake(const settings& config) {
  auto* made = new intake(config);
  made->spare = unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  bool table = made->slots.open();
  if (table && made->room.open()) {
    // Held where the leak checkers see it: main's own pointer may live only
    // in a register once main has no more use for it. Volatile, so the
    // store stays. Never freed: request threads use it until the process
    // ends.
    [[maybe_unused]] static intake* volatile held = nullptr;
    held = made;
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
  for (leaving& gone : waiting) close_waited(gone, request_ending::stopped);
}

void cut_requests(intake& in) { in.slots.cut(false); }

}  // namespace ferry
