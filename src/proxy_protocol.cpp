#include "proxy_protocol.h"

#include <algorithm>
#include <array>
#include <string>

#include "address_list.h"
#include "text.h"

namespace ferry {

namespace {

using result = proxy_header::result;
constexpr auto npos = std::string_view::npos;

constexpr std::string_view v1_start = "PROXY ";
constexpr std::string_view v1_unknown = "UNKNOWN", v1_tcp4 = "TCP4", v1_tcp6 = "TCP6";
constexpr std::size_t v1_words = 5;  // protocol, two addresses, two ports

// Twelve bytes, one of them zero, so the length is given.
constexpr std::string_view v2_signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t v2_fixed_size = 16;
constexpr unsigned char v2_no_address = 0x00, v2_tcp4 = 0x11, v2_tcp6 = 0x21;

bool is_port(std::string_view text) {
  std::uint16_t ignored;
  return read_port(text, leading_zeros::refused, ignored);
}

// Every start of a valid port is itself one, or empty.
bool could_be_port(std::string_view text) { return text.empty() || is_port(text); }

bool is_ipv4_text(std::string_view text) {
  std::uint32_t ignored;
  return parse_ipv4(text, ignored);
}

// True when `text` can still grow into an address parse_ipv4 accepts: it
// does once its missing numbers are filled in with zeros.
bool could_be_ipv4(std::string_view text) {
  std::string filled(text);
  std::size_t dots = 0;
  for (char c : text) dots += c == '.';
  if (dots > 3) return false;
  if (filled.empty() || filled.back() == '.') filled += '0';
  for (; dots < 3; ++dots) filled += ".0";
  return is_ipv4_text(filled);
}

// The longest IPv6 spelling: six groups and a dotted quad. An unfinished
// one is only checked loosely: the characters and the length.
constexpr std::size_t ipv6_longest = 45;

bool has_ipv6_characters(std::string_view text) {
  return text.find_first_not_of("0123456789abcdefABCDEF:.") == npos;
}

bool is_ipv6(std::string_view text) {
  ip_address ignored;
  return text.find(':') != npos && has_ipv6_characters(text) && parse_ip_address(text, ignored);
}

bool could_be_ipv6(std::string_view text) {
  std::size_t room = text.find(':') == npos ? ipv6_longest - 1 : ipv6_longest;
  return text.size() <= room && has_ipv6_characters(text);
}

// One word after the protocol: whether it is whole, whether more bytes could
// still make it whole, and the fewest bytes a whole one has.
struct v1_field {
  bool (*is_whole)(std::string_view);
  bool (*could_be)(std::string_view);
  std::size_t shortest;
};
constexpr v1_field port_field = {is_port, could_be_port, 1};
constexpr v1_field tcp4_fields[] = {
    {is_ipv4_text, could_be_ipv4, 7}, {is_ipv4_text, could_be_ipv4, 7}, port_field, port_field};
constexpr v1_field tcp6_fields[] = {
    {is_ipv6, could_be_ipv6, 2}, {is_ipv6, could_be_ipv6, 2}, port_field, port_field};

// Splits `text` at every space; a doubled space gives an empty word. Returns
// the number of words, or 0 when there are more than fit.
std::size_t split_words(std::string_view text, std::array<std::string_view, v1_words>& words) {
  for (std::size_t count = 0; count < words.size();) {
    std::size_t space = text.find(' ');
    words[count++] = text.substr(0, space);
    if (space == npos) return count;
    text.remove_prefix(space + 1);
  }
  return 0;
}

// Checks the text between "PROXY " and the CRLF. Unless `whole`, the text may
// stop anywhere, and `shortest` is a lower bound on the size of any valid
// text that starts with it. Returns false when no valid text starts with it.
bool check_v1_rest(std::string_view rest, bool whole, std::size_t& shortest) {
  shortest = rest.size();
  if (rest.starts_with(v1_unknown)) {
    // Anything may follow UNKNOWN after a space; it is ignored.
    return rest.size() == v1_unknown.size() || rest[v1_unknown.size()] == ' ';
  }
  std::array<std::string_view, v1_words> words;
  std::size_t count = split_words(rest, words);
  if (count == 0) return false;
  bool tcp6 = words[0] == v1_tcp6;
  if (!tcp6 && words[0] != v1_tcp4) {
    return count == 1 && !whole &&
           (v1_unknown.starts_with(rest) || v1_tcp4.starts_with(rest) || v1_tcp6.starts_with(rest));
  }
  if (whole && count != v1_words) return false;
  const v1_field* fields = tcp6 ? tcp6_fields : tcp4_fields;
  for (std::size_t at = 1; at < count; ++at) {
    const v1_field& field = fields[at - 1];
    if (field.is_whole(words[at])) continue;
    if (whole || at + 1 < count || !field.could_be(words[at])) return false;
    shortest += words[at].empty() ? field.shortest : 1;
  }
  for (std::size_t at = count; at < v1_words; ++at) shortest += 1 + fields[at - 1].shortest;
  return true;
}

// Fills the source of a line check_v1_rest found whole.
void read_v1_source(std::string_view rest, proxy_header& header) {
  if (rest.starts_with(v1_unknown)) return;
  std::array<std::string_view, v1_words> words;
  split_words(rest, words);
  header.has_address =
      parse_ip_address(words[1], header.address) && read_port(words[3], leading_zeros::refused, header.port);
}

// Reads a version 1 line; `bytes` begins with "PROXY ".
result parse_v1(std::string_view bytes, proxy_header& header) {
  // A longer line is bad anyway, so nothing past the longest is searched.
  std::string_view start = bytes.substr(0, proxy_v1_max_size);
  std::size_t newline = start.find('\n');
  bool closed = newline != npos;
  std::string_view line = start.substr(0, closed ? newline + 1 : npos);
  // A CR may stand only right before the LF, and the LF only right after it.
  std::size_t cr = line.find('\r');
  if (cr == npos ? closed : cr + (closed ? 2 : 1) != line.size()) return result::bad;
  bool whole = cr != npos;
  std::string_view rest = line.substr(v1_start.size(), whole ? cr - v1_start.size() : npos);
  std::size_t shortest = 0;
  if (!check_v1_rest(rest, whole, shortest)) return result::bad;
  if (v1_start.size() + shortest + 2 > proxy_v1_max_size) return result::bad;
  if (!closed) return result::incomplete;
  header = proxy_header{};
  header.size = line.size();
  read_v1_source(rest, header);
  return result::complete;
}

std::uint32_t read_big_endian(std::string_view bytes, std::size_t at, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

// The address block size a PROXY command needs for its family and protocol
// byte. Returns npos for those ferry cannot use: datagrams, UNIX sockets and
// unknown ones.
std::size_t v2_address_size(unsigned char family) {
  if (family == v2_no_address) return 0;
  if (family == v2_tcp4) return 12;
  if (family == v2_tcp6) return 36;
  return npos;
}

// Reads a version 2 header; `bytes` begins with the signature. A LOCAL
// command's family is ignored, as the balancer's own health checks send it.
result parse_v2(std::string_view bytes, proxy_header& header) {
  if (bytes.size() <= 12) return result::incomplete;
  unsigned version_command = static_cast<unsigned char>(bytes[12]);
  if (version_command >> 4 != 2 || (version_command & 0xf) > 1) return result::bad;
  bool local = (version_command & 0xf) == 0;
  if (bytes.size() <= 13) return result::incomplete;
  unsigned char family = static_cast<unsigned char>(bytes[13]);
  std::size_t least = local ? 0 : v2_address_size(family);
  if (least == npos) return result::bad;
  if (bytes.size() < v2_fixed_size) return result::incomplete;
  std::size_t length = read_big_endian(bytes, 14, 2);
  if (length < least) return result::bad;
  if (bytes.size() < v2_fixed_size + length) return result::incomplete;
  header = proxy_header{};
  header.size = v2_fixed_size + length;
  if (local || family == v2_no_address) return result::complete;
  header.has_address = true;
  if (family == v2_tcp4) {
    header.address = ipv4_address(read_big_endian(bytes, v2_fixed_size, 4));
    header.port = static_cast<std::uint16_t>(read_big_endian(bytes, v2_fixed_size + 8, 2));
  } else {
    std::copy_n(bytes.begin() + v2_fixed_size, 16, header.address.bytes.begin());
    header.port = static_cast<std::uint16_t>(read_big_endian(bytes, v2_fixed_size + 32, 2));
  }
  return result::complete;
}

}  // namespace

proxy_header::result parse_proxy_header(std::string_view bytes, proxy_header& header) {
  if (bytes.starts_with(v1_start)) return parse_v1(bytes, header);
  if (bytes.starts_with(v2_signature)) return parse_v2(bytes, header);
  bool could_start = v1_start.starts_with(bytes) || v2_signature.starts_with(bytes);
  return could_start ? result::incomplete : result::bad;
}

}  // namespace ferry
