#include "answer_head.h"

#include <span>

#include "text.h"
#include "via.h"

namespace ferry {

namespace {

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

struct next_head {
  answer_step step = answer_step::hold;
  std::size_t length = 0;
  int status = 0;
};

// What to do with `bytes`, where an answer head should start. LFs before
// `scanned` are known not to end it.
next_head next_answer_head(std::string_view bytes, std::size_t scanned) {
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

void append_final_head(std::string_view head, const answer_fields& fields,
                       std::string_view connection_fields, std::string_view via_name,
                       std::string* out) {
  std::string_view dropped[4] = {"Connection", "Keep-Alive"};
  std::size_t dropped_count = 2;
  std::uint64_t length = 0;
  const length_fields lengths = fix_content_length(fields, &length);
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

// Frames the final head's body and picks the Connection field the client
// gets: kept only as answer_found says, "keep-alive" said only where
// HTTP/1.0 needs it.
std::string answer_editor::connection_fields(const answer_fields& fields) {
  found_.final_head = true;
  if (request_.upload == nullptr) return std::string(close_connection_field);
  answer_framing framing = answer_body(request_.method, status_, fields);
  if (status_ == 101 && request_.upgrade_asked) {
    found_.switching = true;
    return "Connection: upgrade\r\nUpgrade: " + std::string(framing.upgrade) + "\r\n";
  }
  found_.body = framing.body;
  found_.framed = !framing.broken;
  found_.server_kept = !framing.close_after && status_ != 101;
  found_.connection_bound = framing.connection_bound;
  found_.client_kept = !framing.broken && framing.body.kind != body_kind::until_close &&
                       !request_.close_wanted && status_ != 101 && request_.upload->done();
  if (!found_.client_kept) return std::string(close_connection_field);
  // The status line passes as the server wrote it; an HTTP/1.0 one, like an
  // HTTP/1.0 client, means close unless the head says otherwise.
  return request_.old_client || fields.old_version ? "Connection: keep-alive\r\n" : "";
}

void answer_editor::take_final_head(std::string_view head) {
  const answer_fields fields = read_answer_head(head);
  append_final_head(head, fields, connection_fields(fields), via_name_, &out_);
  passing_ = true;
  body_start_ = out_.size();
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
    next_head head = next_answer_head(pending.substr(consumed), scanned);
    if (head.step == answer_step::hold) break;
    scanned = 0;
    broken_ = head.step == answer_step::not_http || (head.step == answer_step::final_head &&
                                                     head.status == 101 && !request_.upgrade_asked);
    if (head.step == answer_step::give_up || broken_) {
      passing_ = true;
      body_start_ = out_.size();
      break;
    }
    std::string_view text = pending.substr(consumed, head.length);
    consumed += head.length;
    if (head.step == answer_step::interim) {
      if (request_.interim_wanted) {
        out_.append(text);
        interim_bytes_ += text.size();
      }
      continue;
    }
    status_ = head.status;
    take_final_head(text);
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
