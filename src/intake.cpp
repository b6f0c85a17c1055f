#include "intake.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "config.h"
#include "relay.h"
#include "socket_io.h"

std::atomic<pthread_t>* threads = nullptr;

namespace {

// The relay's buffers are about 9 KB and heads up to 64 KiB live on the heap;
// the resolver needs the rest, with margin.
constexpr std::size_t request_stack_size = 256 * 1024;
// Stands in a slot from its reservation on; the listener never writes the
// handle, so no late store can overwrite the thread's own release.
constexpr pthread_t reserved_mark = 1;

std::atomic<int> listenfd{-1};
std::atomic<bool> stopping{false};
std::atomic<long> in_flight{0};
pthread_attr_t request_attributes;

// A listener that cannot set up ends the process: no request thread exists yet.
[[noreturn]] void end_listener(int result) {
  fflush(stdout);
  exit(result);
}

// The settings in force, on standard error, when the access log is on.
void announce(std::uint16_t port) {
  if (LOG != log_mode::access) return;
  in_addr address{htonl(LISTEN_ADDR)};
  char dotted[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, dotted, sizeof dotted);
  fprintf(stderr,
          "ferry listening on %s:%u with %lld slots; LOG=access ALLOW=%s DENY_TO=%s "
          "CONNECT_PORTS=%s PROXY_FROM=%s HEAD_TIMEOUT=%u IDLE_TIMEOUT=%u CON_TIMEOUT=%u "
          "NAME_CACHE=%u\n",
          dotted, static_cast<unsigned>(port), static_cast<long long>(BACKLOG),
          format_address_list(ALLOW).c_str(), format_address_list(DENY_TO).c_str(),
          format_port_list(CONNECT_PORTS).c_str(), format_address_list(PROXY_FROM).c_str(),
          static_cast<unsigned>(HEAD_TIMEOUT), static_cast<unsigned>(IDLE_TIMEOUT),
          static_cast<unsigned>(static_cast<std::uint16_t>(CON_TIMEOUT)),
          static_cast<unsigned>(NAME_CACHE));
}

void set_up_listener() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(LISTEN_ADDR);
  address.sin_port = htons(static_cast<std::uint16_t>(LISTEN_PORT));

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    report_errno("socket");
    end_listener(E_SOCKET);
  }
  // A restart may bind while the last run's connections are still closing;
  // a live listener on the port still makes the bind fail.
  int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    report_errno("bind");
    constexpr char hint[] = "try another port with `LISTEN_PORT' env variable\n";
    write_raw(hint, sizeof hint - 1);
    end_listener(E_BIND);
  }
  // Everything a request needs is ready before the port listens, so a client
  // (or a test counting descriptors) never meets a listener still setting up.
  sockaddr_in bound{};
  socklen_t bound_size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_size);
  set_up_relay(ntohs(bound.sin_port));
  pthread_attr_init(&request_attributes);
  pthread_attr_setdetachstate(&request_attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&request_attributes, request_stack_size);
  if (listen(fd, static_cast<int>(BACKLOG)) < 0) {
    report_errno("listen");
    end_listener(E_LISTEN);
  }
  listenfd.store(fd);
  announce(ntohs(bound.sin_port));
}

// Returns the lowest free request slot, or 0 when every slot is taken.
std::size_t find_free_slot() {
  std::size_t last = static_cast<std::size_t>(BACKLOG) + 1;
  for (std::size_t slot = 2; slot <= last; ++slot) {
    // Relaxed: the listener reads nothing a request thread wrote but the entry.
    if (threads[slot].load(std::memory_order_relaxed) == 0) return slot;
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

// A connection the listener turned away, on the access log.
void log_turned_away(const client_peer& peer, int status, std::size_t answered,
                     const char* ending) {
  if (LOG != log_mode::access) return;
  access_record record;
  start_access_record(record);
  record.client_address = peer.address;
  record.client_port = peer.port;
  record.status = status;
  record.to_client = answered;
  record.ending = ending;
  write_access_record(record);
}

// Answers a client that ALLOW leaves out and closes, without a slot or a
// thread: nothing it sends is read, and nothing here may wait on it.
void refuse_client(int confd, const client_peer& peer) {
  if (tracing()) {
    char dotted[INET_ADDRSTRLEN];
    in_addr address{htonl(peer.address)};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    fprintf(stderr, "client %s refused: not in ALLOW\n", dotted);
  }
  std::string answer = error_answer(403, not_allowed_line);
  ssize_t sent = send(confd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(confd, SHUT_WR);
  // Unread bytes would turn the close into a reset that can destroy the
  // answer before the client reads it; take what has already come.
  char scratch[4096];
  for (int reads = 0; reads < 16; ++reads) {
    if (recv(confd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) break;
  }
  close(confd);
  log_turned_away(peer, 403, sent > 0 ? static_cast<std::size_t>(sent) : 0, "refused");
}

// A request thread between requests, waiting for the listener's next one.
// It lives in the thread's first frame, so it outlasts every hand-over.
struct parked_thread {
  std::atomic<std::uint32_t> handed{0};  // a futex word: 1 once `work` is set
  req_thread work{};
  parked_thread* next = nullptr;
};

// Threads wait for the next connection instead of ending: creating and
// ending one cost more than the rest of a small request. A burst leaves at
// most max_parked of them waiting, each holding its stack, and a thread that
// waits a second for nothing ends, so an idle ferry holds no extra threads.
constexpr int max_parked = 64;
constexpr long longest_park_ms = 1000;
std::mutex parked_mutex;  // guards the list; hand-overs wake through `handed`
parked_thread* parked_top = nullptr;
int parked_count = 0;

// Gives `work` to a waiting thread. False when none waits.
bool hand_to_parked(const req_thread& work) {
  parked_thread* idle = nullptr;
  {
    std::lock_guard lock(parked_mutex);
    idle = parked_top;
    if (idle == nullptr) return false;
    parked_top = idle->next;
    --parked_count;
  }
  idle->work = work;
  // Release: the thread that sees 1 sees `work` whole.
  idle->handed.store(1, std::memory_order_release);
  syscall(SYS_futex, &idle->handed, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  return true;
}

// Takes `self` off the list unless the listener took it first. Returns
// whether it was still there.
bool leave_list(parked_thread& self) {
  std::lock_guard lock(parked_mutex);
  for (parked_thread** link = &parked_top; *link != nullptr; link = &(*link)->next) {
    if (*link != &self) continue;
    *link = self.next;
    --parked_count;
    return true;
  }
  return false;
}

// Waits for the listener's next connection. False when enough threads wait
// already, ferry is stopping, or none came for a while: this one ends.
bool wait_for_work(parked_thread& self, req_thread& work) {
  {
    std::lock_guard lock(parked_mutex);
    if (parked_count >= max_parked || stopping.load()) return false;
    self.handed.store(0, std::memory_order_relaxed);
    self.next = parked_top;
    parked_top = &self;
    ++parked_count;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(longest_park_ms);
  bool timed = true;
  while (self.handed.load(std::memory_order_acquire) == 0) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (timed && left.count() <= 0) {
      if (leave_list(self)) return false;
      timed = false;  // taken already: its work is on the way
      continue;
    }
    timespec wait{static_cast<time_t>(left.count() / 1000000000), left.count() % 1000000000};
    syscall(SYS_futex, &self.handed, FUTEX_WAIT_PRIVATE, 0, timed ? &wait : nullptr, nullptr, 0);
  }
  work = self.work;
  return true;
}

// Serves one connection in its slot, then frees both.
void serve_connection(const req_thread& work) {
  client_peer peer = work.peer;
  access_record record;
  start_access_record(record);
  record.client_address = peer.address;
  record.client_port = peer.port;
  record.slot = work.thread_id;
  relay_request(work.confd, peer, record);
  close(work.confd);
  write_access_record(record);
  trace("thread ", static_cast<ssize_t>(work.thread_id), " freed\n");
  in_flight.fetch_sub(1, std::memory_order_relaxed);
  // Relaxed: nobody reads anything this thread wrote through the slot.
  threads[work.thread_id].store(0, std::memory_order_relaxed);
}

// Hands `confd` to a request thread in a free slot; a full table closes it.
void start_request(int confd, const client_peer& peer) {
  std::size_t slot = find_free_slot();
  if (slot == 0) {
    if (tracing()) {
      constexpr char full[] = "thread quee is full";
      write_raw(full, sizeof full - 1);
    }
    close(confd);
    log_turned_away(peer, 0, 0, "no-slot");
    return;
  }
  threads[slot].store(reserved_mark, std::memory_order_relaxed);
  in_flight.fetch_add(1, std::memory_order_relaxed);
  trace("thread reserved at ", static_cast<int>(slot), "\n\n");
  trace_line("here");
  if (hand_to_parked(req_thread{confd, slot, peer})) return;
  auto* req = new (std::nothrow) req_thread{confd, slot, peer};
  if (req == nullptr) {
    fputs("no memory for a request\n", stderr);
    close(confd);
    threads[slot].store(0, std::memory_order_relaxed);
    in_flight.fetch_sub(1, std::memory_order_relaxed);
    pause_a_moment();
    return;
  }
  pthread_t handle;
  if (pthread_create(&handle, &request_attributes, new_incoming, req) != 0) {
    // Refuses this one connection; the service goes on, as threads may be
    // possible again once some have ended.
    report_failure("can't create request thread");
    delete req;
    close(confd);
    threads[slot].store(0, std::memory_order_relaxed);
    in_flight.fetch_sub(1, std::memory_order_relaxed);
    log_turned_away(peer, 0, 0, "no-thread");
    pause_a_moment();
  }
}

}  // namespace

void* listen_incoming(void*) {
  set_up_listener();
  if (stopping.load()) shutdown(listenfd.load(), SHUT_RDWR);
  for (;;) {
    sockaddr_in peer_address{};
    socklen_t peer_size = sizeof peer_address;
    int confd = accept(listenfd.load(), reinterpret_cast<sockaddr*>(&peer_address), &peer_size);
    if (stopping.load()) {
      if (confd >= 0) close(confd);
      return nullptr;
    }
    if (confd < 0) {
      int error = errno;
      report_errno("accept");
      // Without descriptors or memory the next accept would fail at once too.
      if (is_exhaustion(error)) pause_a_moment();
      continue;
    }
    client_peer peer{ntohl(peer_address.sin_addr.s_addr), ntohs(peer_address.sin_port)};
    // A balancer's client is known only from its PROXY header, read by the
    // request thread, which applies ALLOW then.
    peer.proxied = list_contains(PROXY_FROM, peer.address);
    if (!peer.proxied && !list_contains(ALLOW, peer.address)) {
      refuse_client(confd, peer);
      continue;
    }
    start_request(confd, peer);
  }
}

void stop_intake() {
  stopping.store(true);
  // Wakes the listener's accept; a listener still setting up sees the flag.
  int fd = listenfd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

long requests_in_flight() { return in_flight.load(); }

void* new_incoming(void* req) {
  auto* handed = static_cast<req_thread*>(req);
  req_thread work = *handed;
  delete handed;
  parked_thread self;
  do {
    serve_connection(work);
  } while (wait_for_work(self, work));
  return nullptr;
}
