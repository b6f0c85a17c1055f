#include "parse_header.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ip_address.h"
#include "text.h"
#include "via.h"

namespace ferry {

namespace {

constexpr std::string_view crlf = "\r\n";
constexpr std::string_view keep_alive_line = "Proxy-Connection: Keep-Alive\r\n";
constexpr std::string_view close_line = "Proxy-Connection: Close\r\n";

// Control bytes other than CR LF and LF line breaks, and bytes 0x80-0xFF
// (0x9b starts a control sequence on 8-bit terminals), become \xNN.
constexpr kept_bytes kept_in_trace{.space = true, .backslash = true, .line_breaks = true};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_tchar(char c) {
  if (is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_tchar);
}

// No control character and no space: what a request target may hold.
bool is_visible_text(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7f;
  });
}

// Unlike strncasecmp, this does not stop at a NUL byte.
bool less_ignoring_case(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lower_case(x) < lower_case(y); });
}

// `line` (one line, as take_line keeps it) without its ending.
std::string_view without_line_ending(std::string_view line) {
  return take_line(&line, line_ending::dropped);
}

// A field line that starts with white space continues the field before it.
bool is_continuation(std::string_view line) { return !line.empty() && is_blank(line.front()); }

// The text before the first ':', or nothing when there is none.
std::string_view field_name(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

std::string_view field_value(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : trim_blanks(line.substr(colon + 1));
}

// Empty lines before the start line are ignored, as HTTP/1.1 recipients may.
std::size_t leading_empty_lines_size(std::string_view bytes) {
  std::size_t position = 0;
  while (true) {
    std::string_view rest = bytes.substr(position);
    if (rest.starts_with('\n')) {
      position += 1;
    } else if (rest.starts_with(crlf)) {
      position += 2;
    } else {
      return position;
    }
  }
}

// Returns the size of `bytes` up to the LF that ends its first empty line, or
// 0. The first line of `bytes` must not be empty. LFs before `from` are known
// not to end one, so a caller adding bytes to a held head scans each byte once.
std::size_t empty_line_end(std::string_view bytes, std::size_t from) {
  for (std::size_t at = bytes.find('\n', from); at != std::string_view::npos;
       at = bytes.find('\n', at + 1)) {
    if (at >= 1 && bytes[at - 1] == '\n') return at + 1;
    if (at >= 2 && bytes[at - 1] == '\r' && bytes[at - 2] == '\n') return at + 1;
  }
  return 0;
}

struct head_parts {
  std::string_view start_line;  // with its line ending
  std::string_view fields;      // the field lines, each with its line ending
  std::string_view end;         // the empty line as received; none when incomplete
};

// Splits the head at the start of `bytes`; bytes after it are left out.
head_parts split_head(std::string_view bytes) {
  std::size_t length = head_length(bytes);
  std::string_view head = length == 0 ? bytes : bytes.substr(0, length);
  head_parts parts;
  if (length != 0) {
    parts.end = head.substr(head.size() - (head[head.size() - 2] == '\n' ? 1 : 2));
    head.remove_suffix(parts.end.size());
  }
  head.remove_prefix(leading_empty_lines_size(head));
  std::string_view rest = head;
  parts.start_line = take_line(&rest, line_ending::kept);
  parts.fields = rest;
  return parts;
}

// The names listed by the Connection fields, sorted for lookup.
std::vector<std::string_view> connection_options(std::string_view fields) {
  std::vector<std::string_view> names;
  bool in_connection = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (!is_continuation(line)) {
      in_connection = equals_ignoring_case(field_name(line), "Connection");
    }
    if (!in_connection) continue;
    std::string_view list = is_continuation(line) ? line : field_value(line);
    for_each_item(list, [&names](std::string_view name) {
      // The body's framing is never hop-by-hop: dropping it would make the
      // body read as a second request.
      if (!name.empty() && !equals_ignoring_case(name, "Content-Length") &&
          !equals_ignoring_case(name, "Transfer-Encoding")) {
        names.push_back(name);
      }
      return true;
    });
  }
  // Sorted, so a head of many fields and many options costs n log n, not n * m.
  std::sort(names.begin(), names.end(), less_ignoring_case);
  return names;
}

// Appends each field line of `fields` as received, except those named in
// `dropped` or by a Connection field (with their continuation lines).
void append_end_to_end_fields(std::string_view fields, std::span<const std::string_view> dropped,
                              std::string* out) {
  const std::vector<std::string_view> options = connection_options(fields);
  bool dropping = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::kept);
    std::string_view content = without_line_ending(line);
    if (!is_continuation(content)) {
      std::string_view name = field_name(content);
      dropping =
          !name.empty() &&
          (std::any_of(dropped.begin(), dropped.end(),
                       [name](std::string_view d) { return equals_ignoring_case(name, d); }) ||
           std::binary_search(options.begin(), options.end(), name, less_ignoring_case));
    }
    if (!dropping) out->append(line);
  }
}

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
bool read_port(std::string_view digits, std::uint16_t* port) {
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
  if (colon != std::string_view::npos && !read_port(authority.substr(colon + 1), &request->port)) {
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

enum class status_match { no, not_yet, yes };

// "HTTP/" DIGIT "." DIGIT SP DIGIT DIGIT DIGIT, then SP, CR or LF.
constexpr std::string_view status_line_pattern = "HTTP/9.9 999";  // 9: any digit

bool fits_status_line(std::size_t position, char c) {
  if (position == status_line_pattern.size()) return c == ' ' || c == '\r' || c == '\n';
  char expected = status_line_pattern[position];
  return expected == '9' ? is_digit(c) : c == expected;
}

status_match match_status_line(std::string_view bytes) {
  for (std::size_t i = 0; i <= status_line_pattern.size(); ++i) {
    if (i == bytes.size()) return status_match::not_yet;
    if (!fits_status_line(i, bytes[i])) return status_match::no;
  }
  return status_match::yes;
}

enum class answer_step { hold, give_up, not_http, interim, final_head };

struct answer_head {
  answer_step step = answer_step::hold;
  std::size_t length = 0;
  int status = 0;
};

// What to do with `bytes`, where an answer head should start. LFs before
// `scanned` are known not to end it.
answer_head next_answer_head(std::string_view bytes, std::size_t scanned) {
  status_match match = match_status_line(bytes);
  if (match == status_match::no) return {answer_step::not_http};
  if (match == status_match::not_yet) return {answer_step::hold};
  // A code outside 100-599 has no meaning to edit by; status() stays 0.
  int status = (bytes[9] - '0') * 100 + (bytes[10] - '0') * 10 + (bytes[11] - '0');
  if (status < 100 || status > 599) return {answer_step::not_http};
  // Only the first max_head_size bytes count, so the outcome is the same
  // however the answer is split.
  std::size_t length = empty_line_end(bytes.substr(0, max_head_size), scanned);
  if (length == 0) {
    return {bytes.size() >= max_head_size ? answer_step::give_up : answer_step::hold};
  }
  bool interim = status <= 199 && status != 101;
  return {interim ? answer_step::interim : answer_step::final_head, length, status};
}

// The values of every `name` field among `fields`, in order; a folded
// line's continuation counts as a value of its own.
std::vector<std::string_view> field_values(std::string_view fields, std::string_view name) {
  std::vector<std::string_view> values;
  bool in_field = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (!is_continuation(line)) in_field = equals_ignoring_case(field_name(line), name);
    if (in_field) values.push_back(is_continuation(line) ? trim_blanks(line) : field_value(line));
  }
  return values;
}

void append_final_head(std::string_view head, std::string_view connection_fields,
                       std::string_view via_name, std::string* out) {
  std::string_view dropped[4] = {"Connection", "Keep-Alive"};
  std::size_t dropped_count = 2;
  std::uint64_t length = 0;
  const length_fields lengths = fix_content_length(head, &length);
  if (lengths != length_fields::as_received) dropped[dropped_count++] = "Content-Length";
  if (!via_name.empty()) dropped[dropped_count++] = "Via";
  head_parts parts = split_head(head);
  out->append(parts.start_line);
  append_end_to_end_fields(parts.fields, std::span(dropped, dropped_count), out);
  if (lengths == length_fields::merged) {
    out->append("Content-Length: ").append(std::to_string(length)).append(crlf);
  }
  if (!via_name.empty()) out->append(via_field_line(field_values(parts.fields, "Via"), via_name));
  out->append(connection_fields);
  out->append(parts.end);
}

}  // namespace

std::size_t head_length(std::string_view bytes) {
  std::size_t start = leading_empty_lines_size(bytes);
  std::size_t end = empty_line_end(bytes.substr(start), 0);
  return end == 0 ? 0 : start + end;
}

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
    case foreign_protocol::tls: return "TLS";
    case foreign_protocol::socks4: return "SOCKS 4";
    case foreign_protocol::socks5: return "SOCKS 5";
    default: return "HTTP";
  }
}

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

std::string resolver_name(std::string_view host) {
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  return std::string(host);
}

std::string host_field_value(const http_request& request) {
  if (request.port == 0 || request.port == 80) return request.host;
  return request.host + ":" + std::to_string(request.port);
}

std::string escape_for_trace(std::string_view text) { return escape_bytes(text, kept_in_trace); }

std::string trace_head(std::string_view head) {
  constexpr std::string_view secret_fields[] = {"Authorization", "Proxy-Authorization", "Cookie"};
  std::string out;
  out.reserve(head.size() + 16);
  while (!head.empty()) {
    std::string_view line = take_line(&head, line_ending::kept);
    std::string_view content = without_line_ending(line);
    std::string_view ending = line.substr(content.size());
    std::size_t colon = content.find(':');
    std::string_view name = colon == std::string_view::npos ? content : content.substr(0, colon);
    bool secret = colon != std::string_view::npos &&
                  std::any_of(std::begin(secret_fields), std::end(secret_fields),
                              [name](std::string_view s) { return equals_ignoring_case(name, s); });
    if (secret) {
      std::size_t size = trim_blanks(content.substr(colon + 1)).size();
      content = content.substr(0, colon + 1);
      append_escaped(content, kept_in_trace, out);
      out.append(" [hidden, ").append(std::to_string(size)).append(" bytes]");
    } else {
      append_escaped(content, kept_in_trace, out);
    }
    append_escaped(ending, kept_in_trace, out);
  }
  return out;
}

std::string_view answer_editor::feed(std::string_view bytes) {
  body_start_ = 0;
  if (passing_) return bytes;
  body_start_ = std::string_view::npos;
  out_.clear();
  std::size_t scanned = held_.size();
  const bool from_held = !held_.empty();
  if (from_held) held_.append(bytes);
  std::string_view pending = from_held ? std::string_view(held_) : bytes;
  std::size_t consumed = 0;
  while (!passing_ && consumed < pending.size()) {
    answer_head head = next_answer_head(pending.substr(consumed), scanned);
    if (head.step == answer_step::hold) break;
    scanned = 0;
    broken_ = head.step == answer_step::not_http ||
              (head.step == answer_step::final_head && head.status == 101 && !upgrade_asked_);
    if (head.step == answer_step::give_up || broken_) {
      passing_ = true;
      body_start_ = out_.size();
      break;
    }
    std::string_view text = pending.substr(consumed, head.length);
    consumed += head.length;
    if (head.step == answer_step::interim) {
      if (interim_wanted_) {
        out_.append(text);
        interim_bytes_ += text.size();
      }
      continue;
    }
    status_ = head.status;
    if (choice_) {
      append_final_head(text, choice_(text, status_), via_name_, &out_);
    } else {
      append_final_head(text, close_connection_field, via_name_, &out_);
    }
    passing_ = true;
    body_start_ = out_.size();
  }
  if (passing_) {
    out_.append(pending.substr(consumed));
    held_.clear();
  } else if (from_held) {
    held_.erase(0, consumed);
  } else {
    held_.assign(pending.substr(consumed));
  }
  return out_;
}

std::string_view answer_editor::finish() {
  out_.clear();
  out_.swap(held_);
  return out_;
}

}  // namespace ferry
