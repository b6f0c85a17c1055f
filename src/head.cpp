#include "head.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "request_head.h"
#include "transfer.h"

namespace ferry {
namespace {

// One read of the head with what is left of the time. Returns false when
// the client ended, failed or ran out of time.
bool read_more(int clifd, char* into, std::size_t wanted, const deadline& until, std::size_t& got,
               head_read& state) {
  transfer read = wait_and_read(clifd, into, wanted, until);
  got = read.bytes;
  if (read.result == io_result::done) return true;
  state.client_open = false;
  state.timed_out = read.result == io_result::timed_out;
  return false;
}

// The head's length once complete; 0 while more is wanted, or when the
// bytes start another protocol, which no more bytes would make HTTP.
std::size_t complete_head(head_read& state) {
  if (std::size_t head = head_length(state.received); head > 0) return head;
  if (state.first_on_connection) state.foreign = foreign_protocol_of(state.received);
  return 0;
}

}  // namespace

bool read_proxy_header(int fd, proxy_header& header, const deadline& until, char* buffer,
                       std::size_t capacity, std::size_t& received) {
  received = 0;
  for (;;) {
    if (wait_ready(fd, POLLIN, until) != io_result::done) return false;
    ssize_t got = read_once(fd, buffer + received, capacity - received);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return false;
    received += static_cast<std::size_t>(got);
    auto result = parse_proxy_header(std::string_view(buffer, received), header);
    if (result == proxy_header::result::complete) return true;
    if (result == proxy_header::result::bad || received >= proxy_header_limit) return false;
  }
}

bool take_proxy_header(int clifd, client_peer& peer, access_record& record, const deadline& until,
                       char* buffer, std::size_t capacity, std::size_t& already) {
  proxy_header header;
  std::size_t received = 0;
  if (!read_proxy_header(clifd, header, until, buffer, capacity, received)) {
    record.ending = request_ending::bad_proxy_header;
    return false;
  }
  already = received - header.size;
  std::memmove(buffer, buffer + header.size, already);
  if (header.has_address) {
    peer.address = header.address;
    peer.port = header.port;
    peer.named = true;
  }
  record.client_address = peer.address;
  record.client_port = peer.port;
  return true;
}

std::size_t read_head(int clifd, char* first, std::size_t first_size, std::size_t already,
                      std::string& longer, head_read& state, const deadline& until) {
  std::string_view& received = state.received;
  received = std::string_view(first, already);
  if (std::size_t head = complete_head(state); head > 0) return head;
  if (state.foreign != foreign_protocol::none) return 0;
  // One read of at most a chunk first: a head that arrives whole is traced
  // exactly as a single read, and needs no buffer of its own.
  std::size_t got = 0;
  if (already < first_size) {
    bool more = read_more(clifd, first + already, first_size - already, until, got, state);
    received = std::string_view(first, already + got);
    if (!more) return 0;
    if (std::size_t head = complete_head(state); head > 0) return head;
    if (state.foreign != foreign_protocol::none) return 0;
  }
  longer.assign(received);
  while (longer.size() < max_head_size) {
    std::size_t size = longer.size();
    std::size_t wanted = std::min(max_head_size - size, first_size);
    longer.resize(size + wanted);
    bool more = read_more(clifd, longer.data() + size, wanted, until, got, state);
    longer.resize(size + got);
    received = longer;
    if (!more) return 0;
    if (std::size_t head = complete_head(state); head > 0) return head;
    if (state.foreign != foreign_protocol::none) return 0;
  }
  return 0;
}

hello_result read_tunnel_hello(int clifd, std::string& first_bytes, bool& client_open,
                               std::string& server_name, std::uint64_t& bytes_read,
                               const deadline& until) {
  hello_result hello = read_client_hello(first_bytes, server_name);
  char chunk[4096];
  while (hello == hello_result::need_more && client_open &&
         first_bytes.size() < max_client_hello_bytes) {
    if (wait_ready(clifd, POLLIN, until) != io_result::done) break;
    std::size_t room = std::min(sizeof chunk, max_client_hello_bytes - first_bytes.size());
    ssize_t got = read_once(clifd, chunk, room);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      client_open = false;
      break;
    }
    first_bytes.append(chunk, static_cast<std::size_t>(got));
    bytes_read += static_cast<std::uint64_t>(got);
    hello = read_client_hello(first_bytes, server_name);
  }
  return hello;
}

}  // namespace ferry
