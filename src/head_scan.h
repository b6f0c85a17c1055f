// The scan of a head, request or answer: where it ends, its lines and
// fields, and the field lines that go on. Pure: no sockets, no globals.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferry {

// The largest head ferry reads, from a client or a server.
inline constexpr std::size_t max_head_size = 64 * 1024;

inline constexpr std::string_view crlf = "\r\n";
inline constexpr std::string_view close_connection_field = "Connection: close\r\n";

// Returns the length of the head at the start of `bytes`, up to and including
// the empty line that ends it (CRLF CRLF; a bare LF may stand for any CRLF),
// or 0 while no such line has arrived. Empty lines before the start line
// count in the length but do not end the head.
std::size_t head_length(std::string_view bytes);

// Returns the size of `bytes` up to the LF that ends its first empty line, or
// 0. The first line of `bytes` must not be empty. LFs before `from` are known
// not to end one, so a caller adding bytes to a held head scans each byte once.
std::size_t empty_line_end(std::string_view bytes, std::size_t from);

struct head_parts {
  std::string_view start_line;  // with its line ending
  std::string_view fields;      // the field lines, each with its line ending
  std::string_view end;         // the empty line as received; none when incomplete
};

// Splits the head at the start of `bytes`; bytes after it are left out.
head_parts split_head(std::string_view bytes);

// `line` (one line, as take_line keeps it) without its ending.
std::string_view without_line_ending(std::string_view line);

// A field line that starts with white space continues the field before it.
bool is_continuation(std::string_view line);

// The text before the first ':', or nothing when there is none.
std::string_view field_name(std::string_view line);

// The text after the first ':', trimmed of blanks, or nothing.
std::string_view field_value(std::string_view line);

// The values of every `name` field among `fields`, in order; a folded
// line's continuation counts as a value of its own.
std::vector<std::string_view> field_values(std::string_view fields, std::string_view name);

// Appends each field line of `fields` as received, except those named in
// `dropped` or by a Connection field (with their continuation lines). The
// body's framing fields are never dropped for a Connection field's naming.
void append_end_to_end_fields(std::string_view fields, std::span<const std::string_view> dropped,
                              std::string* out);

}  // namespace ferry
