// Where a message's body ends, both ways, and whether its connection may
// carry the next message. Pure: no sockets, no globals. The head units use
// these types and field rules, so requests and answers are framed by one
// reading of the same fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ferry {

enum class body_kind { none, length, chunked, until_close };

struct body_framing {
  body_kind kind = body_kind::none;
  std::uint64_t length = 0;  // for body_kind::length
};

// The largest Content-Length or chunk size taken: far above any real body,
// and low enough that sums of a few never overflow 64 bits.
inline constexpr std::uint64_t max_body_length = std::uint64_t{1} << 62;
// The longest chunk line (size, extensions, CRLF), and the longest trailer
// section (its last CRLF included).
inline constexpr std::size_t max_chunk_line = 4 * 1024;
inline constexpr std::size_t max_trailer_section = 64 * 1024;

// What the fields of one head say about its body and its connection.
struct framing_fields {
  bool content_length_seen = false;
  bool content_length_bad = false;  // not digits, above max_body_length, or values that differ
  bool content_length_repeated = false;  // more than one value, in one field or several
  std::uint64_t content_length = 0;
  bool transfer_encoding_seen = false;
  bool chunked_seen = false;     // some coding so far was chunked
  bool ends_in_chunked = false;  // the last coding is chunked, and no earlier one was
  bool close = false;            // a Connection field names close
  bool keep_alive = false;       // a Connection field names keep-alive
  bool upgrade_option = false;   // a Connection field names upgrade
  std::string_view upgrade;      // the first Upgrade field's value
  bool connection_bound = false;  // a WWW-Authenticate challenge names NTLM or Negotiate
};

// Reads one field into `fields`: Content-Length, Transfer-Encoding and
// Connection as comma lists across any number of fields, names and tokens
// in any case. Other fields leave it as it is. `value` is trimmed of blanks.
void take_framing_field(std::string_view name, std::string_view value, framing_fields* fields);

// True for "HTTP/1.0" and earlier, whose connections close unless asked not to.
bool before_http_1_1(std::string_view version);

struct answer_framing {
  body_framing body;
  // The framing fields cannot be trusted (a bad or differing Content-Length,
  // or a folded Content-Length or Transfer-Encoding field, or one with blanks
  // before its colon): the answer must not be relayed as framed, and `body`
  // is none.
  bool broken = false;
  // The server's connection must not carry another request: it asked to
  // close, is HTTP/1.0 without keep-alive, the body runs until close, the
  // answer is broken, or it had both Content-Length and Transfer-Encoding.
  bool close_after = false;
  std::string_view upgrade;  // the first Upgrade field's value, for a 101
  // The server asked for an authentication that holds for its connection
  // (NTLM, Negotiate): that connection must never serve another client.
  bool connection_bound = false;
};

// What an answer head's fields say of its framing, read once for
// answer_body and fix_content_length.
struct answer_fields {
  framing_fields fields;
  // False when a Content-Length or Transfer-Encoding field is folded or has
  // blanks before its colon: the client may read those differently.
  bool clean = true;
  bool old_version = false;  // an HTTP/1.0 (or earlier) status line
};

// Reads the server's answer head, as received, from its status line to its
// empty line; bytes after it are not read.
answer_fields read_answer_head(std::string_view answer_head);

// Frames the server's answer, its head read by read_answer_head, to a
// `request_method` request.
// No body after HEAD, 1xx (101 is the caller's), 204 and 304; else
// Transfer-Encoding decides (chunked when it ends in chunked, otherwise until
// close), then Content-Length, then the server's close.
answer_framing answer_body(std::string_view request_method, int status,
                           const answer_fields& answer_head);

// What an answer head's Content-Length fields need before the head goes on.
enum class length_fields {
  as_received,
  dropped,  // beside a Transfer-Encoding, which frames the body: a reader of the length would not
  merged,   // several equal values become one field, which no reader can take for a list
};

// Says how to pass on the Content-Length fields of `answer_head`; for
// merged, `length` is their one value.
length_fields fix_content_length(const answer_fields& answer_head, std::uint64_t* length);

// Finds the end of one body in the bytes after its head, as they arrive,
// without changing or keeping any of them.
class body_tracker {
 public:
  explicit body_tracker(body_framing framing);
  // Takes the next bytes after the head; returns how many of them belong to
  // this message's body (the rest begin the next message). On failure, the
  // bytes before the one that failed. After done() or failed(), takes 0.
  std::size_t feed(std::string_view bytes);
  // The body's last byte has been taken: at once for none or length 0, never
  // for until_close (the caller ends it at end of stream).
  bool done() const { return step_ == step::done; }
  // A chunked body that cannot be read: a chunk line that is not hex digits,
  // blanks and ";extensions", or over max_chunk_line; a size above
  // max_body_length; chunk data not followed by CRLF; a line not ended by
  // CRLF; a control byte in a chunk line or trailer; trailers over
  // max_trailer_section.
  bool failed() const { return step_ == step::failed; }
  // How many of the next bytes may pass unread: what is left of a
  // Content-Length body, all of one read to the close, none otherwise.
  std::uint64_t unread_allowance() const;
  // Takes `count` bytes of those, at most unread_allowance().
  void take_unread(std::uint64_t count);

 private:
  enum class step : std::uint8_t {
    length_data,  // `remaining_` bytes of a Content-Length body
    until_close,
    chunk_size,       // hex digits; `remaining_` holds the size so far
    chunk_blanks,     // blanks after the size
    chunk_extension,  // from ';' to CR, not interpreted
    chunk_line_lf,
    chunk_data,  // `remaining_` bytes of the chunk
    chunk_data_cr,
    chunk_data_lf,
    trailer,  // in a trailer line, `line_size_` bytes of it so far
    trailer_lf,
    done,
    failed,
  };
  bool take_chunk_byte(char c);
  bool take_chunk_line_byte(char c);
  bool take_trailer_byte(char c);
  bool fail();

  step step_ = step::done;
  std::uint64_t remaining_ = 0;
  std::uint32_t line_size_ = 0;
  std::uint32_t trailer_size_ = 0;
};

}  // namespace ferry
