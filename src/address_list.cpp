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

// Reads the comma list `text` into `list`, an entry an item by
// `read_entry`; `list` is set only when every item reads.
template <typename List, typename ReadEntry>
bool read_list(std::string_view text, List& list, std::string& problem, ReadEntry read_entry) {
  List read;
  bool good = read_items(text, problem, [&](std::string_view item) {
    typename List::value_type entry;
    if (!read_entry(item, entry)) return false;
    read.push_back(entry);
    return true;
  });
  if (good) list = std::move(read);
  return good;
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

// The items of `list`, each as `write` gives it, comma-separated; "none"
// for no items.
template <typename List, typename Write>
std::string format_items(const List& list, Write write) {
  if (list.empty()) return "none";
  std::string text;
  for (const auto& item : list) {
    if (!text.empty()) text += ',';
    text += write(item);
  }
  return text;
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
  return read_list(text, list, problem, [&](std::string_view item, cidr_range& range) {
    if (!self_allowed || item != "self") return parse_range(item, range, problem);
    range = self_range;
    return true;
  });
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
  return read_list(text, list, problem, [&](std::string_view item, port_range& range) {
    return parse_port_range(item, range, problem);
  });
}

bool list_contains(const port_list& list, std::uint16_t port) {
  for (const port_range& range : list) {
    if (range.first <= port && port <= range.last) return true;
  }
  return false;
}

std::string format_address_list(const address_list& list) {
  return format_items(list, [](const cidr_range& range) {
    if (range == self_range) return std::string("self");
    // A range inside the mapped block is written as the IPv4 range it is.
    bool ipv4 = is_ipv4(range.network) && range.prefix >= 96;
    int length = range.prefix - (ipv4 ? 96 : 0);
    std::string text = format_ip_address(range.network);
    if (length != (ipv4 ? 32 : 128)) text.append("/").append(std::to_string(length));
    return text;
  });
}

std::string format_port_list(const port_list& list) {
  return format_items(list, [](const port_range& range) {
    std::string text = std::to_string(range.first);
    if (range.last != range.first) text.append("-").append(std::to_string(range.last));
    return text;
  });
}

}  // namespace ferry
