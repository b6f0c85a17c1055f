// Reading and checking a request head: what it asks for, or why it is
// refused; and what a connection's first bytes are when not HTTP. Pure: no
// sockets, no globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framing.h"
#include "head_scan.h"

namespace ferry {

// What a request head asks for. The views point into the head passed to
// parse_request (or at a static "/").
struct http_request {
  std::string_view method;
  // "/path?query"; after an absolute-form authority, what follows it: "/" when
  // nothing does, or "?query" without the "/" that forward_head puts before it.
  std::string_view path;
  std::string_view version;  // "HTTP/1.1"
  std::string host;          // as named, without the port: an IPv6 address keeps its brackets
  std::uint16_t port = 0;    // 0 when none was named
  bool absolute_form = false;
  bool tunnel = false;         // CONNECT host:port
  bool body_expected = false;  // Content-Length above 0, or Transfer-Encoding
  body_framing body;           // where the body ends: by its length, chunked, or none
  // A Connection field names close, or an HTTP/1.0 request does not name
  // keep-alive, or sends Transfer-Encoding: no further request may follow.
  bool close_wanted = false;
  bool upgrade_wanted = false;  // a Connection field names upgrade, and Upgrade is not empty
  std::string_view upgrade;     // the first Upgrade field's value
  std::string_view proxy_authorization;        // the last Proxy-Authorization field's value
  std::size_t proxy_authorization_fields = 0;  // how many there were
  std::vector<std::string_view> via_values;    // every Via field's value, in order
  const char* problem = "";                    // why the head was refused, one line
};

// Reads the head at the start of `head` (as head_length measures it; bytes
// after it are not read). Returns 0, or 400 with `problem` set when the head
// is not complete, names no usable target, has a malformed request line or
// field line, two Host fields that differ, a NUL or a bare CR. A CONNECT
// request must name host:port, port included; its Host field is not used.
// A body whose end two parsers could place differently is refused too: both
// Content-Length and Transfer-Encoding, a Content-Length that is not one
// number, a Transfer-Encoding that does not end in one chunked.
int parse_request(std::string_view head, http_request* request);

// What a request's first bytes are when they start another protocol: a
// client set up for TLS or SOCKS to the proxy. A method is a token, and
// only empty lines may come before it, so 0x16, 0x04 and 0x05 never start
// an HTTP request.
enum class foreign_protocol { none, tls, socks4, socks5 };

// A TLS record (0x16 0x03), a SOCKS 4 request (0x04, then command 1 or 2)
// or a SOCKS 5 greeting (0x05, then a number of methods above 0) at the
// start of `bytes`; none for anything else, and while too few bytes came.
foreign_protocol foreign_protocol_of(std::string_view bytes);

// "TLS", "SOCKS 4", "SOCKS 5" (or "HTTP" for none), for the trace.
const char* foreign_protocol_name(foreign_protocol protocol);

// The name or address to resolve for `host`: without the brackets of an IPv6
// address.
std::string resolver_name(std::string_view host);

// The Host value sent upstream: host, and ":port" unless it is 80 or none.
std::string host_field_value(const http_request& request);

}  // namespace ferry
