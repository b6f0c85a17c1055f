#include "address_list.h"

#include <algorithm>
#include <utility>

#include "text.h"

namespace ferry {

namespace {

constexpr auto npos = std::string_view::npos;

bool refuse(std::string_view item, std::string_view why, std::string& problem) {
  // Appended piece by piece: "literal" + std::string trips g++ 12's -Wrestrict at -O3.
  std::string text(1, '"');
  text.append(item).append("\": ").append(why);
  problem = std::move(text);
  return false;
}

// Hands each comma-separated item, trimmed, to `read_item`, which returns
// false (having set `problem`) to stop. "none" has no items.
template <typename ItemReader>
bool read_items(std::string_view text, std::string& problem, ItemReader read_item) {
  text = trim_blanks(text);
  if (text == "none") return true;
  if (text.empty()) {
    problem = "no items (none is the empty list)";
    return false;
  }
  return for_each_item(text, [&problem, &read_item](std::string_view item) {
    if (item.empty()) problem = "empty item (two commas in a row, or one at an end)";
    return !item.empty() && read_item(item);
  });
}

// An address alone is the range of that one address. The prefix length
// counts in the family the address is written in.
bool parse_range(std::string_view item, cidr_range& range, std::string& problem) {
  std::size_t slash = item.find('/');
  std::string_view written = item.substr(0, slash);
  ip_address address;
  if (!parse_ip_address(written, address)) {
    return refuse(item, "not an IPv4 or IPv6 address", problem);
  }
  bool ipv6_spelling = written.find(':') != npos;
  std::uint64_t most = ipv6_spelling ? 128 : 32;
  std::uint64_t length = most;
  if (slash != npos && !read_decimal(item.substr(slash + 1), most, leading_zeros::refused, length)) {
    bool too_long =
        read_decimal(item.substr(slash + 1), UINT32_MAX, leading_zeros::refused, length);
    std::string limit = std::to_string(most);
    return refuse(item, too_long ? "prefix length above " + limit : "prefix length is not 0 to " + limit,
                  problem);
  }
  cidr_range parsed{address, static_cast<std::uint8_t>(length + (ipv6_spelling ? 0 : 96))};
  cidr_range network = parsed;
  for (int bit = parsed.prefix; bit < 128; ++bit) {
    network.network.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  }
  if (network != parsed) {
    std::string written_network = format_ip_address(network.network) + "/" + std::to_string(length);
    return refuse(item, "host bits are set; the network is " + written_network, problem);
  }
  range = parsed;
  return true;
}

bool parse_port_range(std::string_view item, port_range& range, std::string& problem) {
  std::size_t dash = item.find('-');
  std::uint16_t first = 0, last = 0;
  if (!read_port(item.substr(0, dash), leading_zeros::refused, first) || first == 0 ||
      !read_port(dash == npos ? item : item.substr(dash + 1), leading_zeros::refused, last) ||
      last == 0) {
    return refuse(item, "not a port 1 to 65535 or a range of them", problem);
  }
  if (first > last) return refuse(item, "range ends below its start", problem);
  range = {first, last};
  return true;
}

}  // namespace

bool range_contains(const cidr_range& range, const ip_address& address) {
  if (range.prefix > 128) return false;
  int whole = range.prefix / 8, rest = range.prefix % 8;
  if (!std::equal(address.bytes.begin(), address.bytes.begin() + whole, range.network.bytes.begin())) {
    return false;
  }
  if (rest == 0) return true;
  auto mask = static_cast<std::uint8_t>(0xff00u >> rest);
  return (address.bytes[whole] & mask) == range.network.bytes[whole];
}

bool parse_address_list(std::string_view text, address_list& list, std::string& problem,
                        bool self_allowed) {
  address_list ranges;
  bool good = read_items(text, problem, [&](std::string_view item) {
    if (self_allowed && item == "self") {
      ranges.push_back(self_range);
      return true;
    }
    cidr_range range;
    if (!parse_range(item, range, problem)) return false;
    ranges.push_back(range);
    return true;
  });
  if (good) list = std::move(ranges);
  return good;
}

bool list_has_self(const address_list& list) {
  for (const cidr_range& range : list) {
    if (range == self_range) return true;
  }
  return false;
}

bool list_contains(const address_list& list, const ip_address& address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const cidr_range& range) { return range_contains(range, address); });
}

bool parse_port_list(std::string_view text, port_list& list, std::string& problem) {
  port_list ranges;
  bool good = read_items(text, problem, [&](std::string_view item) {
    port_range range;
    if (!parse_port_range(item, range, problem)) return false;
    ranges.push_back(range);
    return true;
  });
  if (good) list = std::move(ranges);
  return good;
}

bool list_contains(const port_list& list, std::uint16_t port) {
  for (const port_range& range : list) {
    if (range.first <= port && port <= range.last) return true;
  }
  return false;
}

std::string format_address_list(const address_list& list) {
  if (list.empty()) return "none";
  std::string text;
  for (const cidr_range& range : list) {
    if (!text.empty()) text += ',';
    if (range == self_range) {
      text += "self";
      continue;
    }
    // A range inside the mapped block is written as the IPv4 range it is.
    bool ipv4 = is_ipv4(range.network) && range.prefix >= 96;
    int length = range.prefix - (ipv4 ? 96 : 0);
    text += format_ip_address(range.network);
    if (length != (ipv4 ? 32 : 128)) text.append("/").append(std::to_string(length));
  }
  return text;
}

std::string format_port_list(const port_list& list) {
  if (list.empty()) return "none";
  std::string text;
  for (const port_range& range : list) {
    if (!text.empty()) text += ',';
    text += std::to_string(range.first);
    if (range.last != range.first) text.append("-").append(std::to_string(range.last));
  }
  return text;
}

}  // namespace ferry
