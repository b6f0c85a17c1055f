#include "framing.h"

#include <algorithm>

#include "text.h"

namespace ferry {

namespace {

// Control bytes but the tab, which no chunk line or trailer may hold.
bool is_forbidden_control(char c) { return c != '\t' && is_control(c); }

// Several values are one length only when they are all the same number.
void take_content_length(std::string_view value, framing_fields* fields) {
  for_each_item(value, [fields](std::string_view element) {
    std::uint64_t length = 0;
    if (!read_decimal(element, max_body_length, leading_zeros::allowed, length) ||
        (fields->content_length_seen && length != fields->content_length)) {
      fields->content_length_bad = true;
    }
    fields->content_length_repeated = fields->content_length_seen;
    fields->content_length_seen = true;
    fields->content_length = length;
    return true;
  });
}

// Only the last coding frames the body. Chunked applied twice is not allowed,
// and parsers on the way disagree on where such a body ends, so it does not
// count as ending in chunked; nor does an empty field.
void take_transfer_codings(std::string_view value, framing_fields* fields) {
  fields->transfer_encoding_seen = true;
  if (value.empty()) fields->ends_in_chunked = false;
  for_each_item(value, [fields](std::string_view coding) {
    if (coding.empty()) return true;  // "gzip, , chunked": lists may hold empty elements
    const bool chunked = equals_ignoring_case(coding, "chunked");
    fields->ends_in_chunked = chunked && !fields->chunked_seen;
    fields->chunked_seen = fields->chunked_seen || chunked;
    return true;
  });
}

void take_connection_options(std::string_view value, framing_fields* fields) {
  for_each_item(value, [fields](std::string_view option) {
    fields->close = fields->close || equals_ignoring_case(option, "close");
    fields->keep_alive = fields->keep_alive || equals_ignoring_case(option, "keep-alive");
    fields->upgrade_option = fields->upgrade_option || equals_ignoring_case(option, "upgrade");
    return true;
  });
}

bool is_framing_name(std::string_view name) {
  return equals_ignoring_case(name, "Content-Length") ||
         equals_ignoring_case(name, "Transfer-Encoding");
}

// Whether any challenge in a WWW-Authenticate value names a scheme that
// authenticates the connection rather than the request. A scheme named
// inside a quoted parameter counts too: sharing less is the safe mistake.
bool names_connection_scheme(std::string_view value) {
  return !for_each_item(value, [](std::string_view challenge) {
    std::string_view scheme = challenge.substr(0, challenge.find(' '));
    return !equals_ignoring_case(scheme, "NTLM") && !equals_ignoring_case(scheme, "Negotiate");
  });
}

// Reads the field lines of an answer head into `fields`. Returns false when
// a Content-Length or Transfer-Encoding field is folded or has blanks before
// its colon: the client may read those differently, so they frame nothing.
bool read_answer_fields(std::string_view head, framing_fields* fields) {
  take_line(&head, line_ending::dropped);  // the status line
  bool clean = true;
  std::string_view name;
  while (!head.empty()) {
    std::string_view line = take_line(&head, line_ending::dropped);
    if (line.empty()) break;
    if (is_blank(line.front())) {
      // A folded line continues the list of the field above it.
      clean = clean && !is_framing_name(name);
      take_framing_field(name, trim_blanks(line), fields);
      continue;
    }
    std::size_t colon = line.find(':');
    name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
    std::string_view bare_name = trim_blanks(name);
    clean = clean && (bare_name.size() == name.size() || !is_framing_name(bare_name));
    if (!name.empty()) take_framing_field(name, trim_blanks(line.substr(colon + 1)), fields);
  }
  return clean;
}

}  // namespace

void take_framing_field(std::string_view name, std::string_view value, framing_fields* fields) {
  if (equals_ignoring_case(name, "Content-Length")) {
    take_content_length(value, fields);
  } else if (equals_ignoring_case(name, "Transfer-Encoding")) {
    take_transfer_codings(value, fields);
  } else if (equals_ignoring_case(name, "Connection")) {
    take_connection_options(value, fields);
  } else if (equals_ignoring_case(name, "Upgrade") && fields->upgrade.empty()) {
    fields->upgrade = value;
  } else if (equals_ignoring_case(name, "WWW-Authenticate") && names_connection_scheme(value)) {
    fields->connection_bound = true;
  }
}

bool before_http_1_1(std::string_view version) {
  return version == "HTTP/1.0" || version.starts_with("HTTP/0.");
}

answer_fields read_answer_head(std::string_view answer_head) {
  answer_fields read;
  read.clean = read_answer_fields(answer_head, &read.fields);
  read.old_version = before_http_1_1(answer_head.substr(0, 8));
  return read;
}

answer_framing answer_body(std::string_view request_method, int status,
                           const answer_fields& answer_head) {
  const framing_fields& fields = answer_head.fields;
  const bool clean = answer_head.clean;
  const bool old_version = answer_head.old_version;
  answer_framing answer;
  answer.close_after = fields.close || (old_version && !fields.keep_alive);
  answer.upgrade = fields.upgrade;
  answer.connection_bound = fields.connection_bound;
  if (request_method == "HEAD" || status < 200 || status == 204 || status == 304) return answer;
  if (!clean || (!fields.transfer_encoding_seen && fields.content_length_bad)) {
    answer.broken = true;
  } else if (fields.transfer_encoding_seen) {
    // An HTTP/1.0 server cannot send codings, so its chunked is not trusted
    // to end the body: the close does.
    const bool chunked = fields.ends_in_chunked && !old_version;
    answer.body.kind = chunked ? body_kind::chunked : body_kind::until_close;
    // The coding wins, but a length beside it may have misled a cache or
    // filter on the way, so the connection carries nothing more.
    answer.close_after = answer.close_after || fields.content_length_seen;
  } else if (fields.content_length_seen) {
    answer.body = {body_kind::length, fields.content_length};
  } else {
    answer.body.kind = body_kind::until_close;
  }
  answer.close_after =
      answer.close_after || answer.broken || answer.body.kind == body_kind::until_close;
  return answer;
}

length_fields fix_content_length(const answer_fields& answer_head, std::uint64_t* length) {
  const framing_fields& fields = answer_head.fields;
  if (fields.transfer_encoding_seen && fields.content_length_seen) return length_fields::dropped;
  if (!answer_head.clean || !fields.content_length_repeated || fields.content_length_bad) {
    return length_fields::as_received;
  }
  *length = fields.content_length;
  return length_fields::merged;
}

body_tracker::body_tracker(body_framing framing) {
  switch (framing.kind) {
    case body_kind::none:
      step_ = step::done;
      break;
    case body_kind::length:
      step_ = framing.length == 0 ? step::done : step::length_data;
      remaining_ = framing.length;
      break;
    case body_kind::chunked:
      step_ = step::chunk_size;
      break;
    case body_kind::until_close:
      step_ = step::until_close;
      break;
  }
}

std::size_t body_tracker::feed(std::string_view bytes) {
  if (step_ == step::until_close) return bytes.size();
  std::size_t taken = 0;
  while (taken < bytes.size() && !done() && !failed()) {
    if (step_ == step::length_data || step_ == step::chunk_data) {
      // Data is counted, never looked at.
      std::uint64_t part = std::min<std::uint64_t>(remaining_, bytes.size() - taken);
      taken += part;
      remaining_ -= part;
      if (remaining_ == 0) step_ = step_ == step::length_data ? step::done : step::chunk_data_cr;
    } else if (take_chunk_byte(bytes[taken])) {
      ++taken;
    }
  }
  return taken;
}

std::uint64_t body_tracker::unread_allowance() const {
  if (step_ == step::until_close) return UINT64_MAX;
  return step_ == step::length_data ? remaining_ : 0;
}

void body_tracker::take_unread(std::uint64_t count) {
  if (step_ != step::length_data) return;
  remaining_ -= std::min(count, remaining_);
  if (remaining_ == 0) step_ = step::done;
}

bool body_tracker::fail() {
  step_ = step::failed;
  return false;
}

// Chunk lines and trailer lines must end in CRLF: a bare LF or CR is refused,
// not read as a line end, since a parser on the way that read it the other way
// would find a different end of the body, and the bytes between would pass
// as a request of their own.
bool body_tracker::take_chunk_byte(char c) {
  switch (step_) {
    case step::chunk_size:
    case step::chunk_blanks:
    case step::chunk_extension:
    case step::chunk_line_lf:
      return ++line_size_ <= max_chunk_line ? take_chunk_line_byte(c) : fail();
    case step::chunk_data_cr:
      step_ = step::chunk_data_lf;
      return c == '\r' || fail();
    case step::chunk_data_lf:
      step_ = step::chunk_size;
      return c == '\n' || fail();
    case step::trailer:
    case step::trailer_lf:
      return ++trailer_size_ <= max_trailer_section ? take_trailer_byte(c) : fail();
    default:
      return fail();
  }
}

// The size, blanks, extensions and CRLF of a chunk line.
bool body_tracker::take_chunk_line_byte(char c) {
  switch (step_) {
    case step::chunk_size:
      if (int digit = hex_value(c); digit >= 0) {
        if (remaining_ > (max_body_length - static_cast<std::uint64_t>(digit)) / 16) return fail();
        remaining_ = remaining_ * 16 + static_cast<std::uint64_t>(digit);
        return true;
      }
      if (line_size_ == 1) return fail();  // no digit at all
      [[fallthrough]];
    case step::chunk_blanks:
      if (is_blank(c)) {
        step_ = step::chunk_blanks;
      } else if (c == ';') {
        step_ = step::chunk_extension;
      } else if (c == '\r') {
        step_ = step::chunk_line_lf;
      } else {
        return fail();
      }
      return true;
    case step::chunk_extension:
      if (c == '\r') step_ = step::chunk_line_lf;
      return c == '\r' || !is_forbidden_control(c) || fail();
    case step::chunk_line_lf:
      if (c != '\n') return fail();
      line_size_ = 0;
      // The last chunk, of size 0, is followed by the trailer section.
      step_ = remaining_ == 0 ? step::trailer : step::chunk_data;
      return true;
    default:
      return fail();
  }
}

bool body_tracker::take_trailer_byte(char c) {
  if (step_ == step::trailer) {
    if (c == '\r') {
      step_ = step::trailer_lf;
      return true;
    }
    ++line_size_;
    return !is_forbidden_control(c) || fail();
  }
  if (c != '\n') return fail();
  // An empty line ends the trailers, and the body.
  step_ = line_size_ == 0 ? step::done : step::trailer;
  line_size_ = 0;
  return true;
}

}  // namespace ferry
