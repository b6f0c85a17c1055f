// IPv4 and IPv6 addresses as one type: reading, writing, and what an address
// stands for.
#include "ip_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ferry;

namespace {

std::string written(const char* text) {
  ip_address address;
  if (!parse_ip_address(text, address)) return "bad";
  std::string kind = is_loopback(address) ? " loopback" : is_unspecified(address) ? " unspecified" : "";
  std::optional<ip_address> carried = embedded_ipv4(address);
  if (carried.has_value()) kind += " carries " + format_ip_address(*carried);
  return format_endpoint(address, 80) + kind;
}

TEST(IpAddress, ReadsBothFamiliesAndTellsWhatTheyStandFor) {
  const std::pair<const char*, const char*> rows[] = {
      {"10.0.0.1", "10.0.0.1:80"},
      {"::ffff:10.0.0.1", "10.0.0.1:80"},
      {"::FFFF:a00:1", "10.0.0.1:80"},
      {"127.200.0.1", "127.200.0.1:80 loopback"},
      {"::ffff:127.0.0.1", "127.0.0.1:80 loopback"},
      {"::1", "[::1]:80 loopback"},
      {"0.0.0.0", "0.0.0.0:80 unspecified"},
      {"::", "[::]:80 unspecified"},
      {"2001:DB8:0:0:0:0:0:7", "[2001:db8::7]:80"},
      {"64:ff9b::7f00:1", "[64:ff9b::7f00:1]:80 carries 127.0.0.1"},
      {"::a9fe:a9fe", "[::169.254.169.254]:80 carries 169.254.169.254"},
      {"64:ff9b:1::7f00:1", "[64:ff9b:1::7f00:1]:80"},
      {"::ffff:0:a9fe:a9fe", "[::ffff:0:a9fe:a9fe]:80 carries 169.254.169.254"},
      {"::fffe:0:a9fe:a9fe", "[::fffe:0:a9fe:a9fe]:80"},
      {"2002:7f00:1::", "[2002:7f00:1::]:80 carries 127.0.0.1"},
      {"2002:a9fe:a9fe:1:2:3:4:5", "[2002:a9fe:a9fe:1:2:3:4:5]:80 carries 169.254.169.254"},
      {"2003:7f00:1::", "[2003:7f00:1::]:80"},
      {"[::1]", "bad"},
      {"fe80::1%lo", "bad"},
      {"::1/128", "bad"},
      {"1:2:3:4:5:6:7:8:9", "bad"},
      {":::", "bad"},
      {"::ffff:010.0.0.1", "bad"},
      {"127.1", "bad"},
      {"0x7f000001", "bad"},
      {"", "bad"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(written(text), expected) << text;
}

// Fast fallback tries the families in turn, each in the resolver's order.
TEST(IpAddress, InterleavesFamiliesFromTheFirstOnes) {
  auto order = [](std::vector<const char*> texts) {
    std::vector<ip_address> addresses;
    for (const char* text : texts) parse_ip_address(text, addresses.emplace_back());
    std::string result;
    for (const ip_address& address : interleave_families(addresses)) {
      result += format_ip_address(address) + " ";
    }
    return result;
  };
  EXPECT_EQ(order({"::1", "::2", "::3", "10.0.0.1", "10.0.0.2"}), "::1 10.0.0.1 ::2 10.0.0.2 ::3 ");
  EXPECT_EQ(order({"10.0.0.1", "10.0.0.2", "::1"}), "10.0.0.1 ::1 10.0.0.2 ");
  EXPECT_EQ(order({"10.0.0.1"}), "10.0.0.1 ");
  EXPECT_EQ(order({}), "");
}

}  // namespace
