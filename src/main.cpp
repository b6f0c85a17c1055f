#include "main.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
constexpr std::int64_t max_backlog = INT_MAX - 2;

int listenfd = -1;
pthread_attr_t request_attributes;

[[noreturn]] void end_listener(const int& result) {
  pthread_exit(const_cast<int*>(&result));
}

void set_up_listener() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(LISTEN_ADDR);
  address.sin_port = htons(static_cast<std::uint16_t>(LISTEN_PORT));

  listenfd = socket(AF_INET, SOCK_STREAM, 0);
  if (listenfd < 0) {
    report_errno("socket");
    end_listener(E_SOCKET);
  }
  // A restart may bind while the last run's connections are still closing;
  // a live listener on the port still makes the bind fail.
  int reuse = 1;
  setsockopt(listenfd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (bind(listenfd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    report_errno("bind");
    constexpr char hint[] = "try another port with `LISTEN_PORT' env variable\n";
    write_raw(hint, sizeof hint - 1);
    end_listener(E_BIND);
  }
  if (listen(listenfd, static_cast<int>(BACKLOG)) < 0) {
    report_errno("listen");
    end_listener(E_LISTEN);
  }
  sockaddr_in bound{};
  socklen_t bound_size = sizeof bound;
  getsockname(listenfd, reinterpret_cast<sockaddr*>(&bound), &bound_size);
  set_up_relay(ntohs(bound.sin_port));
  pthread_attr_init(&request_attributes);
  pthread_attr_setdetachstate(&request_attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&request_attributes, request_stack_size);
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

// Answers a client that ALLOW leaves out and closes, without a slot or a
// thread: nothing it sends is read, and nothing here may wait on it.
void refuse_client(int confd, const client_peer& peer) {
  char dotted[INET_ADDRSTRLEN];
  in_addr address{htonl(peer.address)};
  inet_ntop(AF_INET, &address, dotted, sizeof dotted);
  fprintf(stderr, "client %s refused: not in ALLOW\n", dotted);
  std::string answer = error_answer(403, "this proxy serves only the clients that its ALLOW setting names");
  ssize_t ignored = send(confd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)ignored;
  shutdown(confd, SHUT_WR);
  // Unread bytes would turn the close into a reset that can destroy the
  // answer before the client reads it; take what has already come.
  char scratch[4096];
  for (int reads = 0; reads < 16; ++reads) {
    if (recv(confd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) break;
  }
  close(confd);
}

// Hands `confd` to a new request thread in a free slot; a full table closes it.
void start_request(int confd, const client_peer& peer) {
  std::size_t slot = find_free_slot();
  if (slot == 0) {
    constexpr char full[] = "thread quee is full";
    write_raw(full, sizeof full - 1);
    close(confd);
    return;
  }
  auto* req = new (std::nothrow) req_thread{confd, slot, peer};
  if (req == nullptr) {
    fputs("no memory for a request\n", stderr);
    close(confd);
    pause_a_moment();
    return;
  }
  threads[slot].store(reserved_mark, std::memory_order_relaxed);
  trace("thread reserved at ", static_cast<int>(slot), "\n\n");
  puts("here");
  pthread_t handle;
  if (pthread_create(&handle, &request_attributes, new_incoming, req) != 0) {
    // Refuses this one connection; the service goes on, as threads may be
    // possible again once some have ended.
    constexpr char failed[] = "can't create request thread";
    write_raw(failed, sizeof failed - 1);
    delete req;
    close(confd);
    threads[slot].store(0, std::memory_order_relaxed);
    pause_a_moment();
  }
}

}  // namespace

void* listen_incoming(void*) {
  set_up_listener();
  for (;;) {
    sockaddr_in peer_address{};
    socklen_t peer_size = sizeof peer_address;
    int confd = accept(listenfd, reinterpret_cast<sockaddr*>(&peer_address), &peer_size);
    if (confd < 0) {
      int error = errno;
      report_errno("accept");
      // Without descriptors or memory the next accept would fail at once too.
      if (is_exhaustion(error)) pause_a_moment();
      continue;
    }
    client_peer peer{ntohl(peer_address.sin_addr.s_addr), ntohs(peer_address.sin_port)};
    if (!list_contains(ALLOW, peer.address)) {
      refuse_client(confd, peer);
      continue;
    }
    start_request(confd, peer);
  }
}

void* new_incoming(void* req) {
  auto* handed = static_cast<req_thread*>(req);
  int clifd = handed->confd;
  std::size_t slot = handed->thread_id;
  client_peer peer = handed->peer;
  delete handed;

  relay_request(clifd, peer);
  close(clifd);
  trace("thread ", static_cast<ssize_t>(slot), " freed\n");
  // Relaxed: nobody reads anything this thread wrote through the slot.
  threads[slot].store(0, std::memory_order_relaxed);
  return nullptr;
}

int main(int, char**, char** env) {
  rchk_conf(env);
  // A typo in a checked setting must never loosen a limit or open a door.
  if (!conf_problem.empty()) {
    fprintf(stderr, "%s\n", conf_problem.c_str());
    return 255;
  }
  // A client that goes away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  ti.tv_sec = static_cast<std::uint16_t>(CON_TIMEOUT);
  ti.tv_usec = 0;

  if (BACKLOG < 0 || BACKLOG > max_backlog) {
    fprintf(stderr, "BACKLOG=%lld is out of range: it must be 0 to %lld\n",
            static_cast<long long>(BACKLOG), static_cast<long long>(max_backlog));
    return 255;
  }
  // calloc leaves untouched pages unmapped, so a large table costs nothing
  // until its slots are used; zero bytes are a valid free entry.
  static_assert(sizeof(std::atomic<pthread_t>) == sizeof(pthread_t) &&
                std::atomic<pthread_t>::is_always_lock_free);
  threads = static_cast<std::atomic<pthread_t>*>(
      calloc(static_cast<std::size_t>(BACKLOG) + 2, sizeof(std::atomic<pthread_t>)));
  if (threads == nullptr) {
    fprintf(stderr, "BACKLOG=%lld needs a slot table that cannot be allocated; use a smaller "
            "value (0 to %lld)\n", static_cast<long long>(BACKLOG),
            static_cast<long long>(max_backlog));
    return 255;
  }

  pthread_t listener;
  int created = pthread_create(&listener, nullptr, listen_incoming, nullptr);
  if (created != 0) {
    errno = created;
    report_errno("can't create listen thread");
    exit(-1);
  }
  threads[1].store(listener, std::memory_order_relaxed);
  void* result = nullptr;
  pthread_join(listener, &result);
  return *static_cast<int*>(result);
}
