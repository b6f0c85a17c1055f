// The PROXY protocol header a balancer puts before a client's bytes (text
// version 1 and binary version 2). Pure: no sockets, no globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ip_address.h"

namespace ferry {

// Version 1 headers are at most this long.
inline constexpr std::size_t proxy_v1_max_size = 107;

struct proxy_header {
  enum class result { incomplete, bad, complete };
  std::size_t size = 0;        // bytes the header takes, once complete
  bool has_address = false;    // false for LOCAL / UNKNOWN: keep the connection's own
  ip_address address;          // the client's source address, IPv4 or IPv6
  std::uint16_t port = 0;      // the client's source port
};

// Reads the header at the start of `bytes`. Returns incomplete while more
// bytes are needed (and could still make a valid header), bad as soon as they
// cannot, complete with `header` filled.
proxy_header::result parse_proxy_header(std::string_view bytes, proxy_header& header);

}  // namespace ferry
