// Small text helpers the units share: escaping bytes, reading decimal
// numbers, trimming blanks and writing dotted quads. Pure: no sockets, no
// globals.
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

// `text` without the spaces and tabs at its ends.
std::string_view trim_blanks(std::string_view text);

// "a.b.c.d", as inet_ntop writes an IPv4 address.
std::string format_ipv4(std::uint32_t host_order);

}  // namespace ferry

