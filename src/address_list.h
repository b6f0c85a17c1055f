// Address lists (IPv4 and IPv6 CIDR ranges) and port lists, as the settings write
// them. Pure: no sockets, no globals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ip_address.h"

namespace ferry {

// An IPv4 range a.b.c.d/n is held as ::ffff:a.b.c.d/(96+n), so one kind of
// range serves both families.
struct cidr_range {
  ip_address network;       // host bits are zero
  std::uint8_t prefix = 0;  // leading bits that must match, 0 to 128
  friend bool operator==(const cidr_range&, const cidr_range&) = default;
};
using address_list = std::vector<cidr_range>;

// Stands for "every address of this machine" in a list. Its prefix is out of
// range, so it never matches an address by itself.
inline constexpr cidr_range self_range{{}, 255};

bool range_contains(const cidr_range& range, const ip_address& address);

struct port_range {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
  friend bool operator==(const port_range&, const port_range&) = default;
};
using port_list = std::vector<port_range>;

// Reads a comma-separated list of addresses and CIDR ranges of either family
// ("127.0.0.1,10.0.0.0/8,::1,2001:db8::/32"); spaces around items are allowed; "none" is the
// empty list. A range with host bits set, an empty item or any other bad item
// fails the whole list. On failure returns false and leaves `list` unchanged,
// with `problem` saying what is wrong. With `self_allowed`, the item "self"
// adds self_range.
bool parse_address_list(std::string_view text, address_list& list, std::string& problem,
                        bool self_allowed = false);

bool list_has_self(const address_list& list);

bool list_contains(const address_list& list, const ip_address& address);

// Reads "443,8443,9000-9100" (ports 1 to 65535, ranges low-high) or "none".
// Same failure contract as parse_address_list.
bool parse_port_list(std::string_view text, port_list& list, std::string& problem);

bool list_contains(const port_list& list, std::uint16_t port);

// The lists as a setting would write them; "none" when empty.
std::string format_address_list(const address_list& list);
std::string format_port_list(const port_list& list);

}  // namespace ferry

