// Small text helpers the units share: escaping bytes, reading decimal
// numbers and ports, case, blanks, lines and comma lists, dotted quads.
// Pure: no sockets, no globals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ferry {

// escape_bytes always keeps 0x21-0x7e but the backslash; these say which
// other bytes it keeps as they are, since each caller keeps a different set.
struct kept_bytes {
  bool space = false;
  bool backslash = false;
  bool line_breaks = false;  // LF, and a CR right before an LF
};

// `text` with every byte that `keep` does not keep written as \xNN, in
// lower-case hex, so the text stays on its line and cannot drive a terminal.
std::string escape_bytes(std::string_view text, kept_bytes keep);

// The same, appended to `out`.
void append_escaped(std::string_view text, kept_bytes keep, std::string& out);

enum class leading_zeros { refused, allowed };

// Reads `text` as decimal digits only: no sign, no blanks, not empty. A lone
// "0" is never a leading zero. Returns false for anything else or a number
// above `largest`; sets `value` only on success.
bool read_decimal(std::string_view text, std::uint64_t largest, leading_zeros zeros,
                  std::uint64_t& value);

// Reads `text` as a port, 0 to 65535, as read_decimal reads it.
bool read_port(std::string_view text, leading_zeros zeros, std::uint16_t& port);

// A space or a tab.
bool is_blank(char c);

bool is_digit(char c);

// The value of a hex digit, either case; -1 for any other byte.
int hex_value(char c);

// A byte below 0x20 (the tab too) or 0x7f.
bool is_control(char c);

// One or more of the bytes an HTTP token (a method, a field name) may hold.
bool is_token(std::string_view text);

// `text` without the spaces and tabs at its ends.
std::string_view trim_blanks(std::string_view text);

// ASCII letters in lower case; every other byte as it is.
char lower_case(char c);
std::string lower_case(std::string_view text);

// The same bytes but for ASCII case. Unlike strncasecmp, a NUL ends nothing.
bool equals_ignoring_case(std::string_view a, std::string_view b);

// Whether a take_line keeps the line's LF (and a CR before it) or drops it.
enum class line_ending { kept, dropped };

// Splits off the first line of `*text` up to its LF, all of it when there is
// no LF; `*text` keeps the rest. A CR goes with the ending only right before
// the LF.
std::string_view take_line(std::string_view* text, line_ending ending);

// Calls `each` with every item of the comma list `list`, trimmed of blanks,
// empty ones too, so a caller may refuse them; `each` returns false to stop.
// Returns false when it stopped.
template <typename Each>
bool for_each_item(std::string_view list, Each each) {
  for (;;) {
    std::size_t comma = list.find(',');
    if (!each(trim_blanks(list.substr(0, comma)))) return false;
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

// "a.b.c.d", as inet_ntop writes an IPv4 address.
std::string format_ipv4(std::uint32_t host_order);

}  // namespace ferry
