#include "ip_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "text.h"

namespace ferry {
namespace {

constexpr std::array<std::uint8_t, 12> mapped_prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
constexpr std::array<std::uint8_t, 12> nat64_prefix = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> compatible_prefix = {};
constexpr std::array<std::uint8_t, 12> translated_prefix = {0, 0, 0,    0,    0, 0,
                                                            0, 0, 0xff, 0xff, 0, 0};

bool starts_with(const ip_address& address, const std::array<std::uint8_t, 12>& prefix) {
  return std::equal(prefix.begin(), prefix.end(), address.bytes.begin());
}

std::uint32_t last_four(const ip_address& address) {
  const auto& b = address.bytes;
  return std::uint32_t{b[12]} << 24 | std::uint32_t{b[13]} << 16 | std::uint32_t{b[14]} << 8 |
         b[15];
}

}  // namespace

bool parse_ipv4(std::string_view text, std::uint32_t& address) {
  std::uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t dot = text.find('.');
    if ((part == 3) != (dot == std::string_view::npos)) return false;
    std::uint64_t octet = 0;
    if (!read_decimal(text.substr(0, dot), 255, leading_zeros::refused, octet)) return false;
    result = (result << 8) | static_cast<std::uint32_t>(octet);
    text.remove_prefix(part == 3 ? text.size() : dot + 1);
  }
  address = result;
  return true;
}

ip_address ipv4_address(std::uint32_t host_order) {
  ip_address address;
  std::copy(mapped_prefix.begin(), mapped_prefix.end(), address.bytes.begin());
  for (int i = 0; i < 4; ++i) address.bytes[12 + i] = (host_order >> (24 - 8 * i)) & 0xff;
  return address;
}

bool is_ipv4(const ip_address& address) { return starts_with(address, mapped_prefix); }

std::uint32_t ipv4_of(const ip_address& address) { return last_four(address); }

std::optional<ip_address> embedded_ipv4(const ip_address& address) {
  const auto& b = address.bytes;
  // 6to4 2002:AABB:CCDD::/48 carries it in bits 16-47, not at the end.
  if (b[0] == 0x20 && b[1] == 0x02) {
    return ipv4_address(std::uint32_t{b[2]} << 24 | std::uint32_t{b[3]} << 16 |
                        std::uint32_t{b[4]} << 8 | b[5]);
  }
  bool compatible = starts_with(address, compatible_prefix) && last_four(address) > 1;
  if (!compatible && !starts_with(address, nat64_prefix) &&
      !starts_with(address, translated_prefix)) {
    return std::nullopt;
  }
  return ipv4_address(last_four(address));
}

bool is_loopback(const ip_address& address) {
  if (is_ipv4(address)) return (ipv4_of(address) >> 24) == 127;
  return starts_with(address, compatible_prefix) && last_four(address) == 1;
}

bool is_unspecified(const ip_address& address) {
  return address == ip_address{} || address == ipv4_address(0);
}

bool parse_ip_address(std::string_view text, ip_address& address) {
  std::uint32_t ipv4 = 0;
  if (parse_ipv4(text, ipv4)) {
    address = ipv4_address(ipv4);
    return true;
  }
  // inet_pton wants a terminated string; no IPv6 text is longer than 45.
  char terminated[46];
  if (text.find(':') == std::string_view::npos || text.size() >= sizeof terminated) return false;
  std::memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  ip_address read;
  if (inet_pton(AF_INET6, terminated, read.bytes.data()) != 1) return false;
  address = read;
  return true;
}

std::string format_ip_address(const ip_address& address) {
  if (is_ipv4(address)) return format_ipv4(ipv4_of(address));
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
  return text;
}

std::vector<ip_address> interleave_families(const std::vector<ip_address>& addresses) {
  std::vector<ip_address> same, other;
  for (const ip_address& address : addresses) {
    (is_ipv4(address) == is_ipv4(addresses.front()) ? same : other).push_back(address);
  }
  std::vector<ip_address> order;
  for (std::size_t i = 0; i < std::max(same.size(), other.size()); ++i) {
    if (i < same.size()) order.push_back(same[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}

std::string format_host(const ip_address& address) {
  if (is_ipv4(address)) return format_ip_address(address);
  return '[' + format_ip_address(address) + ']';
}

std::string format_endpoint(const ip_address& address, std::uint16_t port) {
  return format_host(address) + ':' + std::to_string(port);
}

}  // namespace ferry
