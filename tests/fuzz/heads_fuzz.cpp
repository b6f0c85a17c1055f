// Takes the bytes as a client's request and as a server's answer and checks
// invariants of the head handling and body framing the relay relies on.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "framing.h"
#include "answer_head.h"
#include "forward_head.h"
#include "log.h"
#include "request_head.h"

namespace {

using namespace ferry;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

char lower_case(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_case(a[i]) != lower_case(b[i])) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The lines of `head` without their LF or CRLF, the empty ones included.
std::vector<std::string_view> lines_of(std::string_view head) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    std::size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (line.ends_with('\r') && end != std::string_view::npos) line.remove_suffix(1);
    lines.push_back(line);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
  }
  return lines;
}

// Values of the lines after the first non-empty one whose name is `name`.
std::vector<std::string_view> field_values(std::string_view head, std::string_view name) {
  std::vector<std::string_view> values;
  bool start_line_seen = false;
  for (std::string_view line : lines_of(head)) {
    if (!start_line_seen) {
      start_line_seen = !line.empty();
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && same_text_ignoring_case(line.substr(0, colon), name)) {
      values.push_back(trim_blanks(line.substr(colon + 1)));
    }
  }
  return values;
}

bool must_be_refused(std::string_view head) {
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\0') return true;
    if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return true;
  }
  std::vector<std::string_view> hosts = field_values(head, "Host");
  for (std::string_view host : hosts) {
    if (!same_text_ignoring_case(host, hosts.front())) return true;
  }
  return false;
}

// "Connection: close" CRLF as the last field line, then the empty line.
bool ends_with_connection_close(std::string_view head) {
  if (head.ends_with("\n\r\n")) {
    head.remove_suffix(2);
  } else if (head.ends_with("\n\n")) {
    head.remove_suffix(1);
  }
  return head.ends_with("\nConnection: close\r\n");
}

std::string origin_form_path(std::string_view path) {
  return path.starts_with('/') ? std::string(path) : "/" + std::string(path);
}

// The sent head: complete, every line ending in CRLF, one Host, at most one
// Content-Length, one "Connection: close" as the last field, and read back
// it asks for the same thing.
void check_sent_head(const std::string& sent, const http_request& request) {
  require(head_length(sent) == sent.size(), "sent head ends at its only empty line");
  require(ends_with_connection_close(sent),
          "sent head ends with Connection: close and the empty line");
  require(field_values(sent, "Host").size() == 1, "one Host field sent");
  for (std::size_t at = sent.find('\n'); at != std::string::npos; at = sent.find('\n', at + 1)) {
    require(at > 0 && sent[at - 1] == '\r', "every line sent ends in CRLF");
  }
  require(field_values(sent, "Content-Length").size() <= 1, "at most one Content-Length sent");
  std::vector<std::string_view> connection = field_values(sent, "Connection");
  require(connection.size() == 1 && connection.front() == "close", "one Connection: close sent");
  http_request again;
  require(parse_request(sent, &again) == 0, "sent head is accepted");
  require(host_field_value(again) == host_field_value(request), "sent head names the same host");
  require(again.method == request.method && again.version == request.version,
          "sent head has the same method and version");
  require(again.path == origin_form_path(request.path), "sent head has the same path");
  require(again.body.kind == request.body.kind && again.body.length == request.body.length,
          "sent head frames the same body");
}

// The printed head: as many lines as the head, no control byte but the line
// breaks, no credential value left.
void check_trace(std::string_view head) {
  const std::string shown = trace_head(head);
  require(std::count(shown.begin(), shown.end(), '\n') == std::count(head.begin(), head.end(), '\n'),
          "trace has the head's lines");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    auto byte = static_cast<unsigned char>(shown[i]);
    bool line_break = byte == '\n' || (byte == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n');
    require((byte >= 0x20 && byte != 0x7f) || line_break, "trace holds no raw control byte");
  }
  for (std::string_view line : lines_of(shown)) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    if (same_text_ignoring_case(name, "Authorization") || same_text_ignoring_case(name, "Cookie") ||
        same_text_ignoring_case(name, "Proxy-Authorization")) {
      require(line.substr(colon).starts_with(": [hidden, ") && line.ends_with(" bytes]"),
              "credential values are hidden");
    }
  }
}

std::uint64_t hash_of(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return hash;
}

// Piece sizes: everything at once (seed 0); single bytes for the first 8 KiB,
// then 4 KiB pieces, so large inputs stay fast (seed 1); or drawn from the
// seed, mostly small, sometimes large.
std::size_t next_piece(std::uint64_t* state, std::size_t at, std::size_t remaining) {
  if (*state == 0) return remaining;
  if (*state == 1) return at < 8192 ? 1 : std::min<std::size_t>(4096, remaining);
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  std::size_t piece = 1 + (*state % 8 == 0 ? *state % 20000 : *state % 64);
  return piece < remaining ? piece : remaining;
}

struct body_end {
  std::size_t taken = 0;
  bool done = false;
  bool failed = false;
  bool operator==(const body_end&) const = default;
};

body_end track_body(body_framing framing, std::string_view body, std::uint64_t seed) {
  body_tracker tracker(framing);
  body_end end;
  std::uint64_t state = seed;
  for (std::size_t at = 0; at < body.size();) {
    std::string_view bytes = body.substr(at, next_piece(&state, at, body.size() - at));
    at += bytes.size();
    const std::size_t part = tracker.feed(bytes);
    require(part == bytes.size() || (part < bytes.size() && (tracker.done() || tracker.failed())),
            "a body tracker takes every byte until the body ends or fails");
    end.taken += part;
  }
  end.done = tracker.done();
  end.failed = tracker.failed();
  require(!(end.done && end.failed), "a body does not both end and fail");
  return end;
}

// The end of a body does not depend on how its bytes arrive, nor on the
// bytes after it.
void check_body(body_framing framing, std::string_view body, std::uint64_t seed) {
  const body_end whole = track_body(framing, body, 0);
  require(track_body(framing, body, 1) == whole && track_body(framing, body, seed | 2) == whole,
          "the end of a body does not depend on the split");
  const std::string_view taken = body.substr(0, whole.taken);
  if (framing.kind == body_kind::length) {
    require(whole.taken == std::min<std::uint64_t>(framing.length, body.size()) &&
                whole.done == (body.size() >= framing.length) && !whole.failed,
            "a length body is its length");
  }
  if (whole.done) {
    require(track_body(framing, taken, 0) == whole, "a body ends where it ends, whatever follows");
  }
  if (whole.failed) {
    require(track_body(framing, taken, 0) == body_end{whole.taken, false, false} &&
                track_body(framing, body.substr(0, whole.taken + 1), 0) == whole,
            "a body fails at the byte after what it took");
  }
}

void check_request(std::string_view bytes) {
  const std::size_t length = head_length(bytes);
  http_request request;
  const int status = parse_request(bytes, &request);
  require(status == 0 || status == 400, "parse_request status");
  require((status == 0) == (request.problem[0] == '\0'), "problem given with a refusal only");
  require(std::strchr(request.problem, '\n') == nullptr, "problem is one line");
  if (length == 0) {
    require(status == 400, "incomplete head refused");
    return;
  }
  const std::string_view head = bytes.substr(0, length);
  require(head.ends_with('\n') && head_length(head) == length, "head alone has the same length");
  require(head_length(head.substr(0, length - 1)) == 0, "head ends at its first empty line");
  http_request alone;
  require(parse_request(head, &alone) == status && alone.host == request.host &&
              alone.port == request.port && alone.body_expected == request.body_expected &&
              alone.body.kind == request.body.kind && alone.body.length == request.body.length &&
              alone.close_wanted == request.close_wanted,
          "bytes after the head change nothing");
  if (must_be_refused(head)) require(status == 400, "NUL, bare CR or differing Hosts refused");
  check_trace(head);
  if (status != 0) return;
  require(!request.host.empty(), "accepted request names a host");
  require(request.body_expected ==
              (request.body.kind == body_kind::chunked ||
               (request.body.kind == body_kind::length && request.body.length > 0)),
          "a body is expected when the framing has one");
  check_body(request.body, bytes.substr(length), hash_of(bytes));
  // A tunnel's head is never sent on.
  if (request.tunnel) {
    require(request.port != 0 && request.method == "CONNECT", "a tunnel names its port");
    return;
  }
  const std::string sent = forward_head(bytes, request);
  require(sent == forward_head(head, request), "bytes after the head are not sent");
  check_sent_head(sent, request);
}

struct editor_run {
  std::string text;
  int status = 0;
  std::size_t final_head_at = 0;  // where the final head starts in the answer
  std::string final_head;         // as edited, when its last byte came alone
};

editor_run run_editor(std::string_view answer, std::uint64_t seed) {
  answer_editor editor;
  editor_run run;
  std::uint64_t state = seed;
  for (std::size_t at = 0; at < answer.size();) {
    std::string_view bytes = answer.substr(at, next_piece(&state, at, answer.size() - at));
    at += bytes.size();
    const bool was_passing = editor.passing();
    std::string_view out = editor.feed(bytes);
    require(!was_passing || (out.data() == bytes.data() && out.size() == bytes.size()),
            "bytes after the final head pass as they are");
    // Fed alone, the last byte of the final head brings out just that head.
    if (!was_passing && editor.passing() && editor.status() != 0 && bytes.size() == 1) {
      run.final_head_at = run.text.size();
      run.final_head = out;
    }
    run.text += out;
  }
  run.text += editor.finish();
  run.status = editor.status();
  return run;
}

// The final head as edited: its status line, no Connection or Keep-Alive
// field but one "Connection: close" as the last.
void check_final_head(std::string_view answer, const editor_run& run) {
  const std::string_view edited = run.final_head;
  require(head_length(edited) == edited.size(), "edited head ends at its only empty line");
  require(ends_with_connection_close(edited),
          "edited head ends with Connection: close and the empty line");
  require(
      field_values(edited, "Connection").size() == 1 && field_values(edited, "Keep-Alive").empty(),
      "one Connection field and no Keep-Alive in the edited head");
  const std::size_t tail = run.text.size() - run.final_head_at - edited.size();
  require(answer.substr(0, run.final_head_at) ==
              std::string_view(run.text).substr(0, run.final_head_at),
          "interim heads pass as they are");
  require(answer.substr(answer.size() - tail) ==
              std::string_view(run.text).substr(run.text.size() - tail),
          "bytes after the final head pass as they are");
  std::string_view original =
      answer.substr(run.final_head_at, answer.size() - tail - run.final_head_at);
  require(original.size() <= max_head_size && head_length(original) == original.size(),
          "the edited head was one complete head");
  require(original.substr(0, 12) == edited.substr(0, 12), "status line kept");
  require(run.status >= 100 && run.status == std::atoi(std::string(edited.substr(9, 3)).c_str()),
          "status() is the final head's code");
}

// The answer's framing when the bytes start with a final head: a body that
// cannot be framed or runs until close never leaves the connection for reuse.
void check_answer_framing(std::string_view answer, int status, std::uint64_t seed) {
  const std::string_view method = seed % 4 == 0 ? "HEAD" : "GET";
  const std::size_t length = head_length(answer);
  const answer_framing framing =
      answer_body(method, status, read_answer_head(answer.substr(0, length)));
  require(!framing.broken || (framing.close_after && framing.body.kind == body_kind::none),
          "a broken answer has no body and closes");
  require(framing.body.kind != body_kind::until_close || framing.close_after,
          "a body until close closes");
  if (method == "HEAD" || status < 200 || status == 204 || status == 304) {
    require(framing.body.kind == body_kind::none && !framing.broken, "these answers have no body");
  }
  check_body(framing.body, answer.substr(length), seed);
}

void check_answer(std::string_view answer, std::uint64_t seed) {
  const editor_run whole = run_editor(answer, 0);
  const editor_run single_bytes = run_editor(answer, 1);
  const editor_run random_pieces = run_editor(answer, seed | 2);
  require(single_bytes.text == whole.text && random_pieces.text == whole.text,
          "the edited answer does not depend on the split");
  require(single_bytes.status == whole.status && random_pieces.status == whole.status,
          "the status does not depend on the split");
  if (whole.status == 0) {
    require(whole.text == answer, "without a final head everything passes as it is");
    return;
  }
  if (!single_bytes.final_head.empty()) check_final_head(answer, single_bytes);
  // The first head is the final one when it has the final status (no
  // interim head has a status of 101 or above 199).
  if (head_length(answer) != 0 &&
      std::atoi(std::string(answer.substr(9, 3)).c_str()) == whole.status) {
    check_answer_framing(answer, whole.status, seed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_request(bytes);
  check_answer(bytes, hash_of(bytes));
  return 0;
}
