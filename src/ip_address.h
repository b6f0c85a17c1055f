// IPv4 and IPv6 addresses as one type, so that lists, policies and the log
// judge and write both families alike. Pure: no sockets, no globals.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferry {

// Sixteen bytes in network order. An IPv4 address is held in its mapped
// form ::ffff:a.b.c.d, which is how a dual-stack socket sees an IPv4 peer,
// so an address is equal to itself however it arrived.
struct ip_address {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const ip_address&, const ip_address&) = default;
};

ip_address ipv4_address(std::uint32_t host_order);
bool is_ipv4(const ip_address& address);
// Valid only when is_ipv4.
std::uint32_t ipv4_of(const ip_address& address);

// The IPv4 address that an IPv6 address of a translating prefix stands for
// (NAT64 64:ff9b::/96, IPv4-translated ::ffff:0:0:0/96, 6to4 2002::/16 with
// the address in bits 16-47, the old IPv4-compatible ::/96 but :: and ::1),
// or none.
std::optional<ip_address> embedded_ipv4(const ip_address& address);

// 127.0.0.0/8 or ::1.
bool is_loopback(const ip_address& address);
// 0.0.0.0 or ::.
bool is_unspecified(const ip_address& address);

// Reads a dotted quad of four decimal numbers 0 to 255, no leading zeros, no
// other spelling. Returns false for anything else.
bool parse_ipv4(std::string_view text, std::uint32_t& address);

// Reads a dotted quad (four decimal numbers 0 to 255, no leading zeros) or an
// IPv6 address in its text form, without brackets or a zone. Returns false
// for anything else; sets `address` only on success.
bool parse_ip_address(std::string_view text, ip_address& address);

// A dotted quad for IPv4, the shortest IPv6 text form otherwise.
std::string format_ip_address(const ip_address& address);

// The order to try addresses in when connecting: the first one, then the
// other family's first, the families alternating while both last.
std::vector<ip_address> interleave_families(const std::vector<ip_address>& addresses);

// "a.b.c.d:port" or "[v6]:port".
std::string format_endpoint(const ip_address& address, std::uint16_t port);

// The address as a URL or the start-up line writes it: IPv6 in brackets.
std::string format_host(const ip_address& address);

}  // namespace ferry
