#include "relay.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "name_cache.h"
#include "parse_header.h"
#include "socket_io.h"

namespace {

using steady_clock = std::chrono::steady_clock;
constexpr auto no_deadline = steady_clock::time_point::max();

constexpr std::size_t chunk_size = 4096;
// Without the trace, whose lines name each 4 KiB chunk, a flow that fills its
// buffer moves on in chunks this large: a sixteenth of the system calls.
constexpr std::size_t large_chunk_size = 64 * 1024;
// How long a closing connection keeps reading what the client still sends.
constexpr auto linger_time = std::chrono::seconds(1);
// Moves in a row before the readiness of both sides is checked again, so a
// server that streams without pause cannot starve the upload.
constexpr int moves_before_fairness_check = 256;

// The port of the "http" service, looked up once before any request thread:
// reading the service table on every request cost more than the rest of the
// request's own work. Stays "http" when the table has no entry.
char upstream_service[16] = "http";
std::uint16_t upstream_port = 0;  // 0 while the service is unknown
std::uint16_t listening_port = 0;

// Half-closes towards the client and reads what it still sends for a moment,
// so the close does not become a reset that destroys the answer in the
// client's receive buffer.
void linger_close(int clifd) {
  shutdown(clifd, SHUT_WR);
  auto deadline = steady_clock::now() + linger_time;
  char scratch[chunk_size];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      steady_clock::now());
    if (left.count() <= 0) return;
    pollfd waited{clifd, POLLIN, 0};
    int ready = poll(&waited, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    ssize_t got = recv(clifd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

const char* reason_phrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 508: return "Loop Detected";
    default: return "Error";
  }
}

// How a request that ferry answered itself ended, for the access log.
const char* ending_of(int status) {
  switch (status) {
    case 400:
    case 431: return "bad-request";
    case 408: return "client-timeout";
    case 502: return "server-failed";
    case 504: return "server-timeout";
    default: return "refused";
  }
}

// Answers the request itself with `status` and a one-line plain-text body,
// then closes gently, as the client may still be sending.
void refuse(access_record& record, int clifd, int status, std::string_view body_line) {
  std::string answer = error_answer(status, body_line);
  if (writen(clifd, answer.data(), answer.size()) > 0) record.to_client += answer.size();
  record.status = status;
  record.ending = ending_of(status);
  linger_close(clifd);
}

// What is left until `deadline`, -1 for no deadline.
int milliseconds_left(steady_clock::time_point deadline) {
  if (deadline == no_deadline) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
  return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), 1 << 30)) : 0;
}

// One HEAD_TIMEOUT from acceptance covers the wait for a slot, the PROXY
// header and the head.
steady_clock::time_point head_deadline(const client_peer& peer) {
  if (HEAD_TIMEOUT == 0) return no_deadline;
  return peer.accepted + std::chrono::seconds(HEAD_TIMEOUT);
}

// What the client sent of its head, and whether it may send more.
struct head_read {
  std::string_view received;  // every byte read: in `first`, or in `longer`
  bool client_open = true;
  bool timed_out = false;  // HEAD_TIMEOUT ran out first
};

// One read of the head with what is left of HEAD_TIMEOUT. Returns false when
// the client ended, failed or ran out of time.
bool read_more(int clifd, char* into, std::size_t wanted, steady_clock::time_point deadline,
               ssize_t& got, head_read& state) {
  got = readn(clifd, into, wanted, milliseconds_left(deadline));
  if (got > 0) return true;
  state.client_open = false;
  state.timed_out = got == -2;
  return false;
}

// Reads until the head is complete, the client closes or fails, `deadline`
// passes, or max_head_size bytes have come; the first `already` bytes of
// `first` came before (after a PROXY header). Returns the head's length, 0
// when there is no complete head.
std::size_t read_head(int clifd, char* first, std::size_t already, std::string& longer,
                      head_read& state, steady_clock::time_point deadline) {
  std::string_view& received = state.received;
  received = std::string_view(first, already);
  if (std::size_t head = head_length(received); head > 0) return head;
  // One read of at most a chunk first: a head that arrives whole is traced
  // exactly as a single read, and needs no buffer of its own.
  if (already < chunk_size) {
    ssize_t got = 0;
    bool more = read_more(clifd, first + already, chunk_size - already, deadline, got, state);
    received = std::string_view(first, already + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (!more) return 0;
    if (std::size_t head = head_length(received); head > 0) return head;
  }
  ssize_t got = 0;
  bool more = true;
  longer.assign(received);
  while (longer.size() < max_head_size) {
    std::size_t size = longer.size();
    std::size_t wanted = max_head_size - size < chunk_size ? max_head_size - size : chunk_size;
    longer.resize(size + wanted);
    more = read_more(clifd, longer.data() + size, wanted, deadline, got, state);
    longer.resize(size + (got > 0 ? static_cast<std::size_t>(got) : 0));
    received = longer;
    if (!more) return 0;
    if (std::size_t head = head_length(received); head > 0) return head;
  }
  return 0;
}

bool is_this_machine(in_addr_t address, const ifaddrs* interfaces) {
  std::uint32_t host_order = ntohl(address);
  if ((host_order >> 24) == 127 || host_order == INADDR_ANY) return true;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address) {
      return true;
    }
  }
  return false;
}

// Up to this many names are kept for NAME_CACHE seconds.
constexpr std::size_t names_kept = 256;
name_cache* recent_names = nullptr;  // null when NAME_CACHE is 0

// The addresses of `host` on `port_text`, from a recent lookup if there is one.
std::vector<sockaddr_in> look_up(const std::string& host, const char* port_text) {
  if (recent_names == nullptr) return resolve(host.c_str(), port_text);
  std::string key = host + ':' + port_text;
  auto now = steady_clock::now();
  std::vector<sockaddr_in> addresses = recent_names->find(key, now);
  if (!addresses.empty()) return addresses;
  addresses = resolve(host.c_str(), port_text);
  recent_names->store(key, addresses, now);
  return addresses;
}

// True when one of `addresses` on `port` is ferry's own listening socket:
// such a request would come back here until every slot is taken.
bool loops_back(const std::vector<sockaddr_in>& addresses, std::uint16_t port) {
  if (port != listening_port) return false;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) interfaces = nullptr;
  bool found = false;
  for (const sockaddr_in& address : addresses) {
    found = found || is_this_machine(address.sin_addr.s_addr, interfaces);
  }
  if (interfaces != nullptr) freeifaddrs(interfaces);
  return found;
}

// This machine's IPv4 addresses (host order), read again when older than two
// seconds: reading them asks the kernel, too dear for every request.
std::vector<std::uint32_t> this_machine_addresses() {
  static std::mutex mutex;
  static std::vector<std::uint32_t> addresses;
  static steady_clock::time_point read_at;
  std::lock_guard lock(mutex);
  auto now = steady_clock::now();
  if (read_at != steady_clock::time_point() && now - read_at < std::chrono::seconds(2)) {
    return addresses;
  }
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  addresses.clear();
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
  }
  freeifaddrs(interfaces);
  read_at = now;
  return addresses;
}

// The first of `addresses` that DENY_TO refuses to `peer`, or null. A client
// on loopback may reach what it could reach without ferry.
const sockaddr_in* denied_destination(const std::vector<sockaddr_in>& addresses,
                                      const client_peer& peer) {
  if (peer.deny_to_exempt) return nullptr;
  std::vector<std::uint32_t> own;
  if (list_has_self(DENY_TO)) own = this_machine_addresses();
  for (const sockaddr_in& address : addresses) {
    std::uint32_t host_order = ntohl(address.sin_addr.s_addr);
    if (list_contains(DENY_TO, host_order) ||
        std::find(own.begin(), own.end(), host_order) != own.end()) {
      return &address;
    }
  }
  return nullptr;
}

// One direction of the relay: bytes read from `from`, waiting to go to `to`.
struct flow {
  int from = -1;
  int to = -1;
  std::string_view pending;  // read and not yet written
  std::size_t written = 0;   // of `pending`
  std::uint64_t bytes_read = 0;
  int full_reads = 0;  // reads that filled the buffer: a long transfer
  std::uint64_t bytes_written = 0;
  bool readable = false;     // a read may find data without a wait
  bool writable = true;      // a write may take bytes without a wait
  bool source_open = true;   // `from` has not ended
  bool blocked = false;      // a write is waiting for room since `blocked_since`
  steady_clock::time_point blocked_since;
  // Taken from the heap on the first read unless given: most requests send
  // nothing after their head, and need no upload buffer at all.
  char* buffer = nullptr;
  std::size_t capacity = chunk_size;
  std::unique_ptr<char[]> owned_buffer;
};

enum class move_result { idle, moved, failed };

// Writes what `to` takes of the pending bytes. A write that takes nothing
// starts the write timeout; one that takes something stops it.
move_result write_pending(flow& direction) {
  ssize_t taken = write_now(direction.to, direction.pending.data(), direction.pending.size(),
                            direction.written);
  if (taken < 0) return move_result::failed;
  if (taken == 0) {
    direction.writable = false;
    if (!direction.blocked) direction.blocked_since = steady_clock::now();
    direction.blocked = true;
    return move_result::idle;
  }
  direction.blocked = false;
  direction.written += static_cast<std::size_t>(taken);
  direction.bytes_written += static_cast<std::uint64_t>(taken);
  if (direction.written == direction.pending.size()) {
    direction.pending = {};
    direction.written = 0;
  }
  return move_result::moved;
}

// Reads once from `from` into the buffer. End of stream clears source_open;
// the bytes read are left in `got`.
move_result read_source(flow& direction, std::string_view& got) {
  if (direction.buffer == nullptr) {
    direction.owned_buffer = std::make_unique_for_overwrite<char[]>(chunk_size);
    direction.buffer = direction.owned_buffer.get();
  }
  // Nothing is pending, so no view points into the old buffer.
  if (direction.full_reads >= 2 && direction.capacity < large_chunk_size && !tracing()) {
    direction.owned_buffer = std::make_unique_for_overwrite<char[]>(large_chunk_size);
    direction.buffer = direction.owned_buffer.get();
    direction.capacity = large_chunk_size;
  }
  ssize_t count = read_now(direction.from, direction.buffer, direction.capacity);
  if (count == would_block) {
    direction.readable = false;
    return move_result::idle;
  }
  if (count < 0) return move_result::failed;
  if (count == 0) direction.source_open = false;
  got = std::string_view(direction.buffer, static_cast<std::size_t>(count));
  direction.bytes_read += static_cast<std::uint64_t>(count);
  if (static_cast<std::size_t>(count) == direction.capacity) direction.full_reads++;
  return move_result::moved;
}

// How the relay ended.
enum class relay_end {
  server_closed,
  server_failed,
  client_failed,
  client_write_failed,
  client_timed_out,  // the client took no answer byte for CON_TIMEOUT
  idle,  // nothing moved for IDLE_TIMEOUT
};

struct relay {
  access_record* record = nullptr;
  cut_point* cut = nullptr;  // null when no stop can reach this request
  flow answer;  // server to client
  flow upload;  // client to server
  char first_read[chunk_size];  // the head, then the answer's chunks
  answer_editor editor;
  bool upload_failed = false;
  bool tunnel = false;        // bytes pass untouched, until both sides end
  bool client_shut = false;   // the server's end was passed on to the client
  steady_clock::time_point last_move;
};

bool upload_done(const relay& r) { return !r.upload.source_open && r.upload.pending.empty(); }

// The server has ended and everything it sent is delivered. A relay is then
// over; a tunnel passes the end on and goes on until the client ends too.
move_result answer_ended(relay& r, relay_end& end) {
  end = relay_end::server_closed;
  if (!r.tunnel) return move_result::failed;
  if (!r.client_shut) {
    shutdown(r.answer.to, SHUT_WR);
    r.client_shut = true;
  }
  return upload_done(r) ? move_result::failed : move_result::idle;
}

// Moves the answer one step: a pending write, or a read through the editor.
// Returns failed with `end` set when the relay is over.
move_result step_answer(relay& r, relay_end& end) {
  flow& answer = r.answer;
  if (!answer.pending.empty()) {
    if (!answer.writable) return move_result::idle;
    move_result result = write_pending(answer);
    if (result == move_result::failed) end = relay_end::client_write_failed;
    return result;
  }
  if (!answer.source_open) return answer_ended(r, end);
  if (!answer.readable) return move_result::idle;
  std::string_view got;
  move_result result = read_source(answer, got);
  if (result == move_result::failed) end = relay_end::server_failed;
  if (result != move_result::moved) return result;
  if (r.tunnel || r.editor.passing()) {
    answer.pending = got;
  } else {
    answer.pending = answer.source_open ? r.editor.feed(got) : r.editor.finish();
  }
  return result;
}

void end_upload(relay& r) {
  r.upload_failed = true;
  r.upload.source_open = false;
  r.upload.pending = {};
  r.upload.blocked = false;
}

// Moves the upload one step. The client's end of stream becomes a half-close
// towards the server, so the server still answers; a server that stops
// taking the upload ends only the upload.
move_result step_upload(relay& r, relay_end& end) {
  flow& upload = r.upload;
  if (!upload.pending.empty()) {
    if (!upload.writable) return move_result::idle;
    move_result result = write_pending(upload);
    if (result == move_result::failed) {
      end_upload(r);
      return move_result::moved;
    }
    return result;
  }
  if (!upload.source_open || !upload.readable) return move_result::idle;
  std::string_view got;
  move_result result = read_source(upload, got);
  if (result == move_result::failed) end = relay_end::client_failed;
  if (result != move_result::moved) return result;
  if (!upload.source_open) {
    shutdown(upload.to, SHUT_WR);
  } else {
    upload.pending = got;
  }
  return result;
}

// A write may wait as long as a relay may pass no byte: a client that pauses
// is not dead. -1: no limit.
long write_limit_ms() { return IDLE_TIMEOUT == 0 ? -1 : IDLE_TIMEOUT * 1000L; }

long since_ms(steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start)
      .count();
}

// Milliseconds until the first write timeout or the idle limit runs out, -1
// when there is neither.
int wait_limit(const relay& r) {
  long shortest = -1;
  auto consider = [&shortest](long left) {
    if (left < 0) left = 0;
    if (shortest < 0 || left < shortest) shortest = left;
  };
  for (const flow* direction : {&r.answer, &r.upload}) {
    if (direction->blocked && write_limit_ms() >= 0) {
      consider(write_limit_ms() - since_ms(direction->blocked_since));
    }
  }
  if (IDLE_TIMEOUT != 0) consider(IDLE_TIMEOUT * 1000L - since_ms(r.last_move));
  return static_cast<int>(shortest);
}

// Applies the write timeout: an answer the client does not take for
// IDLE_TIMEOUT ends the relay (true); an upload the server does not take ends
// only the upload.
bool answer_timed_out(relay& r) {
  if (write_limit_ms() < 0) return false;
  if (r.upload.blocked && since_ms(r.upload.blocked_since) >= write_limit_ms()) end_upload(r);
  return r.answer.blocked && since_ms(r.answer.blocked_since) >= write_limit_ms();
}

bool idle_too_long(const relay& r) {
  return IDLE_TIMEOUT != 0 && since_ms(r.last_move) >= IDLE_TIMEOUT * 1000L;
}

// One wait on both sides, for what each flow waits for; a side with nothing
// to wait for is left out, so its hang-up cannot wake the wait again and
// again. `limit_ms` 0 only checks. Returns false when the wait failed.
bool wait_for_either(relay& r, int limit_ms) {
  flow& answer = r.answer;
  flow& upload = r.upload;
  short client_events = 0;
  short server_events = 0;
  if (upload.source_open && upload.pending.empty() && !upload.readable) client_events |= POLLIN;
  if (!answer.pending.empty() && !answer.writable) client_events |= POLLOUT;
  if (answer.source_open && answer.pending.empty() && !answer.readable) server_events |= POLLIN;
  if (!upload.pending.empty() && !upload.writable) server_events |= POLLOUT;
  pollfd sides[2] = {{client_events != 0 ? upload.from : -1, client_events, 0},
                     {server_events != 0 ? answer.from : -1, server_events, 0}};
  int ready = poll(sides, 2, limit_ms);
  if (ready < 0) return errno == EINTR;
  if (((sides[0].revents | sides[1].revents) & POLLNVAL) != 0) return false;
  if (sides[0].revents & (POLLIN | ready_events)) upload.readable = true;
  if (sides[0].revents & (POLLOUT | ready_events)) answer.writable = true;
  if (sides[1].revents & (POLLIN | ready_events)) answer.readable = true;
  if (sides[1].revents & (POLLOUT | ready_events)) upload.writable = true;
  return true;
}

// Relays both ways until the server has closed and its answer is delivered
// (a tunnel: until both sides have ended), a read fails, a write fails or
// waits longer than CON_TIMEOUT, or nothing moves for IDLE_TIMEOUT.
relay_end relay_both_ways(relay& r) {
  relay_end end = relay_end::server_closed;
  int moves_in_a_row = 0;
  r.last_move = steady_clock::now();
  for (;;) {
    move_result answer_moved = step_answer(r, end);
    if (answer_moved == move_result::failed) return end;
    move_result upload_moved = step_upload(r, end);
    if (upload_moved == move_result::failed) return end;
    bool moved = answer_moved == move_result::moved || upload_moved == move_result::moved;
    if (moved) {
      // A side that keeps finding data is served again at once; now and then
      // the other side is checked, so neither stalls the other.
      if (++moves_in_a_row < moves_before_fairness_check) continue;
    }
    // The clock is read once per wait, not once per move.
    if (moved || moves_in_a_row > 0) r.last_move = steady_clock::now();
    int limit_ms = moved ? 0 : wait_limit(r);
    moves_in_a_row = 0;
    if (!wait_for_either(r, limit_ms)) return relay_end::server_failed;
    if (answer_timed_out(r)) return relay_end::client_timed_out;
    if (idle_too_long(r)) return relay_end::idle;
  }
}

// The port to connect to, and its text for the resolver: the request's own,
// or the http service's.
std::uint16_t target_port(const http_request& request, char (&port_text)[16]) {
  if (request.port != 0) {
    snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(request.port));
    return request.port;
  }
  std::memcpy(port_text, upstream_service, sizeof port_text);
  return upstream_port;
}

// Connects to the server the request names, once the policy allows it.
// Otherwise answers the client itself and returns an empty owner.
unique_fd open_upstream(relay& r, int clifd, const http_request& request,
                        const client_peer& peer) {
  char port_text[sizeof upstream_service];
  std::uint16_t port = target_port(request, port_text);
  if (request.tunnel && !list_contains(CONNECT_PORTS, port)) {
    refuse(*r.record, clifd, 403, "CONNECT to port " + std::to_string(port) + " is refused by CONNECT_PORTS");
    return unique_fd();
  }
  std::vector<sockaddr_in> addresses = look_up(request.host, port_text);
  if (addresses.empty()) {
    refuse(*r.record, clifd, 502, "connection to host failed");
    return unique_fd();
  }
  if (loops_back(addresses, port)) {
    refuse(*r.record, clifd, 508, "the request names this proxy itself");
    return unique_fd();
  }
  if (const sockaddr_in* denied = denied_destination(addresses, peer)) {
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &denied->sin_addr, dotted, sizeof dotted);
    refuse(*r.record, clifd, 403, std::string("destination ") + dotted + " is refused by DENY_TO");
    return unique_fd();
  }
  bool timed_out = false;
  unique_fd servfd(connect_first(addresses, CON_TIMEOUT * 1000, &timed_out));
  if (servfd.get() < 0) {
    if (timed_out) {
      refuse(*r.record, clifd, 504, "connection to host timed out");
    } else {
      refuse(*r.record, clifd, 502, "connection to host failed");
    }
  }
  return servfd;
}

void print_head(std::string_view head) {
  if (!tracing()) return;
  std::string shown = trace_head(head);
  shown += '\n';
  trace_block(shown);
}

const char* ending_of(relay_end end) {
  switch (end) {
    case relay_end::server_closed: return "done";
    case relay_end::server_failed: return "server-failed";
    case relay_end::client_failed:
    case relay_end::client_write_failed: return "client-closed";
    case relay_end::client_timed_out: return "client-timeout";
    case relay_end::idle: return "idle-timeout";
  }
  return "done";
}

// Sets up both flows between the client and `servfd` and pumps until the
// relay ends; says so when the client went away.
relay_end pump(relay& r, int clifd, int servfd, bool client_open, bool upload_ready) {
  r.answer.from = r.upload.to = servfd;
  // The head has gone out, so its buffer is free for the answer.
  r.answer.buffer = r.first_read;
  r.answer.to = r.upload.from = clifd;
  r.upload.source_open = client_open;
  r.upload.readable = client_open && upload_ready;
  relay_end end = relay_both_ways(r);
  // A client reset shows first on either side; both mean it went away.
  if (end == relay_end::client_write_failed || end == relay_end::client_failed ||
      end == relay_end::client_timed_out) {
    trace_line("connection to clinet closed");
  }
  r.record->to_client += r.answer.bytes_written;
  r.record->from_client += r.upload.bytes_read;
  r.record->ending = ending_of(end);
  return end;
}

void report_server_write_failure(access_record& record) {
  record.ending = "server-failed";
  if (tracing()) {
    constexpr char failed[] = "error in data passing to server";
    write_raw(failed, sizeof failed - 1);
  }
}

// Lets a stop reach the server's socket while it is open: cleared before the
// owner closes it, as it is declared after the owner.
class server_watch {
 public:
  server_watch(cut_point* cut, int servfd) : cut_(cut) {
    if (cut_ != nullptr) cut_->set_server(servfd);
  }
  server_watch(const server_watch&) = delete;
  server_watch& operator=(const server_watch&) = delete;
  ~server_watch() { clear(); }
  void clear() {
    if (cut_ != nullptr) cut_->clear_server();
  }

 private:
  cut_point* cut_;
};

// Connects to the server the request names and relays through `r`. The head
// and the body bytes that came with it may lie in r's answer buffer: they are
// sent before the first answer byte is read.
void serve(relay& r, int clifd, const http_request& request, std::string_view head,
           const head_read& state, std::size_t head_size, const client_peer& peer) {
  std::string sent = forward_head(head, request);
  print_head(sent);
  // Built only for the trace: with LOG=access or off nothing reads it.
  if (tracing()) trace("hostname: [", escape_for_trace(host_field_value(request)), "]", 256, "\n");
  unique_fd servfd = open_upstream(r, clifd, request, peer);
  if (servfd.get() < 0) return;
  server_watch watch(r.cut, servfd.get());
  trace_line("send header");
  sent.append(state.received.substr(head_size));
  if (writen(servfd.get(), sent.data(), sent.size()) < 0) {
    report_server_write_failure(*r.record);
    refuse(*r.record, clifd, 502, "connection to host failed");
    return;
  }
  if (!state.client_open) shutdown(servfd.get(), SHUT_WR);
  trace_line("send/receive");
  relay_end end = pump(r, clifd, servfd.get(), state.client_open, request.body_expected);
  r.record->status = r.editor.status();
  watch.clear();
  servfd.reset();
  // The client may still be sending: a body the server did not read.
  bool client_may_send = r.upload.source_open || r.upload_failed;
  if (end != relay_end::client_failed && client_may_send &&
      (request.body_expected || r.upload_failed)) {
    linger_close(clifd);
  }
}

// A CONNECT tunnel: after the 200 line, bytes pass both ways untouched until
// both sides have ended. Bytes that came right after the head go first.
void open_tunnel(relay& r, int clifd, const http_request& request, std::string_view head,
                 const head_read& state, std::size_t head_size, const client_peer& peer) {
  print_head(head);
  if (tracing()) trace("tunnel to: [", escape_for_trace(request.host), ":", request.port, "]\n");
  unique_fd servfd = open_upstream(r, clifd, request, peer);
  if (servfd.get() < 0) return;
  server_watch watch(r.cut, servfd.get());
  constexpr std::string_view established = "HTTP/1.1 200 Connection established\r\n\r\n";
  r.record->status = 200;
  if (writen(clifd, established.data(), established.size()) < 0) {
    trace_line("connection to clinet closed");
    r.record->ending = "client-closed";
    return;
  }
  r.record->to_client += established.size();
  std::string_view early = state.received.substr(head_size);
  if (!early.empty() && writen(servfd.get(), early.data(), early.size()) < 0) {
    report_server_write_failure(*r.record);
    return;
  }
  if (!state.client_open) shutdown(servfd.get(), SHUT_WR);
  trace_line("tunnel established");
  r.tunnel = true;
  pump(r, clifd, servfd.get(), state.client_open, true);
  trace_line("tunnel closed");
}

// The request's method and target for the access log.
void note_request(access_record& record, const http_request& request) {
  if (LOG != log_mode::access) return;
  record.method = request.method;
  if (request.tunnel) {
    record.target = request.host + ":" + std::to_string(request.port);
    return;
  }
  record.target = "http://" + host_field_value(request);
  if (!request.path.starts_with('/')) record.target += '/';
  record.target += request.path;
}

// Reads the PROXY header a balancer sends first, before `deadline`, and
// takes the client it names; what came after it is left at the start of
// `buffer`, `already` bytes. Returns false, with nothing answered, when the
// header is missing, bad or late, or the balancer closed.
bool take_proxy_header(int clifd, client_peer& peer, access_record& record, char* buffer,
                       std::size_t& already) {
  proxy_header header;
  std::size_t received = 0;
  if (!read_proxy_header(clifd, header, milliseconds_left(head_deadline(peer)), buffer,
                         chunk_size, received)) {
    record.ending = "bad-proxy-header";
    return false;
  }
  already = received - header.size;
  std::memmove(buffer, buffer + header.size, already);
  if (header.has_address) {
    peer.address = header.address;
    peer.port = header.port;
    peer.named = true;
  }
  peer.ipv6 = header.ipv6_source;
  record.client_address = peer.address;
  record.client_port = peer.port;
  return true;
}

}  // namespace

void set_up_relay(std::uint16_t own_port) {
  listening_port = own_port;
  if (NAME_CACHE != 0) recent_names = new name_cache(names_kept, std::chrono::seconds(NAME_CACHE));
  servent entry;
  servent* found = nullptr;
  char scratch[1024];
  if (getservbyname_r("http", "tcp", &entry, scratch, sizeof scratch, &found) == 0 &&
      found != nullptr) {
    upstream_port = ntohs(static_cast<std::uint16_t>(found->s_port));
    snprintf(upstream_service, sizeof upstream_service, "%u", static_cast<unsigned>(upstream_port));
  }
}

std::string error_answer(int status, std::string_view body_line,
                         std::string_view extra_fields) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(body_line.size() + 1) + "\r\n";
  answer.append(extra_fields).append("Connection: close\r\n\r\n");
  answer.append(body_line);
  answer += '\n';
  return answer;
}

std::size_t answer_and_close_now(int clifd, std::string_view answer) {
  ssize_t sent = answer.empty() ? 0 : send(clifd, answer.data(), answer.size(),
                                           MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(clifd, SHUT_WR);
  char scratch[4096];
  for (int reads = 0; reads < 16; ++reads) {
    if (recv(clifd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) break;
  }
  close(clifd);
  return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

void cut_point::set_server(int servfd) {
  std::lock_guard lock(mutex_);
  server_ = servfd;
}

void cut_point::note_head_complete() {
  std::lock_guard lock(mutex_);
  head_complete_ = true;
}

bool cut_point::cut(bool unfinished_heads_only) {
  std::lock_guard lock(mutex_);
  if (unfinished_heads_only && head_complete_) return false;
  for (int fd : {client_, server_}) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  cut_ = true;
  return true;
}

bool cut_point::was_cut() {
  std::lock_guard lock(mutex_);
  return cut_;
}

void relay_request(int clifd, client_peer peer, access_record& record, cut_point* cut) {
  trace_line("getting header");
  relay r;
  r.record = &record;
  r.cut = cut;
  // Only a client whose own socket is on loopback may reach what it could
  // reach without ferry; a PROXY header's word for it does not count.
  peer.deny_to_exempt = !peer.proxied && (peer.address >> 24) == 127;
  std::size_t already = 0;
  if (peer.proxied) {
    if (!take_proxy_header(clifd, peer, record, r.first_read, already)) return;
    // The listener could not judge a balancer's client; judged here instead.
    // A header that names no client is judged once a request follows: a
    // health check just closes.
    if (peer.ipv6 || (peer.named && !list_contains(ALLOW, peer.address))) {
      refuse(record, clifd, 403, not_allowed_line);
      return;
    }
  }
  std::string longer;
  head_read state;
  std::size_t head_size =
      read_head(clifd, r.first_read, already, longer, state, head_deadline(peer));
  record.from_client += state.received.size();
  if (peer.proxied && !peer.named) {
    // A balancer's health check: a header without a client, then the close.
    if (state.received.empty()) record.written = false;
    if (!state.received.empty() && !list_contains(ALLOW, peer.address)) {
      refuse(record, clifd, 403, not_allowed_line);
      return;
    }
  }
  if (head_size == 0) {
    record.ending = state.timed_out ? "client-timeout" : "client-closed";
    if (state.received.size() >= max_head_size) {
      refuse(record, clifd, 431, "request head larger than 65536 bytes");
    } else if (!state.received.empty() && state.timed_out) {
      refuse(record, clifd, 408, "request head not complete within HEAD_TIMEOUT seconds");
    } else if (!state.received.empty() && !state.client_open) {
      refuse(record, clifd, 400, "request head incomplete");
    }
    return;
  }
  if (cut != nullptr) cut->note_head_complete();
  std::string_view head = state.received.substr(0, head_size);
  http_request request;
  if (int status = parse_request(head, &request); status != 0) {
    refuse(record, clifd, status, request.problem);
    return;
  }
  note_request(record, request);
  if (request.tunnel) {
    open_tunnel(r, clifd, request, head, state, head_size, peer);
  } else {
    serve(r, clifd, request, head, state, head_size, peer);
  }
}
