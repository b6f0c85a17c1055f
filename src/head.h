// Reading a request's head from the client: the PROXY header first where a
// balancer sends one, then the head, all within one HEAD_TIMEOUT counted
// from acceptance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client_hello.h"
#include "io.h"
#include "log.h"
#include "request_head.h"
#include "policy.h"
#include "proxy_protocol.h"

namespace ferry {

// The longest PROXY header ferry takes.
inline constexpr std::size_t proxy_header_limit = 1024;

// Reads the PROXY header at the start of `fd` into `buffer` before `until`;
// `received` is what was read, the header and maybe bytes after it. Returns
// false when the bytes are not a header, the peer ends or fails, the time
// runs out, or the header is longer than proxy_header_limit. `capacity` must
// be above that limit.
bool read_proxy_header(int fd, proxy_header& header, const deadline& until, char* buffer,
                       std::size_t capacity, std::size_t& received);

// Reads a balancer's PROXY header and takes the client it names into `peer`
// and `record`; what came after it is left at the start of `buffer` (of
// `capacity` bytes), `already` bytes. Returns false, with nothing answered
// and the ending "bad-proxy-header", when it is missing, bad or late, or the
// balancer closed.
bool take_proxy_header(int clifd, client_peer& peer, access_record& record, const deadline& until,
                       char* buffer, std::size_t capacity, std::size_t& already);

// What the client sent of its head, and whether it may send more.
struct head_read {
  std::string_view received;  // every byte read: in `first`, or in `longer`
  bool client_open = true;
  bool timed_out = false;  // the deadline passed first
  // Only a connection's first bytes are judged as another protocol: after an
  // HTTP request, bytes that are not one are a bad request.
  bool first_on_connection = true;
  foreign_protocol foreign = foreign_protocol::none;  // what the bytes start instead of HTTP
};

// Reads until the head is complete, the client closes or fails, `until`
// passes, the bytes start another protocol (state.foreign), or
// max_head_size bytes have come; the first `already` bytes of
// `first` (a buffer of `first_size`) came before. Returns the head's length,
// 0 when there is no complete head.
std::size_t read_head(int clifd, char* first, std::size_t first_size, std::size_t already,
                      std::string& longer, head_read& state, const deadline& until);

// A tunnel's first client bytes, read on after `first_bytes` until they
// make a whole ClientHello or cannot (max_client_hello_bytes at most), the
// client ends (`client_open` false) or `until` passes; the bytes read are
// added to `first_bytes` and counted in `bytes_read`. Returns what they
// are; `server_name` is the hello's.
hello_result read_tunnel_hello(int clifd, std::string& first_bytes, bool& client_open,
                               std::string& server_name, std::uint64_t& bytes_read,
                               const deadline& until);

}  // namespace ferry
