#include "address_list.h"

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
  for (;;) {
    std::size_t comma = text.find(',');
    std::string_view item = trim_blanks(text.substr(0, comma));
    if (item.empty()) {
      problem = "empty item (two commas in a row, or one at an end)";
      return false;
    }
    if (!read_item(item)) return false;
    if (comma == npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// An address alone is the range of that one address.
bool parse_range(std::string_view item, cidr_range& range, std::string& problem) {
  std::size_t slash = item.find('/');
  std::uint32_t address = 0;
  if (!parse_ipv4(item.substr(0, slash), address)) {
    return refuse(item, "not an address of four numbers 0 to 255", problem);
  }
  std::uint64_t length = 32;
  if (slash != npos && !read_decimal(item.substr(slash + 1), 32, leading_zeros::refused, length)) {
    bool too_long =
        read_decimal(item.substr(slash + 1), UINT32_MAX, leading_zeros::refused, length);
    return refuse(item, too_long ? "prefix length above 32" : "prefix length is not 0 to 32",
                  problem);
  }
  std::uint32_t mask = length == 0 ? 0 : UINT32_MAX << (32 - length);
  if ((address & ~mask) != 0) {
    std::string network = format_ipv4(address & mask) + "/" + std::to_string(length);
    return refuse(item, "host bits are set; the network is " + network, problem);
  }
  range = {address, mask};
  return true;
}

bool parse_port(std::string_view text, std::uint64_t& port) {
  return read_decimal(text, 65535, leading_zeros::refused, port) && port != 0;
}

bool parse_port_range(std::string_view item, port_range& range, std::string& problem) {
  std::size_t dash = item.find('-');
  std::uint64_t first = 0, last = 0;
  if (!parse_port(item.substr(0, dash), first) ||
      !parse_port(dash == npos ? item : item.substr(dash + 1), last)) {
    return refuse(item, "not a port 1 to 65535 or a range of them", problem);
  }
  if (first > last) return refuse(item, "range ends below its start", problem);
  range = {static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)};
  return true;
}

}  // namespace

bool parse_ipv4(std::string_view text, std::uint32_t& address) {
  std::uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t dot = text.find('.');
    if ((part == 3) != (dot == npos)) return false;
    std::uint64_t octet = 0;
    if (!read_decimal(text.substr(0, dot), 255, leading_zeros::refused, octet)) return false;
    result = (result << 8) | static_cast<std::uint32_t>(octet);
    text.remove_prefix(part == 3 ? text.size() : dot + 1);
  }
  address = result;
  return true;
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

bool list_contains(const address_list& list, std::uint32_t address) {
  for (const cidr_range& range : list) {
    if ((address & range.mask) == range.network) return true;
  }
  return false;
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
    int length = range.mask == 0 ? 0 : 32 - __builtin_ctz(range.mask);
    text += format_ipv4(range.network);
    if (length != 32) text.append("/").append(std::to_string(length));
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
