#include "parent.h"

#include <utility>

#include "text.h"

namespace ferry {

namespace {

constexpr auto npos = std::string_view::npos;

// Percent-decodes one part of the user information; false for a bad escape
// or a control character, decoded or not.
bool percent_decode(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
      int low = high >= 0 ? hex_value(text[i + 2]) : -1;
      if (low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (is_control(c)) return false;
    out += c;
  }
  return true;
}

bool refuse(std::string why, std::string& problem) {
  problem = std::move(why);
  return false;
}

// "user:password" (the password may be absent) into the ready header line.
bool read_user_information(std::string_view text, std::string& line, std::string& problem) {
  std::size_t colon = text.find(':');
  std::string user, password;
  if (!percent_decode(text.substr(0, colon), user) ||
      (colon != npos && !percent_decode(text.substr(colon + 1), password))) {
    return refuse("the user or password holds a bad %-escape or a control character", problem);
  }
  if (user.empty()) return refuse("an empty user name", problem);
  if (user.find(':') != npos) return refuse("the user name holds a colon", problem);
  line = "Proxy-Authorization: " + basic_credentials(user, password) + "\r\n";
  return true;
}

// "host:port", "[v6]:port"; the host must be one name or one address in its
// canonical spelling, as a host list item would be.
bool read_host_and_port(std::string_view text, parent_proxy& parent, std::string& problem) {
  std::size_t colon = text.rfind(':');
  if (colon == npos || (text.front() == '[' && text.rfind(']') > colon)) {
    return refuse("no port (write host:port)", problem);
  }
  std::string_view host = text.substr(0, colon);
  host_list one;
  if (host.empty() || host.find(',') != npos || !parse_host_list(host, one, problem)) {
    if (host.empty() || host.find(',') != npos) problem = "not a host name or address";
    return false;
  }
  if (one.front().with_subdomains) return refuse("a .domain is not a host", problem);
  std::uint16_t port = 0;
  if (!read_port(text.substr(colon + 1), leading_zeros::refused, port) || port == 0) {
    return refuse("the port is not a whole number 1 to 65535", problem);
  }
  parent.host = std::move(one.front().name);
  parent.port = port;
  return true;
}

bool starts_without_case(std::string_view text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != start[i]) return false;
  }
  return true;
}

// The item as an address or range when it is written like one: brackets
// around an IPv6 address are allowed.
bool looks_like_address(std::string_view item) {
  if (item.find_first_of("/:") != npos) return true;
  return item.find_first_not_of("0123456789.") == npos;
}

// Each item is read as a list of its own, since both readers replace the
// list they are given.
bool read_bypass_item(std::string_view item, parent_bypass& bypass, std::string& problem) {
  if (!looks_like_address(item)) {
    host_list one;
    if (!parse_host_list(item, one, problem)) return false;
    if (one.size() != 1) return refuse("not one host name", problem);
    bypass.names.push_back(std::move(one.front()));
    return true;
  }
  std::string written(item);
  std::size_t close = item.find(']');
  if (item.front() == '[' && close != npos) {
    written = std::string(item.substr(1, close - 1)) + std::string(item.substr(close + 1));
  }
  address_list one;
  if (!parse_address_list(written, one, problem)) return false;
  if (one.size() != 1) return refuse("\"" + written + "\": not an address or range", problem);
  bypass.ranges.push_back(one.front());
  return true;
}

}  // namespace

std::string basic_credentials(std::string_view user, std::string_view password) {
  static constexpr char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string pair = std::string(user) + ":" + std::string(password);
  std::string out = "Basic ";
  for (std::size_t i = 0; i < pair.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(pair[i]) << 16;
    if (i + 1 < pair.size()) group |= static_cast<unsigned char>(pair[i + 1]) << 8;
    if (i + 2 < pair.size()) group |= static_cast<unsigned char>(pair[i + 2]);
    out += digits[group >> 18 & 63];
    out += digits[group >> 12 & 63];
    out += i + 1 < pair.size() ? digits[group >> 6 & 63] : '=';
    out += i + 2 < pair.size() ? digits[group & 63] : '=';
  }
  return out;
}

bool parse_parent(std::string_view value, parent_proxy& parent, std::string& problem) {
  if (starts_without_case(value, "https://")) {
    return refuse("https:// is not supported; ferry speaks plain http:// to its parent", problem);
  }
  if (!starts_without_case(value, "http://")) return refuse("not an http:// URL", problem);
  value.remove_prefix(7);
  std::size_t authority_end = value.find_first_of("/?#");
  std::string_view rest = value.substr(authority_end == npos ? value.size() : authority_end);
  if (!rest.empty() && rest != "/")
    return refuse("a path, query or fragment after the port", problem);
  std::string_view authority = value.substr(0, authority_end);
  std::size_t at = authority.rfind('@');
  parent_proxy read;
  if (at != npos &&
      !read_user_information(authority.substr(0, at), read.authorization_line, problem)) {
    return false;
  }
  if (!read_host_and_port(authority.substr(at == npos ? 0 : at + 1), read, problem)) return false;
  parent = std::move(read);
  return true;
}

parent_bypass default_parent_bypass() {
  parent_bypass bypass;
  std::string unused;
  parse_parent_bypass("localhost,127.0.0.0/8,::1", bypass, unused);
  return bypass;
}

bool parse_parent_bypass(std::string_view value, parent_bypass& bypass, std::string& problem) {
  value = trim_blanks(value);
  parent_bypass read;
  if (value == "none") {
    bypass = std::move(read);
    return true;
  }
  bool read_all = for_each_item(value, [&read, &problem](std::string_view item) {
    if (item.empty()) return refuse("empty item (two commas in a row, or one at an end)", problem);
    return read_bypass_item(item, read, problem);
  });
  if (!read_all) return false;
  bypass = std::move(read);
  return true;
}

bool bypasses(const parent_bypass& bypass, std::string_view host,
              const std::vector<ip_address>& resolved) {
  if (host_list_names(bypass.names, host)) return true;
  std::string_view bare = host;
  if (bare.size() > 1 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  ip_address literal;
  if (parse_ip_address(bare, literal) && list_contains(bypass.ranges, literal)) return true;
  for (const ip_address& address : resolved) {
    if (list_contains(bypass.ranges, address)) return true;
  }
  return false;
}

}  // namespace ferry
