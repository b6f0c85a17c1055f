#include "main.h"

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

#include "com_header.h"
#include "config.h"
#include "parse_header.h"
#include "socket_io.h"

std::atomic<pthread_t>* threads = nullptr;

namespace {

constexpr std::size_t chunk_size = 4096;
// Request buffers are about 17 KB; the resolver needs the rest, with margin.
constexpr std::size_t request_stack_size = 256 * 1024;
// Stands in a slot from its reservation on; the listener never writes the
// handle, so no late store can overwrite the thread's own release.
constexpr pthread_t reserved_mark = 1;
constexpr std::int64_t max_backlog = INT_MAX - 2;

int listenfd = -1;
pthread_attr_t request_attributes;
// The port of the "http" service, looked up once before any thread exists:
// reading the service table on every request cost more than the rest of the
// request's own work. Stays "http" when the table has no entry.
char upstream_service[16] = "http";

[[noreturn]] void end_listener(const int& result) {
  pthread_exit(const_cast<int*>(&result));
}

void write_raw(const char* text, std::size_t length) {
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
}

void set_up_listener() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(LISTEN_PORT));

  listenfd = socket(AF_INET, SOCK_STREAM, 0);
  if (listenfd < 0) {
    report_errno("socket");
    end_listener(E_SOCKET);
  }
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

void pause_after_exhaustion() {
  timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// Hands `confd` to a new request thread in a free slot; a full table closes it.
void start_request(int confd) {
  std::size_t slot = find_free_slot();
  if (slot == 0) {
    constexpr char full[] = "thread quee is full";
    write_raw(full, sizeof full - 1);
    close(confd);
    return;
  }
  auto* req = new (std::nothrow) req_thread{confd, slot};
  if (req == nullptr) {
    fputs("no memory for a request\n", stderr);
    close(confd);
    pause_after_exhaustion();
    return;
  }
  threads[slot].store(reserved_mark, std::memory_order_relaxed);
  trace("thread reserved at ", static_cast<int>(slot), "\n\n");
  puts("here");
  pthread_t handle;
  if (pthread_create(&handle, &request_attributes, new_incoming, req) != 0) {
    constexpr char failed[] = "can't create request thread";
    write_raw(failed, sizeof failed - 1);
    delete req;
    close(confd);
    threads[slot].store(0, std::memory_order_relaxed);
    end_listener(E_THREAD);
  }
}

// Forwards the head (with the rewrite applied to its text part) to `servfd`.
// Bytes after a zero byte in the chunk follow the rewritten text unchanged.
bool forward_head(int servfd, char* buffer, std::size_t received, std::size_t text_before,
                  std::size_t text_after) {
  std::size_t removed = text_before - text_after;
  if (removed > 0 && text_before < received) {
    std::memmove(buffer + text_after, buffer + text_before, received - text_before);
  }
  if (writen(servfd, buffer, received - removed) < 0) {
    constexpr char failed[] = "error in data passing to server";
    write_raw(failed, sizeof failed - 1);
    return false;
  }
  return true;
}

// Copies the server's answer to the client until the server closes or fails,
// or a client write fails or times out.
void relay_answer(int servfd, int clifd, char* buffer) {
  for (;;) {
    ssize_t t = readn(servfd, buffer, chunk_size);
    if (t <= 0) return;
    if (writen(clifd, buffer, static_cast<std::size_t>(t)) < 0) {
      puts("connection to clinet closed");
      return;
    }
  }
}

}  // namespace

void relay_request(int clifd) {
  char buffer[chunk_size + 1];
  http_header hh;

  puts("getting header");
  ssize_t rc = readn(clifd, buffer, chunk_size);
  std::size_t received = rc > 0 ? static_cast<std::size_t>(rc) : 0;
  buffer[received] = '\0';

  std::size_t text_before = std::strlen(buffer);
  parse_header(buffer, &hh);
  std::size_t text_after = std::strlen(buffer);
  puts(buffer);
  trace("hostname: [", hh.hostname, "]", 256, "\n");

  unique_fd servfd(tcp_connect(hh.hostname, upstream_service));
  if (servfd.get() < 0) {
    // The zero byte goes too: 26 bytes.
    constexpr char failed[] = "connection to host failed";
    writen(clifd, failed, sizeof failed);
    return;
  }
  puts("send header");
  if (!forward_head(servfd.get(), buffer, received, text_before, text_after)) return;
  puts("send/receive");
  relay_answer(servfd.get(), clifd, buffer);
}

namespace {

void look_up_upstream_service() {
  servent entry;
  servent* found = nullptr;
  char scratch[1024];
  if (getservbyname_r("http", "tcp", &entry, scratch, sizeof scratch, &found) == 0 &&
      found != nullptr) {
    snprintf(upstream_service, sizeof upstream_service, "%d", ntohs(found->s_port));
  }
}

}  // namespace

void* listen_incoming(void*) {
  set_up_listener();
  for (;;) {
    int confd = accept(listenfd, nullptr, nullptr);
    if (confd < 0) {
      int error = errno;
      report_errno("accept");
      // Without descriptors or memory the next accept would fail at once too.
      if (is_exhaustion(error)) pause_after_exhaustion();
      continue;
    }
    start_request(confd);
  }
}

void* new_incoming(void* req) {
  auto* handed = static_cast<req_thread*>(req);
  int clifd = handed->confd;
  std::size_t slot = handed->thread_id;
  delete handed;

  relay_request(clifd);
  close(clifd);
  trace("thread ", static_cast<ssize_t>(slot), " freed\n");
  // Relaxed: nobody reads anything this thread wrote through the slot.
  threads[slot].store(0, std::memory_order_relaxed);
  return nullptr;
}

int main(int, char**, char** env) {
  rchk_conf(env);
  // A client that goes away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  ti.tv_sec = static_cast<std::uint16_t>(CON_TIMEOUT);
  ti.tv_usec = 0;
  look_up_upstream_service();

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
