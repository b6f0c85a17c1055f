// Rewriting a request head to forward it to the next hop, the server or a
// parent proxy. Pure: no sockets, no globals.
#pragma once

#include <string>
#include <string_view>

#include "head_scan.h"
#include "request_head.h"

namespace ferry {

// What forward_head writes beyond the client's head, for the next hop.
struct next_hop {
  // Appended to the request's Via values in one Via field; empty: Via
  // fields pass as they came.
  std::string_view via_name;
  bool parent = false;  // the next hop is a parent proxy: the request line in absolute form
  std::string_view parent_fields;  // whole lines for the parent alone: its Proxy-Authorization
};

// The head as the server receives it: the request line in origin-form (for
// a parent, absolute form); one
// Host field right after it; no Host, Connection, Keep-Alive or
// Proxy-Authorization field of the client's, nor any field its Connection
// fields name; `connection_fields` (whole lines) as the last fields; every
// line ending in CRLF, a bare LF's line too; Content-Length once, as one
// number ("4, 4" goes on as "4"); every other byte as received. With "Connection: close", each
// "Proxy-Connection: Keep-Alive\r\n" is rewritten to
// "Proxy-Connection: Close\r\n"; with any other fields the connection is
// to be kept, and Proxy-Connection is left out. Bytes after the head are
// left out. `hop` adds the Via field and what a parent needs.
std::string forward_head(std::string_view head, const http_request& request,
                         std::string_view connection_fields = close_connection_field,
                         const next_hop& hop = {});

}  // namespace ferry
