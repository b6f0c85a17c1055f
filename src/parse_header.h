// Request and answer heads: pure functions over bytes, no sockets, no globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "framing.h"

namespace ferry {

// The largest head ferry reads, from a client or a server.
inline constexpr std::size_t max_head_size = 64 * 1024;

// Returns the length of the head at the start of `bytes`, up to and including
// the empty line that ends it (CRLF CRLF; a bare LF may stand for any CRLF),
// or 0 while no such line has arrived. Empty lines before the start line
// count in the length but do not end the head.
std::size_t head_length(std::string_view bytes);

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
  std::string_view proxy_authorization;   // the last Proxy-Authorization field's value
  std::size_t proxy_authorization_fields = 0;  // how many there were
  std::vector<std::string_view> via_values;   // every Via field's value, in order
  const char* problem = "";     // why the head was refused, one line
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

inline constexpr std::string_view close_connection_field = "Connection: close\r\n";

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

// The name or address to resolve for `host`: without the brackets of an IPv6
// address.
std::string resolver_name(std::string_view host);

// The Host value sent upstream: host, and ":port" unless it is 80 or none.
std::string host_field_value(const http_request& request);

// The head as the trace prints it: the values of Authorization,
// Proxy-Authorization and Cookie replaced by their length, and control bytes
// other than the line breaks and bytes 0x80-0xFF written as \xNN, so a value
// cannot forge a line or drive a terminal.
std::string trace_head(std::string_view head);

// `text` escaped as trace_head escapes a value.
std::string escape_for_trace(std::string_view text);

// Edits a server's answer as it streams through: interim (1xx) heads pass as
// they are, the final head gets one "Connection: close" (or the fields a
// field_choice picks) in place of the server's Connection fields, the fields
// those name and Keep-Alive, and its Content-Length fields as
// fix_content_length says. Bytes after the final head, and an answer that
// does not start with an HTTP status line, pass untouched. With a Via name,
// the final head's Via values go on in one field with ferry's entry last.
class answer_editor {
 public:
  // Picks the fields (whole lines) to write in place of the server's
  // Connection fields, given the complete final head and its status.
  using field_choice = std::function<std::string(std::string_view final_head, int status)>;
  void choose_fields_with(field_choice choice) { choice_ = std::move(choice); }
  // Fits the answer to its request: interim heads are left out for a client
  // that cannot take them (HTTP/1.0), and a 101 is broken unless an upgrade
  // was asked for.
  void add_via(std::string_view own_name) { via_name_ = own_name; }
  void fit_to_request(bool interim_wanted, bool upgrade_asked) {
    interim_wanted_ = interim_wanted;
    upgrade_asked_ = upgrade_asked;
  }
  // Takes the server's next bytes; returns what may go to the client now. The
  // view stays valid until the next call. Bytes of a head that is not yet
  // complete are held back.
  std::string_view feed(std::string_view bytes);
  // At the server's end of stream: whatever is still held back, untouched.
  std::string_view finish();
  // True once the final head has passed (or editing was given up): from then
  // on the caller may send server bytes straight to the client.
  bool passing() const { return passing_; }
  // The final answer's status code, 0 while unknown or when there was none.
  int status() const { return status_; }
  // Where the body begins in what the last feed returned: npos when it held
  // all back or returned heads only.
  std::size_t body_start() const { return body_start_; }
  // The answer cannot be HTTP: where a head should start there is no status
  // line, or a code outside 100-599, or a 101 nobody asked for. What feed
  // returned with it must not reach the client.
  bool broken() const { return broken_; }
  // Bytes of interim heads returned so far.
  std::size_t interim_bytes() const { return interim_bytes_; }

 private:
  std::string held_;
  std::string out_;
  field_choice choice_;
  std::string via_name_;
  bool passing_ = false;
  bool broken_ = false;
  bool interim_wanted_ = true;
  bool upgrade_asked_ = true;
  int status_ = 0;
  std::size_t interim_bytes_ = 0;
  std::size_t body_start_ = std::string_view::npos;
};

}  // namespace ferry

