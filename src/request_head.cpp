#include "request_head.h"

#include <algorithm>
#include <optional>

#include "head_scan.h"
#include "ip_address.h"
#include "text.h"

namespace ferry {

namespace {

// No control character and no space: what a request target may hold.
bool is_visible_text(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7f;
  });
}

int refuse(http_request* request, const char* problem) {
  request->problem = problem;
  return 400;
}

bool has_nul_or_bare_cr(std::string_view head) {
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\0') return true;
    if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return true;
  }
  return false;
}

bool is_http_version(std::string_view text) {
  return text.size() == 8 && text.starts_with("HTTP/") && is_digit(text[5]) && text[6] == '.' &&
         is_digit(text[7]);
}

// METHOD SP TARGET SP VERSION, with single spaces.
bool read_request_line(std::string_view line, http_request* request, std::string_view* target) {
  std::size_t first_space = line.find(' ');
  if (first_space == std::string_view::npos) return false;
  std::size_t second_space = line.find(' ', first_space + 1);
  if (second_space == std::string_view::npos) return false;
  request->method = line.substr(0, first_space);
  *target = line.substr(first_space + 1, second_space - first_space - 1);
  request->version = line.substr(second_space + 1);
  return is_token(request->method) && !target->empty() && is_visible_text(*target) &&
         is_http_version(request->version);
}

// Where the body ends, and whether the client means to go on. Transfer-
// Encoding and Content-Length together are how one request is smuggled in
// another (each parser on the way picks a different one), so they are
// refused, not ranked. Returns the problem, or null.
const char* read_framing(const framing_fields& fields, http_request* request) {
  const bool old_version = before_http_1_1(request->version);
  // HTTP/1.0 knows no codings: after a chunked body from such a client, the
  // next request's start is not to be trusted.
  request->close_wanted =
      fields.close || (old_version && (!fields.keep_alive || fields.transfer_encoding_seen));
  request->upgrade_wanted = fields.upgrade_option && !fields.upgrade.empty();
  request->upgrade = fields.upgrade;
  if (fields.content_length_seen && fields.transfer_encoding_seen) {
    return "both Content-Length and Transfer-Encoding";
  }
  if (fields.transfer_encoding_seen) {
    if (!fields.ends_in_chunked) return "Transfer-Encoding does not end in chunked";
    request->body.kind = body_kind::chunked;
  } else if (fields.content_length_seen) {
    if (fields.content_length_bad) return "bad Content-Length";
    request->body = {body_kind::length, fields.content_length};
  }
  request->body_expected = request->body.kind == body_kind::chunked || request->body.length > 0;
  return nullptr;
}

// Checks every field line, keeps the Host value in `*host` and reads the
// body's framing. Returns the problem, or null.
const char* read_fields(std::string_view fields, http_request* request,
                        std::optional<std::string_view>* host) {
  framing_fields framing;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (is_continuation(line)) return "obsolete line folding in request head";
    std::string_view name = field_name(line);
    if (!is_token(name)) return "bad field line";
    std::string_view value = field_value(line);
    if (equals_ignoring_case(name, "Host")) {
      if (!host->has_value()) {
        *host = value;
      } else if (!equals_ignoring_case(**host, value)) {
        return "two Host fields differ";
      }
    }
    if (equals_ignoring_case(name, "Proxy-Authorization")) {
      request->proxy_authorization = value;
      ++request->proxy_authorization_fields;
    }
    if (equals_ignoring_case(name, "Via")) request->via_values.push_back(value);
    take_framing_field(name, value, &framing);
  }
  return read_framing(framing, request);
}

// Digits only, 1 to 65535; nothing at all names no port.
bool read_named_port(std::string_view digits, std::uint16_t* port) {
  if (digits.empty()) return true;
  return read_port(digits, leading_zeros::allowed, *port) && *port != 0;
}

bool is_host_character(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
         c == '_';
}

// Reads "host[:port]", where host is a name, an IPv4 address or an IPv6
// address in brackets (no zone). Returns the problem, or null.
const char* read_authority(std::string_view authority, http_request* request) {
  if (authority.find('@') != std::string_view::npos) return "user information before host";
  std::size_t host_end = 0;
  if (authority.starts_with('[')) {
    host_end = authority.find(']');
    ip_address unused;
    if (host_end == std::string_view::npos ||
        !parse_ip_address(authority.substr(1, host_end - 1), unused) ||
        authority.substr(1, host_end - 1).find(':') == std::string_view::npos) {
      return "bad IPv6 address in brackets";
    }
    ++host_end;
    if (host_end < authority.size() && authority[host_end] != ':') return "bad port";
  } else {
    host_end = authority.find(':');
  }
  std::string_view host = authority.substr(0, host_end);
  std::size_t colon = host_end < authority.size() ? host_end : std::string_view::npos;
  if (host.empty()) return "request names no host";
  if (!host.starts_with('[') && !std::all_of(host.begin(), host.end(), is_host_character)) {
    return "bad host name";
  }
  if (colon != std::string_view::npos &&
      !read_named_port(authority.substr(colon + 1), &request->port)) {
    return "bad port";
  }
  request->host = host;
  return nullptr;
}

// An http:// target names the host, whatever Host says; "/path" takes Host's;
// CONNECT takes host:port and nothing else.
const char* read_target(std::string_view target, std::optional<std::string_view> host_field,
                        http_request* request) {
  if (request->method == "CONNECT") {
    request->tunnel = true;
    if (target.find_first_of("/?") != std::string_view::npos) return "CONNECT needs host:port";
    const char* problem = read_authority(target, request);
    if (problem == nullptr && request->port == 0) return "CONNECT needs host:port";
    return problem;
  }
  if (target.starts_with('/')) {
    request->path = target;
    if (!host_field.has_value()) return "request names no host";
    return read_authority(*host_field, request);
  }
  constexpr std::string_view scheme = "http://";
  if (!equals_ignoring_case(target.substr(0, scheme.size()), scheme)) {
    return "unsupported request target";
  }
  request->absolute_form = true;
  std::string_view rest = target.substr(scheme.size());
  std::size_t authority_end = rest.find_first_of("/?");
  request->path =
      authority_end == std::string_view::npos ? std::string_view("/") : rest.substr(authority_end);
  return read_authority(rest.substr(0, authority_end), request);
}

}  // namespace

int parse_request(std::string_view head, http_request* request) {
  *request = http_request{};
  std::size_t length = head_length(head);
  if (length == 0) return refuse(request, "request head is not complete");
  head = head.substr(0, length);
  if (has_nul_or_bare_cr(head)) return refuse(request, "NUL or bare CR in request head");
  head_parts parts = split_head(head);
  std::string_view target;
  if (!read_request_line(without_line_ending(parts.start_line), request, &target)) {
    return refuse(request, "bad request line");
  }
  std::optional<std::string_view> host_field;
  const char* problem = read_fields(parts.fields, request, &host_field);
  if (problem == nullptr) problem = read_target(target, host_field, request);
  return problem == nullptr ? 0 : refuse(request, problem);
}

foreign_protocol foreign_protocol_of(std::string_view bytes) {
  if (bytes.size() < 2) return foreign_protocol::none;
  const auto second = static_cast<unsigned char>(bytes[1]);
  if (bytes[0] == 0x16 && second == 0x03) return foreign_protocol::tls;
  if (bytes[0] == 0x04 && (second == 1 || second == 2)) return foreign_protocol::socks4;
  if (bytes[0] == 0x05 && second != 0) return foreign_protocol::socks5;
  return foreign_protocol::none;
}

const char* foreign_protocol_name(foreign_protocol protocol) {
  switch (protocol) {
    case foreign_protocol::tls:
      return "TLS";
    case foreign_protocol::socks4:
      return "SOCKS 4";
    case foreign_protocol::socks5:
      return "SOCKS 5";
    default:
      return "HTTP";
  }
}

std::string resolver_name(std::string_view host) {
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  return std::string(host);
}

std::string host_field_value(const http_request& request) {
  if (request.port == 0 || request.port == 80) return request.host;
  return request.host + ":" + std::to_string(request.port);
}

}  // namespace ferry
