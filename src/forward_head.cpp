#include "forward_head.h"

#include <span>

#include "text.h"
#include "via.h"

namespace ferry {

namespace {

constexpr std::string_view keep_alive_line = "Proxy-Connection: Keep-Alive\r\n";
constexpr std::string_view close_line = "Proxy-Connection: Close\r\n";

// Rewrites every "Proxy-Connection: Keep-Alive" line to "Proxy-Connection:
// Close": exact, case-sensitive, left to right, without overlap.
void close_keep_alive(std::string* text) {
  const std::string_view find = keep_alive_line;
  std::size_t at = text->find(find);
  if (at == std::string::npos) return;
  std::string result;
  std::size_t copied = 0;
  for (; at != std::string::npos; at = text->find(find, copied)) {
    result.append(*text, copied, at - copied).append(close_line);
    copied = at + find.size();
  }
  result.append(*text, copied);
  *text = std::move(result);
}

// The field lines as a server is to read them. Every line ending is made
// CRLF, each line's content as received: a server that ends lines only at
// CRLF must read the lines ferry read, or a field after a bare LF (a
// Content-Length) would hide from one of the two. Content-Length goes on as
// one field of one number, where it came as a list or in several fields of
// that number, which a server might read another way.
std::string fields_for_server(std::string_view fields, const http_request& request) {
  const std::string length = std::to_string(request.body.length);
  bool length_written = false;
  std::string out;
  out.reserve(fields.size() + 64);
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (equals_ignoring_case(field_name(line), "Content-Length")) {
      if (length_written) continue;
      length_written = true;
      if (field_value(line) != length) {
        out.append("Content-Length: ").append(length).append(crlf);
        continue;
      }
    }
    out.append(line).append(crlf);
  }
  return out;
}

}  // namespace

std::string forward_head(std::string_view head, const http_request& request,
                         std::string_view connection_fields, const next_hop& hop) {
  // A connection that is kept has no use for the old Proxy-Connection field:
  // a server that honoured its Close would end what ferry means to reuse.
  const bool closing = connection_fields == close_connection_field;
  std::string_view dropped[6] = {"Host", "Connection", "Keep-Alive", "Proxy-Authorization"};
  std::size_t dropped_count = 4;
  if (!closing) dropped[dropped_count++] = "Proxy-Connection";
  if (!hop.via_name.empty()) dropped[dropped_count++] = "Via";
  head_parts parts = split_head(head);
  std::string out;
  out.reserve(head.size() + request.host.size() + 128);
  out.append(request.method).append(" ");
  if (hop.parent) out.append("http://").append(host_field_value(request));
  if (!request.path.starts_with('/')) out.append("/");
  out.append(request.path).append(" ").append(request.version).append(crlf);
  out.append("Host: ").append(host_field_value(request)).append(crlf);
  append_end_to_end_fields(fields_for_server(parts.fields, request),
                           std::span(dropped, dropped_count), &out);
  if (!hop.via_name.empty()) out.append(via_field_line(request.via_values, hop.via_name));
  out.append(hop.parent_fields);
  out.append(connection_fields);
  // The server gets one line-ending style after the fields ferry wrote.
  out.append(crlf);
  if (closing) close_keep_alive(&out);
  return out;
}

}  // namespace ferry
